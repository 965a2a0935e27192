// The wallpaper download thread against the stand-in back office, and the
// guards that keep the kiosk in front.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <atomic>
#include <mutex>

#include "backoffice/JClient.h"
#include "kiosk/BackgroundThreads.h"
#include "testbed/SimHandlers.h"

namespace {

void writeAll(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray pattern(int n, char seed) {
  QByteArray b(n, Qt::Uninitialized);
  for (int i = 0; i < n; ++i) b[i] = char(seed + i * 7);
  return b;
}

// A stand-in back office with a files folder, a kiosk data folder and a
// wallpaper thread whose main-thread copy step takes the list set here.
class WallpaperDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    sim = std::make_unique<sim::BackofficeSim>(dir.filePath(QStringLiteral("office.db")));
    sim->start();
    TWallpaperThreadContext ctx;
    ctx.dataFolder = dir.filePath(QStringLiteral("data"));
    ctx.synchronize = [this](TJClient& client, QStringList& files) {
      EXPECT_TRUE(QThread::currentThread() == qApp->thread());
      client.setHost(QStringLiteral("127.0.0.1"));
      client.setPort(sim->port());
      client.setServerType(QStringLiteral("DR"));
      client.setLogin(QStringLiteral("demo"));
      client.setPassword(QStringLiteral("demo"));
      client.setShowProgress(false);
      files = list;
    };
    ctx.log = [this](const QString& text) {
      std::lock_guard lock(mutex);
      logLines << text;
    };
    thread = std::make_unique<TWallpaperThread>(std::move(ctx));
    thread->retryPauseMs = 50;
  }
  void TearDown() override {
    thread.reset();
    sim->stop();
  }
  QString serverFile(const QString& name) const {
    return sim->handlers().filesDir() + QStringLiteral("/VektaWallpaper/") + name;
  }
  QString local(const QString& name) const {
    return dir.filePath(QStringLiteral("data/Wallpaper/") + name);
  }
  QStringList log() {
    std::lock_guard lock(mutex);
    return logLines;
  }
  bool waitForPasses(int n) {
    return QTest::qWaitFor([&] { return thread->passes() >= n; }, 60000);
  }

  QTemporaryDir dir;
  std::unique_ptr<sim::BackofficeSim> sim;
  std::unique_ptr<TWallpaperThread> thread;
  QStringList list;
  std::mutex mutex;
  QStringList logLines;
};

}  // namespace

TEST(WallpaperNames, OnlyPlainNamesInsideTheFolder) {
  const struct {
    const char* name;
    bool safe;
  } cases[] = {
      {"a.jpg", true},      {"реклама 1.png", true}, {"..a", true},       {"", false},
      {".", false},         {"..", false},           {"../x.jpg", false}, {"sub/x.jpg", false},
      {"..\\x.jpg", false}, {"/etc/passwd", false}};
  for (const auto& c : cases)
    EXPECT_EQ(isSafeWallpaperName(QString::fromUtf8(c.name)), c.safe) << c.name;
}

TEST_F(WallpaperDownload, FetchesMissingFilesOnlyAndRetriesFailuresWithoutFloodingTheLog) {
  const QByteArray a = pattern(200000, 1);  // more than one chunk
  writeAll(serverFile(QStringLiteral("a.jpg")), a);
  writeAll(serverFile(QStringLiteral("b.png")), pattern(100, 2));
  writeAll(local(QStringLiteral("b.png")), "kept");   // present: not fetched again
  writeAll(local(QStringLiteral("old.png")), "old");  // no longer listed: left alone
  list = {QStringLiteral("missing.jpg"), QStringLiteral("a.jpg"), QStringLiteral("b.png"),
          QStringLiteral("../escape.jpg")};

  thread->start();
  ASSERT_TRUE(waitForPasses(3)) << "a failing name makes the thread check again";

  EXPECT_EQ(readAll(local(QStringLiteral("a.jpg"))), a);
  EXPECT_EQ(readAll(local(QStringLiteral("b.png"))), QByteArray("kept"));
  EXPECT_EQ(readAll(local(QStringLiteral("old.png"))), QByteArray("old"));
  EXPECT_FALSE(QFile::exists(local(QStringLiteral("Tmp/a.jpg"))));
  EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("data/escape.jpg"))));
  EXPECT_FALSE(QFile::exists(local(QStringLiteral("missing.jpg"))));

  // One line per failing name, however often it is retried.
  const QStringList lines = log();
  ASSERT_EQ(lines.size(), 2) << lines.join(u'\n').toStdString();
  EXPECT_TRUE(lines[0].startsWith(QStringLiteral("TWallpaperThread: missing.jpg: ")));
  EXPECT_TRUE(lines[1].startsWith(QStringLiteral("TWallpaperThread: ../escape.jpg: ")));

  // Once the server has the file, the next pass brings it.
  writeAll(serverFile(QStringLiteral("missing.jpg")), pattern(10, 3));
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return QFile::exists(local(QStringLiteral("missing.jpg"))); }, 60000));
  EXPECT_EQ(readAll(local(QStringLiteral("missing.jpg"))), pattern(10, 3));
}

TEST_F(WallpaperDownload, SleepsAfterASuccessfulPassUntilWokenForANewList) {
  writeAll(serverFile(QStringLiteral("a.jpg")), pattern(10, 1));
  writeAll(serverFile(QStringLiteral("c.jpg")), pattern(20, 4));
  list = {QStringLiteral("a.jpg")};
  thread->start();
  ASSERT_TRUE(waitForPasses(1));
  QTest::qWait(300);
  EXPECT_EQ(thread->passes(), 1) << "nothing failed: no pass until woken";
  EXPECT_TRUE(log().isEmpty());

  list = {QStringLiteral("a.jpg"), QStringLiteral("c.jpg")};
  thread->start();  // a settings application wakes the running thread
  ASSERT_TRUE(waitForPasses(2));
  EXPECT_EQ(readAll(local(QStringLiteral("c.jpg"))), pattern(20, 4));
}

TEST_F(WallpaperDownload, AServerThatIsDownIsAskedAgainAfterThePause) {
  list = {QStringLiteral("a.jpg")};
  writeAll(serverFile(QStringLiteral("a.jpg")), pattern(10, 1));
  sim->stop();
  thread->start();
  ASSERT_TRUE(waitForPasses(2)) << "the thread keeps trying instead of ending";
  EXPECT_EQ(log().size(), 1);
  sim->start();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return QFile::exists(local(QStringLiteral("a.jpg"))); }, 60000));
}

TEST(CharmBarThread, RunsItsStepOnTheMainThreadUntilDestroyed) {
  std::atomic<int> steps{0};
  std::atomic<bool> offMain{false};
  auto guard = std::make_unique<TCharmBarThread>([&] {
    if (QThread::currentThread() != qApp->thread()) offMain = true;
    ++steps;
    throw std::runtime_error("ignored");  // a failing step does not stop the guard
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return steps >= 3; }, 10000));
  guard.reset();
  const int atStop = steps;
  QTest::qWait(600);
  EXPECT_EQ(steps, atStop) << "a step queued before the end does not run";
  EXPECT_FALSE(offMain);
}

TEST(ForegroundWindow, AMinimisedKioskFormIsRestored) {
  QWidget form;
  form.show();
  form.setWindowState(Qt::WindowMinimized);
  ASSERT_TRUE(form.isMinimized());
  forceForegroundWindow(&form);
  EXPECT_FALSE(form.isMinimized());
  EXPECT_FALSE(forceForegroundWindow(nullptr));
}
