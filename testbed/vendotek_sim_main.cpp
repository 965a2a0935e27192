// vendotek-sim --ports-dir D --com N [--decline] [--silent] [--vrp-delay MS]
// Runs a stand-in Vendotek terminal as D/COM<N> until SIGTERM or SIGINT.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    if (!std::strcmp(a, "--ports-dir") && hasValue) {
      dir = QString::fromLocal8Bit(argv[++i]);
    } else if (!std::strcmp(a, "--com") && hasValue) {
      com = std::atoi(argv[++i]);
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

  // Blocked before any thread starts, so that only sigwait below takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    VendotekSim sim(dir, com);
    if (decline) sim.setVrpAnswer(VendotekSim::VrpAnswer::DeclineOtherAmount);
    sim.setSilent(silent);
    sim.setVrpDelayMs(vrpDelay);
    std::printf("vendotek-sim ready: %s -> %s\n", qPrintable(sim.linkPath()),
                qPrintable(sim.ttyPath()));
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
  } catch (const Exception& e) {
    std::fprintf(stderr, "vendotek-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
