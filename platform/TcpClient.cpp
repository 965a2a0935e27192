#include "platform/TcpClient.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Clock.h"

namespace plat {
namespace {

constexpr int kChunk = 64 * 1024;
// Connects and writes wait in slices so that a replaced clock decides the
// time-out; an interrupt does not wait for a slice to end.
constexpr int kSliceMs = 100;

QString sysError(const char* what, int err) {
  return QStringLiteral("%1: %2.").arg(QString::fromLatin1(what),
                                       QString::fromLocal8Bit(strerror(err)));
}

ETcpInterrupted interruptedError() {
  return ETcpInterrupted(QStringLiteral("Socket wait interrupted."));
}

}  // namespace

TcpClient::TcpClient() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TcpClient::~TcpClient() {
  close();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

TcpClient::Wait TcpClient::waitFor(int fd, short events, int timeoutMs) const {
  // poll leaves out a negative descriptor.
  pollfd p[3] = {{fd, events, 0}, {wakeFd_, POLLIN, 0}, {stopFd_.load(), POLLIN, 0}};
  for (;;) {
    // Interrupted: only look, what is there already needs no wait.
    int r = ::poll(p, 3, interrupted_.load() ? 0 : std::max(timeoutMs, 0));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) throw ETcpError(sysError("poll", errno));
    // The socket's own news first: bytes that are there are not lost to a
    // stop that came at the same moment.
    if (p[0].revents != 0) return Wait::Ready;
    if (interrupted_.load() || (p[2].revents & POLLIN)) return Wait::Interrupted;
    // A stop descriptor closed by its owner stops nothing.
    if (p[2].revents != 0) {
      p[2].fd = -1;
      continue;
    }
    // A wake-up left over from an earlier, reset interrupt.
    if (p[1].revents != 0) {
      uint64_t v;
      (void)!::read(wakeFd_, &v, sizeof v);
      continue;
    }
    return Wait::TimedOut;
  }
}

void TcpClient::interrupt() {
  interrupted_.store(true);
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
  }
}

void TcpClient::setStopFd(int fd) {
  stopFd_.store(fd);
}

void TcpClient::resetInterrupt() {
  interrupted_.store(false);
  if (wakeFd_ >= 0) {
    uint64_t v;
    (void)!::read(wakeFd_, &v, sizeof v);
  }
}

std::vector<SocketAddress> TcpClient::resolve(const QString& host, int port, int64_t deadline) {
  NameLookup lookup(host.isEmpty() ? QByteArray("127.0.0.1") : host.toUtf8(), port);
  while (!lookup.done()) {
    const int64_t left = deadline - clock().nowMs();
    if (left <= 0) throw ETcpTimeout(QStringLiteral("Name lookup of %1 timed out.").arg(host));
    // Ready or one slice over: either way the lookup is looked at again.
    if (waitFor(lookup.fd(), POLLIN, int(std::min<int64_t>(left, kSliceMs))) == Wait::Interrupted)
      throw interruptedError();
  }
  LookupResult found = lookup.result();
  if (!found.error.isEmpty())
    throw ETcpError(QStringLiteral("Cannot resolve host %1: %2.").arg(host, found.error));
  return std::move(found.addresses);
}

void TcpClient::connect(const QString& host, int port, int timeoutMs) {
  close();
  host_ = host;
  port_ = port;
  if (port <= 0 || port > 65535) throw ETcpError(QStringLiteral("Invalid port %1.").arg(port));
  if (interrupted_.load()) throw interruptedError();
  // One deadline for the whole connect, the name lookup included.
  const int64_t deadline = clock().nowMs() + std::max(timeoutMs, 0);
  const std::vector<SocketAddress> addresses = resolve(host, port, deadline);
  int err = ECONNREFUSED;
  Wait outcome = Wait::Ready;
  int fd = -1;
  for (auto ai = addresses.begin(); ai != addresses.end() && fd < 0 && outcome == Wait::Ready;
       ++ai) {
    fd = ::socket(ai->family, ai->socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&ai->addr), ai->len) == 0;
    bool inProgress = !ok && errno == EINPROGRESS;
    if (!ok && !inProgress) err = errno;
    while (inProgress) {
      const int64_t left = deadline - clock().nowMs();
      if (left <= 0) {
        outcome = Wait::TimedOut;
        break;
      }
      try {
        outcome = waitFor(fd, POLLOUT, int(std::min<int64_t>(left, kSliceMs)));
      } catch (const ETcpError&) {
        ::close(fd);
        throw;
      }
      if (outcome == Wait::Interrupted) break;
      if (outcome == Wait::TimedOut) {  // one slice over, the deadline decides
        outcome = Wait::Ready;
        continue;
      }
      int soErr = 0;
      socklen_t len = sizeof soErr;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
      ok = soErr == 0;
      if (!ok) err = soErr;
      inProgress = false;
    }
    if (!ok) {
      ::close(fd);
      fd = -1;
    }
  }
  if (fd < 0) {
    if (outcome == Wait::Interrupted) throw interruptedError();
    if (outcome == Wait::TimedOut)
      throw ETcpTimeout(QStringLiteral("Connect to %1:%2 timed out.").arg(host).arg(port));
    throw ETcpError(QStringLiteral("Cannot connect to %1:%2: %3.")
                        .arg(host)
                        .arg(port)
                        .arg(QString::fromLocal8Bit(strerror(err))));
  }
  // Back to blocking mode: reads wait through poll, writes send without
  // waiting and poll when the buffer is full.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  // Requests are small and answered at once; Nagle would add a round-trip delay.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_ = fd;
  peerClosed_ = false;
}

