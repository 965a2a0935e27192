#include "kiosk/KeyboardLock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QPointer>

bool keyboardLockSwallows(int key, Qt::KeyboardModifiers modifiers) {
  const bool alt = modifiers.testFlag(Qt::AltModifier);
  const bool ctrl = modifiers.testFlag(Qt::ControlModifier);
  switch (key) {
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
      return true;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:  // Tab with Shift held
      return alt;
    case Qt::Key_Escape:
      return alt || ctrl;
    case Qt::Key_F4:
      return alt;
    default:
      return false;
  }
}

namespace {

class TKeyboardLock : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      // Shortcuts are matched before the key press is delivered.
      case QEvent::ShortcutOverride: {
        const auto* k = static_cast<QKeyEvent*>(event);
        if (keyboardLockSwallows(k->key(), k->modifiers())) return true;
        break;
      }
      default:
        break;
    }
    return QObject::eventFilter(watched, event);
  }
};

QPointer<TKeyboardLock> lock;

}  // namespace

bool Hook(bool install) {
  auto* app = QCoreApplication::instance();
  if (install) {
    if (!lock && app) {
      lock = new TKeyboardLock;
      lock->setParent(app);
      app->installEventFilter(lock);
    }
  } else if (lock) {
    if (app) app->removeEventFilter(lock);
    delete lock.data();
  }
  return !lock.isNull();
}

bool keyboardLockInstalled() {
  return !lock.isNull();
}
