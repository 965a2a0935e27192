#pragma once
// The one-copy-per-session guard: a lock file in the runtime folder held with
// flock, so the lock goes with the process, even when it crashes.

#include <QString>
#include <QStringList>

namespace plat {

class SingleInstanceLock {
 public:
  // name becomes the lock file's name in the runtime folder
  // (XDG_RUNTIME_DIR, else /tmp). When no file can be made there, the lock
  // file goes into fallbackFolder instead (made 0700 when missing), if one
  // is given. Copies started alike make the same choice, so they still
  // exclude each other.
  explicit SingleInstanceLock(const QString& name, const QString& fallbackFolder = QString());
  ~SingleInstanceLock();
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

  // True when this object holds the lock now (taken here or before); false
  // when another process holds it. Raises EFileError naming each path and
  // why, when the lock file can be made in no folder: then nothing is known
  // about another copy.
  bool tryLock();
  void unlock();
  bool isLocked() const { return fd_ >= 0; }
  // The lock file in use: the runtime folder's, until it could not be made.
  const QString& filePath() const { return paths_.at(current_); }
  // Why the runtime folder's lock file could not be made (path and reason);
  // empty while it is the one in use.
  const QString& fallbackReason() const { return fallbackReason_; }

 private:
  QStringList paths_;  // the runtime folder's, then the fallback's
  qsizetype current_ = 0;
  QString fallbackReason_;
  int fd_ = -1;
};

// The runtime folder: XDG_RUNTIME_DIR when set and present, else /tmp.
QString runtimeFolder();

}  // namespace plat
