#pragma once
// A program that a test starts, and the guarantee that it stops with the
// test. A kiosk left running by a failed test keeps the single-instance lock
// and breaks every later kiosk on the machine, so:
// - the program leads a process group of its own, and stopping it kills the
//   whole group (what it started itself goes too);
// - the destructor kills and reaps, so every way out of a test (a failed
//   ASSERT, an exception) ends the program;
// - the program gets SIGKILL when the thread that started it dies
//   (PR_SET_PDEATHSIG), so a test that crashes or is killed by its time-out
//   takes the program with it. Start programs from the test's own thread.
//
// Waits run on real time: they bound how long a test waits for a program,
// they do not measure it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace testkit {

class ChildProcess {
 public:
  // Where the program's standard output goes.
  enum class Output {
    Inherit,  // the test's own output
    Capture,  // a pipe that readLine / readAll read
  };

  ChildProcess() = default;
  ~ChildProcess() { kill(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts program with args. stdoutFd >= 0 becomes the program's standard
  // output instead (a terminal, for instance). False when the program could
  // not be started (no such file, not executable).
  bool start(const QString& program, const QStringList& args = {}, Output out = Output::Inherit,
             const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
             int stdoutFd = -1) {
    kill();
    std::vector<QByteArray> argStore{program.toLocal8Bit()};
    for (const QString& a : args) argStore.push_back(a.toLocal8Bit());
    std::vector<QByteArray> envStore;
    for (const QString& e : env.toStringList()) envStore.push_back(e.toLocal8Bit());
    std::vector<char*> argv, envp;
    for (QByteArray& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (QByteArray& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    int outPipe[2] = {-1, -1};
    if (out == Output::Capture && ::pipe2(outPipe, O_CLOEXEC) != 0) return false;
    int errPipe[2];  // exec failure reports errno here; success closes it
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return false;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
      // Only async-signal-safe calls from here on: the test has threads.
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);  // the test died before prctl
      sigset_t none;
      ::sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGPIPE, SIG_DFL);
      if (outPipe[1] >= 0) ::dup2(outPipe[1], STDOUT_FILENO);
      if (stdoutFd >= 0) ::dup2(stdoutFd, STDOUT_FILENO);
      ::execve(argv[0], argv.data(), envp.data());
      const int e = errno;
      (void)!::write(errPipe[1], &e, sizeof e);
      ::_exit(127);
    }
    ::setpgid(pid, pid);  // also here, so the group exists before start() returns
    pid_ = pid;
    reaped_ = false;
    ::close(errPipe[1]);
    if (outPipe[1] >= 0) ::close(outPipe[1]);
    outFd_ = outPipe[0];
    outBuf_.clear();
    int e = 0;
    ssize_t n;
    do {
      n = ::read(errPipe[0], &e, sizeof e);
    } while (n < 0 && errno == EINTR);
    ::close(errPipe[0]);
    if (n > 0) {  // exec failed
      kill();
      return false;
    }
    return true;
  }

  pid_t pid() const { return pid_; }
  // Started and not yet ended.
  bool running() const {
    if (pid_ <= 0 || reaped_) return false;
    siginfo_t info{};
    if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
  }
  // To the program itself (not its group), e.g. SIGTERM for an orderly close.
  bool signal(int sig) const { return running() && ::kill(pid_, sig) == 0; }
  bool terminate() const { return signal(SIGTERM); }

  // Waits up to ms for the program to end, then reaps it and kills what it
  // left in its group. False when it is still running.
  bool waitFinished(int ms) {
    if (pid_ <= 0) return false;
    if (reaped_) return true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (running()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reap();
    return true;
  }
  // Ended by returning from main or exit(), not by a signal.
  bool normalExit() const { return reaped_ && WIFEXITED(status_); }
  int exitCode() const { return reaped_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

  // Kills the whole group at once and reaps the program. Safe to repeat.
  void kill() {
    if (pid_ > 0 && !reaped_) {
      ::kill(-pid_, SIGKILL);
      reap();
    }
    if (outFd_ >= 0) ::close(outFd_);
    outFd_ = -1;
  }

  // Captured output: the next line with its "\n", waiting up to ms for it.
  // Empty when none came in time; what came stays for the next call.
  QByteArray readLine(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const qsizetype nl = outBuf_.indexOf('\n');
      if (nl >= 0) {
        QByteArray line = outBuf_.left(nl + 1);
        outBuf_.remove(0, nl + 1);
        return line;
      }
      if (!fillOutput(end)) return {};
    }
  }
  // Captured output until the program closes it (normally when it ends),
  // waiting up to ms.
  QByteArray readAll(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (fillOutput(end)) {
    }
    QByteArray all = outBuf_;
    outBuf_.clear();
    return all;
  }

 private:
  void reap() {
    // The leader is a zombie until reaped, so its group id cannot have been
    // taken by another process: safe to kill what is left in the group.
    ::kill(-pid_, SIGKILL);
    int st = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &st, 0);
    } while (r < 0 && errno == EINTR);
    status_ = st;
    reaped_ = true;
  }
  // Reads what is there; false at end of output or when end passed.
  bool fillOutput(std::chrono::steady_clock::time_point end) {
    if (outFd_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{outFd_, POLLIN, 0};
    int r = ::poll(&p, 1, int(left.count()));
    if (r < 0 && errno == EINTR) return true;
    if (r <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(outFd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    outBuf_.append(buf, n);
    return true;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  int outFd_ = -1;
  QByteArray outBuf_;
};

// A forked copy of the test that runs a function (not a program), under the
// same rules: own group, killed with the test, killed and reaped on scope
// exit. The function must not return to the test's code.
class ForkedChild {
 public:
  template <class Fn>
  explicit ForkedChild(Fn&& childBody) {
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      childBody();
      ::_exit(0);
    }
    if (pid_ > 0) ::setpgid(pid_, pid_);
  }
  ~ForkedChild() { kill(); }
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Kills the group and reaps the child, as a crash would end it.
  void kill() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(-pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace testkit
