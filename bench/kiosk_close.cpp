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

#include <QElapsedTimer>
#include <cstdio>
#include <memory>
#include <optional>

#include "bench/KioskProcess.h"
#include "platform/TcpServer.h"
#include "support/SilentServer.h"
#include "testbed/SimHandlers.h"

namespace {

using namespace benchkit;

constexpr int kSilentBeforeSignalMs = 6000;

int freePort() {
  plat::TcpServer s;
  s.listen();
  return s.port();
}

// A kiosk with its own data folder, registered with a stand-in back office
// on a fixed port, so that a silent server can take the port over.
class Kiosk {
 public:
  Kiosk() : port_(freePort()), folders_(port_) {
    ProtocolServerOptions options;
    options.port = port_;
    office_ = std::make_unique<sim::BackofficeSim>(
        officeDir_.filePath(QStringLiteral("backoffice.db")), true, QString(), options);
  }

  // One start to the home screen against the back office, which then goes
  // silent (or away), and the close; the seconds from SIGTERM to the end.
  // Negative when the kiosk did not come up or did not end within a minute.
  double closeSeconds(bool silent) {
    const QString log = folders_.logFile();
    const int shownBefore = homeScreens(log);
    office_->start();
    QProcess p;
    folders_.prepare(p);
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
  static int homeScreens(const QString& log) { return countInFile(log, kHomeScreenLine.toUtf8()); }

  QTemporaryDir officeDir_;
  const int port_;
  KioskFolders folders_;
  std::unique_ptr<sim::BackofficeSim> office_;
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
