#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "backoffice/JClient.h"
#include "kiosk/LogThread.h"
#include "kiosk/SetAsidePolicy.h"
#include "platform/Common.h"
#include "platform/Exception.h"
#include "platform/TextCodec.h"
#include "support/ChildProcess.h"
#include "support/FastClock.h"
#include "support/RefusalScript.h"
#include "testbed/ProtocolServer.h"
#include "testbed/SimDatabase.h"
#include "testbed/SimHandlers.h"

namespace {

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

// A data folder and the local log lines the queue wrote.
struct Fixture {
  QTemporaryDir dir;
  std::mutex m;
  QStringList logLines;

  QString path(const QString& rel) { return dir.filePath(rel); }
  std::unique_ptr<TLogThread> open(std::function<void(TJClient&, TLogPass&)> sync = {}) {
    TLogThreadContext ctx;
    ctx.dataFolder = dir.path();
    ctx.synchronize = std::move(sync);
    ctx.log = [this](const QString& s) {
      std::lock_guard lock(m);
      logLines << s;
    };
    return std::make_unique<TLogThread>(ctx);
  }
};

// The number a restart of the queue gives its next event.
quint32 numberAfterRestart(Fixture& fx, std::unique_ptr<TLogThread>& log) {
  log.reset();
  log = fx.open();
  log->add(evInformation, "after restart");
  return log->recNo();
}

const QByteArray kElevenLines =
    "05.03.2024 14:07:09\r\n46\r\nsale\r\n45,5\r\n12\r\n3001\r\n2\r\n\r\n\r\n\r\n\r\n";

TEST(LogRecord, RoundTripsEveryValueWithDiscountAsTwelfthLine) {
  TLogRecord r;
  r.no = 42;
  r.dt = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9));
  r.event_id = evUnitSold;
  r.descr = QString::fromUtf8("Продажа");
  r.creditSource_id = int(csIdentityCard);
  r.amount = 45.5;
  r.cell = 12;
  r.nomenclature_id = 3001;
  r.cardProject_id = 5;
  r.card_no = "0012";
  r.loyaltySystem_id = 3;
  r.loayalty_card_no = "7788";
  r.discount = 0.25;

  const QByteArray bytes = r.toFileBytes();
  EXPECT_EQ(bytes, plat::toAnsi(QString::fromUtf8(
                       "05.03.2024 14:07:09\r\n46\r\nПродажа\r\n45,5\r\n12\r\n3001\r\n4\r\n5\r\n"
                       "0012\r\n3\r\n7788\r\n0,25\r\n")));
  const TLogRecord back = TLogRecord::fromFileBytes(TLogRecord::fileNameOf(42), bytes);
  EXPECT_EQ(back.no, 42u);
  EXPECT_EQ(back.dt, r.dt);
  EXPECT_EQ(back.descr, r.descr);
  EXPECT_EQ(back.amount.toDouble(), 45.5);
  EXPECT_EQ(back.cell.toInt(), 12);
  EXPECT_EQ(back.creditSource_id.toInt(), 4);
  EXPECT_EQ(back.card_no.toString(), "0012");
  EXPECT_EQ(back.loayalty_card_no.toString(), "7788");
  EXPECT_EQ(back.discount.toDouble(), 0.25);
}

TEST(LogRecord, OldElevenLineFileLoadsWithoutDiscount) {
  const TLogRecord r = TLogRecord::fromFileBytes("0000000007", kElevenLines);
  EXPECT_EQ(r.no, 7u);
  EXPECT_EQ(r.event_id, 46);
  EXPECT_EQ(r.amount.toDouble(), 45.5);
  EXPECT_EQ(r.nomenclature_id.toInt(), 3001);
  EXPECT_TRUE(r.cardProject_id.isNull());
  EXPECT_TRUE(r.card_no.isNull());
  EXPECT_TRUE(r.discount.isNull());
}

TEST(LogRecord, RefusesWhatCannotBeParsed) {
  struct Case {
    const char* name;
    QByteArray bytes;
  } cases[] = {
      {"000000007", kElevenLines},   // nine digits
      {"4294967296", kElevenLines},  // past 32 bits
      {"0000000007", ""},
      {"0000000007", "yesterday\r\n46\r\n"},
      {"0000000007", "05.03.2024 14:07:09\r\nsale\r\n"},
      {"0000000007", "05.03.2024 14:07:09\r\n46\r\nx\r\nlots\r\n"},
      // A description broken over two lines shifts the values: refused, not misread.
      {"0000000007",
       "05.03.2024 14:07:09\r\n1\r\nfirst\r\nsecond\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n"},
      {"0000000007", kElevenLines + "0\r\nextra\r\n"},
  };
  for (const Case& c : cases)
    EXPECT_THROW(TLogRecord::fromFileBytes(c.name, c.bytes), EConvertError)
        << c.name << c.bytes.constData();
}

// The time line is read by a short way when it has the written form; it
// must give what the general parser gives, and leave it every other text.
TEST(LogRecord, TimeLineReadsAsTheGeneralParserReadsIt) {
  const char* const times[] = {
      "05.03.2024 14:07:09",
      "29.02.2024 23:59:59",
      "01.01.1999 00:00:00",
      // Not the written form: left to the general parser.
      "05.03.2024 4:07:09",
      "05.03.2024 14:07",
      "05.03.2024",
      " 05.03.2024 14:07:09",
  };
  for (const char* t : times) {
    const QByteArray bytes = QByteArray(t) + "\r\n46\r\nsale\r\n";
    EXPECT_EQ(TLogRecord::fromFileBytes("0000000001", bytes).dt,
              StrToDateTimeRegional(QString::fromLatin1(t)))
        << t;
  }
  for (const char* t :
       {"31.02.2024 10:00:00", "05.13.2024 10:00:00", "05.03.2024 24:00:00", "05.03.2024 14:07:60",
        "05.03.2024 14:07:0x", "0x.03.2024 14:07:09", "5.03.2024 14:07:09"})
    EXPECT_THROW(TLogRecord::fromFileBytes("0000000001", QByteArray(t) + "\r\n46\r\n"),
                 EConvertError)
        << t;
}

