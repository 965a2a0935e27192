// File transfers against the stand-in back office: the bytes travel beside
// the batches, downloads resume a partial file and survive broken
// connections with the pauses and positions the server expects, and a
// refusal after the data still reaches the caller.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <mutex>

#include "backoffice/FileTransfer.h"
#include "backoffice/JClient.h"
#include "backoffice/WireCodec.h"
#include "platform/Clock.h"
#include "platform/TcpServer.h"
#include "testbed/SimHandlers.h"

namespace {

// Sleeps take no time and are remembered, so retry pauses can be checked.
class RecordingClock : public plat::ManualClock {
 public:
  void sleepMs(int64_t ms) override {
    {
      std::lock_guard lock(mutex_);
      sleeps_.push_back(ms);
    }
    plat::ManualClock::sleepMs(ms);
  }
  std::vector<int64_t> sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int64_t> sleeps_;
};

QByteArray pattern(int size, int seed = 0) {
  QByteArray b(size, Qt::Uninitialized);
  for (int i = 0; i < size; ++i) b[i] = char((i * 31 + seed * 7 + i / 251) & 0xFF);
  return b;
}

QByteArray readAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

void writeAll(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

class FileTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("local"))));
    plat::setClock(&clock);
    sim = std::make_unique<sim::BackofficeSim>(dir.filePath(QStringLiteral("office.db")));
    sim->start();
    client.setHost(QStringLiteral("127.0.0.1"));
    client.setPort(sim->port());
    client.setServerType(QStringLiteral("DR"));
    client.setLogin(QStringLiteral("demo"));
    client.setPassword(QStringLiteral("demo"));
    client.setShowProgress(false);
    client.setReadPollMs(10);
  }
  void TearDown() override {
    client.disconnect();
    sim->stop();
    plat::setClock(nullptr);
  }
  QString serverFile(const QString& name) const { return sim->handlers().filesDir() + u'/' + name; }
  QString local(const QString& name) const { return dir.filePath(QStringLiteral("local/") + name); }
  std::vector<ServerRequest> requestsWithCode(uint16_t code) const {
    std::vector<ServerRequest> out;
    for (const auto& r : sim->server().requests())
      if (r.code == code) out.push_back(r);
    return out;
  }
  // Serves code with the given bytes before the reply and, optionally, a
  // refusal; every other request goes to the stand-in's own handlers.
  void script(uint16_t code, std::function<void(const ServerRequest&, ServerReply&)> f) {
    sim->server().setRequestHandler([this, code, f](const ServerRequest& r, ServerReply& rep) {
      if (r.code == code) return f(r, rep);
      sim->handlers().handle(r, rep);
    });
  }

  QTemporaryDir dir;
  RecordingClock clock;
  std::unique_ptr<sim::BackofficeSim> sim;
  TJClient client;
};

}  // namespace

TEST(FitUniqueFileName, TakesTheFirstFreeNumberBeforeTheExtension) {
  QTemporaryDir dir;
  const auto at = [&](const char* name) { return dir.filePath(QString::fromUtf8(name)); };
  for (const char* name : {"a.jpg", "a_1.jpg", "plain", "x.d/b"}) writeAll(at(name), "x");
  struct Case {
    const char *given, *expected;
  } cases[] = {
      {"free.jpg", "free.jpg"},  // not there: the name itself
      {"a.jpg", "a_2.jpg"},      // a_1.jpg is taken too
      {"plain", "plain_1"},      // no extension
      {"x.d/b", "x.d/b_1"},      // a dot in a folder name is no extension
  };
  for (const Case& c : cases) EXPECT_EQ(fitUniqueFileName(at(c.given)), at(c.expected)) << c.given;
}

