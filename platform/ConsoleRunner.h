#pragma once
// Runs a console program and captures what it prints. The child gets an
// argument vector (never a shell), /dev/null as input, and one pipe for both
// its output and error; it runs in its own process group so that a stop ends
// it together with anything it started.

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

// Runs argv[0] (searched in PATH when it holds no "/") with the other entries
// as arguments, in workingFolder (the caller's when empty), and returns the
// output decoded from windows-1251 once it has ended. Returns empty text when
// the child cannot be started. When stop becomes true (it is looked at every
// few tens of milliseconds, output or not) the child's process group is
// killed and Exception("Операция прервана.") is raised. The child is always
// reaped; its exit code is not looked at.
QString RunConsoleCommand(const QStringList& argv, const std::atomic<bool>& stop,
                          const QString& workingFolder = QString());

namespace plat {

// The shape of RunConsoleCommand, for callers that let a test put a fake in its place.
using ConsoleCommandRunner = std::function<QString(
    const QStringList& argv, const std::atomic<bool>& stop, const QString& workingFolder)>;

// Raw form of RunConsoleCommand: the output bytes undecoded. started is set to
// whether the child could be started.
QByteArray runConsoleCommandRaw(const QStringList& argv, const std::atomic<bool>& stop,
                                const QString& workingFolder, bool* started = nullptr);

// The same, with stopped() asked where the flag is looked at (so a caller's
// deadline can end the child as well as its stop), and the child's wait
// status (as waitpid gives it) in *status when it ended by itself; -1 when
// it could not be started or was killed.
QByteArray runConsoleCommandRaw(const QStringList& argv, const std::function<bool()>& stopped,
                                const QString& workingFolder, bool* started, int* status);

}  // namespace plat
