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
// The loyalty and check grace is 90 s in the field. The benchmark runs it
// scaled by VEKTA_CLOSE_GRACE_SCALE (0.05 here unless set: a 4.5-s grace);
// the new copy's wait shown is the one for that same scale, and the
// figures with the field's grace are printed at the start.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

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

void closeBenchmark(benchmark::State& state, bool worst) {
  const TCloseBudget budget = closeBudget();
  for (auto _ : state) {
    QString error;
    const double s = closeSeconds(worst, &error);
    if (s < 0) {
      const std::string why = error.toStdString();
      state.SkipWithError(why.c_str());
      break;
    }
    state.SetIterationTime(s);
  }
  state.counters["handover_wait_ms"] = double(budget.handOverWaitMs());
  state.counters["budget_close_ms"] = double(budget.worstCloseMs());
}

void BM_KioskWorstClose(benchmark::State& state) {
  closeBenchmark(state, true);
}

void BM_KioskOrdinaryClose(benchmark::State& state) {
  closeBenchmark(state, false);
}

BENCHMARK(BM_KioskWorstClose)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_KioskOrdinaryClose)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

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
