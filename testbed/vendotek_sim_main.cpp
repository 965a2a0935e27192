// vendotek-sim --ports-dir D --com N [--decline] [--silent] [--vrp-delay MS]
// Runs a stand-in Vendotek terminal as D/COM<N> until SIGTERM or SIGINT.

#include <memory>

#include "testbed/SimMain.h"
#include "testbed/VendotekSim.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: vendotek-sim --ports-dir DIR --com N [--decline] [--silent] "
               "[--vrp-delay MS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  QString dir;
  int com = 0;
  bool decline = false, silent = false;
  int vrpDelay = 0;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (sim::takePortOption(argc, argv, i, dir, com)) {
      continue;
    } else if (!std::strcmp(a, "--vrp-delay") && hasValue) {
      vrpDelay = std::atoi(argv[++i]);
    } else if (!std::strcmp(a, "--decline")) {
      decline = true;
    } else if (!std::strcmp(a, "--silent")) {
      silent = true;
    } else {
      return usage();
    }
  }
  if (dir.isEmpty() || com <= 0) return usage();

  return sim::runPortSim("vendotek-sim", [&] {
    auto sim = std::make_unique<VendotekSim>(dir, com);
    if (decline) sim->setVrpAnswer(VendotekSim::VrpAnswer::DeclineOtherAmount);
    sim->setSilent(silent);
    sim->setVrpDelayMs(vrpDelay);
    return sim;
  });
}
