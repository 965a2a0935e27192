#pragma once
// The keyboard lock: keeps customers from leaving the kiosk screen with the
// keyboard. It swallows the Windows (Super) keys and the combinations that
// switch or close programs, presses and releases alike, while every other
// key (the barcode scanner's digits and Enter among them) passes on.
//
// It is an event filter on the application, so it sees only the keys that
// reach the kiosk's own windows. Combinations that a window manager grabs
// before any application sees them must be switched off in the session
// (a kiosk session runs without one, or with those bindings removed).

#include <Qt>

// True for the combinations the lock swallows: either Super key, Alt+Tab
// (Alt+Shift+Tab too), Alt+Esc, Ctrl+Esc (Ctrl+Shift+Esc too) and Alt+F4.
bool keyboardLockSwallows(int key, Qt::KeyboardModifiers modifiers);

// Installs (true) or removes (false) the lock on the application. Installing
// twice keeps one lock; removing without one does nothing. Returns whether
// the lock is installed afterwards. Main thread only.
bool Hook(bool install);
bool keyboardLockInstalled();