TEST(LogThread, EventsSurviveARestartWithDescriptionOnOneLine) {
  Fixture fx;
  {
    auto log = fx.open();
    log->add(evProgramStarted, QString());
    log->add(evUnitSold, "sale", int(csSBP), 45.5, 12, 3001, {}, {}, 3, "card\r\n77", 1.5);
    log->add(evInformation, "line one\r\nline two\nthree");
    EXPECT_EQ(log->recNo(), 3u);
  }
  EXPECT_TRUE(QFile::exists(fx.path("Log/0000000002")));
  auto log = fx.open();
  const auto q = log->queued();
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[0].event_id, evProgramStarted);
  EXPECT_EQ(q[1].no, 2u);
  EXPECT_EQ(q[1].creditSource_id.toInt(), int(csSBP));
  EXPECT_EQ(q[1].amount.toDouble(), 45.5);
  EXPECT_EQ(q[1].loayalty_card_no.toString(), "card 77");
  EXPECT_EQ(q[1].discount.toDouble(), 1.5);
  EXPECT_EQ(q[2].descr, "line one line two three");
  EXPECT_TRUE(fx.logLines.isEmpty()) << fx.logLines.join("\n").toStdString();
}

// Every text an event can carry reads back from its file after a restart as
// it was queued, in the description and in the card numbers alike.
TEST(LogThread, EveryCharacterOfAnEventSurvivesARestart) {
  const char* const texts[] = {
      "Корзина -> Оплатить 54 ₽",
      "₽",
      "Чек № 12 на 150 ₽ по карте № 7770000000031",
      "Заказ №5",
      "Ёлка, щётка, ЪЬЭЮЯ ёъьэюя",
      "Latin only: Pay 54 RUB?",
      "Mixed: Оплата SBP → OK ✓ 😀",
      "Crème brûlée, Größe, ½",
      "Вопрос? Ответ: «да» — ₽",
      "",
  };
  Fixture fx;
  {
    auto log = fx.open();
    for (const char* t : texts) {
      const QString text = QString::fromUtf8(t);
      log->add(evUserAction, text, int(csCard), 54.0, 1, 2, 3, text, 4, text + "7", 1.0);
    }
  }
  auto log = fx.open();
  const auto q = log->queued();
  ASSERT_EQ(q.size(), std::size(texts));
  for (size_t i = 0; i < q.size(); ++i) {
    const std::string text = texts[i];
    EXPECT_EQ(q[i].descr.toStdString(), text);
    EXPECT_EQ(q[i].card_no.toString().toStdString(), text);
    EXPECT_EQ(q[i].loayalty_card_no.toString().toStdString(), text + "7");
    EXPECT_EQ(q[i].amount.toDouble(), 54.0);
    EXPECT_EQ(q[i].discount.toDouble(), 1.0);
  }
  EXPECT_TRUE(fx.logLines.isEmpty()) << fx.logLines.join("\n").toStdString();
}

// Files that earlier versions wrote in windows-1251 still load as they read,
// byte for byte what those versions put on disk, with 11 lines and with 12.
TEST(LogThread, RecordFilesOfEarlierVersionsStillLoad) {
  struct Case {
    const char* name;
    QByteArray bytes;
    const char* descr;
    const char* loyaltyCard;
  } cases[] = {
      {"0000000003",
       "05.03.2024 14:07:09\r\n42\r\n\xCA\xEE\xF0\xE7\xE8\xED\xE0 -> "
       "\xCE\xEF\xEB\xE0\xF2\xE8\xF2\xFC "
       "54 \xF0\xF3\xE1.\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n",
       "Корзина -> Оплатить 54 руб.", ""},
      {"0000000004",
       "05.03.2024 14:07:10\r\n46\r\n\xD7\xE5\xEA \xB9 12, "
       "\xB8\xEB\xEA\xE0\r\n54,5\r\n1\r\n2\r\n2\r\n"
       "\r\n\r\n3\r\n\xB9 77\r\n0,5\r\n",
       "Чек № 12, ёлка", "№ 77"},
      // What an earlier version made of a character windows-1251 lacks.
      {"0000000005", "05.03.2024 14:07:11\r\n42\r\nPay 54 ?\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n",
       "Pay 54 ?", ""},
  };
  Fixture fx;
  for (const Case& c : cases) writeFile(fx.path(QString("Log/") + c.name), c.bytes);
  auto log = fx.open();
  const auto q = log->queued();
  ASSERT_EQ(q.size(), std::size(cases));
  for (size_t i = 0; i < q.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(TLogRecord::fileNameOf(q[i].no), cases[i].name);
    EXPECT_EQ(q[i].descr.toStdString(), cases[i].descr);
    EXPECT_EQ(q[i].loayalty_card_no.toString().toStdString(), cases[i].loyaltyCard);
  }
  EXPECT_EQ(q[1].amount.toDouble(), 54.5);
  EXPECT_EQ(q[1].discount.toDouble(), 0.5);
  // A record windows-1251 can carry is still written so, and one it cannot
  // carry refuses to load when its UTF-8 is damaged rather than misread.
  TLogRecord r = q[1];
  EXPECT_EQ(r.toFileBytes(), cases[1].bytes);
  r.descr = QString::fromUtf8("54 ₽");
  QByteArray damaged = r.toFileBytes();
  ASSERT_TRUE(damaged.startsWith("\xEF\xBB\xBF"));
  EXPECT_EQ(TLogRecord::fromFileBytes("0000000004", damaged).descr, r.descr);
  damaged.replace("\xE2\x82\xBD", "\xE2\x82");
  EXPECT_THROW(TLogRecord::fromFileBytes("0000000004", damaged), EConvertError);
}

TEST(LogThread, NumberingAfterRestartNeverReusesANumber) {
  struct Case {
    const char* what;
    QByteArray lsln;       // empty: no file
    QStringList waiting;   // record files in Log/
    QStringList setAside;  // record files in Log/bad/
    quint32 next;
  } cases[] = {
      {"fresh", "", {}, {}, 1},
      {"all uploaded", "41", {}, {}, 42},
      {"files newer than lsln", "3", {"0000000004", "0000000009"}, {}, 10},
      // A stale file older than the last upload must not pull the number back.
      {"lsln newer than files", "20", {"0000000010"}, {}, 21},
      {"set-aside file is newest", "5", {"0000000006"}, {"0000000008"}, 9},
      {"unreadable lsln", "x", {"0000000002"}, {}, 3},
  };
  for (const Case& c : cases) {
    Fixture fx;
    if (!c.lsln.isEmpty()) writeFile(fx.path("lsln"), c.lsln);
    for (const QString& n : c.waiting) writeFile(fx.path("Log/" + n), kElevenLines);
    for (const QString& n : c.setAside) writeFile(fx.path("Log/bad/" + n), "junk");
    auto log = fx.open();
    log->add(evInformation, "x");
    EXPECT_EQ(log->recNo(), c.next) << c.what;
    EXPECT_TRUE(QFile::exists(fx.path("Log/" + TLogRecord::fileNameOf(c.next)))) << c.what;
  }
}

