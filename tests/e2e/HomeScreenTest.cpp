// The kiosk program against the stand-in back office with its demo seed, as
// the demo runs it: it registers itself, loads the demo assortment and opens
// the home screen; started again with the server gone, it opens the home
// screen from its cache and reports the failed reload.

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/AppPaths.h"
#include "platform/TextCodec.h"
#include "testbed/SimHandlers.h"
#include "tests/support/ChildProcess.h"

namespace {

QString kioskBinary() {
  const QString dir = qEnvironmentVariable("VEKTA_TEST_BIN_DIR");
  return (dir.isEmpty() ? plat::programFolder() : dir) + QStringLiteral("/vekta");
}

QString readText(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? plat::fromAnsi(f.readAll()) : QString();
}

// The local log is UTF-8.
QString readLog(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool waitForCount(const QString& path, const QString& needle, int count, int ms) {
  QDeadlineTimer deadline(ms);
  while (!deadline.hasExpired()) {
    if (readLog(path).count(needle) >= count) return true;
    QThread::msleep(50);
  }
  return false;
}

// A kiosk process in its own data, runtime and (empty) ports folders.
class Kiosk {
 public:
  explicit Kiosk(const QString& dataDir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VEKTA_DATA_DIR"), dataDir);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
    env.insert(QStringLiteral("VEKTA_PORTS_DIR"), ports_.path());  // no card terminal
    env.insert(QStringLiteral("VEKTA_OSK_COMMAND"), QStringLiteral("true"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    started_ = process_.start(kioskBinary(), {}, testkit::ChildProcess::Output::Inherit, env);
  }
  bool started() const { return started_; }
  // SIGTERM closes the kiosk in order, without the service password.
  bool stop() {
    return process_.terminate() && process_.waitFinished(30000) && process_.normalExit() &&
           process_.exitCode() == 0;
  }

 private:
  QTemporaryDir runtime_, ports_;
  testkit::ChildProcess process_;  // killed with the test, whatever way it ends
  bool started_ = false;
};

}  // namespace

TEST(HomeScreenEndToEnd, DemoKioskRegistersLoadsAndOpensTheHomeScreenThenFromTheCache) {
  QTemporaryDir data, office;
  sim::BackofficeSim backoffice(office.filePath(QStringLiteral("backoffice.db")), true);
  backoffice.start();

  TSettingsStorage ss;
  writeText(ss, SettingsKeys::host, QStringLiteral("127.0.0.1"));
  writeInt(ss, SettingsKeys::port, backoffice.port());
  writeText(ss, SettingsKeys::login, QStringLiteral("demo"));
  writePassword(ss, SettingsKeys::password, QStringLiteral("demo"));
  ASSERT_EQ(ss.SaveToIniFile(data.filePath(QStringLiteral("vekta.ini"))).error.toStdString(), "");

  const QString log = data.filePath(QStringLiteral("vekta.log"));
  const QString home = QStringLiteral("Открыта главная страница: напитков 10, снеков 10");
  const QString failedReload = QStringLiteral("Ошибка обновления конфигурации (");
  {
    Kiosk kiosk(data.path());
    ASSERT_TRUE(kiosk.started()) << kioskBinary().toStdString();
    ASSERT_TRUE(waitForCount(log, home, 1, 60000)) << readLog(log).toStdString();
    EXPECT_TRUE(kiosk.stop());
  }
  const QString ini = readText(data.filePath(QStringLiteral("vekta.ini")));
  EXPECT_TRUE(ini.contains(QStringLiteral("protocolSerialNumber=001\r\n"))) << ini.toStdString();
  const auto machines =
      backoffice.db().select(QStringLiteral("select protocolSerialNumber from tbVm"));
  ASSERT_EQ(machines.rows.size(), 1);
  EXPECT_EQ(machines.rows[0][0].toString(), QStringLiteral("NVQ001"));
  EXPECT_FALSE(readLog(log).contains(failedReload));

  backoffice.stop();
  {
    Kiosk kiosk(data.path());
    ASSERT_TRUE(kiosk.started());
    ASSERT_TRUE(waitForCount(log, home, 2, 60000)) << readLog(log).toStdString();
    // The cache start reloads at once; the server is gone, so that fails and
    // the next try waits, with the home screen working meanwhile.
    EXPECT_TRUE(waitForCount(log, failedReload, 1, 30000)) << readLog(log).toStdString();
    EXPECT_TRUE(kiosk.stop());
  }
  EXPECT_EQ(readLog(log).count(failedReload), 1);
}
