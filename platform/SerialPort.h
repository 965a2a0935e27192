#pragma once
// A serial port on a tty: raw mode, the framing the drivers ask for, DTR and
// RTS held on. The port is opened exclusively (TIOCEXCL and flock) because
// device discovery probes every port while a driver may hold one.
//
// Ports are named "COM" and a number, as the devices' settings store them.
// The names are the COM<n> entries of a ports folder, each a symlink to a tty
// (a udev link in the field, a pseudo-terminal in tests).

#include <QList>
#include <QString>
#include <atomic>
#include <ctime>
#include <mutex>

namespace plat {

// VEKTA_PORTS_DIR when set, else /etc/vekta/ports.
QString portsDir();
// The numbers n of the COM<n> entries in dir, ascending. A missing folder
// lists no ports.
QList<int> listComPorts(const QString& dir = portsDir());

// listComPorts for a caller that asks again and again (device discovery, ten
// times a second while no terminal is found): the folder is read again only
// when its modification time has changed, which every added, removed or
// renamed entry does. A listing made while that time was under two seconds
// old is not trusted, for file systems whose times are whole seconds.
class ComPortList {
 public:
  QList<int> ports(const QString& dir = portsDir());

 private:
  std::mutex m_;
  QString dir_;
  timespec mtime_{};
  bool trusted_ = false;
  QList<int> ports_;
};
// The path a port name opens: "COM3" is portsDir()/COM3; a name that holds a
// "/" is taken as a path as it stands.
QString comPortPath(const QString& name);

class SerialPort {
 public:
  enum class OpenResult { Ok, NotFound, NoState };

  SerialPort() = default;
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens path for reading and writing and applies the framing. parity: 0
  // none, 1 odd, 2 even, 3 mark, 4 space; stopBits: 0 one, 1 one and a half
  // (two on a tty), 2 two. A speed the tty does not know leaves the speed as
  // it was. NotFound covers a missing device and one that another holder has
  // locked; NoState a device that is not a tty.
  OpenResult open(const QString& path, int bitrate, int dataBits, int parity, int stopBits,
                  bool hardflow, bool softflow);
  void close();
  bool isOpen() const { return fd_ >= 0; }

  // Waits at most waitMs for input and reads at most maxLen bytes. Returns
  // the count (0 when nothing came), or -1 with lastError() set. A line that
  // hung up reads as an error (EIO): the device is gone.
  int read(char* dst, int maxLen, int waitMs);
  // Writes len bytes, waiting while the output queue is full, at most
  // timeoutMs in all. Returns the count written, or -1 with lastError() set.
  int write(const char* src, int len, int timeoutMs);
  // Waits at most waitMs for input to become readable; false on time-out or
  // when closed. Any thread may call it while another uses the port.
  bool waitReadable(int waitMs) const;

  int lastError() const { return lastError_; }

 private:
  std::atomic<int> fd_{-1};
  int lastError_ = 0;
};

}  // namespace plat
