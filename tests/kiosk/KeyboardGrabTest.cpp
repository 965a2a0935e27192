// The keyboard lock against a real window manager: on a virtual X display
// with openbox, Alt+Tab typed while the kiosk's window is in front leaves it
// in front when the lock is on, and switches to the other window when it is
// off. Skipped where Xvfb, openbox or xdotool is not installed.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <optional>

#include "tests/support/ChildProcess.h"

namespace {

bool waitFor(const std::function<bool()>& pred, int limitMs) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.hasExpired(limitMs)) return false;
    QThread::msleep(20);
  }
  return true;
}

// A child process that ends with the test: SIGTERM first, so that the X
// server removes its display's files.
struct Child {
  testkit::ChildProcess p;
  ~Child() { p.stop(3000); }
  // The next line of its output that starts with prefix; empty after limitMs.
  QString lineStartingWith(const QString& prefix, int limitMs) {
    QElapsedTimer t;
    t.start();
    for (;;) {
      const int left = limitMs - int(t.elapsed());
      if (left <= 0) return QString();
      const QByteArray raw = p.readLine(left);
      if (raw.isEmpty()) return QString();
      const QString line = QString::fromUtf8(raw).trimmed();
      if (line.startsWith(prefix)) return line;
    }
  }
};

class XSession : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "openbox", "xdotool"})
      if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
        GTEST_SKIP() << tool << " is not installed";
    window = QDir(qEnvironmentVariable("VEKTA_TEST_BIN_DIR"))
                 .filePath(QStringLiteral("keyboard-lock-window"));
    ASSERT_TRUE(QFileInfo::exists(window)) << window.toStdString();

    // The server picks a free display itself and tells it on descriptor 3.
    ASSERT_TRUE(
        xvfb.p.start(QStringLiteral("sh"),
                     {QStringLiteral("-c"),
                      QStringLiteral("exec Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp "
                                     "3>&1 1>/dev/null 2>/dev/null")},
                     testkit::ChildProcess::Output::Capture));
    const QString display = xvfb.lineStartingWith(QString(), 10000);
    ASSERT_FALSE(display.isEmpty()) << "Xvfb told no display";

    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    // openbox's own defaults, not a user's configuration.
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());

    // The desktop number is there once the window manager runs. On a loaded
    // machine openbox has been seen to end at once, finding no display that
    // Xvfb had just announced; it is started again then.
    bool wmUp = false;
    for (int attempt = 0; attempt < 3 && !wmUp; ++attempt) {
      if (attempt > 0) QThread::msleep(500);
      ASSERT_TRUE(
          wm.p.start(QStringLiteral("openbox"), {}, testkit::ChildProcess::Output::Inherit, env));
      waitFor(
          [&] {
            wmUp = xdotool({QStringLiteral("get_desktop")}).has_value();
            return wmUp || !wm.p.running();
          },
          10000);
    }
    ASSERT_TRUE(wmUp) << "openbox did not come up";
  }

  // xdotool's output, trimmed; none when it failed.
  std::optional<QString> xdotool(const QStringList& args) {
    testkit::ChildProcess p;
    if (!p.start(QStringLiteral("xdotool"), args, testkit::ChildProcess::Output::Capture, env))
      return std::nullopt;
    const QByteArray out = p.readAll(5000);
    if (!p.waitFinished(5000) || !p.normalExit() || p.exitCode() != 0) return std::nullopt;
    return QString::fromUtf8(out).trimmed();
  }
  QString activeWindow() {
    return xdotool({QStringLiteral("getactivewindow")}).value_or(QString());
  }

  // Starts a window; its id once it has the focus, empty when it never did.
  QString openWindow(Child& child, bool lock) {
    if (!child.p.start(window, lock ? QStringList{QStringLiteral("--lock")} : QStringList(),
                       testkit::ChildProcess::Output::Capture, env))
      return QString();
    const QString line = child.lineStartingWith(QStringLiteral("ready "), 15000);
    return line.mid(6);
  }

  QString window;
  QTemporaryDir home;
  QProcessEnvironment env;
  Child xvfb, wm;
};

TEST_F(XSession, AltTabLeavesTheKioskOnlyWithoutTheLock) {
  Child other;
  const QString otherId = openWindow(other, false);
  ASSERT_FALSE(otherId.isEmpty());

  for (bool lock : {false, true}) {
    SCOPED_TRACE(lock ? "lock on" : "lock off");
    Child kiosk;
    const QString kioskId = openWindow(kiosk, lock);
    ASSERT_FALSE(kioskId.isEmpty()) << "the kiosk window never had the focus";
    ASSERT_TRUE(waitFor([&] { return activeWindow() == kioskId; }, 5000));

    ASSERT_TRUE(xdotool({QStringLiteral("key"), QStringLiteral("alt+Tab")}).has_value());
    if (lock) {
      // The combination came to the kiosk, not to the window manager, and
      // the kiosk stays in front.
      EXPECT_FALSE(kiosk.lineStartingWith(QStringLiteral("Alt+Tab"), 5000).isEmpty());
      QThread::msleep(300);
      EXPECT_EQ(activeWindow(), kioskId);
    } else {
      EXPECT_TRUE(waitFor([&] { return activeWindow() == otherId; }, 5000))
          << "the window manager did not switch; active: " << activeWindow().toStdString();
    }
  }
}

}  // namespace
