#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>

#include "platform/Clock.h"

namespace plat {
namespace {

bool speedFor(int bitrate, speed_t* out) {
  static const struct {
    int rate;
    speed_t code;
  } kSpeeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},    {9600, B9600},
                 {19200, B19200},   {38400, B38400},   {57600, B57600},  {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& s : kSpeeds) {
    if (s.rate == bitrate) {
      *out = s.code;
      return true;
    }
  }
  return false;
}

int pollFd(int fd, short events, int timeoutMs, short* revents) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, std::max(0, timeoutMs));
    if (r < 0 && errno == EINTR) continue;
    if (revents) *revents = p.revents;
    return r;
  }
}

}  // namespace

QString portsDir() {
  QString dir = qEnvironmentVariable("VEKTA_PORTS_DIR");
  return dir.isEmpty() ? QStringLiteral("/etc/vekta/ports") : dir;
}

QList<int> listComPorts(const QString& dir) {
  static const QRegularExpression kName(QStringLiteral("^COM([1-9][0-9]{0,8})$"));
  QList<int> ports;
  // Broken links count too: the device may come back before it is opened,
  // and opening reports its absence properly.
  const QStringList names =
      QDir(dir).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
  for (const QString& name : names) {
    auto m = kName.match(name);
    if (m.hasMatch()) ports.append(m.captured(1).toInt());
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

QList<int> ComPortList::ports(const QString& dir) {
  std::lock_guard lock(m_);
  struct stat st {};
  if (::stat(QFile::encodeName(dir).constData(), &st) != 0) {
    trusted_ = false;
    return listComPorts(dir);
  }
  if (trusted_ && dir == dir_ && st.st_mtim.tv_sec == mtime_.tv_sec &&
      st.st_mtim.tv_nsec == mtime_.tv_nsec)
    return ports_;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  dir_ = dir;
  mtime_ = st.st_mtim;
  trusted_ = now.tv_sec - st.st_mtim.tv_sec >= 2;
  ports_ = listComPorts(dir);
  return ports_;
}

QString comPortPath(const QString& name) {
  if (name.contains(QLatin1Char('/'))) return name;
  return QDir(portsDir()).filePath(name);
}

SerialPort::~SerialPort() {
  close();
}

SerialPort::OpenResult SerialPort::open(const QString& path, int bitrate, int dataBits, int parity,
                                        int stopBits, bool hardflow, bool softflow) {
  close();
  const QByteArray native = QFile::encodeName(path);
  int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    lastError_ = errno;
    return OpenResult::NotFound;
  }
  // flock holds against every other opener; TIOCEXCL also against openers
  // that do not take the lock (it does not bind root, hence both).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    lastError_ = errno;
    ::close(fd);
    return OpenResult::NotFound;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    lastError_ = errno;
    ::close(fd);
    return OpenResult::NoState;
  }
  ::ioctl(fd, TIOCEXCL);

  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~CSIZE;
  switch (dataBits) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    default:
      tio.c_cflag |= CS8;
      break;
  }
  tio.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  tio.c_iflag &= ~INPCK;
  if (parity != 0) {
    tio.c_cflag |= PARENB;
    tio.c_iflag |= INPCK;
    if (parity == 1 || parity == 3) tio.c_cflag |= PARODD;
    if (parity == 3 || parity == 4) tio.c_cflag |= CMSPAR;
  }
  if (stopBits != 0) {
    tio.c_cflag |= CSTOPB;
  } else {
    tio.c_cflag &= ~CSTOPB;
  }
  if (hardflow) {
    tio.c_cflag |= CRTSCTS;
  } else {
    tio.c_cflag &= ~CRTSCTS;
  }
  if (softflow) {
    tio.c_iflag |= IXON | IXOFF;
  } else {
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  }
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  speed_t sp;
  if (speedFor(bitrate, &sp)) {
    cfsetispeed(&tio, sp);
    cfsetospeed(&tio, sp);
  }
  // As on the original platform, a setting the line refuses is not fatal.
  ::tcsetattr(fd, TCSANOW, &tio);

  // A pseudo-terminal has no modem lines and refuses this; that is fine.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd, TIOCMBIS, &lines);

  fd_ = fd;
  lastError_ = 0;
  return OpenResult::Ok;
}

void SerialPort::close() {
  int fd = fd_.exchange(-1);
  if (fd < 0) return;
  // The exclusive flag outlives this descriptor while others hold the tty
  // (a simulator keeps its end open), so drop it before closing.
  ::ioctl(fd, TIOCNXCL);
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

int SerialPort::read(char* dst, int maxLen, int waitMs) {
  const int fd = fd_;
  if (fd < 0) {
    lastError_ = EBADF;
    return -1;
  }
  short rev = 0;
  int p = pollFd(fd, POLLIN, waitMs, &rev);
  if (p < 0) {
    lastError_ = errno;
    return -1;
  }
  if (p == 0) return 0;
  ssize_t n = ::read(fd, dst, size_t(maxLen));
  if (n > 0) return int(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  if (n < 0) {
    lastError_ = errno;
    return -1;
  }
  // Readable but nothing to read: the other end hung up.
  lastError_ = EIO;
  return -1;
}

int SerialPort::write(const char* src, int len, int timeoutMs) {
  const int fd = fd_;
  if (fd < 0) {
    lastError_ = EBADF;
    return -1;
  }
  const int64_t deadline = clock().nowMs() + timeoutMs;
  int done = 0;
  while (done < len) {
    ssize_t n = ::write(fd, src + done, size_t(len - done));
    if (n > 0) {
      done += int(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      lastError_ = errno;
      return -1;
    }
    const int64_t left = deadline - clock().nowMs();
    if (left <= 0) break;
    if (pollFd(fd, POLLOUT, int(std::min<int64_t>(left, 50)), nullptr) < 0) {
      lastError_ = errno;
      return -1;
    }
  }
  return done;
}

bool SerialPort::waitReadable(int waitMs) const {
  const int fd = fd_;
  if (fd < 0) return false;
  short rev = 0;
  if (pollFd(fd, POLLIN, waitMs, &rev) <= 0) return false;
  if (rev & (POLLHUP | POLLERR | POLLNVAL)) {
    // A hung-up line would wake the waiter at once, again and again: wait
    // the time out, and let the reader find the hang-up on its own.
    ::usleep(useconds_t(std::max(0, waitMs)) * 1000);
    return false;
  }
  return (rev & POLLIN) != 0;
}

}  // namespace plat
