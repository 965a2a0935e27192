#pragma once
// The payment-method dialog: the cart shows it when more than one method is
// offered. Each method button runs the cart's operation for that method; a
// payment ends the dialog with ok, anything else leaves it for another
// choice. Left untouched for a minute it goes back to the cart.

#include <QDialog>
#include <QRectF>
#include <functional>
#include <vector>

class QLabel;
class QTimer;
class TRectangle;
class TTouchButton;
class TfmRecycle;

// Where the offered method buttons go inside pnMain: each W/2 wide and
// v/(2n+1) high, centred, with equal gaps above, between and below.
// offered: card, SBP, badge, identity card; the rects of hidden ones are empty.
std::vector<QRectF> paymentButtonRects(double W, double v, const bool offered[4]);

class TfmPaymentTypeDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kIdleMs = 60000;

  explicit TfmPaymentTypeDialog(TfmRecycle* cart, QWidget* parent = nullptr);

  TRectangle* pnTop;
  QLabel* lbTop;
  TTouchButton* btClose;
  QWidget* pnMain;
  TTouchButton* btPay;
  TTouchButton* btSBP;
  TTouchButton* btYandexBadge;
  TTouchButton* btIdentityCard;
  TRectangle* pnSerialNumber;
  QLabel* lbSerialNumber;
  QLabel* lbSupportPhone;
  QTimer* tmIdle;

  void btPayMouseDown();
  void btSBPMouseDown();
  void btYandexBadgeMouseDown();
  void btIdentityCardMouseDown();
  void btCloseMouseDown();
  void tmIdleTimer();

 protected:
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void layoutForm();
  void runMethod(TTouchButton* button, const std::function<bool()>& operation);
  TfmRecycle* cart_;
};

extern TfmPaymentTypeDialog* fmPaymentTypeDialog;

// Shows the dialog for the cart: true when the goods were paid.
bool showPaymentTypeDialog(TfmRecycle* cart);

// The card payment screen for the cart now shown (fmRecycle): its modal
// result, 1 when paid and the checkout ran.
int runCardPaymentScreen();

struct TCheckoutSale;
// The checkout of a paid sale on the running kiosk, with the thanks screen
// over the cart now shown.
void runKioskCheckout(const TCheckoutSale& sale, bool saleEventsQueued);
