#pragma once
// A blocking TCP client on POSIX sockets with poll. It has no thread
// affinity: any thread may own it, one thread at a time.
//
// Received bytes land in an input buffer that read() serves first, so a
// reader that asks for a few bytes at a time costs one system call per
// socket chunk, not one per request, and never waits while bytes are there.

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "platform/Exception.h"

namespace plat {

// Socket failures: refused or timed-out connects, resets, a peer that closed.
VEKTA_EXCEPTION_CLASS(ETcpError, Exception)

class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Connects to host:port, closing any earlier connection first. Raises
  // ETcpError when no address answers within timeoutMs (monotonic clock).
  void connect(const QString& host, int port, int timeoutMs);
  // Takes over an already connected socket (from an accept); owns it.
  void adopt(int fd);

  // The socket is open and the peer has not been seen closing it.
  bool isConnected() const { return fd_ >= 0 && !peerClosed_; }
  // Closes the socket (the peer sees an orderly close) and empties the
  // input buffer. Safe to call when not connected.
  void close();

  // Copies up to maxLen bytes into dst. Buffered bytes are returned at once;
  // only an empty buffer waits, at most timeoutMs (0 = just look), for the
  // socket. Returns 0 when nothing came in time. Raises ETcpError when the
  // connection is closed by the peer or fails.
  int read(char* dst, int maxLen, int timeoutMs);
  QByteArray read(int maxLen, int timeoutMs);

  // Bytes already received and not yet read.
  int pending() const { return int(in_.size() - inPos_); }
  // True when bytes are buffered or arrive within withinMs.
  bool hasData(int withinMs);
  // Drops everything buffered and everything the socket holds right now.
  void discardInput();

  // Writes every byte, blocking while the socket's buffer is full. Raises
  // ETcpError when not connected or when the peer is gone.
  void write(const char* data, int len);
  void write(const QByteArray& data) { write(data.constData(), int(data.size())); }
  void writeByte(uint8_t b) { write(reinterpret_cast<const char*>(&b), 1); }

  int fd() const { return fd_; }
  QString host() const { return host_; }
  int port() const { return port_; }

 private:
  // Waits up to timeoutMs for readable bytes and pulls what the socket has
  // into the buffer. Returns false on time-out.
  bool fill(int timeoutMs);

  int fd_ = -1;
  bool peerClosed_ = false;
  QString host_;
  int port_ = 0;
  QByteArray in_;
  qsizetype inPos_ = 0;
};

}  // namespace plat