TEST(LogThread, UnparsableFilesAreMovedAsideAndDoNotBlockTheQueue) {
  Fixture fx;
  writeFile(fx.path("Log/0000000001"), "not a record");
  writeFile(fx.path("Log/0000000002"), kElevenLines);
  writeFile(fx.path("Log/notes.txt"), "stray");
  writeFile(fx.path("Log/bad/0000000001"), "set aside earlier");
  auto log = fx.open();

  const auto q = log->queued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].no, 2u);
  EXPECT_FALSE(QFile::exists(fx.path("Log/0000000001")));
  EXPECT_FALSE(QFile::exists(fx.path("Log/notes.txt")));
  EXPECT_EQ(readFile(fx.path("Log/bad/0000000001")), "set aside earlier");
  EXPECT_EQ(readFile(fx.path("Log/bad/0000000001.1")), "not a record");
  EXPECT_EQ(readFile(fx.path("Log/bad/notes.txt")), "stray");
  EXPECT_FALSE(fx.logLines.isEmpty());
}

TEST(LogThread, MemoryHoldsTheOldestHundredAndTheRestWaitsOnDisk) {
  Fixture fx;
  for (int i = 1; i <= 150; ++i)
    writeFile(fx.path("Log/" + TLogRecord::fileNameOf(quint32(i))), kElevenLines);
  auto log = fx.open();
  const auto q = log->queued();
  ASSERT_EQ(q.size(), size_t(TLogThread::kMaxRecords));
  EXPECT_EQ(q.front().no, 1u);
  EXPECT_EQ(q.back().no, 100u);
  log->add(evInformation, "on disk only");
  EXPECT_EQ(log->queuedCount(), TLogThread::kMaxRecords);
  EXPECT_TRUE(QFile::exists(fx.path("Log/0000000151")));
}

TEST(VmState, ErrorCodes) {
  TCarimaliEvaState noWaterTrayFull;
  noWaterTrayFull.msSinceStart = 60'000;
  noWaterTrayFull.noWater = true;
  noWaterTrayFull.trayFull = true;
  TCarimaliEvaState silent;
  silent.msSinceStart = 16'000;
  silent.msSinceLastExchange = 5'001;
  silent.bunkerErrorCode = 3;
  TCarimaliEvaState starting = silent;  // silent, but still within the start grace
  starting.msSinceStart = 15'000;

  struct Case {
    TVmState vm;
    const TCarimaliEvaState* carimali;
    const char* codes;
  } cases[] = {
      {{}, nullptr, ""},
      {{true, false, 5}, nullptr, "ZM1\rZM3_5"},
      {{false, true, 0}, nullptr, "ZM2"},
      {{true, true, 0}, nullptr, "ZM1\rZM2"},
      {{}, &noWaterTrayFull, "ZM4\rZM6"},
      // The payment-module flag does not count on a coffee-machine kiosk.
      {{false, true, 0}, &silent, "ZM2\rZM7_3"},
      {{false, true, 0}, &starting, "ZM7_3"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.vm.getEvaErrorCodes(c.carimali), QString::fromLatin1(c.codes)) << c.codes;
}

// --- upload against the stand-in back office ----------------------------------

// The worker hands over to the main thread each pass, so waiting pumps events.
bool waitFor(const std::function<bool()>& done, int ms = 20'000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// The stand-in back office in-process, and the main form's side of the link:
// its client settings, ids and error codes, as the worker copies them.
struct Backoffice {
  QTemporaryDir dir;
  sim::SimDatabase db{dir.filePath("bo.sqlite")};
  sim::SimHandlers handlers{db, dir.path()};
  std::unique_ptr<ProtocolServer> server;

  TJClient main;
  qint64 vm_id = 5;
  qint64 terminal_id = 9;
  QString codes;
  std::atomic<int> passes{0};

  Backoffice() {
    db.exec("insert into tbUser(login, password, name) values ('kiosk', 'pw', 'Kiosk')");
    main.setHost("127.0.0.1");
    main.setLogin("kiosk");
    main.setPassword("pw");
    main.setServerType("DR");
    main.setApplicationID("vekta");
  }
  void start() {
    server = std::make_unique<ProtocolServer>();
    handlers.install(*server);
    server->start();
    main.setPort(server->port());
  }
  // A port nobody listens on.
  void goDown() {
    if (!server) start();
    server->stop();
  }
  std::function<void(TJClient&, TLogPass&)> sync() {
    return [this](TJClient& client, TLogPass& pass) {
      client.Assign(main);
      pass.vm_id = vm_id;
      pass.terminal_id = terminal_id;
      pass.evaErrorCodes = codes;
      ++passes;
    };
  }
  qint64 rows(const QString& where = "1 = 1") {
    return db.select("select count(*) from tbTerminalLog where " + where)
        .rows.at(0)
        .at(0)
        .toLongLong();
  }
  QStringList vmStates() {
    QStringList out;
    for (const auto& r : server->requests())
      if (r.code == 1081) out << r.params.at(1).toString();
    return out;
  }
};

TEST(LogUpload, EachEventReachesTheServerOnceAlsoWhenItHoldsTheRowAlready) {
  Backoffice bo;
  bo.start();
  Fixture fx;
  {
    auto log = fx.open(bo.sync());
    log->add(evProgramStarted, QString());
    log->add(evUnitSold, "sale", int(csSBP), 45.5, 12, 3001, {}, {}, 3, "7788", 1.5);
    log->add(evInformation, "info");
  }
  // Event 2 went out before a crash that kept its file.
  bo.db.exec(
      "insert into tbTerminalLog(vm_id, terminal_id, event_no, event_id, event_descr) "
      "values (5, 9, 2, 46, 'sent before')");

  auto log = fx.open(bo.sync());
  log->start();
  // Rows 1 to 3, and the "errors cleared" event (4) of the first pass.
  ASSERT_TRUE(waitFor([&] { return bo.rows() == 4 && log->queuedCount() == 0; }));
  EXPECT_TRUE(waitFor([&] { return readFile(fx.path("lsln")) == "4"; }));
  EXPECT_EQ(bo.rows("event_no = 2 and event_descr = 'sent before'"), 1);
  EXPECT_EQ(bo.rows("event_no = 1 and event_id = 32 and vm_id = 5 and terminal_id = 9"), 1);
  EXPECT_EQ(bo.rows("event_no = 3 and event_descr = 'info'"), 1);
  EXPECT_EQ(bo.rows("event_no = 4 and event_id = 52"), 1);
  EXPECT_TRUE(waitFor([&] { return QDir(fx.path("Log")).entryList(QDir::Files).isEmpty(); }));
  {
    std::lock_guard lock(fx.m);
    EXPECT_TRUE(fx.logLines.isEmpty()) << fx.logLines.join("\n").toStdString();
  }

  // Numbering goes on after a restart with nothing left on disk.
  log.reset();
  log = fx.open(bo.sync());
  log->start();
  log->add(evUnitSold, "sale", int(csCard), 0.29, 4, 3002, 11, "0012", 3, "7788", 0.125);
  ASSERT_TRUE(waitFor([&] { return bo.rows("event_id = 46") == 2; }));
  const auto row = bo.db.select(
      "select event_no, creditSource_id, amount, cell, nomenclature_id, cardProject_id, card_no, "
      "loyaltySystem_id, loayalty_card_no, discount from tbTerminalLog where event_no > 4 and "
      "event_id = 46");
  ASSERT_EQ(row.rows.size(), 1);
  const QVariantList v = row.rows.at(0);
  EXPECT_EQ(v[1].toInt(), int(csCard));
  EXPECT_DOUBLE_EQ(v[2].toDouble(), 0.29);
  EXPECT_EQ(v[3].toInt(), 4);
  EXPECT_EQ(v[4].toInt(), 3002);
  EXPECT_EQ(v[5].toInt(), 11);
  EXPECT_EQ(v[6].toString(), "0012");
  EXPECT_EQ(v[7].toInt(), 3);
  EXPECT_EQ(v[8].toString(), "7788");
  EXPECT_DOUBLE_EQ(v[9].toDouble(), 0.125);
}

TEST(LogUpload, EventsQueuedWhileTheServerIsDownGoOutWhenItIsBack) {
  Backoffice bo;
  bo.goDown();
  Fixture fx;
  auto log = fx.open(bo.sync());
  log->start();
  log->add(evPaymentError, "declined");
  log->add(evInformation, "still down");
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard lock(fx.m);
    return !fx.logLines.isEmpty();
  }));
  {
    std::lock_guard lock(fx.m);
    EXPECT_TRUE(fx.logLines.first().startsWith("TLogThread: "))
        << fx.logLines.first().toStdString();
  }
  EXPECT_EQ(bo.rows(), 0);

  bo.start();  // back, on another port; the worker copies the settings each pass
  log->add(evInformation, "back");
  ASSERT_TRUE(waitFor([&] { return bo.rows("event_id <> 52") == 3; }));
  EXPECT_EQ(bo.rows("event_no = 1 and event_descr = 'declined'"), 1);
  EXPECT_EQ(bo.rows("event_no = 2 and event_descr = 'still down'"), 1);
  EXPECT_EQ(bo.rows("event_descr = 'back'"), 1);
}

