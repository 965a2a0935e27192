#pragma once
// The last good program stays until the new one has shown its home screen.
//
// The swap leaves a trial mark beside the program, and the home screen of
// the program in place takes it away. Meanwhile a watcher waits for the mark
// to go: the old program itself, started from its backup with
// kWatchUpdateArgument, which starts the new program in its turn. A new
// program that ends, or has not shown its home screen within kUpdateTrialMs
// once its predecessor is gone, is put back: the old program returns to its
// place and is started, and a note beside the program has its home screen
// tell the back office, and never take the same file again.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>

// Given to the old program started as the watcher, with the program's path
// and the pid of the old program that is closing.
inline constexpr const char* kWatchUpdateArgument = "--watch-update";
// How long a new program has to show its home screen once its predecessor
// has ended (plat::clock()).
inline constexpr int64_t kUpdateTrialMs = 120'000;

QString updateTrialPath(const QString& program);    // program + ".trial"
QString updateRefusedPath(const QString& program);  // program + ".refused"

// The file's SHA-256 in hex; empty when it cannot be read.
QByteArray fileDigest(const QString& path);

// The program in place has not yet shown its home screen.
bool programOnTrial(const QString& program);
bool markProgramOnTrial(const QString& program);

struct TRefusedProgram {
  QByteArray digest;  // of the program that was put back
  QString report;     // what to tell the back office; empty once told
};

// The home screen of the program in place is up: its trial is over. Gives
// the program last put back after its trial, with the report of that only
// the first time.
std::optional<TRefusedProgram> confirmProgramRuns(const QString& program);

// Starts program detached, never through a shell; *pid (when given) is the
// started process.
using TStartDetached =
    std::function<bool(const QString& program, const QStringList& arguments, qint64* pid)>;

struct TUpdateWatch {
  QString program;
  qint64 predecessor = 0;  // the old program, still closing; 0: none
  // The longest the predecessor may take to end: the new program's own wait
  // for the one-copy lock.
  int64_t handOverMs = 0;
  int64_t trialMs = kUpdateTrialMs;
  TStartDetached start;  // empty: QProcess::startDetached
};

// Starts the new program with the after-update argument and watches it
// (plat::clock()). True when it showed its home screen; false when the old
// program was put back (or could not be: the note says so).
bool watchUpdatedProgram(const TUpdateWatch& watch);

// The arguments the old program gives its watcher.
QStringList watchArguments(const QString& program, qint64 predecessor);
// The watcher's whole run, from those arguments (after the first); its exit code.
int runUpdateWatch(const QStringList& arguments);
