// carimali-sim --ports-dir D --com N [--silent] [--boiler-empty] [--no-coffee]
// Runs a stand-in Carimali coffee machine as D/COM<N> until SIGTERM or SIGINT.

#include <memory>

#include "testbed/CarimaliSim.h"
#include "testbed/SimMain.h"

int main(int argc, char** argv) {
  QString dir;
  int com = 0;
  bool silent = false, boilerEmpty = false, noCoffee = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (sim::takePortOption(argc, argv, i, dir, com)) {
      continue;
    } else if (!std::strcmp(a, "--silent")) {
      silent = true;
    } else if (!std::strcmp(a, "--boiler-empty")) {
      boilerEmpty = true;
    } else if (!std::strcmp(a, "--no-coffee")) {
      noCoffee = true;
    } else {
      dir.clear();
      break;
    }
  }
  if (dir.isEmpty() || com <= 0) {
    std::fprintf(stderr,
                 "usage: carimali-sim --ports-dir DIR --com N [--silent] [--boiler-empty] "
                 "[--no-coffee]\n");
    return 2;
  }

  return sim::runPortSim("carimali-sim", [&] {
    auto sim = std::make_unique<CarimaliSim>(dir, com);
    sim->setSilent(silent);
    sim->setBoilerMustBeFilled(boilerEmpty);
    sim->setNoCoffee(noCoffee);
    return sim;
  });
}
