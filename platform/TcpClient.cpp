#include "platform/TcpClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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
// Connect waits in slices so that a replaced clock decides the time-out.
constexpr int kConnectSliceMs = 100;

QString sysError(const char* what, int err) {
  return QStringLiteral("%1: %2.").arg(QString::fromLatin1(what),
                                       QString::fromLocal8Bit(strerror(err)));
}

// Waits for events on fd; retries on EINTR. Returns poll's result.
int pollFd(int fd, short events, int timeoutMs, short* revents) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (revents) *revents = p.revents;
    return r;
  }
}

// One non-blocking connect attempt to one address, bounded by deadline.
// Returns the connected socket, or -1 with err set.
int connectOne(const addrinfo* ai, int64_t deadline, int* err, bool* timedOut) {
  int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  int r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
  if (r < 0 && errno != EINPROGRESS) {
    *err = errno;
    ::close(fd);
    return -1;
  }
  while (r < 0) {
    int64_t left = deadline - clock().nowMs();
    if (left <= 0) {
      *timedOut = true;
      ::close(fd);
      return -1;
    }
    short rev = 0;
    int p = pollFd(fd, POLLOUT, int(std::min<int64_t>(left, kConnectSliceMs)), &rev);
    if (p < 0) {
      *err = errno;
      ::close(fd);
      return -1;
    }
    if (p == 0) continue;
    int soErr = 0;
    socklen_t len = sizeof soErr;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
    if (soErr != 0) {
      *err = soErr;
      ::close(fd);
      return -1;
    }
    r = 0;
  }
  // Back to blocking mode: reads and writes wait through poll or block in send.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  // Requests are small and answered at once; Nagle would add a round-trip delay.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

TcpClient::~TcpClient() {
  close();
}

void TcpClient::connect(const QString& host, int port, int timeoutMs) {
  close();
  host_ = host;
  port_ = port;
  if (port <= 0 || port > 65535) throw ETcpError(QStringLiteral("Invalid port %1.").arg(port));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  QByteArray h = host.isEmpty() ? QByteArray("127.0.0.1") : host.toUtf8();
  int g = ::getaddrinfo(h.constData(), QByteArray::number(port).constData(), &hints, &list);
  if (g != 0)
    throw ETcpError(QStringLiteral("Cannot resolve host %1: %2.")
                        .arg(host, QString::fromLocal8Bit(gai_strerror(g))));
  int64_t deadline = clock().nowMs() + std::max(timeoutMs, 0);
  int err = ECONNREFUSED;
  bool timedOut = false;
  int fd = -1;
  for (addrinfo* ai = list; ai && fd < 0 && !timedOut; ai = ai->ai_next)
    fd = connectOne(ai, deadline, &err, &timedOut);
  ::freeaddrinfo(list);
  if (fd < 0) {
    if (timedOut)
      throw ETcpError(QStringLiteral("Connect to %1:%2 timed out.").arg(host).arg(port));
    throw ETcpError(QStringLiteral("Cannot connect to %1:%2: %3.")
                        .arg(host)
                        .arg(port)
                        .arg(QString::fromLocal8Bit(strerror(err))));
  }
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
  short rev = 0;
  int p = pollFd(fd_, POLLIN, std::max(timeoutMs, 0), &rev);
  if (p < 0) throw ETcpError(sysError("poll", errno));
  if (p == 0) return false;
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
  short rev = 0;
  int p = pollFd(fd_, POLLIN, std::max(withinMs, 0), &rev);
  if (p <= 0) return false;
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

void TcpClient::write(const char* data, int len) {
  if (fd_ < 0) throw ETcpError(QStringLiteral("Not connected."));
  while (len > 0) {
    ssize_t n = ::send(fd_, data, size_t(len), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ETcpError(sysError("send", errno));
    }
    data += n;
    len -= int(n);
  }
}

}  // namespace plat
