// The keyboard lock: which combinations it swallows, and that it swallows
// them on their way to the kiosk's windows only while installed.

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <vector>

#include "kiosk/KeyboardLock.h"

namespace {

struct KeyCase {
  const char* name;
  int key;
  Qt::KeyboardModifiers modifiers;
  bool swallowed;
};

const KeyCase kCases[] = {
    // Alone, the keys a customer may need reach the screens.
    {"Tab", Qt::Key_Tab, Qt::NoModifier, false},
    {"Escape", Qt::Key_Escape, Qt::NoModifier, false},
    {"F4", Qt::Key_F4, Qt::NoModifier, false},
    {"Shift+Tab", Qt::Key_Backtab, Qt::ShiftModifier, false},
    {"digit", Qt::Key_7, Qt::NoModifier, false},
    {"Enter", Qt::Key_Return, Qt::NoModifier, false},
    {"keypad Enter", Qt::Key_Enter, Qt::KeypadModifier, false},
    {"Alt alone", Qt::Key_Alt, Qt::AltModifier, false},
    {"Ctrl+F4", Qt::Key_F4, Qt::ControlModifier, false},
    {"Ctrl+Alt+Del", Qt::Key_Delete, Qt::ControlModifier | Qt::AltModifier, false},
    // The combinations that switch or close programs.
    {"Alt+Tab", Qt::Key_Tab, Qt::AltModifier, true},
    {"Alt+Shift+Tab", Qt::Key_Backtab, Qt::AltModifier | Qt::ShiftModifier, true},
    {"Alt+Esc", Qt::Key_Escape, Qt::AltModifier, true},
    {"Ctrl+Esc", Qt::Key_Escape, Qt::ControlModifier, true},
    {"Ctrl+Shift+Esc", Qt::Key_Escape, Qt::ControlModifier | Qt::ShiftModifier, true},
    {"Alt+F4", Qt::Key_F4, Qt::AltModifier, true},
    {"left Super", Qt::Key_Super_L, Qt::NoModifier, true},
    {"right Super", Qt::Key_Super_R, Qt::NoModifier, true},
    {"Meta", Qt::Key_Meta, Qt::MetaModifier, true},
};

class KeyRecorder : public QWidget {
 public:
  std::vector<int> pressed, released;

 protected:
  void keyPressEvent(QKeyEvent* e) override { pressed.push_back(e->key()); }
  void keyReleaseEvent(QKeyEvent* e) override { released.push_back(e->key()); }
};

// Sends a press and a release; true when the widget saw both.
bool reaches(KeyRecorder& w, int key, Qt::KeyboardModifiers modifiers) {
  w.pressed.clear();
  w.released.clear();
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(&w, &press);
  QApplication::sendEvent(&w, &release);
  EXPECT_EQ(w.pressed.size(), w.released.size()) << "a press and its release go together";
  return w.pressed.size() == 1 && w.released.size() == 1;
}

}  // namespace

TEST(KeyboardLock, SwallowsOnlyTheCombinationsThatLeaveTheKiosk) {
  for (const KeyCase& c : kCases)
    EXPECT_EQ(keyboardLockSwallows(c.key, c.modifiers), c.swallowed) << c.name;
}

TEST(KeyboardLock, FiltersTheApplicationWhileInstalledOnly) {
  KeyRecorder w;
  for (bool installed : {true, false}) {
    SCOPED_TRACE(installed ? "installed" : "removed");
    EXPECT_EQ(Hook(installed), installed);
    EXPECT_EQ(keyboardLockInstalled(), installed);
    for (const KeyCase& c : kCases)
      EXPECT_EQ(reaches(w, c.key, c.modifiers), !installed || !c.swallowed) << c.name;
  }
  // Installing twice keeps one lock, which one removal takes away.
  EXPECT_TRUE(Hook(true));
  EXPECT_TRUE(Hook(true));
  EXPECT_FALSE(Hook(false));
  EXPECT_TRUE(reaches(w, Qt::Key_F4, Qt::AltModifier));
  EXPECT_FALSE(Hook(false));
}