TEST_F(FileTransfer, ReadFileStartsAfreshOrResumesFromTheLocalSize) {
  const QByteArray data = pattern(3000);
  writeAll(serverFile(QStringLiteral("VektaWallpaper/a.jpg")), data);
  struct Case {
    const char* name;
    int existing;  // -1: no local file
    bool sendsPosition;
  } cases[] = {{"none", -1, false}, {"empty", 0, false}, {"partial", 1000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString dest = local(QString::fromUtf8(c.name));
    if (c.existing >= 0) writeAll(dest, data.left(c.existing));
    sim->server().clearRequests();
    std::vector<int64_t> progress;
    const QString name = client.readFile(
        sim->handlers().filesDir() + QStringLiteral("\\VektaWallpaper\\a.jpg"), dest, 4, false,
        [&](int64_t n) { progress.push_back(n); }, 30);
    EXPECT_EQ(name, dest);
    EXPECT_EQ(readAll(dest), data);
    const auto sent = requestsWithCode(46);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].params.size(), c.sendsPosition ? 2u : 1u);
    if (c.sendsPosition) {
      EXPECT_EQ(sent[0].params[1].type(), VarType::Int64);
      EXPECT_EQ(sent[0].params[1].toInt64(), c.existing);
    }
    EXPECT_EQ(progress, std::vector<int64_t>{3000});
  }
  // The reply was read: the connection serves the next request as it is.
  EXPECT_EQ(client.selectValue(QStringLiteral("select 5"), 30).toInt(), 5);
  EXPECT_EQ(sim->server().handshakeCount(), 1);
}

TEST_F(FileTransfer, ReadFileWithUniqueNameLeavesExistingFilesAlone) {
  writeAll(serverFile(QStringLiteral("a.jpg")), "new");
  writeAll(local(QStringLiteral("a.jpg")), "old");
  writeAll(local(QStringLiteral("a_1.jpg")), "older");
  const QString name =
      client.readFile(QStringLiteral("a.jpg"), local(QStringLiteral("a.jpg")), 4, true, {}, 30);
  EXPECT_EQ(name, local(QStringLiteral("a_2.jpg")));
  EXPECT_EQ(readAll(name), "new");
  EXPECT_EQ(readAll(local(QStringLiteral("a.jpg"))), "old");
  EXPECT_EQ(requestsWithCode(46).at(0).params.size(), 1u);
}

TEST_F(FileTransfer, ReadFileRetriesFromThePositionReachedAfterThreeSeconds) {
  // Two chunks of the server's 64 KiB and a short one; the connection
  // breaks inside the second chunk.
  const QByteArray data = pattern(140000);
  writeAll(serverFile(QStringLiteral("big.bin")), data);
  sim->server().addFault({ServerFault::CloseAfterBytes, 5 + 65536 + 5 + 1000, 0, {}});
  std::vector<int64_t> progress;
  client.readFile(
      QStringLiteral("big.bin"), local(QStringLiteral("big.bin")), 4, false,
      [&](int64_t n) { progress.push_back(n); }, 30);
  EXPECT_EQ(readAll(local(QStringLiteral("big.bin"))), data);
  EXPECT_EQ(clock.sleeps(), std::vector<int64_t>{3000});
  const auto sent = requestsWithCode(46);
  ASSERT_EQ(sent.size(), 2u);
  ASSERT_EQ(sent[1].params.size(), 2u);
  EXPECT_EQ(sent[1].params[1].toInt64(), progress.at(1));
  EXPECT_EQ(progress.front(), 65536);
  EXPECT_EQ(progress.back(), 140000);
  EXPECT_EQ(sim->server().handshakeCount(), 2);  // the retry logged in again
}

TEST_F(FileTransfer, ReadFileGivesUpAtTheMaximalErrorCount) {
  writeAll(serverFile(QStringLiteral("a.jpg")), pattern(500));
  for (int i = 0; i < 4; ++i) sim->server().addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
  std::vector<int64_t> progress;
  EXPECT_ANY_THROW(client.readFile(
      QStringLiteral("a.jpg"), local(QStringLiteral("a.jpg")), 4, false,
      [&](int64_t n) { progress.push_back(n); }, 30));
  EXPECT_EQ(requestsWithCode(46).size(), 4u);
  EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{3000, 3000, 3000}));
  EXPECT_EQ(progress, (std::vector<int64_t>{0, 0, 0}));
  EXPECT_FALSE(client.connected());
}

