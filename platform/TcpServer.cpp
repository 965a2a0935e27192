#include "platform/TcpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plat {

TcpServer::~TcpServer() {
  close();
}

void TcpServer::listen(const QString& host, int port) {
  close();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  QByteArray h = host.isEmpty() ? QByteArray("0.0.0.0") : host.toLatin1();
  if (::inet_pton(AF_INET, h.constData(), &addr.sin_addr) != 1)
    throw ETcpError(QStringLiteral("Invalid listen address %1.").arg(host));
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw ETcpError(QStringLiteral("socket: %1.").arg(QString::fromLocal8Bit(strerror(errno))));
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, 64) < 0) {
    int e = errno;
    ::close(fd);
    throw ETcpError(QStringLiteral("Cannot listen on %1:%2: %3.")
                        .arg(host)
                        .arg(port)
                        .arg(QString::fromLocal8Bit(strerror(e))));
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  fd_ = fd;
  port_ = ntohs(addr.sin_port);
}

std::unique_ptr<TcpClient> TcpServer::accept(int timeoutMs) {
  if (fd_ < 0) return nullptr;
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return nullptr;
  int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (c < 0) return nullptr;
  auto client = std::make_unique<TcpClient>();
  client->adopt(c);
  return client;
}

void TcpServer::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  port_ = 0;
}

}  // namespace plat