TEST(LogUpload, NothingGoesOutUntilBothIdsAreKnown) {
  Backoffice bo;
  bo.start();
  bo.terminal_id = 0;
  Fixture fx;
  auto log = fx.open(bo.sync());
  log->start();
  log->add(evProgramStarted, QString());
  ASSERT_TRUE(waitFor([&] { return bo.passes >= 1; }));
  log->add(evInformation, "wake");
  // The second pass starts only when the first is over.
  ASSERT_TRUE(waitFor([&] { return bo.passes >= 2; }));
  EXPECT_EQ(bo.rows(), 0);
  EXPECT_TRUE(QFile::exists(fx.path("Log/0000000001")));

  bo.terminal_id = 9;
  log->add(evInformation, "known now");
  ASSERT_TRUE(waitFor([&] { return bo.rows("event_id <> 52") == 3; }));
}

TEST(LogUpload, ErrorCodesAreSentWhenTheyChange) {
  Backoffice bo;
  bo.start();
  Fixture fx;
  auto log = fx.open(bo.sync());
  log->start();
  // The first pass always sends, and with no errors reports them cleared once.
  ASSERT_TRUE(waitFor([&] { return bo.vmStates().size() == 1; }));
  ASSERT_TRUE(waitFor([&] { return bo.rows("event_id = 52") == 1; }));

  bo.codes = "ZM1";
  log->add(evEquipmentError, QString::fromUtf8("Нет подключения к POS-терминалу"));
  ASSERT_TRUE(waitFor([&] { return bo.vmStates().size() == 2; }));
  log->add(evInformation, "same codes");
  ASSERT_TRUE(waitFor([&] { return bo.rows("event_descr = 'same codes'") == 1; }));

  bo.codes = "";
  log->add(evInformation, "cleared");
  ASSERT_TRUE(waitFor([&] { return bo.vmStates().size() == 3; }));
  ASSERT_TRUE(waitFor([&] { return bo.rows("event_id = 52") == 2; }));
  EXPECT_EQ(bo.vmStates(), QStringList({"", "ZM1", ""}));
  const auto state = bo.db.select("select eva_err_codes from tbVmStateLog order by id");
  ASSERT_EQ(state.rows.size(), 3);
  EXPECT_EQ(state.rows.at(1).at(0).toString(), "ZM1");
}

QStringList filesIn(const QString& dir) {
  return QDir(dir).entryList(QDir::Files, QDir::Name);
}