TEST_F(FileTransfer, TransferToAServerThatCannotBeReachedFailsAtOnce) {
  plat::TcpServer closed;
  closed.listen();
  const int port = closed.port();
  closed.close();
  client.setPort(port);
  EXPECT_ANY_THROW(
      client.readFile(QStringLiteral("a.jpg"), local(QStringLiteral("a.jpg")), 4, false, {}, 30));
  EXPECT_ANY_THROW(client.getSoftwareUpdateII(local(QStringLiteral("u.exe")),
                                              QStringLiteral("vekta_64.exe"), {}, 30));
  EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(FileTransfer, RefusalAfterTheDataRaisesTheServersTextAndKeepsTheBytes) {
  struct Case {
    uint16_t code;
    QByteArray before;
  } cases[] = {{46, {}}, {78, {}}};
  encodeValue(cases[0].before, WireValue(4));
  cases[0].before += "abcd";
  encodeValue(cases[0].before, WireValue(0));
  encodeValue(cases[1].before, WireValue::int64(4));
  cases[1].before += "abcd";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    script(c.code, [&](const ServerRequest&, ServerReply& rep) {
      rep.dataBeforeReply = c.before;
      rep.refuse(QStringLiteral("Нет доступа к файлу"), 5);
    });
    const QString dest = local(QStringLiteral("r%1").arg(c.code));
    try {
      if (c.code == 46)
        client.readFile(QStringLiteral("x"), dest, 4, false, {}, 30);
      else
        client.getSoftwareUpdateII(dest, QStringLiteral("x"), {}, 30);
      ADD_FAILURE() << "the refusal was lost";
    } catch (const Exception& e) {
      EXPECT_EQ(e.message(), QStringLiteral("Нет доступа к файлу"));
    }
    EXPECT_EQ(readAll(dest), "abcd");
  }
}

// A full disk that takes every write() into QFile's buffer and refuses the
// bytes only when they are flushed: the download must not pass for complete.
TEST_F(FileTransfer, ADownloadWhoseLastBytesCannotBeWrittenFails) {
  writeAll(serverFile(QStringLiteral("a.jpg")), pattern(3000));
  writeAll(serverFile(QStringLiteral("vekta_64.exe")), pattern(10000));
  const QString full = QStringLiteral("/dev/full");
  ASSERT_TRUE(QFileInfo::exists(full));
  struct Case {
    const char* name;
    std::function<void()> download;
  } cases[] = {
      {"readFile", [&] { client.readFile(QStringLiteral("a.jpg"), full, 4, false, {}, 30); }},
      {"getSoftwareUpdateII",
       [&] { client.getSoftwareUpdateII(full, QStringLiteral("vekta_64.exe"), {}, 30); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.download();
      ADD_FAILURE() << "reported complete";
    } catch (const EFileError& e) {
      EXPECT_TRUE(e.message().contains(full)) << e.message().toStdString();
    }
    // A local fault is not the server's: nothing is asked again.
    EXPECT_TRUE(clock.sleeps().empty());
  }
  EXPECT_EQ(client.selectValue(QStringLiteral("select 5"), 30).toInt(), 5);
}

TEST_F(FileTransfer, UpdateComesInPiecesWithProgress) {
  const QByteArray data = pattern(10000);
  writeAll(serverFile(QStringLiteral("vekta_64.exe")), data);
  std::vector<double> progress;
  EXPECT_TRUE(client.getSoftwareUpdateII(
      local(QStringLiteral("vekta.new")), QStringLiteral("vekta_64.exe"),
      [&](double p) { progress.push_back(p); }, 30));
  EXPECT_EQ(readAll(local(QStringLiteral("vekta.new"))), data);
  ASSERT_EQ(progress.size(), 3u);
  EXPECT_DOUBLE_EQ(progress[0], 40.96);
  EXPECT_DOUBLE_EQ(progress[1], 81.92);
  EXPECT_DOUBLE_EQ(progress[2], 100.0);
  const auto sent = requestsWithCode(78);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].params.size(), 1u);
  EXPECT_EQ(sent[0].params[0].toString(), QStringLiteral("vekta_64.exe"));
}

