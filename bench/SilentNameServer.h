#pragma once
// A name server that reads every query and never answers, and a way to start
// a program whose resolver asks it and no other.
//
// The system's resolver takes its name servers from /etc/resolv.conf and
// always asks them on port 53, and nothing in the environment can point it
// elsewhere. So the program runs in a mount namespace of its own, where a
// file naming the silent server is bind-mounted over /etc/resolv.conf; the
// rest of the machine keeps its own. Both steps need root (port 53 and the
// namespace); without it the benchmark says so instead of measuring.
//
// The server listens on an address of the loopback network of its own
// (127.53.x.y), so that it stands beside any local resolver on 127.0.0.1 or
// 127.0.0.53.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace benchkit {

class SilentNameServer {
 public:
  SilentNameServer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      error_ = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(strerror(errno)));
      return;
    }
    // An address of its own per process, so that two runs do not meet.
    const unsigned pid = unsigned(::getpid());
    address_ = QStringLiteral("127.53.%1.%2").arg((pid >> 8) % 250 + 1).arg(pid % 250 + 1);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    ::inet_pton(AF_INET, address_.toLatin1().constData(), &a.sin_addr);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      error_ =
          QStringLiteral("bind %1:53: %2").arg(address_, QString::fromLocal8Bit(strerror(errno)));
      return;
    }
    QFile f(dir_.filePath(QStringLiteral("resolv.conf")));
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(QStringLiteral("nameserver %1\n").arg(address_).toLatin1()) <= 0) {
      error_ = QStringLiteral("cannot write %1").arg(f.fileName());
      return;
    }
    resolvConf_ = f.fileName();
    thread_ = std::thread([this] { run(); });
  }
  ~SilentNameServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  SilentNameServer(const SilentNameServer&) = delete;
  SilentNameServer& operator=(const SilentNameServer&) = delete;

  // Empty when it listens; otherwise why not.
  QString error() const { return error_; }
  // A resolv.conf that names this server alone.
  QString resolvConf() const { return resolvConf_; }
  // Queries read so far.
  int queries() const { return queries_.load(); }

 private:
  void run() {
    char buf[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      if (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) ++queries_;
    }
  }

  QTemporaryDir dir_;
  int fd_ = -1;
  QString address_, resolvConf_, error_;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

// benchmark --with-resolv-conf FILE PROGRAM [ARGS...]: runs PROGRAM in a
// mount namespace of its own with FILE as its /etc/resolv.conf. Call before
// anything starts a thread.
inline const char* const kWithResolvConfArg = "--with-resolv-conf";

inline bool isWithResolvConfCall(int argc, char** argv) {
  return argc >= 4 && std::strcmp(argv[1], kWithResolvConfArg) == 0;
}

// Does not return on success; exit code 111 and the reason on standard error
// when the resolver cannot be redirected.
inline int execWithResolvConf(char** argv) {
  const char* conf = argv[2];
  auto fail = [](const char* step) {
    std::fprintf(stderr, "cannot redirect the resolver: %s: %s\n", step, strerror(errno));
    return 111;
  };
  if (::unshare(CLONE_NEWNS) != 0) return fail("unshare");
  // Private first: the mount below must not reach the machine's namespace.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail("private /");
  if (::mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
    return fail("bind /etc/resolv.conf");
  ::execv(argv[3], argv + 3);
  return fail("exec");
}

}  // namespace benchkit