// One pass per letter of the script, the clock moving between them; then the
// server takes everything again and an hour goes by.
TEST(LogUpload, ARecordRefusedForAnHourIsSetAsideAndArrivesWithItsNumberOnceTaken) {
  for (const auto& c : testkit::kRefusalCases) {
    SCOPED_TRACE(c.script);
    plat::ManualClock clock;
    testkit::ClockScope clockScope(&clock);
    Backoffice bo;
    bo.codes = "ZM1";  // no "errors cleared" event in the way
    bo.start();
    testkit::RefusalScript script(*bo.server, bo.handlers, bo.db, "tbTerminalLog",
                                  "new.event_no = 1");
    Fixture fx;
    auto log = fx.open(bo.sync());
    log->add(evUnitSold, "refused sale", int(csCard), 10.0, 1, 3001);
    log->add(evUnitSold, "next sale", int(csCard), 20.0, 2, 3002);
    TJClient client;

    const QString refused = fx.path("Log/refused/0000000001");
    const QString letters = QString::fromLatin1(c.script);
    for (int pass = 1; pass <= letters.size(); ++pass) {
      SCOPED_TRACE(pass);
      script.beforePass(letters[pass - 1]);
      log->runPass(client);
      clock.advance(c.stepMs);
      const bool setAside = c.setAsideAtPass != 0 && pass >= c.setAsideAtPass;
      ASSERT_EQ(QFile::exists(refused), setAside);
      // First in line, it holds back the rest; set aside, it no longer does.
      EXPECT_EQ(bo.rows("event_no = 2"), setAside ? 1 : 0);
      EXPECT_EQ(bo.rows("event_no = 1"), 0);
      if (c.setAsideAtPass == pass) {
        EXPECT_EQ(bo.rows(QString::fromUtf8("event_no = 3 and event_id = 1 and event_descr like "
                                            "'Событие не принято сервером%№ 1, код 46%'")),
                  1);
        EXPECT_EQ(log->queuedCount(), 0);
        std::lock_guard lock(fx.m);
        EXPECT_TRUE(fx.logLines.join('\n').contains("Log/refused"))
            << fx.logLines.join('\n').toStdString();
      }
    }
    // Taken again: the record set aside goes at its next retry, within the
    // hour, with its own number; nothing is left behind.
    script.recover();
    clock.advance(TSetAsidePolicy::kRetryIntervalMs);
    log->runPass(client);
    EXPECT_EQ(bo.rows("event_no = 1 and event_descr = 'refused sale' and amount = 10"), 1);
    EXPECT_EQ(bo.rows("event_no = 2"), 1);
    EXPECT_EQ(bo.rows(), c.setAsideAtPass == 0 ? 2 : 3);
    EXPECT_EQ(filesIn(fx.path("Log")), QStringList());
    EXPECT_EQ(filesIn(fx.path("Log/refused")), QStringList());
    const quint32 last = c.setAsideAtPass == 0 ? 2 : 3;
    EXPECT_EQ(readFile(fx.path("lsln")), QByteArray::number(last));
    EXPECT_EQ(numberAfterRestart(fx, log), last + 1);
  }
}

// Set aside by an earlier run: it goes again once the queue is empty after
// the start. It is the newest number known, so lsln must now keep it from
// being given out again.
TEST(LogUpload, ARecordSetAsideInAnEarlierRunGoesAgainAfterTheStart) {
  Backoffice bo;
  bo.codes = "ZM1";
  bo.start();
  Fixture fx;
  writeFile(fx.path("lsln"), "5");
  TLogRecord r;
  r.no = 7;
  r.dt = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9));
  r.event_id = evUnitSold;
  r.descr = "set aside";
  r.amount = 60.0;
  writeFile(fx.path("Log/refused/0000000007"), r.toFileBytes());
  r.no = 6;
  r.descr = "queued";
  writeFile(fx.path("Log/0000000006"), r.toFileBytes());
  // The server has the other one of an older pair already.
  r.no = 4;
  r.descr = "set aside twice";
  writeFile(fx.path("Log/refused/0000000004"), r.toFileBytes());
  writeFile(fx.path("Log/refused/0000000004.1"), r.toFileBytes());
  bo.db.exec(
      "insert into tbTerminalLog(vm_id, terminal_id, event_no, event_id, event_descr) "
      "values (5, 9, 4, 46, 'set aside twice')");

  auto log = fx.open(bo.sync());
  TJClient client;
  log->runPass(client);
  EXPECT_EQ(bo.rows("event_no = 6 and event_descr = 'queued'"), 1);
  EXPECT_EQ(bo.rows("event_no = 7 and event_descr = 'set aside' and amount = 60"), 1);
  EXPECT_EQ(bo.rows("event_no = 4"), 1);
  EXPECT_EQ(filesIn(fx.path("Log/refused")), QStringList());
  EXPECT_EQ(readFile(fx.path("lsln")), "7");
  EXPECT_EQ(numberAfterRestart(fx, log), 8u);
}

// A back office whose database refuses every row for a minute, while the
// kiosk queues an event every few hundred milliseconds and tries again
// with each: once it is back, every event reaches it once, in order.
TEST(LogUpload, AMinuteOfRefusalsUnderLiveTrafficCostsNoEvent) {
  testkit::FastClock clock(20);  // the minute passes in three seconds
  testkit::ClockScope clockScope(&clock);
  Backoffice bo;
  bo.start();
  bo.db.exec(
      QString::fromUtf8("create trigger outage before insert on tbTerminalLog "
                        "begin select raise(abort, 'Нет соединения с базой данных'); end"));
  Fixture fx;
  auto log = fx.open(bo.sync());
  log->start();
  for (int i = 0; i < 20; ++i) {
    log->add(evUnitSold, QStringLiteral("sale %1").arg(i), int(csCard), 60.0, 1, 3001);
    QElapsedTimer t;
    t.start();
    waitFor([&] { return t.elapsed() >= 150; });
  }
  EXPECT_EQ(bo.rows(), 0);
  bo.db.exec("drop trigger outage");
  log->add(evInformation, "back");
  ASSERT_TRUE(waitFor([&] {
    return bo.rows() >= log->recNo() && filesIn(fx.path("Log")).isEmpty();
  })) << bo.rows()
      << " of " << log->recNo();
  log->stop();

  QList<qint64> numbers;
  for (const QVariantList& row :
       bo.db.select("select event_no from tbTerminalLog order by id").rows)
    numbers << row.at(0).toLongLong();
  QList<qint64> expected;
  for (qint64 no = 1; no <= qint64(log->recNo()); ++no) expected << no;
  EXPECT_EQ(numbers, expected);
  EXPECT_EQ(bo.rows("event_descr like 'sale %'"), 20);
  EXPECT_EQ(filesIn(fx.path("Log/refused")), QStringList());
}

// Record files 1..n as a restart finds them, each with its number in the text.
void queueOnDisk(Fixture& fx, quint32 from, quint32 to) {
  for (quint32 no = from; no <= to; ++no) {
    TLogRecord r;
    r.no = no;
    r.dt = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9));
    r.event_id = evUnitSold;
    r.descr = QStringLiteral("sale %1").arg(no);
    r.amount = 45.5;
    writeFile(fx.path("Log/" + TLogRecord::fileNameOf(no)), r.toFileBytes());
  }
}

QStringList filesLeft(Fixture& fx) {
  return QDir(fx.path("Log")).entryList(QDir::Files, QDir::Name);
}

