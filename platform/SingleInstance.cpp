#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

namespace plat {

QString runtimeFolder() {
  const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!xdg.isEmpty() && QDir(xdg).exists()) return xdg;
  return QStringLiteral("/tmp");
}

SingleInstanceLock::SingleInstanceLock(const QString& name)
    : path_(runtimeFolder() + QLatin1Char('/') + name + QStringLiteral(".lock")) {}

SingleInstanceLock::~SingleInstanceLock() {
  unlock();
}

bool SingleInstanceLock::tryLock() {
  if (fd_ >= 0) return true;
  // The file itself stays behind; only the flock says whether a copy runs, and
  // the kernel drops it when the holder ends, however it ends.
  const int fd = ::open(QFile::encodeName(path_).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void SingleInstanceLock::unlock() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace plat
