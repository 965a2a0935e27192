// The kiosk's worst close, as the copy started by an update sees it: the
// time from the old copy's close until it lets the single-instance lock go,
// beside how long the new copy waits for that lock. Both come from the
// close's budget (kiosk/CloseBudget.h).
//
// The kiosk runs in-process against the stand-in back office with its demo
// seed. When its home screen would open, a loyalty submission and a fiscal
// check of a sale just paid are started, the back office stalls every
// request (it still accepts logins), and once both requests wait in the
// stall the kiosk closes: the check and the submission are in flight, and
// the terminal's disconnection mark meets the stall too. A second thread
// takes the lock the moment the kiosk lets it go, as the new copy would.
//
// The baseline, from the same run, is the ordinary close: nothing in flight
// and a back office that answers.
//
// In the same run, the kiosk program closes on SIGTERM while its name server
// is silent: the back office is given by host name, and the only name server
// the kiosk's resolver may ask reads every query and never answers (see
// bench/SilentNameServer.h; it needs root). The kiosk runs 30 s, or 75 s,
// before the signal, its workers and its configuration cycle all waiting on
// lookups by then; the time runs from the signal until its lock is free.
// The figure to hold against the goal is 5 s.
//
// The loyalty and check grace is 90 s in the field. The benchmark runs it
// scaled by VEKTA_CLOSE_GRACE_SCALE (0.05 here unless set: a 4.5-s grace);
// the new copy's wait shown is the one for that same scale, and the
// figures with the field's grace are printed at the start.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "bench/KioskProcess.h"
#include "bench/SilentNameServer.h"
#include "kiosk/CloseBudget.h"
#include "platform/SingleInstance.h"
#include "screens/Gratitude.h"
#include "screens/LoyalityCardSubmitThread.h"
#include "tests/e2e/KioskBench.h"