TEST(LogUpload, ALongQueueGoesOutInBatchesInOnePassAndTheFolderIsListedOnce) {
  Backoffice bo;
  bo.codes = "ZM1";  // no "errors cleared" event in the count
  bo.start();
  Fixture fx;
  queueOnDisk(fx, 1, 250);
  auto log = fx.open(bo.sync());
  log->add(evInformation, "while the memory is full");  // 251, noted as waiting on disk
  EXPECT_EQ(log->waitingOnDiskCount(), 151);
  TJClient client;
  log->runPass(client);

  EXPECT_EQ(bo.rows(), 251);
  EXPECT_EQ(bo.rows("event_no = 250 and event_descr = 'sale 250' and amount = 45.5"), 1);
  EXPECT_EQ(bo.rows("event_no = 251 and event_descr = 'while the memory is full'"), 1);
  EXPECT_EQ(readFile(fx.path("lsln")), "251");
  EXPECT_EQ(filesLeft(fx), QStringList());
  EXPECT_EQ(log->queuedCount(), 0);
  const TLogDrainStats s = log->drainStats();
  EXPECT_EQ(s.passes, 1);
  EXPECT_EQ(s.batches, 3);  // 100, 100 and 51 rows
  EXPECT_EQ(s.rows, 251);
  EXPECT_EQ(s.rowByRow, 0);
  EXPECT_EQ(s.listings, 2);  // at the start, and once the known files were all sent
  std::lock_guard lock(fx.m);
  EXPECT_TRUE(fx.logLines.isEmpty()) << fx.logLines.join("\n").toStdString();
}

TEST(LogUpload, AFileThatAppearsInTheFolderGoesOutOnceTheKnownOnesAreSent) {
  Backoffice bo;
  bo.codes = "ZM1";
  bo.start();
  Fixture fx;
  queueOnDisk(fx, 1, 3);
  auto log = fx.open(bo.sync());
  queueOnDisk(fx, 7, 7);  // put back by hand after the start's listing
  TJClient client;
  log->runPass(client);
  EXPECT_EQ(bo.rows(), 3);
  EXPECT_EQ(log->queuedCount(), 1);  // found by the listing at the end of the pass
  log->runPass(client);
  EXPECT_EQ(bo.rows("event_no = 7 and event_descr = 'sale 7'"), 1);
  EXPECT_EQ(filesLeft(fx), QStringList());
  EXPECT_EQ(readFile(fx.path("lsln")), "7");
}

TEST(LogUpload, APassEndsAfterItsTimeAndTheNextGoesOnAtOnce) {
  plat::ManualClock clock;
  testkit::ClockScope scope(&clock);
  Backoffice bo;
  bo.codes = "ZM1";
  bo.start();
  // Each batch takes longer than a pass may.
  bo.server->setRequestHandler([&](const ServerRequest& rq, ServerReply& rep) {
    if (rq.code == 27) clock.advance(TLogThread::kDrainSliceMs);
    bo.handlers.handle(rq, rep);
  });
  Fixture fx;
  queueOnDisk(fx, 1, 250);
  auto log = fx.open(bo.sync());
  log->start();
  ASSERT_TRUE(waitFor([&] { return bo.rows() == 250 && filesLeft(fx).isEmpty(); }));
  log->stop();
  const TLogDrainStats s = log->drainStats();
  EXPECT_EQ(s.batches, 3);
  EXPECT_GE(s.passes, 3);  // one per batch, none of them waiting for the next
  EXPECT_EQ(readFile(fx.path("lsln")), "250");
}

// The stand-in stores the rows of a batch in one transaction: a row it
// refuses refuses the batch, and the rows go again one by one.
TEST(LogUpload, ABatchWithARowTheServerRefusesGoesRowByRow) {
  Backoffice bo;
  bo.codes = "ZM1";
  bo.start();
  bo.db.exec(
      "create trigger refuse3 before insert on tbTerminalLog when new.event_no = 3 "
      "begin select raise(abort, 'row 3 refused'); end");
  Fixture fx;
  queueOnDisk(fx, 1, 5);
  auto log = fx.open(bo.sync());
  TJClient client;
  log->runPass(client);

  // The rows before the refused one are in and done with; it and the rows
  // behind it wait for the next pass.
  EXPECT_EQ(bo.rows(), 2);
  EXPECT_EQ(bo.rows("event_no in (1, 2)"), 2);
  EXPECT_EQ(filesLeft(fx), QStringList({"0000000003", "0000000004", "0000000005"}));
  EXPECT_EQ(readFile(fx.path("lsln")), "2");
  EXPECT_EQ(log->queuedCount(), 3);
  EXPECT_EQ(log->drainStats().rowByRow, 1);
  {
    std::lock_guard lock(fx.m);
    EXPECT_TRUE(fx.logLines.join('\n').contains("row 3 refused"))
        << fx.logLines.join('\n').toStdString();
  }

  // Taken now; 4 reached the server meanwhile, as after a crash.
  bo.db.exec("drop trigger refuse3");
  bo.db.exec(
      "insert into tbTerminalLog(vm_id, terminal_id, event_no, event_id, event_descr) "
      "values (5, 9, 4, 46, 'sent before')");
  log->runPass(client);
  EXPECT_EQ(bo.rows(), 5);
  EXPECT_EQ(bo.rows("event_no = 3 and event_descr = 'sale 3'"), 1);
  EXPECT_EQ(bo.rows("event_no = 4 and event_descr = 'sent before'"), 1);
  EXPECT_EQ(bo.rows("event_no = 5 and event_descr = 'sale 5'"), 1);
  EXPECT_EQ(filesLeft(fx), QStringList());
  EXPECT_EQ(readFile(fx.path("lsln")), "5");
  EXPECT_EQ(log->drainStats().rowByRow, 2);
}

// lsln cannot be written (a folder stands in its place): the rows are on the
// server, but no file of theirs goes before lsln says so, as after a crash
// at that point. Sent again later, they are taken as already there.
TEST(LogUpload, NoFileOfAnUploadedBatchGoesBeforeLslnIsWritten) {
  Backoffice bo;
  bo.codes = "ZM1";
  bo.start();
  Fixture fx;
  queueOnDisk(fx, 1, 5);
  auto log = fx.open(bo.sync());
  ASSERT_TRUE(QDir().mkpath(fx.path("lsln")));
  TJClient client;
  log->runPass(client);
  EXPECT_EQ(bo.rows(), 5);
  EXPECT_EQ(filesLeft(fx).size(), 5);
  {
    std::lock_guard lock(fx.m);
    EXPECT_TRUE(fx.logLines.join('\n').contains("(4)")) << fx.logLines.join('\n').toStdString();
  }

  ASSERT_TRUE(QDir(fx.path("lsln")).removeRecursively());
  log->runPass(client);  // finds the files again
  log->runPass(client);
  EXPECT_EQ(bo.rows(), 5);
  EXPECT_EQ(bo.rows("event_descr = 'sale ' || event_no"), 5);
  EXPECT_EQ(filesLeft(fx), QStringList());
  EXPECT_EQ(readFile(fx.path("lsln")), "5");
}

