// vekta-screenshots' command line: "--help" prints the usage, anything else
// that is not one folder is refused with it, and neither writes a picture
// or a folder.

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "platform/AppPaths.h"
#include "tests/support/ChildProcess.h"

namespace {

QString toolBinary() {
  const QString dir = qEnvironmentVariable("VEKTA_TEST_BIN_DIR");
  return (dir.isEmpty() ? plat::programFolder() : dir) + QStringLiteral("/vekta-screenshots");
}

// The tool's working folder is the test's: it writes relative to it.
class InFolder {
 public:
  explicit InFolder(const QString& path) : old_(QDir::currentPath()) { QDir::setCurrent(path); }
  ~InFolder() { QDir::setCurrent(old_); }

 private:
  QString old_;
};

TEST(ScreenshotsTool, HelpAndStrayArgumentsPrintTheUsageAndWriteNothing) {
  struct Case {
    QStringList args;
    int exitCode;
  };
  const Case cases[] = {
      {{QStringLiteral("--help")}, 0},
      {{QStringLiteral("-h")}, 0},
      {{QStringLiteral("--out=shots")}, 2},
      {{QStringLiteral("-x")}, 2},
      {{QStringLiteral("shots"), QStringLiteral("more")}, 2},
      {{QStringLiteral("--one"), QStringLiteral("portrait")}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
    QTemporaryDir cwd;
    ASSERT_TRUE(cwd.isValid());
    testkit::ChildProcess tool;
    {
      InFolder in(cwd.path());
      ASSERT_TRUE(tool.start(toolBinary(), c.args, testkit::ChildProcess::Output::Capture))
          << toolBinary().toStdString();
    }
    // The usage comes at once; a tool that took the argument for a folder
    // would still be making pictures.
    const QByteArray out = tool.readAll(20000);
    EXPECT_TRUE(tool.waitFinished(5000));
    EXPECT_EQ(tool.exitCode(), c.exitCode);
    if (c.exitCode == 0) {
      EXPECT_TRUE(out.startsWith("usage: vekta-screenshots")) << out.data();
    }
    tool.kill();
    EXPECT_TRUE(QDir(cwd.path()).isEmpty())
        << QDir(cwd.path())
               .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
               .join(' ')
               .toStdString();
  }
}

}  // namespace
