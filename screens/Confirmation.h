#pragma once
// The cup confirmation of a coffee-machine kiosk: after a paid purchase it is
// shown once per drink unit, with the drink's name, and the customer places a
// cup and presses "Приготовление". It waits for the press without a limit.

#include <QDateTime>
#include <QDialog>
#include <functional>

class QKeyEvent;
class QLabel;
class QTimer;
class TRectangle;
class TTouchButton;

class TfmConfirmation : public QDialog {
  Q_OBJECT
 public:
  explicit TfmConfirmation(QWidget* parent = nullptr);

  TRectangle* pnMain;
  TRectangle* pnTop;
  QLabel* lbTop;
  TRectangle* pnCenter;
  QLabel* lb1;
  QLabel* lb2;
  QLabel* lb3;
  TRectangle* pnBottom;
  TTouchButton* btOK;
  QTimer* tmClose;  // never started: the dialog waits for the press
  QDateTime show_tm;
  // The press feedback (flash and user-action event); the main form's by default.
  std::function<void(QObject*)> buttonPressed;

  // A touch runs both: the press gives its feedback, and the dialog closes
  // with ok when the finger is lifted, after the click's own feedback (or
  // without it when the finger left the button).
  void btOKMouseDown();
  void btOKClick();
  void tmCloseTimer();

 protected:
  void showEvent(QShowEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  // The drink is paid for: a key (Escape included) must not skip it.
  void keyPressEvent(QKeyEvent* e) override;

 private:
  bool confirmed_ = false;
};

extern TfmConfirmation* fmConfirmation;

// Shows the confirmation for a drink; true when the customer confirmed.
bool showCupConfirmation(const QString& drinkName);
