#pragma once
// The points offer: before the payment method is chosen, a loyalty-card
// holder may pay part of the purchase with points. "Списать баллы" writes
// them off on the back office at once (request 1104) and keeps the amount;
// "Не списывать баллы" sets it to 0. Both end with ok; any other close means
// back to the cart.

#include <QDialog>
#include <functional>

class QLabel;
class TRectangle;
class TTouchButton;

class TfmCashback : public QDialog {
  Q_OBJECT
 public:
  // writeOff: the request for the amount (raises the server's text); null:
  // the main form's loyalty card through its business API.
  explicit TfmCashback(QWidget* parent = nullptr,
                       std::function<void(double amount)> writeOff = nullptr);

  double amount = 0;  // points to write off, roubles

  TRectangle* pnBackground;
  TRectangle* pnMain;
  TRectangle* pnTop;
  QLabel* lbTop;
  QWidget* Layout;
  TTouchButton* btOK;
  TTouchButton* btCancel;

  void btOKMouseDown();
  void btCancelMouseDown();

  // "Баллов к списанию: " and the amount.
  static QString headingText(double amount);

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  std::function<void(double)> writeOff_;
};

extern TfmCashback* fmCashback;

// The main form's write-off: request 1104 for its loyalty card (30 s).
void kioskBonusWriteOff(double amount);
