// Closing the kiosk program on SIGTERM while its back office has gone silent:
// it still accepts connections but never answers. The kiosk registers with
// the stand-in back office, opens its home screen, then the back office is
// replaced on the same port by a silent one, and after a few seconds (the
// workers are then waiting on it) the kiosk gets SIGTERM. The time runs from
// the signal until the process has ended.
//
// The baseline is the same close with the back office gone altogether
// (connections refused), measured in the same run: what a silent server adds
// to the close is the difference. VEKTA_KIOSK names another kiosk program to
// measure (an older build, for a before/after figure).

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/TcpServer.h"
#include "support/SilentServer.h"
#include "testbed/SimHandlers.h"

namespace {

const QString kHomeScreen = QStringLiteral("Открыта главная страница");
constexpr int kSilentBeforeSignalMs = 6000;

QString kioskProgram() {
  const QString custom = qEnvironmentVariable("VEKTA_KIOSK");
  return custom.isEmpty() ? QStringLiteral(VEKTA_BIN_DIR "/vekta") : custom;
}

int freePort() {
  plat::TcpServer s;
  s.listen();
  return s.port();
}

// A kiosk with its own data folder, registered with a stand-in back office
// on a fixed port, so that a silent server can take the port over.
class Kiosk {
 public:
  Kiosk() : port_(freePort()) {
    ProtocolServerOptions options;
    options.port = port_;
    office_ = std::make_unique<sim::BackofficeSim>(
        officeDir_.filePath(QStringLiteral("backoffice.db")), true, QString(), options);
    env_ = QProcessEnvironment::systemEnvironment();
    env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env_.insert(QStringLiteral("VEKTA_DATA_DIR"), data_.path());
    env_.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
    env_.insert(QStringLiteral("VEKTA_PORTS_DIR"), ports_.path());
    env_.insert(QStringLiteral("VEKTA_OSK_COMMAND"), QStringLiteral("true"));
    TSettingsStorage ss;
    writeText(ss, SettingsKeys::host, QStringLiteral("127.0.0.1"));
    writeInt(ss, SettingsKeys::port, port_);
    writeText(ss, SettingsKeys::login, QStringLiteral("demo"));
    writePassword(ss, SettingsKeys::password, QStringLiteral("demo"));
    ss.SaveToIniFile(data_.filePath(QStringLiteral("vekta.ini")));
  }

  // One start to the home screen against the back office, which then goes
  // silent (or away), and the close; the seconds from SIGTERM to the end.
  // Negative when the kiosk did not come up or did not end within a minute.
  double closeSeconds(bool silent) {
    const QString log = data_.filePath(QStringLiteral("vekta.log"));
    const int shownBefore = homeScreens(log);
    office_->start();
    QProcess p;
    p.setProcessEnvironment(env_);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(kioskProgram(), {});
    if (!p.waitForStarted(10000)) return -1;
    QDeadlineTimer shown(60000);
    while (homeScreens(log) == shownBefore && !shown.hasExpired()) QThread::msleep(20);
    office_->stop();
    std::optional<testkit::SilentServer> server;
    if (silent) server.emplace(-1, port_);
    QThread::msleep(kSilentBeforeSignalMs);
    if (homeScreens(log) == shownBefore || p.state() != QProcess::Running) {
      QFile f(log);
      if (qEnvironmentVariableIsSet("VEKTA_BENCH_VERBOSE") && f.open(QIODevice::ReadOnly))
        std::fprintf(stderr, "%s\n", f.readAll().constData());
      p.kill();
      p.waitForFinished(5000);
      return -1;
    }
    QElapsedTimer timer;
    timer.start();
    ::kill(pid_t(p.processId()), SIGTERM);
    const bool ended = p.waitForFinished(60000);
    const double s = double(timer.nsecsElapsed()) / 1e9;
    if (!ended) {
      p.kill();
      p.waitForFinished(5000);
      return -1;
    }
    return s;
  }

 private:
  static int homeScreens(const QString& log) {
    QFile f(log);
    return f.open(QIODevice::ReadOnly) ? int(QString::fromUtf8(f.readAll()).count(kHomeScreen)) : 0;
  }

  QTemporaryDir data_, runtime_, ports_, officeDir_;
  const int port_;
  std::unique_ptr<sim::BackofficeSim> office_;
  QProcessEnvironment env_;
};

void closeBenchmark(benchmark::State& state, bool silent) {
  Kiosk kiosk;
  for (auto _ : state) {
    const double s = kiosk.closeSeconds(silent);
    if (s < 0) {
      state.SkipWithError("the kiosk did not reach its home screen or did not end");
      break;
    }
    state.SetIterationTime(s);
  }
}

void BM_KioskCloseBackofficeGone(benchmark::State& state) {
  closeBenchmark(state, false);
}

void BM_KioskCloseBackofficeSilent(benchmark::State& state) {
  closeBenchmark(state, true);
}

BENCHMARK(BM_KioskCloseBackofficeGone)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_KioskCloseBackofficeSilent)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
