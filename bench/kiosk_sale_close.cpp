// The kiosk's close when its shutdown signal comes during a sale: a drink
// paid by card on a kiosk with its own coffee machine, the cup confirmation
// up, and a back office that takes kCheckMs to make the fiscal check (as one
// with a cash register does). The signal's handler runs inside the
// confirmation's event loop; the close waits for the sale's screens to end,
// the check starts at once, and the close then runs from the top with the
// check in flight. The time runs from the signal's handler until the
// one-copy lock is free, the check made.
//
// The kiosk runs in-process, as under the program's entry: its screens in
// nested loops under the application's loop, and the pending close run once
// that loop has returned. The baseline, from the same run, is the same
// kiosk's close with no sale open. The close budget (the longest the close
// may hold the lock, the sales' grace within it) is printed beside them.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "backoffice/JClient.h"
#include "kiosk/CloseBudget.h"
#include "kiosk/Main.h"
#include "platform/TextCodec.h"
#include "screens/Checkout.h"
#include "screens/Confirmation.h"
#include "screens/PaymentMethod.h"
#include "screens/SaleScreenHooks.h"
#include "support/SaleScreenTestKit.h"
#include "testbed/SimHandlers.h"

namespace {

constexpr int kCheckMs = 3000;

// A kiosk's folders, a settings file that asks for checks, and the stand-in
// back office.
struct Surroundings {
  Surroundings() {
    QFile ini(env.data.filePath(QStringLiteral("vekta.ini")));
    if (ini.open(QIODevice::WriteOnly))
      ini.write(plat::toAnsi(QStringLiteral("[global]\r\ncreate_checks=1\r\n")));
    office.start();
    testkit::connectToSim(client, office);
    client.setShowProgress(false);
  }
  ~Surroundings() { office.stop(); }
  testkit::KioskEnvironment env;
  QTemporaryDir officeDir;
  sim::BackofficeSim office{officeDir.filePath(QStringLiteral("bo.sqlite")), true};
  TJClient client;
};

// One close; the seconds from the signal until it has ended (the lock let
// go), negative when the check was not made.
double closeSeconds(bool duringSale) {
  Surroundings s;
  TfmMain form;
  if (form.terminateRequested()) return -1;
  form.show();
  form.tmConfig->stop();
  form.JClient->Assign(s.client);
  form.vm_id = 1;
  form.carimali_machine = true;

  // The back office holds the check's requests kCheckMs after the first.
  std::atomic<bool> quit{false};
  std::thread cashRegister;
  if (duringSale) {
    s.office.setStalled(true);
    cashRegister = std::thread([&] {
      while (!quit && s.office.stalledRequests().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(kCheckMs));
      s.office.setStalled(false);
    });
  }

  QElapsedTimer timer;
  auto signal = [&] {
    timer.start();
    form.shutdownClose();
  };
  if (duringSale) {
    const TCheckoutSale sale = testkit::cappuccinoSale();
    auto* watch = new QTimer(&form);
    watch->setInterval(5);
    QObject::connect(watch, &QTimer::timeout, [&, watch] {
      if (!qobject_cast<TfmConfirmation*>(QApplication::activeModalWidget())) return;
      watch->stop();
      signal();
    });
    watch->start();
    QTimer::singleShot(0, [sale] { runKioskCheckout(sale, false); });
  } else {
    QTimer::singleShot(0, signal);
  }
  TKioskApplication::run();
  form.closeIfPending();
  const double seconds = double(timer.nsecsElapsed()) / 1e9;
  quit = true;
  s.office.setStalled(false);
  if (cashRegister.joinable()) cashRegister.join();
  if (duringSale && s.office.db()
                            .select(QStringLiteral("select count(*) from tbFiscalCheck"))
                            .rows.value(0)
                            .value(0)
                            .toInt() != 1)
    return -1;
  return seconds;
}

void closeBenchmark(benchmark::State& state, bool duringSale) {
  for (auto _ : state) {
    const double s = closeSeconds(duringSale);
    if (s < 0) {
      state.SkipWithError("the kiosk did not close, or closed without the sale's check");
      break;
    }
    state.SetIterationTime(s);
  }
  const TCloseBudget budget = closeBudget();
  state.counters["budget_close_ms"] = double(budget.worstCloseMs());
  state.counters["grace_ms"] = double(budget.saleWorkersGraceMs);
  state.counters["check_ms"] = duringSale ? kCheckMs : 0;
}

void BM_KioskCloseAtCupConfirmation(benchmark::State& state) {
  closeBenchmark(state, true);
}

void BM_KioskCloseWithoutASale(benchmark::State& state) {
  closeBenchmark(state, false);
}

BENCHMARK(BM_KioskCloseAtCupConfirmation)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_KioskCloseWithoutASale)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  TKioskApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  registerSaleScreens();
  const TCloseBudget budget = closeBudget();
  std::printf("close budget: %lld ms, of which the sales' grace %lld ms\n",
              static_cast<long long>(budget.worstCloseMs()),
              static_cast<long long>(budget.saleWorkersGraceMs));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
