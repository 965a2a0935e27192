#include "kiosk/KeyboardLock.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>

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

// A grab that failed (the window manager holding the keyboard for a moment,
// a window not yet mapped) is tried again this often.
constexpr int kGrabRetryMs = 200;

// Why the grab stands aside; kept while no lock is installed, so a lock
// installed later respects them.
bool oskShown = false;
enum class ProgramAway { none, starting, inFront };
ProgramAway programAway = ProgramAway::none;

class TKeyboardLock : public QObject {
 public:
  TKeyboardLock() {
    // Only an X server lets a client grab the keyboard; elsewhere the filter
    // is all there is.
    grabbing_ = QGuiApplication::platformName() == QLatin1String("xcb");
    retry_.setInterval(kGrabRetryMs);
    connect(&retry_, &QTimer::timeout, this, [this] { update(); });
    programWait_.setSingleShot(true);
    programWait_.setInterval(kProgramWaitMs);
    connect(&programWait_, &QTimer::timeout, this, [this] {
      programAway = ProgramAway::none;
      update();
    });
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
      connect(app, &QGuiApplication::focusWindowChanged, this,
              [this](QWindow* w) { focusChanged(w); });
  }

  ~TKeyboardLock() override { release(); }

  bool grabbed() const { return held_ && grabbed_; }

  // Takes the grab for the window in front, moves it when another window
  // came in front, or lets it go when nothing of the kiosk is in front or
  // something asked it to stand aside.
  void update() {
    if (!grabbing_) return;
    QWindow* want = wanted();
    if (!want) {
      release();
    } else if (want != grabbed_.data() || !held_) {
      // A grab this client holds moves to the new window with the new grab,
      // so no key slips through between the two.
      grabbed_ = want;
      mayHold_ = true;
      held_ = want->setKeyboardGrabEnabled(true);
    }
    if (want && !held_) {
      if (!retry_.isActive()) retry_.start();
    } else {
      retry_.stop();
    }
  }

  void programStarting() {
    programAway = ProgramAway::starting;
    programWait_.start();
    update();
  }

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
      case QEvent::Hide: {
        // A drop-down list grabs the keyboard for itself while open and lets
        // the whole grab go when it closes: take it back.
        auto* w = qobject_cast<QWidget*>(watched);
        if (grabbing_ && w && w->windowType() == Qt::Popup) {
          held_ = false;
          QTimer::singleShot(0, this, [this] { update(); });
        }
        break;
      }
      default:
        break;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QWindow* wanted() const {
    if (oskShown || programAway != ProgramAway::none) return nullptr;
    return QGuiApplication::focusWindow();
  }

  void focusChanged(QWindow* w) {
    if (!w && programAway == ProgramAway::starting) {
      // The program took the focus; the kiosk grabs again when it gets it back.
      programAway = ProgramAway::inFront;
    } else if (w && programAway == ProgramAway::inFront) {
      programAway = ProgramAway::none;
      programWait_.stop();
    }
    update();
  }

  void release() {
    // The ungrab is the whole client's, so any window of the kiosk lets go
    // of a grab that a failed move may have left on the previous one.
    if (mayHold_) {
      QWindow* any = grabbed_ ? grabbed_.data() : QGuiApplication::focusWindow();
      if (!any) {
        const auto windows = QGuiApplication::topLevelWindows();
        for (QWindow* w : windows)
          if (w->handle()) any = w;
      }
      if (any) any->setKeyboardGrabEnabled(false);
    }
    grabbed_ = nullptr;
    held_ = false;
    mayHold_ = false;
  }

  bool grabbing_ = false;
  QPointer<QWindow> grabbed_;
  bool held_ = false;     // the last grab for grabbed_ succeeded
  bool mayHold_ = false;  // some grab was taken since the last release
  QTimer retry_;
  QTimer programWait_;
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
      lock->update();
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

bool keyboardLockGrabbed() {
  return lock && lock->grabbed();
}

void keyboardGrabForOnScreenKeyboard(bool shown) {
  oskShown = shown;
  if (lock) lock->update();
}

void releaseKeyboardGrabForProgram() {
  if (lock) lock->programStarting();
}
