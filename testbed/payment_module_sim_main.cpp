// payment-module-sim --ports-dir D --com N [--serial S] [--status N] [--silent]
// Runs a stand-in payment module of a vending machine as D/COM<N> until
// SIGTERM or SIGINT.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "testbed/PaymentModuleSim.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: payment-module-sim --ports-dir DIR --com N [--serial S] [--status N] "
               "[--silent]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  QString dir;
  int com = 0;
  QByteArray serial = "PM-0001";
  long long status = 0;
  bool silent = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (!std::strcmp(a, "--ports-dir") && hasValue) {
      dir = QString::fromLocal8Bit(argv[++i]);
    } else if (!std::strcmp(a, "--com") && hasValue) {
      com = std::atoi(argv[++i]);
    } else if (!std::strcmp(a, "--serial") && hasValue) {
      serial = QByteArray(argv[++i]);
    } else if (!std::strcmp(a, "--status") && hasValue) {
      status = std::atoll(argv[++i]);
    } else if (!std::strcmp(a, "--silent")) {
      silent = true;
    } else {
      return usage();
    }
  }
  if (dir.isEmpty() || com <= 0) return usage();

  // Blocked before any thread starts, so that only sigwait below takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    PaymentModuleSim sim(dir, com, serial);
    sim.setStatus(status);
    sim.setSilent(silent);
    std::printf("payment-module-sim ready: %s -> %s\n", qPrintable(sim.linkPath()),
                qPrintable(sim.ttyPath()));
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
  } catch (const Exception& e) {
    std::fprintf(stderr, "payment-module-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
