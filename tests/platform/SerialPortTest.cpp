#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdlib>

#include "platform/SerialPort.h"

namespace {

// A pseudo-terminal whose terminal side is linked as dir/COM<n>.
struct Pty {
  int master = -1;
  QString link;
  Pty(const QString& dir, int com) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    link = QDir(dir).filePath(QStringLiteral("COM%1").arg(com));
    EXPECT_TRUE(QFile::link(QString::fromLocal8Bit(ptsname(master)), link));
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
  QByteArray readAll(int waitMs) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return {};
    char buf[256];
    ssize_t n = ::read(master, buf, sizeof buf);
    return n > 0 ? QByteArray(buf, n) : QByteArray();
  }
};

void touch(const QString& path) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
}

plat::SerialPort::OpenResult open8N1(plat::SerialPort& port, const QString& path) {
  return port.open(path, 115200, 8, 0, 0, false, false);
}

}  // namespace

TEST(SerialPortsFolder, ListsComEntriesInNumberOrder) {
  QTemporaryDir dir;
  for (const char* name : {"COM10", "COM2", "COM1", "COMX", "COM", "com3", "COM0", "COM02", "tty"})
    touch(dir.filePath(QString::fromLatin1(name)));
  // A link whose device is gone still names a port.
  QFile::link(dir.filePath(QStringLiteral("nowhere")), dir.filePath(QStringLiteral("COM7")));
  EXPECT_EQ(plat::listComPorts(dir.path()), (QList<int>{1, 2, 7, 10}));
  EXPECT_TRUE(plat::listComPorts(dir.filePath(QStringLiteral("missing"))).isEmpty());
}

// Discovery asks for the list ten times a second: the folder is read again
// only when it changed, and never trusted while its time is too fresh to
// tell two changes within one second apart.
TEST(SerialPortsFolder, TheRepeatedListFollowsEveryChangeOfTheFolder) {
  QTemporaryDir dir;
  const QByteArray path = QFile::encodeName(dir.path());
  auto add = [&](const char* name) {
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), dir.filePath(QLatin1String(name))));
  };
  // The folder's modification time set back to `at`, as a file system with
  // whole-second times would leave it after a second change in one second.
  auto setTime = [&](timespec at) {
    const timespec times[2] = {at, at};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.constData(), times, 0), 0);
  };
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  plat::ComPortList list;

  add("COM1");
  const timespec fresh = {now.tv_sec, 0};
  setTime(fresh);
  EXPECT_EQ(list.ports(dir.path()), QList<int>{1});
  add("COM3");
  setTime(fresh);
  EXPECT_EQ(list.ports(dir.path()), (QList<int>{1, 3})) << "a fresh folder is read every time";

  const timespec old = {now.tv_sec - 60, 0};
  setTime(old);
  EXPECT_EQ(list.ports(dir.path()), (QList<int>{1, 3}));
  add("COM2");
  EXPECT_EQ(list.ports(dir.path()), (QList<int>{1, 2, 3})) << "an added port shows at once";
  ASSERT_TRUE(QFile::remove(dir.filePath(QStringLiteral("COM1"))));
  EXPECT_EQ(list.ports(dir.path()), (QList<int>{2, 3})) << "a removed port goes at once";

  // A folder that stands still is not read again.
  setTime(old);
  EXPECT_EQ(list.ports(dir.path()), (QList<int>{2, 3}));
  add("COM4");
  setTime(old);
  EXPECT_EQ(list.ports(dir.path()), (QList<int>{2, 3}));
  EXPECT_EQ(plat::listComPorts(dir.path()), (QList<int>{2, 3, 4}));
}

TEST(SerialPortsFolder, NamesResolveThroughTheFolderFromTheEnvironment) {
  QTemporaryDir dir;
  qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
  EXPECT_EQ(plat::portsDir(), dir.path());
  EXPECT_EQ(plat::comPortPath(QStringLiteral("COM4")), dir.filePath(QStringLiteral("COM4")));
  EXPECT_EQ(plat::comPortPath(QStringLiteral("/dev/ttyS0")), QStringLiteral("/dev/ttyS0"));
  qunsetenv("VEKTA_PORTS_DIR");
  EXPECT_EQ(plat::portsDir(), QStringLiteral("/etc/vekta/ports"));
}

TEST(SerialPort, OpensRawEightNoneOneAtTheAskedSpeed) {
  QTemporaryDir dir;
  Pty pty(dir.path(), 1);
  plat::SerialPort port;
  ASSERT_EQ(open8N1(port, pty.link), plat::SerialPort::OpenResult::Ok);
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(cfgetospeed(&tio), speed_t(B115200));
}

TEST(SerialPort, OpenFailuresAreReportedByKind) {
  QTemporaryDir dir;
  plat::SerialPort port;
  EXPECT_EQ(open8N1(port, dir.filePath(QStringLiteral("COM1"))),
            plat::SerialPort::OpenResult::NotFound);
  touch(dir.filePath(QStringLiteral("plain")));
  EXPECT_EQ(open8N1(port, dir.filePath(QStringLiteral("plain"))),
            plat::SerialPort::OpenResult::NoState);
  EXPECT_FALSE(port.isOpen());
}

TEST(SerialPort, IsExclusiveUntilClosed) {
  QTemporaryDir dir;
  Pty pty(dir.path(), 3);
  plat::SerialPort first, second;
  ASSERT_EQ(open8N1(first, pty.link), plat::SerialPort::OpenResult::Ok);
  EXPECT_EQ(open8N1(second, pty.link), plat::SerialPort::OpenResult::NotFound);
  first.close();
  EXPECT_EQ(open8N1(second, pty.link), plat::SerialPort::OpenResult::Ok);
}

TEST(SerialPort, MovesBytesBothWaysAndReportsAHangUp) {
  QTemporaryDir dir;
  auto pty = std::make_unique<Pty>(dir.path(), 2);
  plat::SerialPort port;
  ASSERT_EQ(open8N1(port, pty->link), plat::SerialPort::OpenResult::Ok);

  ASSERT_EQ(port.write("\x01\x0A\x0D\xFF", 4, 100), 4);
  EXPECT_EQ(pty->readAll(500), QByteArray("\x01\x0A\x0D\xFF", 4));  // raw: no CR/LF mapping

  char buf[16];
  EXPECT_EQ(port.read(buf, sizeof buf, 5), 0);  // silent line: nothing, no error
  EXPECT_FALSE(port.waitReadable(5));
  ASSERT_EQ(::write(pty->master, "\x03\x11\x13", 3), 3);
  EXPECT_TRUE(port.waitReadable(500));
  ASSERT_EQ(port.read(buf, sizeof buf, 500), 3);
  EXPECT_EQ(QByteArray(buf, 3), QByteArray("\x03\x11\x13", 3));

  pty.reset();  // the device goes away
  EXPECT_EQ(port.read(buf, sizeof buf, 500), -1);
  EXPECT_EQ(port.lastError(), EIO);
}
