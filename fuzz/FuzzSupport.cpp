#include "fuzz/FuzzSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace fuzz {

namespace {

// Writes every byte to a non-blocking descriptor, waiting while it is full;
// gives up when the other side is gone or stop is set.
void writeAll(int fd, const QByteArray& bytes, const std::atomic<bool>* stop) {
  qsizetype at = 0;
  while (at < bytes.size()) {
    if (stop && *stop) return;
    // A client that hung up must not end the process with SIGPIPE.
    ssize_t n = ::send(fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
      n = ::write(fd, bytes.constData() + at, size_t(bytes.size() - at));
    if (n > 0) {
      at += n;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 10);
  }
}

}  // namespace

// ---- SocketPeer ----

SocketPeer::SocketPeer() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error("socketpair");
  clientFd_ = fds[0];
  serverFd_ = fds[1];
  ::fcntl(serverFd_, F_SETFL, ::fcntl(serverFd_, F_GETFL) | O_NONBLOCK);
}

SocketPeer::~SocketPeer() {
  if (serverFd_ >= 0) ::shutdown(serverFd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  if (serverFd_ >= 0) ::close(serverFd_);
  if (clientFd_ >= 0) ::close(clientFd_);
}

void SocketPeer::adoptInto(plat::TcpClient& client) {
  client.adopt(clientFd_);
  clientFd_ = -1;
}

void SocketPeer::reply(const QByteArray& bytes) {
  // Fits the socket's buffer (inputs are a few KiB): no thread needed.
  writeAll(serverFd_, bytes, nullptr);
  ::shutdown(serverFd_, SHUT_WR);
}

void SocketPeer::replyAfterRequest(const QByteArray& bytes) {
  thread_ = std::thread([this, bytes] { serve(bytes); });
}

void SocketPeer::serve(const QByteArray& bytes) {
  pollfd p{serverFd_, POLLIN, 0};
  if (::poll(&p, 1, 5000) <= 0 || (p.revents & (POLLHUP | POLLERR))) return;
  writeAll(serverFd_, bytes, nullptr);
  ::shutdown(serverFd_, SHUT_WR);
  char sink[4096];
  for (;;) {
    const ssize_t n = ::read(serverFd_, sink, sizeof sink);
    if (n == 0) return;
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
      pollfd p{serverFd_, POLLIN, 0};
      ::poll(&p, 1, 10);
    }
  }
}

void SocketPeer::replyInStages(std::vector<Stage> stages) {
  thread_ = std::thread([this, stages = std::move(stages)] { serveStages(stages); });
}

void SocketPeer::serveStages(const std::vector<Stage>& stages) {
  qsizetype received = 0;
  char sink[4096];
  // Reads what the client sends until it has sent `until` bytes in all;
  // false once it hung up or went quiet for 5 s.
  auto readUntil = [&](qsizetype until) {
    while (received < until) {
      const ssize_t n = ::read(serverFd_, sink, sizeof sink);
      if (n == 0) return false;
      if (n > 0) {
        received += n;
        continue;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      pollfd p{serverFd_, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0 || (p.revents & POLLERR)) return false;
    }
    return true;
  };
  for (const Stage& s : stages) {
    if (!readUntil(s.afterClientBytes)) break;
    writeAll(serverFd_, s.bytes, nullptr);
  }
  ::shutdown(serverFd_, SHUT_WR);
  readUntil(std::numeric_limits<qsizetype>::max());
}

// ---- PtyDevice ----

PtyDevice::PtyDevice() {
  static const QString ports = [] {
    const QString dir = scratchDir() + QStringLiteral("/ports");
    QDir().mkpath(dir);
    ::setenv("VEKTA_PORTS_DIR", dir.toLocal8Bit().constData(), 1);
    return dir;
  }();
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
    throw std::runtime_error("posix_openpt");
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
  slave_ = QString::fromLocal8Bit(name);
  const QString link = ports + QStringLiteral("/COM1");
  QFile::remove(link);
  if (!QFile::link(slave_, link)) throw std::runtime_error("symlink");
}

PtyDevice::~PtyDevice() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (master_ >= 0) ::close(master_);
}

void PtyDevice::start(const QByteArray& bytes, bool waitForRequest) {
  thread_ = std::thread([this, bytes, waitForRequest] { serve(bytes, !waitForRequest); });
}

void PtyDevice::serve(const QByteArray& bytes, bool asked) {
  qsizetype at = 0;
  char sink[4096];
  while (!stop_) {
    const bool writing = asked && at < bytes.size();
    pollfd p{master_, short(POLLIN | (writing ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, 1) <= 0) continue;
    if (p.revents & POLLIN) {
      if (::read(master_, sink, sizeof sink) > 0) asked = true;
    } else if (p.revents & (POLLHUP | POLLERR)) {
      // No slave open right now (between a close and an open of the driver).
      ::poll(nullptr, 0, 1);
    }
    if (writing && (p.revents & POLLOUT)) {
      const ssize_t n = ::write(master_, bytes.constData() + at, size_t(bytes.size() - at));
      if (n > 0) at += n;
    }
  }
}

}  // namespace fuzz
