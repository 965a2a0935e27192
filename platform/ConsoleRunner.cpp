#include "platform/ConsoleRunner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <vector>

#include "platform/Exception.h"
#include "platform/TextCodec.h"

extern char** environ;

namespace plat {
namespace {

// How long one wait on the pipe may block before the stop flag is looked at again.
constexpr int kPollMs = 20;
// Output beyond this is read and dropped, so a runaway child cannot exhaust memory.
constexpr qsizetype kMaxOutput = 64 * 1024 * 1024;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void reap(pid_t pid) {
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Owns the spawn attributes so every exit path frees them.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
};

[[noreturn]] void raiseStopped() {
  throw Exception(QStringLiteral("Операция прервана."));
}

}  // namespace

QByteArray runConsoleCommandRaw(const QStringList& argv, const std::atomic<bool>& stop,
                                const QString& workingFolder, bool* started) {
  return runConsoleCommandRaw(
      argv, [&stop] { return stop.load(); }, workingFolder, started, nullptr);
}

QByteArray runConsoleCommandRaw(const QStringList& argv, const std::function<bool()>& stopped,
                                const QString& workingFolder, bool* started, int* status) {
  if (started) *started = false;
  if (status) *status = -1;
  if (argv.isEmpty() || argv.first().isEmpty()) return {};
  if (stopped()) raiseStopped();

  // Both ends close on exec, so children that other threads start meanwhile
  // do not inherit the write end and keep our read from ever ending.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  int readFd = fds[0], writeFd = fds[1];

  SpawnSetup s;
  posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&s.actions, writeFd, 1);
  posix_spawn_file_actions_adddup2(&s.actions, writeFd, 2);
  const QByteArray folder = QFile::encodeName(workingFolder);
  if (!workingFolder.isEmpty())
    posix_spawn_file_actions_addchdir_np(&s.actions, folder.constData());

  // Own process group, so a stop kills whatever the child started as well;
  // default signal handling and mask, whatever the caller changed for itself.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setflags(&s.attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&s.attr, 0);
  posix_spawnattr_setsigmask(&s.attr, &none);
  posix_spawnattr_setsigdefault(&s.attr, &defaults);

  std::vector<QByteArray> args;
  args.reserve(size_t(argv.size()));
  for (const QString& a : argv) args.push_back(QFile::encodeName(a));
  std::vector<char*> cargs;
  for (QByteArray& a : args) cargs.push_back(a.data());
  cargs.push_back(nullptr);

  pid_t pid = -1;
  const bool bareName = !argv.first().contains(QLatin1Char('/'));
  const int rc = bareName ? posix_spawnp(&pid, cargs[0], &s.actions, &s.attr, cargs.data(), environ)
                          : posix_spawn(&pid, cargs[0], &s.actions, &s.attr, cargs.data(), environ);
  closeFd(writeFd);
  if (rc != 0) {
    closeFd(readFd);
    return {};
  }
  if (started) *started = true;

  QByteArray out;
  char buf[65536];
  // One read into out; false at the end of the output (or a read failure).
  auto readSome = [&]() -> bool {
    for (;;) {
      const ssize_t n = ::read(readFd, buf, sizeof buf);
      if (n > 0) {
        if (out.size() < kMaxOutput) out.append(buf, qsizetype(n));
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
  };
  bool eof = false;
  while (!eof) {
    if (stopped()) {
      // A child that has already written everything and closed its output
      // keeps its result: take what is waiting, and only a child still
      // writing (or silent with its output open) is cut off.
      pollfd p{readFd, POLLIN, 0};
      while (!eof && ::poll(&p, 1, 0) > 0) eof = !readSome();
      if (eof) break;
      ::kill(-pid, SIGKILL);
      closeFd(readFd);
      reap(pid);
      raiseStopped();
    }
    pollfd p{readFd, POLLIN, 0};
    const int pr = ::poll(&p, 1, kPollMs);
    if (pr < 0 && errno != EINTR) break;
    if (pr > 0) eof = !readSome();
  }
  closeFd(readFd);

  // The output is complete; a child that closed it but lingers is waited for
  // while the stop flag is honoured, and its output is kept either way.
  for (;;) {
    int ws = 0;
    const pid_t w = ::waitpid(pid, &ws, WNOHANG);
    if (w == pid) {
      if (status) *status = ws;
      break;
    }
    if (w < 0 && errno != EINTR) break;
    if (stopped()) {
      ::kill(-pid, SIGKILL);
      reap(pid);
      break;
    }
    ::usleep(kPollMs * 1000);
  }
  return out;
}

}  // namespace plat

QString RunConsoleCommand(const QStringList& argv, const std::atomic<bool>& stop,
                          const QString& workingFolder) {
  QByteArray out = plat::runConsoleCommandRaw(argv, stop, workingFolder);
  // Zero bytes end no text; drop them rather than cut the output short.
  out.removeIf([](char c) { return c == '\0'; });
  // Decoded once, from the whole output, so no character is split between reads.
  return plat::fromAnsi(out);
}