TEST_F(FileTransfer, NoUpdateOnOfferTouchesNoFileAndReadsTheReply) {
  const QString kept = local(QStringLiteral("kept.new"));
  writeAll(kept, "previous");
  EXPECT_FALSE(client.getSoftwareUpdateII(local(QStringLiteral("none.new")),
                                          QStringLiteral("vekta_64.exe"), {}, 30));
  EXPECT_FALSE(client.getSoftwareUpdateII(kept, QStringLiteral("vekta_64.exe"), {}, 30));
  EXPECT_FALSE(QFile::exists(local(QStringLiteral("none.new"))));
  EXPECT_EQ(readAll(kept), "previous");
  EXPECT_EQ(client.selectValue(QStringLiteral("select 5"), 30).toInt(), 5);
  EXPECT_EQ(sim->server().handshakeCount(), 1);
}

TEST_F(FileTransfer, BrokenUpdateResumesAtOnceFromThePositionReached) {
  const QByteArray data = pattern(10000);
  writeAll(serverFile(QStringLiteral("vekta_64.exe")), data);
  // Both update requests: 78 names its file, 57 does not.
  struct Case {
    uint16_t code;
    int positionIndex;
  } cases[] = {{78, 1}, {57, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    sim->server().clearRequests();
    const QString dest = local(QStringLiteral("u%1.new").arg(c.code));
    sim->server().addFault({ServerFault::CloseAfterBytes, 9 + 8192, 0, {}});
    const bool ok = c.code == 78
                        ? client.getSoftwareUpdateII(dest, QStringLiteral("vekta_64.exe"), {}, 30)
                        : client.getSoftwareUpdate(dest, {}, 30);
    EXPECT_TRUE(ok);
    EXPECT_EQ(readAll(dest), data);
    const auto sent = requestsWithCode(c.code);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].params.size(), size_t(c.positionIndex));
    ASSERT_EQ(sent[1].params.size(), size_t(c.positionIndex + 1));
    EXPECT_EQ(sent[1].params[c.positionIndex].type(), VarType::Int64);
    EXPECT_EQ(sent[1].params[c.positionIndex].toInt64(), 8192);
  }
  EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{0, 0}));
}

// A retry that finds another file on offer must not splice it onto the
// first one's bytes: the download starts again from zero.
TEST_F(FileTransfer, UpdateThatChangesSizeDuringARetryRestartsFromZero) {
  const QByteArray first = pattern(10000, 1);
  const QByteArray second = pattern(12000, 2);
  const QString path = serverFile(QStringLiteral("vekta_64.exe"));
  writeAll(path, first);
  script(78, [&](const ServerRequest& r, ServerReply& rep) {
    if (r.params.size() > 1) writeAll(path, second);  // replaced before the retry
    sim->handlers().handle(r, rep);
  });
  sim->server().addFault({ServerFault::CloseAfterBytes, 9 + 8192, 0, {}});
  const QString dest = local(QStringLiteral("vekta.new"));
  EXPECT_TRUE(client.getSoftwareUpdateII(dest, QStringLiteral("vekta_64.exe"), {}, 30));
  EXPECT_EQ(readAll(dest), second);
  const auto sent = requestsWithCode(78);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1].params.at(1).toInt64(), 8192);
  EXPECT_EQ(sent[2].params.at(1).toInt64(), 0);
  EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{0, 1000}));
}

