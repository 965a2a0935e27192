#pragma once
// A listening TCP socket for the test bench's stand-in servers.

#include <QString>
#include <memory>

#include "platform/TcpClient.h"

namespace plat {

class TcpServer {
 public:
  TcpServer() = default;
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Listens on host:port; port 0 lets the system choose (see port()).
  // Raises ETcpError on failure.
  void listen(const QString& host = QStringLiteral("127.0.0.1"), int port = 0);
  int port() const { return port_; }
  bool isListening() const { return fd_ >= 0; }

  // Waits up to timeoutMs for a connection; nullptr when none came.
  std::unique_ptr<TcpClient> accept(int timeoutMs);
  void close();

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace plat
