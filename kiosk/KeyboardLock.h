#pragma once
// The keyboard lock: keeps customers from leaving the kiosk screen with the
// keyboard. It swallows the Windows (Super) keys and the combinations that
// switch or close programs, presses and releases alike, while every other
// key (the barcode scanner's digits and Enter among them) passes on.
//
// It is an event filter on the application, so by itself it sees only the
// keys that reach the kiosk's own windows. A window manager binds Alt+Tab and
// Super for itself and takes them before any application, so on X11 the lock
// also holds a keyboard grab for the kiosk's window in front: while a client
// holds the grab the window manager's bindings do not fire, every key comes
// to the kiosk, and the filter drops the combinations. The grab follows the
// window in front (each modal screen has its own) and stands aside while
// another program must have the keyboard: the on-screen keyboard and the
// operator program. On Wayland a client cannot grab the keyboard, so there
// the window manager's bindings stay in force.

#include <Qt>

// True for the combinations the lock swallows: either Super key, Alt+Tab
// (Alt+Shift+Tab too), Alt+Esc, Ctrl+Esc (Ctrl+Shift+Esc too) and Alt+F4.
bool keyboardLockSwallows(int key, Qt::KeyboardModifiers modifiers);

// Installs (true) or removes (false) the lock on the application. Installing
// twice keeps one lock; removing without one does nothing. Returns whether
// the lock is installed afterwards. Main thread only.
bool Hook(bool install);
bool keyboardLockInstalled();

// True while the lock holds the keyboard grab for one of the kiosk's windows.
bool keyboardLockGrabbed();

// The on-screen keyboard is shown (true) or hidden again (false). It types
// through the X server as if it were the keyboard, so the grab stands aside
// while it is shown.
void keyboardGrabForOnScreenKeyboard(bool shown);

// Another program is about to open in front of the kiosk (the operator
// program). The grab stands aside until the kiosk has lost the focus to it
// and got it back, or, when the program never shows, for kProgramWaitMs.
void releaseKeyboardGrabForProgram();
inline constexpr int kProgramWaitMs = 30000;
