#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "platform/Exception.h"
#include "platform/SingleInstance.h"
#include "tests/support/ChildProcess.h"

namespace {

QString u(const char* utf8) {
  return QString::fromUtf8(utf8);
}

TEST(AppPaths, ProgramAndDataFolders) {
  EXPECT_EQ(plat::programBaseName(), u("test_platform_layers"));
  EXPECT_TRUE(QFileInfo(plat::programFolder() + u("/test_platform_layers")).isExecutable());
  const QByteArray old = qgetenv("VEKTA_DATA_DIR");
  qputenv("VEKTA_DATA_DIR", "/srv/x");
  EXPECT_EQ(plat::dataFolder(), u("/srv/x"));
  qputenv("VEKTA_DATA_DIR", "");
  EXPECT_EQ(plat::dataFolder(), u("/var/lib/vekta"));
  if (old.isNull())
    qunsetenv("VEKTA_DATA_DIR");
  else
    qputenv("VEKTA_DATA_DIR", old);
}

TEST(AtomicFile, ReplacesWholeAndCreatesFolders) {
  QTemporaryDir dir;
  const QString path = dir.filePath(u("a/b/vekta.ini"));
  plat::writeFileAtomic(path, "first");
  plat::writeFileAtomic(path, "second");
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), QByteArray("second"));
  // No temporary file is left beside it.
  EXPECT_EQ(QDir(dir.filePath(u("a/b"))).entryList(QDir::Files), QStringList{u("vekta.ini")});
}

TEST(AtomicFile, FailureRaisesWithTheReason) {
  QTemporaryDir dir;
  QFile blocker(dir.filePath(u("file")));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  // A folder cannot be made where a file stands, nor a file where a folder stands.
  EXPECT_THROW(plat::writeFileAtomic(dir.filePath(u("file/x.ini")), "x"), EFileError);
  try {
    plat::writeFileAtomic(dir.path(), "x");
    FAIL();
  } catch (const EFileError& e) {
    EXPECT_TRUE(e.message().contains(dir.path()));
  }
}

// Runs in a forked child: takes the lock, reports, then waits to be killed.
[[noreturn]] void holdLock(const QString& name, int reportFd) {
  plat::SingleInstanceLock lock(name);
  const char ok = lock.tryLock() ? '1' : '0';
  if (::write(reportFd, &ok, 1) != 1) _exit(2);
  for (;;) ::pause();
}

TEST(SingleInstance, SecondProcessIsRefusedUntilTheFirstEnds) {
  QTemporaryDir runtime;
  const QByteArray old = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  const QString name = u("54646dfgbdbsLL5");

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  testkit::ForkedChild holder([&] { holdLock(name, fds[1]); });
  ASSERT_TRUE(holder.started());
  ::close(fds[1]);
  char ok = 0;
  ASSERT_EQ(::read(fds[0], &ok, 1), 1);
  ::close(fds[0]);
  EXPECT_EQ(ok, '1');

  plat::SingleInstanceLock second(name);
  EXPECT_EQ(second.filePath(), runtime.path() + u("/54646dfgbdbsLL5.lock"));
  EXPECT_FALSE(second.tryLock());
  EXPECT_FALSE(second.isLocked());

  // The holder dies without unlocking, as in a crash: the lock is free again.
  holder.kill();
  EXPECT_TRUE(second.tryLock());
  EXPECT_TRUE(second.tryLock());  // holding it already counts as success

  second.unlock();
  plat::SingleInstanceLock third(name);
  EXPECT_TRUE(third.tryLock());

  if (old.isNull())
    qunsetenv("XDG_RUNTIME_DIR");
  else
    qputenv("XDG_RUNTIME_DIR", old);
}

}  // namespace
