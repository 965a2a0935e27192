#pragma once
// The cart form: the goods chosen so far, their quantities, the total, the
// loyalty discount and the amount to pay, and the start of the payment. While
// it is shown it is the one holder of the sale: the payment screens, the
// thanks screen and the loyalty submission read the lines and amounts from it.
//
// TCart (screens/Cart.h) holds the sale and its decisions without widgets;
// TfmRecycle shows it.

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "screens/Cart.h"
#include "screens/Checkout.h"
#include "screens/PaymentImageCycle.h"

class QKeyEvent;
class QLabel;
class QTimer;
class QWidget;
class TRectangle;
class TTouchButton;

// The confirmation before the last unit of a line is removed.
class TfmDeleteGoodDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TfmDeleteGoodDialog(QWidget* parent = nullptr);
  // The line's product, named in the question as a sentence of its own.
  void setProductName(const QString& name);
  TRectangle* pnBackground;
  TRectangle* pnMain;
  QLabel* image;
  QLabel* lb1;
  QLabel* lb2;
  TRectangle* pnBottom;
  TTouchButton* btOK;
  TTouchButton* btCancel;
  // The press feedback (flash and user-action event); the main form's by default.
  std::function<void(QObject*)> buttonPressed;

 protected:
  void showEvent(QShowEvent* e) override;

 private:
  // A button's press feedback, then the answer.
  void answer(TTouchButton* button, int r);
};

class TfmRecycle : public QDialog {
  Q_OBJECT
 public:
  // hooks: the kiosk's by default (kioskCartHooks).
  explicit TfmRecycle(QWidget* parent = nullptr, std::optional<TCartHooks> hooks = std::nullopt);
  ~TfmRecycle() override;

  TCart cart;
  bool show_drink_form = false;

  // The cart's operations under their usual names.
  std::vector<TSelectedGood>& selected_goods() { return cart.selected_goods; }
  double payment_amount() const { return cart.payment_amount(); }
  double getDiscountCoeff() const { return cart.getDiscountCoeff(); }
  TProductPositionArray getProductPositions() const { return cart.getProductPositions(); }
  void addProduct(const TProduct& product);
  void removeProduct(const TProduct& product);
  void refreshProductList();
  // The sale as the checkout reads it.
  TCheckoutSale checkoutSale(TPaymentMethod method) const;

  TRectangle* pnTop;
  QLabel* lbTop;
  TTouchButton* btClose;
  QWidget* pnMain;
  TRectangle* pnList;
  TRectangle* pnHeader;
  QLabel* lbName;
  QLabel* lbPrice;
  QLabel* lbCount;
  TRectangle* line1;
  TRectangle* line2;
  TRectangle* pnAmount;
  QLabel* lbAmount;
  TTouchButton* btPrev;
  TTouchButton* btNext;
  TRectangle* pnBottom;
  TTouchButton* btDrink;
  QLabel* imDrink;
  QLabel* lbDrink;
  TTouchButton* btBarcode;
  QLabel* imBarcode;
  QLabel* lbBarcode;
  TTouchButton* btPay;
  QLabel* lbPay;
  // The payment methods' logos on the pay button: imPay is the button's
  // picture, the others take its place in turn.
  QLabel* imPay;
  QLabel* imSBP;
  QLabel* imYandexBadge;
  QLabel* imIdentityCard;
  TRectangle* pnSerialNumber;
  QLabel* lbSerialNumber;
  QLabel* lbSupportPhone;
  QTimer* tmIdle;
  QTimer* tmSelectedGood;
  QTimer* tmPaymentImage;
  // Steps the fade of a logo that just appeared.
  QTimer* tmPaymentImageFade;
  QTimer* tmDrink;
  std::vector<TRectangle*> drinkCircles;
  // The logos of the offered methods, in the order card, SBP, badge,
  // identity card.
  std::vector<QLabel*> paymentImages;
  TPaymentImageCycle paymentImageCycle;
  int paymentImageInd() const { return paymentImageCycle.paymentImageInd(); }

  void btCloseMouseDown();
  void btPayMouseDown();
  void btDrinkMouseDown();
  void btBarcodeMouseDown();
  void btPrevClick();
  void btNextClick();
  void tmIdleTimer();
  void tmSelectedGoodTimer();
  void tmPaymentImageTimer();
  void tmPaymentImageFadeTimer();
  void tmDrinkTimer();

  // Pauses the cart's timers while a modal that the cart opened is shown,
  // and starts the ones that ran again afterwards unless the cart closed
  // meanwhile: an idle reset must never clear the lines under a question
  // that is still open. Every hook of the cart that can wait modally (a
  // dialog, a screen, a message, a blocking request) runs under one.
  class TModalPause {
   public:
    explicit TModalPause(TfmRecycle& form);
    ~TModalPause();
    TModalPause(const TModalPause&) = delete;
    TModalPause& operator=(const TModalPause&) = delete;

   private:
    TfmRecycle& form_;
    bool idle_, selectedGood_, paymentImage_;
  };

 public slots:
  void done(int r) override;

 protected:
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void keyReleaseEvent(QKeyEvent* e) override;

 private:
  void FormCreate();
  void setUpWindow();
  void createTop();
  void createList();
  void createAmountLine();
  void createBottomButtons();
  void createFooter();
  void createTimers();
  void connectHandlers();
  void startEmpty();
  void showOfferedButtons(const TCartSettings& s);
  // The payment methods counted and their logos chosen for the pay button.
  void offerPaymentMethods(const TCartSettings& s);
  void attachLineControls();
  void layoutForm();
  void placeButtonPictures(double bw, double bh, bool landscape);
  double measureLine(TSelectedGood& line);
  // The line's price in the name's font, smaller only when it would not
  // fit between the price column's left line and its right edge.
  void fitPriceToColumn(TSelectedGood& line);
  void placeLines();
  // The next-page button where the page dots leave it room.
  void placePageButtons();
  void updatePageDots();
  // The total line, right-aligned in the room right of the page buttons.
  void placeAmount(const QString& text);
  void setLineStyle(TSelectedGood& line, bool underlined);
  void restartSelectedGoodTimer();
  void takeSelectedProduct();
  void startIdle();
  // Puts every hook that can wait modally under a TModalPause.
  void pauseTimersAroundModals();

  bool shown_ = false;
  bool closing_ = false;
  double nextHomeX_ = 0;
  TPageDots pageDots_;
};

// The cart now shown, or null.
extern TfmRecycle* fmRecycle;

// Creates the cart, shows it modally and frees it: 1 when the goods were
// paid, 2 otherwise. The product the main form's scanner selected goes in
// first; show_drink_form opens the drink menu at once.
int openCart(bool show_drink_form);

// The cart's hooks onto the running kiosk (fmMain).
TCartHooks kioskCartHooks();

// Milliseconds since the application last saw a key, mouse or touch input
// (plat::clock()); the watch starts with the first call.
qint64 msSinceLastUserInput();