void TcpClient::adopt(int fd) {
  close();
  fd_ = fd;
  peerClosed_ = false;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool TcpClient::isConnected() const {
  if (fd_ < 0 || peerClosed_) return false;
  if (pending() > 0) return true;
  // A peer that closed makes the socket readable with nothing to read. Its
  // bytes still queued before the close keep the connection readable.
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return true;
  char c;
  ssize_t n;
  do {
    n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) return true;
  // End of stream or a reset: either way nothing more will come.
  peerClosed_ = true;
  return false;
}

void TcpClient::close() {
  if (fd_ >= 0) {
    // Unread bytes would turn the close into a reset, and a reset may
    // destroy what we sent last before the peer reads it.
    discardInput();
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
  }
  fd_ = -1;
  peerClosed_ = false;
  in_.clear();
  inPos_ = 0;
}

bool TcpClient::fill(int timeoutMs) {
  if (fd_ < 0) throw ETcpError(QStringLiteral("Not connected."));
  if (peerClosed_) throw ETcpError(QStringLiteral("Connection closed by peer."));
  switch (waitFor(fd_, POLLIN, timeoutMs)) {
    case Wait::Interrupted:
      throw interruptedError();
    case Wait::TimedOut:
      return false;
    case Wait::Ready:
      break;
  }
  if (inPos_ == in_.size()) {
    in_.clear();
    inPos_ = 0;
  } else if (inPos_ > 0) {
    in_.remove(0, inPos_);
    inPos_ = 0;
  }
  qsizetype old = in_.size();
  in_.resize(old + kChunk);
  ssize_t n;
  do {
    n = ::recv(fd_, in_.data() + old, kChunk, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    int e = errno;
    in_.resize(old);
    if (e == EAGAIN || e == EWOULDBLOCK) return false;
    throw ETcpError(sysError("recv", e));
  }
  in_.resize(old + n);
  if (n == 0) {
    peerClosed_ = true;
    throw ETcpError(QStringLiteral("Connection closed by peer."));
  }
  return true;
}

int TcpClient::read(char* dst, int maxLen, int timeoutMs) {
  if (maxLen <= 0) return 0;
  if (pending() == 0 && !fill(timeoutMs)) return 0;
  int n = std::min(maxLen, pending());
  std::memcpy(dst, in_.constData() + inPos_, size_t(n));
  inPos_ += n;
  return n;
}

QByteArray TcpClient::read(int maxLen, int timeoutMs) {
  QByteArray out(std::max(maxLen, 0), Qt::Uninitialized);
  out.resize(read(out.data(), maxLen, timeoutMs));
  return out;
}

bool TcpClient::hasData(int withinMs) {
  if (pending() > 0) return true;
  if (fd_ < 0 || peerClosed_) return false;
  if (waitFor(fd_, POLLIN, withinMs) != Wait::Ready) return false;
  // A closed peer also polls readable; that is news, not data.
  char c;
  ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) peerClosed_ = true;
  return n > 0;
}

void TcpClient::discardInput() {
  in_.clear();
  inPos_ = 0;
  if (fd_ < 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) peerClosed_ = true;
    break;
  }
}

void TcpClient::write(const char* data, int len, int timeoutMs) {
  if (fd_ < 0) throw ETcpError(QStringLiteral("Not connected."));
  const int64_t deadline = clock().nowMs() + std::max(timeoutMs, 0);
  while (len > 0) {
    ssize_t n = ::send(fd_, data, size_t(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      data += n;
      len -= int(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw ETcpError(sysError("send", errno));
    // The peer is not reading and our buffer is full.
    const int64_t left = deadline - clock().nowMs();
    if (left <= 0)
      throw ETcpTimeout(QStringLiteral("Write to %1:%2 timed out.").arg(host_).arg(port_));
    if (waitFor(fd_, POLLOUT, int(std::min<int64_t>(left, kSliceMs))) == Wait::Interrupted)
      throw interruptedError();
  }
}

}  // namespace plat