namespace {

constexpr uint16_t kLoyaltyOperation = 1102;
constexpr uint16_t kGetConst = 53;  // the check's first request

// Takes the kiosk's lock the moment it is free, as the new copy's wait does
// (at a finer step), and keeps the time it came.
class LockProbe {
 public:
  LockProbe() : lock_(QLatin1String(TfmMain::kInstanceName)) {
    timer_.start();
    thread_ = std::thread([this] {
      while (!stop_ && !lock_.tryLock()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (lock_.isLocked()) {
        freeAtNs_ = timer_.nsecsElapsed();
        lock_.unlock();
      }
      done_ = true;
    });
  }
  ~LockProbe() {
    stop_ = true;
    thread_.join();
  }
  bool done() const { return done_; }
  // Seconds from the probe's start until the lock was free; negative when
  // it never was.
  double seconds() const { return freeAtNs_ < 0 ? -1 : double(freeAtNs_) / 1e9; }

 private:
  plat::SingleInstanceLock lock_;
  QElapsedTimer timer_;
  std::atomic<bool> stop_{false}, done_{false};
  std::atomic<qint64> freeAtNs_{-1};
  std::thread thread_;
};

bool holds(const std::vector<uint16_t>& codes, uint16_t code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// One kiosk up to its home screen, then its close; the seconds until the
// lock was free, negative on failure (why in *error).
double closeSeconds(bool worst, QString* error) {
  e2e::KioskBench bench{QString()};
  if (!bench.valid()) {
    *error = QStringLiteral("no temporary folders");
    return -1;
  }
  std::unique_ptr<LockProbe> probe;
  bool inFlight = !worst;
  TfmMain::openHomeScreen = [&] {
    if (worst) {
      bench.backoffice->setStalled(true);
      createLoyalityCardSubmitThread(e2e::kCard, 60, 0);
      TCheckCreationSetup s;
      s.mainClient = fmMain->JClient.get();
      s.pmVmId = QString::number(fmMain->vm_id);
      s.payment_amount = 60;
      s.goods = {{1, QStringLiteral("Вода"), 60, 1}};
      s.log = fmMain->logSink();
      TCheckCreationThread::start(s);
      inFlight = QTest::qWaitFor(
          [&] {
            const std::vector<uint16_t> held = bench.backoffice->stalledRequests();
            return holds(held, kLoyaltyOperation) && holds(held, kGetConst);
          },
          30000);
    }
    probe = std::make_unique<LockProbe>();
  };
  TfmMain form;
  if (form.terminateRequested()) {
    *error = QStringLiteral("another kiosk holds the lock");
    return -1;
  }
  form.show();
  const bool ended = QTest::qWaitFor([&] { return probe && probe->done(); }, 120000);
  if (!inFlight) {
    *error = QStringLiteral("the check and the loyalty submission never reached the back office");
    return -1;
  }
  if (!ended || probe->seconds() < 0) {
    *error = QStringLiteral("the kiosk did not reach its home screen or did not close");
    return -1;
  }
  return probe->seconds();
}

// The same counters for every benchmark of this program (its CSV needs them
// so): the new copy's wait, the budget's worst close, and the longest run.
void setCounters(benchmark::State& state, double worstSeconds) {
  const TCloseBudget budget = closeBudget();
  state.counters["handover_wait_ms"] = double(budget.handOverWaitMs());
  state.counters["budget_close_ms"] = double(budget.worstCloseMs());
  state.counters["worst_ms"] = worstSeconds * 1000;
}

void closeBenchmark(benchmark::State& state, bool worst) {
  double longest = 0;
  for (auto _ : state) {
    QString error;
    const double s = closeSeconds(worst, &error);
    if (s < 0) {
      const std::string why = error.toStdString();
      state.SkipWithError(why.c_str());
      break;
    }
    state.SetIterationTime(s);
    longest = std::max(longest, s);
  }
  setCounters(state, longest);
}

void BM_KioskWorstClose(benchmark::State& state) {
  closeBenchmark(state, true);
}

void BM_KioskOrdinaryClose(benchmark::State& state) {
  closeBenchmark(state, false);
}

BENCHMARK(BM_KioskWorstClose)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_KioskOrdinaryClose)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// --- the close with a silent name server -----------------------------------

// True when nobody holds the lock of the file (taken and let go at once).
bool lockIsFree(const QByteArray& path) {
  const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

struct DnsClose {
  double lockFreeSeconds = -1;  // from SIGTERM
  double exitSeconds = -1;
  int queries = 0;  // what the name server read before the signal
};

DnsClose closeWithSilentNameServer(int upMs, QString* error) {
  DnsClose r;
  benchkit::SilentNameServer dns;
  if (!dns.error().isEmpty()) {
    *error = QStringLiteral("no silent name server (it needs root): ") + dns.error();
    return r;
  }
  benchkit::KioskFolders folders(20000, QStringLiteral("backoffice.kiosk.test"));
  const QString stderrFile = folders.data.filePath(QStringLiteral("stderr.txt"));
  QProcess p;
  folders.prepare(p);
  p.setStandardErrorFile(stderrFile);
  p.start(QCoreApplication::applicationFilePath(), {QLatin1String(benchkit::kWithResolvConfArg),
                                                    dns.resolvConf(), benchkit::kioskProgram()});
  if (!p.waitForStarted(10000) || p.waitForFinished(upMs)) {
    QFile f(stderrFile);
    const QByteArray why = f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
    *error = QStringLiteral("the kiosk did not keep running: ") + QString::fromLocal8Bit(why);
    return r;
  }
  r.queries = dns.queries();
  const QByteArray lock = QFile::encodeName(
      folders.runtime.filePath(QLatin1String(TfmMain::kInstanceName) + QStringLiteral(".lock")));
  QElapsedTimer timer;
  timer.start();
  ::kill(pid_t(p.processId()), SIGTERM);
  bool ended = false;
  while (!timer.hasExpired(120000)) {
    if (lockIsFree(lock)) break;
    if (p.waitForFinished(1)) {
      ended = true;
      break;
    }
  }
  r.lockFreeSeconds = double(timer.nsecsElapsed()) / 1e9;
  if (!ended) ended = p.waitForFinished(120000);
  r.exitSeconds = double(timer.nsecsElapsed()) / 1e9;
  if (!ended) {
    p.kill();
    p.waitForFinished(5000);
    *error = QStringLiteral("the kiosk did not end within two minutes of SIGTERM");
    r.lockFreeSeconds = -1;
  } else if (r.queries == 0) {
    *error = QStringLiteral("the kiosk never asked the silent name server");
    r.lockFreeSeconds = -1;
  }
  return r;
}

// The configuration cycle waits for names in rounds of about 11 s, so each
// run comes 3.3 s later than the one before: three runs see the signal land
// early, midway and late in a round. worst_ms is the longest of them.
void dnsCloseBenchmark(benchmark::State& state, int upSeconds) {
  double worst = 0;
  int n = 0;
  for (auto _ : state) {
    QString error;
    const DnsClose r = closeWithSilentNameServer(upSeconds * 1000 + n * 3300, &error);
    if (r.lockFreeSeconds < 0) {
      const std::string why = error.toStdString();
      state.SkipWithError(why.c_str());
      break;
    }
    state.SetIterationTime(r.lockFreeSeconds);
    worst = std::max(worst, r.lockFreeSeconds);
    std::fprintf(stderr,
                 "  up %d ms: lock free %.0f ms after SIGTERM, process ended after %.0f ms; the "
                 "name server had read %d queries\n",
                 upSeconds * 1000 + n * 3300, r.lockFreeSeconds * 1000, r.exitSeconds * 1000,
                 r.queries);
    ++n;
  }
  setCounters(state, worst);
}

void BM_KioskCloseNameServerSilentAfter30s(benchmark::State& state) {
  dnsCloseBenchmark(state, 30);
}

void BM_KioskCloseNameServerSilentAfter75s(benchmark::State& state) {
  dnsCloseBenchmark(state, 75);
}

BENCHMARK(BM_KioskCloseNameServerSilentAfter30s)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_KioskCloseNameServerSilentAfter75s)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void printBudget(const char* title, const TCloseBudget& b) {
  std::fprintf(stderr,
               "%s: discovery %lld + coffee %lld + card terminal %lld + terminal mark %lld"
               " + sale grace %lld + sale stop %lld + workers %lld = worst close %lld ms;"
               " + margin %lld = the new copy's wait %lld ms\n",
               title, (long long)b.discoveryStopMs, (long long)b.coffeeStopMs,
               (long long)b.cardTerminalStopMs, (long long)b.terminalMarkMs,
               (long long)b.saleWorkersGraceMs, (long long)b.saleWorkersStopMs,
               (long long)b.workersStopMs, (long long)b.worstCloseMs(), (long long)b.marginMs(),
               (long long)b.handOverWaitMs());
}

}  // namespace

int main(int argc, char** argv) {
  if (benchkit::isWithResolvConfCall(argc, argv)) return benchkit::execWithResolvConf(argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("VEKTA_CLOSE_GRACE_SCALE"))
    qputenv("VEKTA_CLOSE_GRACE_SCALE", "0.05");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  printBudget("close budget in the field", TCloseBudget{});
  printBudget("close budget in this run", closeBudget());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
