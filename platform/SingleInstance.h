#pragma once
// The one-copy-per-session guard: a lock file in the runtime folder held with
// flock, so the lock goes with the process, even when it crashes.

#include <QString>

namespace plat {

class SingleInstanceLock {
 public:
  // name becomes the lock file's name in the runtime folder
  // (XDG_RUNTIME_DIR, else /tmp).
  explicit SingleInstanceLock(const QString& name);
  ~SingleInstanceLock();
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

  // True when this object holds the lock now (taken here or before); false
  // when another process holds it or the file cannot be opened.
  bool tryLock();
  void unlock();
  bool isLocked() const { return fd_ >= 0; }
  const QString& filePath() const { return path_; }

 private:
  QString path_;
  int fd_ = -1;
};

// The runtime folder: XDG_RUNTIME_DIR when set and present, else /tmp.
QString runtimeFolder();

}  // namespace plat
