// Start-up of the kiosk program to its home screen from the cached
// configuration (the back office is gone), against a bare Qt window shown by
// a program started the same way. Both are whole processes, offscreen, timed
// from the start of the process until it reports its window shown; the ratio
// is what the kiosk adds to what any Qt program costs.
//
// The baseline is this program itself, started with --bare-window FILE: it
// shows one QWidget, writes a line to FILE when shown and ends.

#include <benchmark/benchmark.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include "bench/KioskProcess.h"
#include "testbed/SimHandlers.h"

namespace {

using namespace benchkit;

// --- timing one start ----------------------------------------------------------

// Starts the program and returns the seconds until the file holds the
// needle; negative when it never did.
double timeUntilShown(QProcess& p, const QString& program, const QStringList& args,
                      const QString& file, const QByteArray& needle) {
  QFile::remove(file);
  QElapsedTimer timer;
  timer.start();
  p.start(program, args);
  QDeadlineTimer deadline(60000);
  while (!deadline.hasExpired()) {
    QFile f(file);
    if (f.open(QIODevice::ReadOnly) && f.readAll().contains(needle))
      return double(timer.nsecsElapsed()) / 1e9;
    QThread::usleep(500);
  }
  return -1;
}

// --- the kiosk and its cache ---------------------------------------------------

// A data folder from which the kiosk starts on its cache: one start against
// the stand-in back office with its demo seed registers the kiosk and writes
// the cache; then the back office goes away.
class CachedKiosk {
 public:
  CachedKiosk() {
    sim::BackofficeSim office(office_.filePath(QStringLiteral("backoffice.db")), true);
    office.start();
    kiosk_ = std::make_unique<KioskFolders>(office.port());
    ready_ = start() > 0;
    office.stop();
  }

  bool ready() const { return ready_; }

  // One start to the home screen; the kiosk is closed again afterwards.
  double start() {
    QProcess p;
    kiosk_->prepare(p);
    const double s =
        timeUntilShown(p, kioskProgram(), {}, kiosk_->logFile(), kHomeScreenLine.toUtf8());
    endProcess(p);
    return s;
  }

 private:
  QTemporaryDir office_;
  std::unique_ptr<KioskFolders> kiosk_;
  bool ready_ = false;
};

void BM_BareQtWindowShown(benchmark::State& state) {
  QTemporaryDir dir;
  const QString marker = dir.filePath(QStringLiteral("shown"));
  for (auto _ : state) {
    QProcess p;
    p.setProcessEnvironment(offscreenEnvironment());
    const double s =
        timeUntilShown(p, QCoreApplication::applicationFilePath(),
                       {QLatin1String(kBareWindowArg), marker}, marker, QByteArray(kShownLine));
    p.waitForFinished(30000);
    if (s < 0) {
      state.SkipWithError("the window was not shown");
      break;
    }
    state.SetIterationTime(s);
  }
}

void BM_KioskStartupToHomeScreenFromCache(benchmark::State& state) {
  CachedKiosk kiosk;
  if (!kiosk.ready()) {
    state.SkipWithError("the kiosk did not reach its home screen against the back office");
    return;
  }
  for (auto _ : state) {
    const double s = kiosk.start();
    if (s < 0) {
      state.SkipWithError("the kiosk did not reach its home screen from the cache");
      break;
    }
    state.SetIterationTime(s);
  }
}

BENCHMARK(BM_BareQtWindowShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_KioskStartupToHomeScreenFromCache)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  if (isBareWindowCall(argc, argv)) return runBareWindow(argc, argv, QSize(800, 600), true);
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
