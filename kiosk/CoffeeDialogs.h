#pragma once
// The two modal screens of the coffee machine: the boiler fill a technician
// starts when the machine asks for water, and the waiting screen shown while
// a paid drink is being prepared. Both run on the main thread and talk to the
// machine only while holding the coffee-machine lock; they read the
// supervision worker's copied state without it.

#include <QDialog>
#include <cstdint>
#include <functional>
#include <mutex>

#include "kiosk/CoffeeSupervision.h"

class QLabel;
class QTimer;
class TBusyIndicator;
class TCarimali;
class TTouchButton;

// The machine, its lock and the supervision's copy of its state.
struct TCoffeeDialogContext {
  TCarimali* carimali = nullptr;
  std::recursive_mutex* synchronizer = nullptr;
  std::function<TCarimaliState()> state;
};

class TfmDrinkWaiting : public QDialog {
  Q_OBJECT
 public:
  static constexpr int64_t kMaxWaitMs = 180000;

  TfmDrinkWaiting(TCoffeeDialogContext ctx, QWidget* parent = nullptr);

  QLabel* lbTop;
  TBusyIndicator* AniIndicator1;
  QTimer* Timer1;
  int64_t show_tm = 0;  // plat::clock() when shown

  // One check: closes when the machine no longer prepares the drink or the
  // wait ran out. A lock held elsewhere (a poll in flight) waits for the
  // next tick instead of freezing the screen.
  void Timer1Timer();

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  TCoffeeDialogContext ctx_;
};

// The technician's way out of a boiler fill that keeps failing: the service
// menu behind the service password, and the end of the program when the menu
// asks for it. Both are required.
struct TServiceMenuAccess {
  // The password, then the menu; true when the technician chose to end the program.
  std::function<bool()> showSettings;
  std::function<void()> closeProgram;
};

class TfmBoilerInfill : public QDialog {
  Q_OBJECT
 public:
  // The machine must report power off within this time before the fill.
  static constexpr int64_t kPowerOffWaitMs = 30000;

  // A service access without both actions raises EWiring.
  TfmBoilerInfill(TCoffeeDialogContext ctx, TServiceMenuAccess service, QWidget* parent = nullptr);

  TTouchButton* btInfillBoiler;
  QLabel* lbStatus;
  TBusyIndicator* AniIndicator;
  QTimer* Timer;
  QTimer* tmTimeout;
  void btInfillBoilerClick();
  // The fill runs: the button gives way to the status line and the
  // indicator, and the timer watches for the fill's end.
  void showFilling();
  void TimerTimer();
  void tmTimeoutTimer();
  // The service menu; when it asked to end the program, the dialog closes
  // and the program's close is started.
  void pnMainDblClick();

 protected:
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  TCoffeeDialogContext ctx_;
  TServiceMenuAccess service_;
};