TEST_F(FileTransfer, UpdateWithdrawnDuringARetryLeavesNoPartialFile) {
  const QString path = serverFile(QStringLiteral("vekta_64.exe"));
  writeAll(path, pattern(10000));
  script(78, [&](const ServerRequest& r, ServerReply& rep) {
    if (r.params.size() > 1) QFile::remove(path);
    sim->handlers().handle(r, rep);
  });
  sim->server().addFault({ServerFault::CloseAfterBytes, 9 + 4096, 0, {}});
  const QString dest = local(QStringLiteral("vekta.new"));
  EXPECT_FALSE(client.getSoftwareUpdateII(dest, QStringLiteral("vekta_64.exe"), {}, 30));
  EXPECT_FALSE(QFile::exists(dest));
}

TEST_F(FileTransfer, UpdateGivesUpAtTheFourthFailureInARow) {
  const QByteArray data = pattern(10000);
  writeAll(serverFile(QStringLiteral("vekta_64.exe")), data);
  sim->server().addFault({ServerFault::CloseAfterBytes, 9 + 100, 0, {}});
  for (int i = 0; i < 3; ++i) sim->server().addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
  std::vector<double> progress;
  const QString dest = local(QStringLiteral("vekta.new"));
  EXPECT_ANY_THROW(client.getSoftwareUpdateII(
      dest, QStringLiteral("vekta_64.exe"), [&](double p) { progress.push_back(p); }, 30));
  EXPECT_EQ(requestsWithCode(78).size(), 4u);
  EXPECT_EQ(clock.sleeps(), (std::vector<int64_t>{0, 1000, 2000}));
  EXPECT_EQ(progress, (std::vector<double>{0.0, 0.0, 0.0}));  // no whole piece came
  EXPECT_TRUE(readAll(dest).isEmpty());
  EXPECT_FALSE(client.connected());

  // A failure on the first size is not retried.
  sim->server().clearRequests();
  sim->server().addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
  EXPECT_ANY_THROW(client.getSoftwareUpdateII(dest, QStringLiteral("vekta_64.exe"), {}, 30));
  EXPECT_EQ(requestsWithCode(78).size(), 1u);
}

TEST_F(FileTransfer, WriteFileSendsExactlyTheFileAndReturnsTheServersName) {
  struct Case {
    const char* name;
    int size;
    bool fitUniqueName;
    const char* stored;
    size_t progressCalls;
  } cases[] = {
      {"up.bin", 10000, false, "up.bin", 3},
      {"up.bin", 5, true, "up_1.bin", 1},  // the first one stays
      {"empty.bin", 0, false, "empty.bin", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    const QByteArray data = pattern(c.size, c.size);
    writeAll(local(QStringLiteral("src")), data);
    std::vector<double> progress;
    const QString name = client.writeFile(
        local(QStringLiteral("src")), QStringLiteral("uploads\\") + QString::fromUtf8(c.name),
        c.fitUniqueName, [&](double p) { progress.push_back(p); }, 30);
    const QString stored = serverFile(QStringLiteral("uploads/") + QString::fromUtf8(c.stored));
    EXPECT_EQ(name, stored);
    EXPECT_EQ(readAll(stored), data);
    EXPECT_EQ(progress.size(), c.progressCalls);
    if (!progress.empty()) {
      EXPECT_DOUBLE_EQ(progress.back(), 100.0);
    }
    const auto sent = requestsWithCode(30);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().params.at(1).type(), VarType::Int64);
    EXPECT_EQ(sent.back().params.at(1).toInt64(), c.size);
  }
  EXPECT_EQ(readAll(serverFile(QStringLiteral("uploads/up.bin"))), pattern(10000, 10000));
  // The connection stayed in step through every upload.
  EXPECT_EQ(sim->server().handshakeCount(), 1);

  const size_t before = sim->server().requests().size();
  EXPECT_THROW(
      client.writeFile(local(QStringLiteral("missing")), QStringLiteral("x"), false, {}, 30),
      EFileError);
  EXPECT_EQ(sim->server().requests().size(), before);
}
