#pragma once

// What the stand-in programs share around their main(): the port options,
// the stop signals and the ready line the demo and the tests wait for.

#include <pthread.h>

#include <QString>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Exception.h"

namespace sim {

// Takes --ports-dir DIR or --com N at argv[i]; true when it was one of them
// (i then stands on its value).
inline bool takePortOption(int argc, char** argv, int& i, QString& dir, int& com) {
  const char* a = argv[i];
  const bool hasValue = i + 1 < argc;
  if (!std::strcmp(a, "--ports-dir") && hasValue) {
    dir = QString::fromLocal8Bit(argv[++i]);
    return true;
  }
  if (!std::strcmp(a, "--com") && hasValue) {
    com = std::atoi(argv[++i]);
    return true;
  }
  return false;
}

// Blocks SIGTERM and SIGINT. Called before any thread exists, so every
// thread inherits the mask and only waitForStop receives them.
inline sigset_t blockStopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  return stop;
}

inline void waitForStop(const sigset_t& stop) {
  int sig = 0;
  sigwait(&stop, &sig);
}

// Runs the port stand-in that make() builds until SIGTERM or SIGINT, after
// printing "<program> ready: <link> -> <tty>". A stand-in that cannot start
// ends the program with 1.
template <class Make>
int runPortSim(const char* program, Make make) {
  const sigset_t stop = blockStopSignals();
  try {
    auto sim = make();
    std::printf("%s ready: %s -> %s\n", program, qPrintable(sim->linkPath()),
                qPrintable(sim->ttyPath()));
    std::fflush(stdout);
    waitForStop(stop);
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
  return 0;
}

}  // namespace sim
