// payment-module-sim --ports-dir D --com N [--serial S] [--status N] [--silent]
// Runs a stand-in payment module of a vending machine as D/COM<N> until
// SIGTERM or SIGINT.

#include <memory>

#include "testbed/PaymentModuleSim.h"
#include "testbed/SimMain.h"

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
    if (sim::takePortOption(argc, argv, i, dir, com)) {
      continue;
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

  return sim::runPortSim("payment-module-sim", [&] {
    auto sim = std::make_unique<PaymentModuleSim>(dir, com, serial);
    sim->setStatus(status);
    sim->setSilent(silent);
    return sim;
  });
}