// The server stores a batch and the link breaks before its answer: the rows
// wait, go again, and each is on the server once.
TEST(LogUpload, ABatchStoredWithoutAnAnswerIsNotStoredTwice) {
  Backoffice bo;
  bo.codes = "ZM1";
  bo.start();
  std::atomic<bool> cut{true};
  bo.server->setRequestHandler([&](const ServerRequest& rq, ServerReply& rep) {
    bo.handlers.handle(rq, rep);
    if (rq.code == 27 && cut.exchange(false))
      bo.server->addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
  });
  Fixture fx;
  queueOnDisk(fx, 1, 5);
  auto log = fx.open(bo.sync());
  TJClient client;
  log->runPass(client);
  EXPECT_EQ(bo.rows(), 5);
  EXPECT_EQ(filesLeft(fx).size(), 5);
  EXPECT_FALSE(QFile::exists(fx.path("lsln")));

  log->runPass(client);
  EXPECT_EQ(bo.rows(), 5);
  EXPECT_EQ(bo.rows("event_descr = 'sale ' || event_no"), 5);
  EXPECT_EQ(filesLeft(fx), QStringList());
  EXPECT_EQ(readFile(fx.path("lsln")), "5");
  EXPECT_EQ(numberAfterRestart(fx, log), 6u);
}

TEST(LogUpload, AStaleRecordSentLateDoesNotPullLslnBack) {
  Backoffice bo;
  bo.start();
  Fixture fx;
  writeFile(fx.path("lsln"), "20");
  writeFile(fx.path("Log/0000000010"), kElevenLines);
  auto log = fx.open(bo.sync());
  log->start();
  ASSERT_TRUE(waitFor([&] { return bo.rows("event_no = 10") == 1 && log->queuedCount() == 0; }));
  log.reset();
  EXPECT_EQ(readFile(fx.path("lsln")), "21");  // 21 went out too: the first pass's event 52
  EXPECT_EQ(numberAfterRestart(fx, log), 22u);
}

// --- the round of retries of what was set aside -------------------------------

// Records 1..n set aside by an earlier run, each refused by the server.
void setAsideOnDisk(Fixture& fx, Backoffice& bo, quint32 n) {
  for (quint32 no = 1; no <= n; ++no) {
    TLogRecord r;
    r.no = no;
    r.dt = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9));
    r.event_id = evUnitSold;
    r.descr = QStringLiteral("set aside %1").arg(no);
    writeFile(fx.path("Log/refused/" + TLogRecord::fileNameOf(no)), r.toFileBytes());
  }
  bo.db.exec(
      QString::fromUtf8("create trigger refused before insert on tbTerminalLog when "
                        "new.event_descr like 'set aside%' "
                        "begin select raise(abort, 'Запись не принята'); end"));
}

// The event numbers of the inserts the server received, in order.
QList<qint64> insertedNumbers(Backoffice& bo) {
  QList<qint64> out;
  for (const ServerRequest& rq : bo.server->requests()) {
    if (rq.code != 7) continue;
    for (size_t i = 4; i + 2 < rq.params.size(); i += 3)
      if (rq.params[i].toString() == QLatin1String("event_no")) out << rq.params[i + 2].toInt64();
  }
  return out;
}

