// keyboard-lock-window: a window on an X display, with the kiosk's keyboard
// lock when started with --lock, for the keyboard-grab test. It prints
// "ready <window id>" once it has the focus (and, locked, the keyboard grab),
// and "Alt+Tab" whenever Tab with Alt reaches it.

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cstdio>

#include "kiosk/KeyboardLock.h"

namespace {

// Installed after the lock, so it sees the keys before the lock drops them.
class KeyWatch : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress && watched->isWindowType()) {
      const auto* k = static_cast<QKeyEvent*>(event);
      if (k->key() == Qt::Key_Tab && k->modifiers().testFlag(Qt::AltModifier)) {
        std::printf("Alt+Tab\n");
        std::fflush(stdout);
      }
    }
    return QObject::eventFilter(watched, event);
  }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const bool lock = app.arguments().contains(QStringLiteral("--lock"));
  QWidget window;
  window.setWindowTitle(lock ? QStringLiteral("kiosk") : QStringLiteral("other"));
  window.resize(400, 300);
  window.show();
  if (lock) Hook(true);
  KeyWatch watch;
  app.installEventFilter(&watch);

  QTimer ready;
  ready.setInterval(20);
  QObject::connect(&ready, &QTimer::timeout, [&] {
    if (QGuiApplication::focusWindow() != window.windowHandle()) return;
    if (lock && !keyboardLockGrabbed()) return;
    ready.stop();
    std::printf("ready %llu\n", static_cast<unsigned long long>(window.winId()));
    std::fflush(stdout);
  });
  ready.start();
  return QApplication::exec();
}
