// The time from the simulated terminal's approving "VRP" leaving the line to
// the driver's paymentDone: the driver reads the approval, sends "FIN" and
// waits for its echo. Two baselines from the same run: a bare round trip of
// the same bytes through a pseudo-terminal (what the bytes cost without the
// driver), and the time those frames would take on a real line at 115200
// bit/s (10 bits per byte), printed as the counter line_us.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <thread>

#include "devices/Vendotek.h"
#include "testbed/VendotekSim.h"

namespace {

using Steady = std::chrono::steady_clock;
constexpr double kAmount = 123.45;

struct Bench {
  QTemporaryDir dir;
  std::unique_ptr<VendotekSim> sim;
  std::unique_ptr<TVendotek> vendotek;
  Bench() {
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    sim = std::make_unique<VendotekSim>(dir.path(), 1);
    vendotek = std::make_unique<TVendotek>();
    vendotek->setComPort(1);
    vendotek->idleHandshake();
  }
};

TVendotekMessage message(const char* name, int op) {
  TVendotekMessage m;
  m.add(vtMessageName, name);
  m.add(vtOperationNumber, QByteArray::number(op));
  m.add(vtAmountMinorCurrency, vendotekKopecks(kAmount));
  return m;
}

// The frames between the approval and paymentDone: VRP in, FIN out, FIN in.
QList<QByteArray> approvalFrames(int op) {
  return {vendotekFrame(message("VRP", op).toString(), kVendotekFromTerminal),
          vendotekFrame(message("FIN", op).toString(), kVendotekToTerminal),
          vendotekFrame(message("FIN", op).toString(), kVendotekFromTerminal)};
}

double lineMicros(const QList<QByteArray>& frames) {
  qsizetype n = 0;
  for (const auto& f : frames) n += f.size();
  return double(n) * 10 / 115200 * 1e6;
}

void BM_VendotekApprovalToPaymentDone(benchmark::State& state) {
  Bench b;
  for (auto _ : state) {
    b.vendotek->startPayment(kAmount);
    while (b.vendotek->paymentIsInProgress())
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    const auto done = Steady::now();
    if (!b.vendotek->paymentDone()) {
      state.SkipWithError("payment not approved");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(done - b.sim->lastApprovalSent()).count());
  }
  state.counters["line_us"] = lineMicros(approvalFrames(b.vendotek->operationNumber()));
}

// The same three frames moved bare: terminal to kiosk, kiosk to terminal,
// terminal to kiosk, each read whole before the next is written.
void BM_PtyRoundTripOfTheSameFrames(benchmark::State& state) {
  QTemporaryDir dir;
  SimPort line(dir.path(), 1);
  const int kiosk = ::open(qPrintable(line.linkPath()), O_RDWR | O_NOCTTY);
  const QList<QByteArray> frames = approvalFrames(1);
  auto readAll = [](auto&& readSome, qsizetype n) {
    qsizetype got = 0;
    while (got < n) got += readSome(n - got);
  };
  char buf[256];
  for (auto _ : state) {
    const auto start = Steady::now();
    line.write(frames[0]);
    readAll([&](qsizetype n) { return std::max<ssize_t>(0, ::read(kiosk, buf, size_t(n))); },
            frames[0].size());
    (void)!::write(kiosk, frames[1].constData(), size_t(frames[1].size()));
    readAll([&](qsizetype n) { return line.read(100).left(n).size(); }, frames[1].size());
    line.write(frames[2]);
    readAll([&](qsizetype n) { return std::max<ssize_t>(0, ::read(kiosk, buf, size_t(n))); },
            frames[2].size());
    state.SetIterationTime(std::chrono::duration<double>(Steady::now() - start).count());
  }
  state.counters["line_us"] = lineMicros(frames);
  ::close(kiosk);
}

}  // namespace

BENCHMARK(BM_PtyRoundTripOfTheSameFrames)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VendotekApprovalToPaymentDone)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200);

BENCHMARK_MAIN();
