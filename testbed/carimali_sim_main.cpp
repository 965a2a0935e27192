// carimali-sim --ports-dir D --com N [--silent] [--boiler-empty] [--no-coffee]
// Runs a stand-in Carimali coffee machine as D/COM<N> until SIGTERM or SIGINT.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "testbed/CarimaliSim.h"

int main(int argc, char** argv) {
  QString dir;
  int com = 0;
  bool silent = false, boilerEmpty = false, noCoffee = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--ports-dir") && i + 1 < argc) {
      dir = QString::fromLocal8Bit(argv[++i]);
    } else if (!std::strcmp(a, "--com") && i + 1 < argc) {
      com = std::atoi(argv[++i]);
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

  // Blocked before any thread starts, so that only sigwait below takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    CarimaliSim sim(dir, com);
    sim.setSilent(silent);
    sim.setBoilerMustBeFilled(boilerEmpty);
    sim.setNoCoffee(noCoffee);
    std::printf("carimali-sim ready: %s -> %s\n", qPrintable(sim.linkPath()),
                qPrintable(sim.ttyPath()));
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
  } catch (const Exception& e) {
    std::fprintf(stderr, "carimali-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
