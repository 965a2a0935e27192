#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "platform/AtomicFile.h"
#include "platform/Exception.h"

namespace plat {

QString runtimeFolder() {
  const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!xdg.isEmpty() && QDir(xdg).exists()) return xdg;
  return QStringLiteral("/tmp");
}

namespace {

QString systemError(int error) {
  return QString::fromLocal8Bit(::strerror(error));
}

QString cannotCreate(const QString& path, const QString& reason) {
  return QStringLiteral("Cannot create the lock file \"%1\". %2").arg(path, reason);
}

}  // namespace

SingleInstanceLock::SingleInstanceLock(const QString& name, const QString& fallbackFolder) {
  const QString file = name + QStringLiteral(".lock");
  paths_ << runtimeFolder() + QLatin1Char('/') + file;
  if (!fallbackFolder.isEmpty()) paths_ << fallbackFolder + QLatin1Char('/') + file;
}

SingleInstanceLock::~SingleInstanceLock() {
  unlock();
}

bool SingleInstanceLock::tryLock() {
  if (fd_ >= 0) return true;
  // The file itself stays behind; only the flock says whether a copy runs, and
  // the kernel drops it when the holder ends, however it ends. A file that
  // cannot be made says nothing about another copy: the next folder is
  // tried, and once one could be opened it is the one used from then on.
  QStringList failures;
  if (current_ > 0) failures << fallbackReason_;
  for (;;) {
    const QString& path = paths_.at(current_);
    QString failure;
    if (current_ > 0) {
      try {
        makeFolderPath(QFileInfo(path).path(), FileAccess::OwnerOnly);
      } catch (const EFileError& e) {
        failure = e.message();
      }
    }
    int fd = -1;
    if (failure.isEmpty()) {
      fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) failure = cannotCreate(path, systemError(errno));
    }
    if (fd >= 0) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        fd_ = fd;
        return true;
      }
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) return false;
      failure = cannotCreate(path, systemError(error));
    }
    failures << failure;
    if (current_ + 1 >= paths_.size()) throw EFileError(failures.join(QStringLiteral(" ")));
    if (current_ == 0) fallbackReason_ = failure;
    ++current_;
  }
}

void SingleInstanceLock::unlock() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace plat
