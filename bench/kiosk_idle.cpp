// The demo kiosk left alone on its home screen (offscreen) against
// the stand-in back office, against a bare Qt window of the same size left
// open the same way. Each is a whole process; once its window is shown the
// benchmark waits a moment for start-up work to settle, then reads the
// process's CPU time (/proc/<pid>/stat) over the idle period and its resident
// memory (/proc/<pid>/status) at the end.
//
// The idle period is VEKTA_BENCH_IDLE_SECONDS (default 60). VEKTA_KIOSK names
// another kiosk program to measure (an older build, for a before/after figure).
//
// The baseline is this program itself, started with --bare-window FILE: it
// shows one QWidget, writes a line to FILE when shown and stays open.

#include <benchmark/benchmark.h>

#include <QThread>
#include <cstdlib>

#include "bench/KioskProcess.h"
#include "testbed/SimHandlers.h"

namespace {

using namespace benchkit;

constexpr int kSettleMs = 3000;

int idleSeconds() {
  const char* s = std::getenv("VEKTA_BENCH_IDLE_SECONDS");
  const int n = s ? std::atoi(s) : 0;
  return n > 0 ? n : 60;
}

// Waits until shown, lets it settle, then measures the idle period and ends
// the process. Reports the CPU as a share of one core and the RSS in MB.
void measureIdle(benchmark::State& state, QProcess& p, const QString& file,
                 const QByteArray& needle) {
  if (!waitForLine(file, needle, p)) {
    state.SkipWithError("the window was not shown");
  } else {
    QThread::msleep(kSettleMs);
    const qint64 pid = p.processId();
    const int seconds = idleSeconds();
    const long long before = cpuTicks(pid);
    QThread::sleep(seconds);
    const long long after = cpuTicks(pid);
    const long long rss = rssKb(pid);
    if (before < 0 || after < 0 || rss < 0) {
      state.SkipWithError("the process ended while idle");
    } else {
      const double cpuSeconds = cpuSecondsOf(after - before);
      state.SetIterationTime(seconds);
      state.counters["cpu_pct"] = 100.0 * cpuSeconds / seconds;
      state.counters["rss_MB"] = double(rss) / 1024.0;
    }
  }
  endProcess(p);
}

void BM_BareQtWindowIdle(benchmark::State& state) {
  QTemporaryDir dir;
  const QString marker = dir.filePath(QStringLiteral("shown"));
  for (auto _ : state) {
    QProcess p;
    startBareWindow(p, marker);
    measureIdle(state, p, marker, QByteArray(kShownLine));
  }
}

void BM_KioskIdleOnHomeScreen(benchmark::State& state) {
  QTemporaryDir office;
  sim::BackofficeSim backoffice(office.filePath(QStringLiteral("backoffice.db")), true);
  backoffice.start();
  KioskFolders kiosk(backoffice.port());
  for (auto _ : state) {
    QProcess p;
    kiosk.prepare(p);
    QFile::remove(kiosk.logFile());
    p.start(kioskProgram(), {});
    measureIdle(state, p, kiosk.logFile(), kHomeScreenLine.toUtf8());
  }
  backoffice.stop();
}

BENCHMARK(BM_BareQtWindowIdle)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_KioskIdleOnHomeScreen)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (isBareWindowCall(argc, argv)) return runBareWindow(argc, argv, QSize(1920, 1080), false);
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
