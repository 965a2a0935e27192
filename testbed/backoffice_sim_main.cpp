// backoffice-sim: the stand-in back office as a program, for the demo and
// for tests that run the kiosk or the client against a real process.
//
//   backoffice-sim --port N --db FILE [--seed demo] [--files DIR] [--sbp-polls N]
//                  [--close-after N]...
//
// --close-after N: the next reply is cut after N bytes and its connection
// closed; given again, the reply after that, and so on.
//
// Prints "listening on <port>" once it accepts connections and runs until
// SIGTERM or SIGINT.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <vector>

#include "testbed/SimHandlers.h"
#include "testbed/SimMain.h"

namespace {

int usage(const char* why) {
  std::fprintf(
      stderr,
      "backoffice-sim: %s\n"
      "usage: backoffice-sim --port N --db FILE [--seed demo] [--files DIR] [--sbp-polls N]\n"
      "                      [--close-after N]...\n",
      why);
  return 2;
}

bool toInt(const QString& text, int* out) {
  bool ok = false;
  *out = text.toInt(&ok);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const sigset_t stopSignals = sim::blockStopSignals();
  // A client that vanishes mid-reply must not end the server.
  signal(SIGPIPE, SIG_IGN);

  int port = -1, sbpPolls = -1;
  QString dbPath, seed, filesDir;
  std::vector<int> cuts;
  for (int i = 1; i < argc; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    const bool hasValue = i + 1 < argc;
    const QString value = hasValue ? QString::fromLocal8Bit(argv[i + 1]) : QString();
    if (arg == QLatin1String("--port") && hasValue) {
      if (!toInt(value, &port) || port < 0 || port > 65535) return usage("bad port");
    } else if (arg == QLatin1String("--db") && hasValue) {
      dbPath = value;
    } else if (arg == QLatin1String("--seed") && hasValue) {
      seed = value;
    } else if (arg == QLatin1String("--files") && hasValue) {
      filesDir = value;
    } else if (arg == QLatin1String("--sbp-polls") && hasValue) {
      if (!toInt(value, &sbpPolls) || sbpPolls < 0) return usage("bad number of polls");
    } else if (arg == QLatin1String("--close-after") && hasValue) {
      int bytes = 0;
      if (!toInt(value, &bytes) || bytes < 0) return usage("bad byte count");
      cuts.push_back(bytes);
    } else {
      return usage("unknown or incomplete argument");
    }
    ++i;
  }
  if (port < 0) return usage("--port is required");
  if (dbPath.isEmpty()) return usage("--db is required");
  if (!seed.isEmpty() && seed != QLatin1String("demo")) return usage("the only seed is demo");

  try {
    ProtocolServerOptions options;
    options.port = port;
    sim::BackofficeSim office(dbPath, !seed.isEmpty(), filesDir, options);
    if (sbpPolls >= 0) office.db().setOption(QStringLiteral("sbp_polls"), sbpPolls);
    for (int bytes : cuts) office.server().addFault({ServerFault::CloseAfterBytes, bytes, 0, {}});
    office.start();
    std::printf("listening on %d\n", office.port());
    std::fflush(stdout);

    sim::waitForStop(stopSignals);
    office.stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "backoffice-sim: %s\n", exceptionMessage(e).toLocal8Bit().constData());
    return 1;
  }
  return 0;
}