// Many records set aside, each refused only after two seconds: a sale queued
// while the round runs goes out after the record in flight, not after all of
// them, and no pass spends much more than its share of time on the round.
TEST(LogSetAsideRound, NewEventsGoFirstAndAPassSpendsOnlyItsShareOnTheRound) {
  plat::ManualClock clock;
  testkit::ClockScope clockScope(&clock);
  Backoffice bo;
  bo.codes = "ZM1";
  bo.start();
  Fixture fx;
  setAsideOnDisk(fx, bo, 12);
  auto log = fx.open(bo.sync());
  std::atomic<int> refusals{0};
  bo.server->setRequestHandler([&](const ServerRequest& rq, ServerReply& rep) {
    if (rq.code == 7 && rq.params.size() > 18 && rq.params[18].toInt64() <= 12) {
      clock.advance(2'000);
      if (++refusals == 1) log->add(evUnitSold, "live sale", int(csCard), 60.0, 1, 3001);
    }
    bo.handlers.handle(rq, rep);
  });
  TJClient client;
  QList<QList<qint64>> passes;
  for (int pass = 0; pass < 7; ++pass) {
    const qsizetype before = insertedNumbers(bo).size();
    log->runPass(client);
    passes << insertedNumbers(bo).mid(before);
  }
  const QList<QList<qint64>> expected{{1}, {13, 2, 3, 4}, {5, 6, 7}, {8, 9, 10}, {11, 12}, {}, {}};
  EXPECT_EQ(passes, expected);
  EXPECT_EQ(bo.rows("event_no = 13 and event_descr = 'live sale'"), 1);
  EXPECT_EQ(filesIn(fx.path("Log/refused")).size(), 12);
}

// The link breaks in the middle of a round: the next pass goes on with the
// record it broke on instead of sending the first ones again.
TEST(LogSetAsideRound, ALinkFailureInARoundGoesOnWithTheRecordItFailedOn) {
  Backoffice bo;
  bo.codes = "ZM1";
  bo.start();
  Fixture fx;
  setAsideOnDisk(fx, bo, 6);
  bo.db.exec("drop trigger refused");
  bo.db.exec(
      QString::fromUtf8("create trigger refused before insert on tbTerminalLog when "
                        "new.event_no <> 5 begin select raise(abort, 'Запись не "
                        "принята'); end"));
  std::atomic<int> inserts{0};
  bo.server->setRequestHandler([&](const ServerRequest& rq, ServerReply& rep) {
    if (rq.code == 7 && ++inserts == 3) {
      bo.server->addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
      return rep.refuse("cut");
    }
    bo.handlers.handle(rq, rep);
  });
  auto log = fx.open(bo.sync());
  TJClient client;
  QList<QList<qint64>> passes;
  for (int pass = 0; pass < 3; ++pass) {
    const qsizetype before = insertedNumbers(bo).size();
    log->runPass(client);
    passes << insertedNumbers(bo).mid(before);
  }
  EXPECT_EQ(passes, (QList<QList<qint64>>{{1, 2, 3}, {3, 4, 5, 6}, {}}));
  EXPECT_EQ(bo.rows(), 1);
  EXPECT_EQ(bo.rows("event_no = 5 and event_descr = 'set aside 5'"), 1);
  EXPECT_EQ(filesIn(fx.path("Log/refused")),
            QStringList({"0000000001", "0000000002", "0000000003", "0000000004", "0000000006"}));
}

// A record whose file could not be written is refused for an hour: it is set
// aside like the others, on disk when its file can be written by then, else
// in memory, and it reaches the server once it is taken again.
TEST(LogSetAsideRound, ARecordWhoseFileCouldNotBeWrittenIsKeptWhenSetAside) {
  for (const bool diskBack : {false, true}) {
    SCOPED_TRACE(diskBack ? "its file can be written by then" : "its file still cannot be written");
    plat::ManualClock clock;
    testkit::ClockScope clockScope(&clock);
    Backoffice bo;
    bo.codes = "ZM1";
    bo.start();
    testkit::RefusalScript script(*bo.server, bo.handlers, bo.db, "tbTerminalLog",
                                  "new.event_no = 1");
    Fixture fx;
    auto log = fx.open(bo.sync());
    // A folder where record 1's file is written first.
    const QString blocker = fx.path("Log/.tmp/" + TLogRecord::fileNameOf(1));
    ASSERT_TRUE(QDir().mkpath(blocker));
    log->add(evUnitSold, "unwritten sale", int(csCard), 10.0, 1, 3001);
    log->add(evUnitSold, "next sale", int(csCard), 20.0, 2, 3002);
    ASSERT_FALSE(QFile::exists(fx.path("Log/0000000001")));
    if (diskBack) {
      ASSERT_TRUE(QDir(blocker).removeRecursively());
    }

    TJClient client;
    for (int pass = 1; pass <= 10; ++pass) {
      script.beforePass(u'R');
      log->runPass(client);
      clock.advance(400'000);
    }
    EXPECT_EQ(bo.rows("event_no = 2"), 1);  // no longer held back
    EXPECT_EQ(log->queuedCount(), 0);
    EXPECT_EQ(filesIn(fx.path("Log/refused")),
              diskBack ? QStringList({"0000000001"}) : QStringList());
    if (diskBack) {
      EXPECT_EQ(TLogRecord::fromFileBytes("0000000001", readFile(fx.path("Log/refused/0000000001")))
                    .descr,
                "unwritten sale");
    }

    script.recover();
    clock.advance(TSetAsidePolicy::kRetryIntervalMs);
    log->runPass(client);
    EXPECT_EQ(bo.rows("event_no = 1 and event_descr = 'unwritten sale' and amount = 10"), 1);
    EXPECT_EQ(filesIn(fx.path("Log/refused")), QStringList());
    clock.advance(TSetAsidePolicy::kRetryIntervalMs);
    log->runPass(client);
    EXPECT_EQ(bo.rows("event_no = 1"), 1);
  }
}

// --- a kill at any point of a drain -------------------------------------------

// The number and text of every record file waiting in the folder. A file
// that does not load would be a torn write.
std::map<quint32, QString> waitingRecords(Fixture& fx) {
  std::map<quint32, QString> out;
  for (const QString& name : filesLeft(fx)) {
    try {
      const TLogRecord r = TLogRecord::fromFileBytes(name, readFile(fx.path("Log/" + name)));
      out[r.no] = r.descr;
    } catch (const Exception& e) {
      ADD_FAILURE() << e.message().toStdString();
    }
  }
  return out;
}

// A queue of its own program, killed with SIGKILL again and again while it
// starts, queues events and drains a long queue in batches; then left to
// finish. Every event that ever waited in the folder reaches the server once
// with its own text, no event reaches it twice, and lsln never goes back.
TEST(LogCrash, AKillAtAnyPointOfADrainNeitherLosesNorDoublesAnEvent) {
  Backoffice bo;
  bo.start();
  Fixture fx;
  queueOnDisk(fx, 1, 600);
  std::map<quint32, QString> seen = waitingRecords(fx);
  quint32 lastSent = 0;
  auto look = [&] {
    for (const auto& [no, descr] : waitingRecords(fx)) {
      const auto [it, fresh] = seen.emplace(no, descr);
      EXPECT_EQ(it->second, descr) << "number " << no << " was given out twice";
    }
    const quint32 sent = readFile(fx.path("lsln")).toUInt();
    EXPECT_GE(sent, lastSent);
    lastSent = sent;
  };
  const QString port = QString::number(bo.server->port());
  for (int trial = 0; trial < 16; ++trial) {
    testkit::ChildProcess probe;
    ASSERT_TRUE(probe.start(QStringLiteral(VEKTA_LOG_DRAIN_PROBE),
                            {fx.dir.path(), port, QStringLiteral("run %1").arg(trial)}));
    // From the program's start to past the end of a drain, in steps.
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + 30 * trial));
    probe.kill();
    look();
  }
  testkit::ChildProcess probe;
  ASSERT_TRUE(probe.start(QStringLiteral(VEKTA_LOG_DRAIN_PROBE),
                          {fx.dir.path(), port, QStringLiteral("last run")}));
  ASSERT_TRUE(probe.waitFinished(60'000));
  EXPECT_EQ(probe.exitCode(), 0);
  look();
  EXPECT_EQ(filesLeft(fx), QStringList());

  for (const auto& [no, descr] : seen)
    EXPECT_EQ(bo.rows(QStringLiteral("event_no = %1 and event_descr = '%2'").arg(no).arg(descr)), 1)
        << no << " " << descr.toStdString();
  EXPECT_EQ(bo.rows("event_descr like 'sale %'"), 600);
  EXPECT_EQ(bo.rows("event_descr like 'last run %'"), 3);
  const auto doubled = bo.db.select(
      "select event_descr from tbTerminalLog group by event_descr having count(*) > 1");
  EXPECT_EQ(doubled.rows.size(), 0);
  EXPECT_EQ(
      QString::number(lastSent),
      QString::number(
          bo.db.select("select max(event_no) from tbTerminalLog").rows.at(0).at(0).toLongLong()));
}

}  // namespace
