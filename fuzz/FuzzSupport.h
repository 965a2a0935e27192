#pragma once
// Shared pieces of the fuzz targets: a clock that runs out every time-out at
// once, a peer on the other end of a socket pair, a pseudo-terminal that plays
// a serial device, and a scratch folder.
//
// Every target feeds its bytes where a server, a device or a file would, and
// treats the project's own exceptions as the clean outcome. Anything else
// (a crash, a sanitizer report, another exception type) is a finding.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/TcpClient.h"

namespace fuzz {

inline QByteArray bytesOf(const uint8_t* data, size_t size) {
  return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

// Every reading of the clock is a second later than the one before, so a
// device or server that stops sending runs into its time-out after a few
// polls instead of after real seconds. Sleeps return at once.
class RushingClock : public plat::Clock {
 public:
  int64_t nowMs() const override { return now_.fetch_add(1000) + 1000; }
  void sleepMs(int64_t ms) override { now_.fetch_add(ms > 0 ? ms : 0); }

 private:
  mutable std::atomic<int64_t> now_{1'000'000};
};

inline void installRushingClock() {
  static RushingClock clock;
  plat::setClock(&clock);
}

// A QCoreApplication for code that expects one (text codecs, settings).
inline void ensureApp() {
  static int argc = 1;
  static char name[] = "vekta-fuzz";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                              : new QCoreApplication(argc, argv);
  (void)app;
}

// A scratch folder that lives as long as the process.
inline const QString& scratchDir() {
  static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/vekta-fuzz-XXXXXX"));
  static const QString path = dir.path();
  return path;
}

// The server's end of a connection. The client end goes into a TcpClient;
// the reply bytes go out either at once (reply(), for a reader that is past
// its request) or once the client's first request byte has arrived
// (replyAfterRequest(), from a thread), as a server does: bytes waiting
// before a request would make the client reconnect. Then the peer stops
// sending; what the client writes is swallowed.
class SocketPeer {
 public:
  SocketPeer();
  ~SocketPeer();
  SocketPeer(const SocketPeer&) = delete;
  SocketPeer& operator=(const SocketPeer&) = delete;

  // Hands the client end to client (which then owns it).
  void adoptInto(plat::TcpClient& client);
  void reply(const QByteArray& bytes);
  void replyAfterRequest(const QByteArray& bytes);
  // A conversation, from a thread: each stage's bytes go out once the client
  // has sent at least that many bytes in all (0: at once), as a server
  // answers a greeting, a login and then a request, each in its turn.
  struct Stage {
    qsizetype afterClientBytes = 0;
    QByteArray bytes;
  };
  void replyInStages(std::vector<Stage> stages);

 private:
  void serve(const QByteArray& bytes);
  void serveStages(const std::vector<Stage>& stages);
  int clientFd_ = -1;
  int serverFd_ = -1;
  std::thread thread_;
};

// A pseudo-terminal: the driver opens the slave as its serial port (through a
// COM<n> link in a ports folder of its own), the device's bytes go into the
// master once the driver has written its first bytes (drivers empty the line
// before a command, so earlier bytes would be lost). The master keeps
// reading what the driver writes so the line never fills.
class PtyDevice {
 public:
  PtyDevice();
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // The port number whose COM<n> link in the ports folder leads here.
  int comPort() const { return 1; }
  QString slavePath() const { return slave_; }
  // The device's answer to the driver's first command: the whole of bytes.
  void replyAfterRequest(const QByteArray& bytes) { start(bytes, true); }
  // Bytes the device sends unasked; call once the driver opened the port.
  void sendNow(const QByteArray& bytes) { start(bytes, false); }

 private:
  void start(const QByteArray& bytes, bool waitForRequest);
  void serve(const QByteArray& bytes, bool asked);
  int master_ = -1;
  QString slave_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace fuzz
