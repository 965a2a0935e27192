#pragma once
// A blocking TCP client on POSIX sockets with poll. It has no thread
// affinity: any thread may own it, one thread at a time. Only interrupt()
// and resetInterrupt() may be called from another thread.
//
// Received bytes land in an input buffer that read() serves first, so a
// reader that asks for a few bytes at a time costs one system call per
// socket chunk, not one per request, and never waits while bytes are there.
//
// Every wait (name lookup, connect, read, write, hasData) also watches a
// wake-up descriptor, so that another thread can end it at once: a stop must
// not sit out a 30-second time-out, a peer that stopped reading or a name
// server that never answers.

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/Exception.h"
#include "platform/NameLookup.h"

namespace plat {

// Socket failures: refused or timed-out connects, resets, a peer that closed.
VEKTA_EXCEPTION_CLASS(ETcpError, Exception)
// A connect or a write did not finish within its time-out.
VEKTA_EXCEPTION_CLASS(ETcpTimeout, ETcpError)
// A wait was ended by interrupt().
VEKTA_EXCEPTION_CLASS(ETcpInterrupted, ETcpError)

// The deadline of a write when the caller names none: a bank host or a back
// office that stops reading must not hold the writer for ever.
constexpr int kDefaultWriteTimeoutMs = 30000;

class TcpClient {
 public:
  TcpClient();
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Connects to host:port, closing any earlier connection first. host is a
  // numeric address or a name, looked up by plat::resolver() (NameLookup.h).
  // timeoutMs (plat::clock()) bounds the lookup and the connect together.
  // Raises ETcpTimeout when they are not done within it, ETcpInterrupted
  // when interrupted, ETcpError on any other failure.
  void connect(const QString& host, int port, int timeoutMs);
  // Takes over an already connected socket (from an accept); owns it.
  void adopt(int fd);

  // The socket is open and the peer has not closed it, or has closed it but
  // left bytes still to be read. Looks at the socket (no wait), so a close
  // by the peer is seen here before any read or write tries it.
  bool isConnected() const;
  // Closes the socket (the peer sees an orderly close) and empties the
  // input buffer. Safe to call when not connected. Keeps an interrupt.
  void close();

  // Copies up to maxLen bytes into dst. Buffered bytes are returned at once;
  // only an empty buffer waits, at most timeoutMs (0 = just look), for the
  // socket. Returns 0 when nothing came in time. Raises ETcpError when the
  // connection is closed by the peer or fails, ETcpInterrupted when a wait
  // is interrupted.
  int read(char* dst, int maxLen, int timeoutMs);
  QByteArray read(int maxLen, int timeoutMs);

  // Bytes already received and not yet read.
  int pending() const { return int(in_.size() - inPos_); }
  // Takes n buffered bytes when the buffer holds them and the connection
  // stands (as isConnected() says then); otherwise takes nothing and says
  // false. No system call: for readers that ask for a few bytes at a time.
  bool takeBuffered(char* dst, int n) {
    if (fd_ < 0 || peerClosed_ || n < 0 || pending() < n) return false;
    std::memcpy(dst, in_.constData() + inPos_, size_t(n));
    inPos_ += n;
    return true;
  }
  // The buffered bytes themselves, for a reader that parses them in place
  // and then drops what it used with skipBuffered(); empty where
  // takeBuffered would take nothing.
  std::string_view buffered() const {
    if (fd_ < 0 || peerClosed_) return {};
    return {in_.constData() + inPos_, size_t(pending())};
  }
  void skipBuffered(int n) { inPos_ += std::clamp(n, 0, pending()); }
  // True when bytes are buffered or arrive within withinMs. An interrupt
  // ends the wait with false; a closed peer answers false.
  bool hasData(int withinMs);
  // Drops everything buffered and everything the socket holds right now.
  void discardInput();

  // Writes every byte. While the socket's send buffer is full it waits, at
  // most timeoutMs in all (plat::clock()); then raises ETcpTimeout. The
  // bytes written so far stay written, so the stream is broken after a
  // time-out and the caller drops the connection. Raises ETcpInterrupted
  // when a wait is interrupted, ETcpError when not connected or the peer is
  // gone. A write that needs no wait succeeds even while interrupted.
  void write(const char* data, int len, int timeoutMs = kDefaultWriteTimeoutMs);
  void write(const QByteArray& data, int timeoutMs = kDefaultWriteTimeoutMs) {
    write(data.constData(), int(data.size()), timeoutMs);
  }
  void writeByte(uint8_t b, int timeoutMs = kDefaultWriteTimeoutMs) {
    write(reinterpret_cast<const char*>(&b), 1, timeoutMs);
  }

  // Any thread: ends the current wait of the owning thread at once, and
  // every later one, until resetInterrupt(). Waits that are already over
  // are not undone, and the connection stays as it is.
  void interrupt();
  // Any thread: lets waits run their time again.
  void resetInterrupt();
  // A descriptor of someone else's (the read end of a pipe that a signal
  // handler writes, say) that ends every wait as interrupt() does for as
  // long as it is readable. It is never read here, so its owner sees the
  // bytes too, and once the owner has read them waits run their time again.
  // -1: none.
  void setStopFd(int fd);
  bool interrupted() const { return interrupted_.load(); }

  int fd() const { return fd_; }
  QString host() const { return host_; }
  int port() const { return port_; }

 private:
  enum class Wait { Ready, TimedOut, Interrupted };
  // Waits up to timeoutMs (real time) for events on fd or an interrupt.
  Wait waitFor(int fd, short events, int timeoutMs) const;
  // Waits up to timeoutMs for readable bytes and pulls what the socket has
  // into the buffer. Returns false on time-out.
  bool fill(int timeoutMs);
  // The addresses of host, waiting for a lookup at most until deadline.
  std::vector<SocketAddress> resolve(const QString& host, int port, int64_t deadline);

  int fd_ = -1;
  int wakeFd_ = -1;  // eventfd, readable while interrupted
  std::atomic<int> stopFd_{-1};
  std::atomic<bool> interrupted_{false};
  mutable bool peerClosed_ = false;
  QString host_;
  int port_ = 0;
  QByteArray in_;
  qsizetype inPos_ = 0;
};

}  // namespace plat
