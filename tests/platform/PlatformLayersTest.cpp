#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
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

int modeOf(const QString& path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Each file decides who may read it: the settings are the owner's alone,
// every other file keeps the mode it had, or the usual one when new.
TEST(AtomicFile, OwnerOnlyNarrowsTheFileAndTheFoldersItMakes) {
  const mode_t mask = ::umask(022);
  const struct {
    const char* name;
    plat::FileAccess access;
    int replaced;  // a 644 file after it was replaced
    int made;      // a new file
    int folder;    // a folder made for it
  } cases[] = {
      {"owner only", plat::FileAccess::OwnerOnly, 0600, 0600, 0700},
      {"usual", plat::FileAccess::Usual, 0644, 0644, 0755},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const QString old = dir.filePath(u("old"));
    {
      QFile f(old);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    ASSERT_EQ(::chmod(QFile::encodeName(old).constData(), 0644), 0);
    plat::writeFileAtomic(old, "secret", c.access);
    EXPECT_EQ(modeOf(old), c.replaced);
    const QString made = dir.filePath(u("a/b/new"));
    plat::writeFileAtomic(made, "secret", c.access);
    EXPECT_EQ(modeOf(made), c.made);
    EXPECT_EQ(modeOf(dir.filePath(u("a/b"))), c.folder);
    EXPECT_EQ(modeOf(dir.filePath(u("a"))), c.folder);
  }
  ::umask(mask);
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

// Runtime and data folders of the test's own. The runtime folder's lock
// file cannot be made: a folder stands in its place, which root cannot open
// as a file either.
class BlockedRuntimeLock : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    ASSERT_TRUE(QDir(runtime.path()).mkdir(name + u(".lock")));
  }
  void TearDown() override {
    if (old_.isNull())
      qunsetenv("XDG_RUNTIME_DIR");
    else
      qputenv("XDG_RUNTIME_DIR", old_);
  }
  const QString name = u("54646dfgbdbsLL5");
  QTemporaryDir runtime, data;

 private:
  QByteArray old_;
};

// A lock file that cannot be made says nothing about another copy: it is an
// error of its own, naming the path and why, never "another copy holds it".
TEST_F(BlockedRuntimeLock, ALockFileThatCannotBeMadeIsNoOtherCopy) {
  const QString blocked = runtime.path() + u("/54646dfgbdbsLL5.lock");
  QFile file(data.filePath(u("file")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  const struct {
    const char* name;
    QString fallback;  // empty: none
    bool locks;
  } cases[] = {
      {"no fallback", QString(), false},
      {"a fallback folder that can be made", data.filePath(u("made/here")), true},
      {"a fallback folder that cannot be made", data.filePath(u("file/sub")), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plat::SingleInstanceLock lock(name, c.fallback);
    if (!c.locks) {
      try {
        lock.tryLock();
        ADD_FAILURE() << "no error";
      } catch (const EFileError& e) {
        EXPECT_TRUE(e.message().contains(blocked)) << e.message().toStdString();
        if (!c.fallback.isEmpty()) {
          EXPECT_TRUE(e.message().contains(c.fallback));
        }
      }
      EXPECT_FALSE(lock.isLocked());
      continue;
    }
    ASSERT_TRUE(lock.tryLock());
    EXPECT_EQ(lock.filePath(), c.fallback + u("/54646dfgbdbsLL5.lock"));
    EXPECT_TRUE(lock.fallbackReason().contains(blocked)) << lock.fallbackReason().toStdString();
    EXPECT_EQ(modeOf(c.fallback), 0700);
    // A copy started alike takes the same way and finds this one.
    plat::SingleInstanceLock second(name, c.fallback);
    EXPECT_FALSE(second.tryLock());
    lock.unlock();
    EXPECT_TRUE(second.tryLock());
  }
}

}  // namespace
