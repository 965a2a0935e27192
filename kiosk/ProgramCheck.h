#pragma once
// A downloaded program shows that it runs on this machine before it takes
// the running one's place: started with an argument of its own, it loads its
// libraries and answers with its version, within a time limit. A file that
// came whole can still be cut short, built for another machine or missing a
// library; swapped in, it would leave the kiosk without a program.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

// The argument the program answers with its version, before it opens a window.
inline constexpr const char* kVersionArgument = "--version";
// How long a program may take to answer (plat::clock()).
inline constexpr int64_t kProgramCheckMs = 20'000;

// What this program answers: "vekta <version>" and a line end.
QByteArray versionAnswer();

struct TProgramCheck {
  bool runs = false;
  QString version;  // when it runs
  QString reason;   // when it does not: why, for the log and the back office
};

// Runs file with kVersionArgument (never through a shell). It runs when it
// ends by itself with code 0 and its first line of output is the answer of a
// program of this system. A program still running after limitMs of
// plat::clock(), or when abort() becomes true, is killed.
TProgramCheck checkProgramRuns(const QString& file, const std::function<bool()>& abort,
                               int64_t limitMs = kProgramCheckMs);
