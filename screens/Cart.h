#pragma once
// The cart's model: the goods chosen so far, their quantities, the total, the
// loyalty discount and the amount to pay, and the start of the payment. It
// holds the sale and its decisions (paging, totals, texts, the pay sequence,
// the idle reset) without widgets; the cart form (screens/Recycle.h) shows it.

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "backoffice/KernelAPI.h"
#include "kiosk/Products.h"

class QKeyEvent;
class QObject;
class QWidget;

// The configuration values the cart reads.
struct TCartSettings {
  qint64 vm_id = 0;
  int loyaltySystem_id = 0;
  bool sbp_enabled = false;
  bool yandex_badge_enabled = false;
  int cardProject_id = 0;
  bool manual_barcodes = false;
  bool hasDrinks = false;
  int vekta_recycle_warning_delay = 180;  // seconds
  int vekta_recycle_reset_delay = 30;     // seconds
};

// What the cart asks of the kiosk and of its dialogs. Null hooks do nothing
// (or answer no).
struct TCartHooks {
  std::function<TCartSettings()> settings;
  // The main form's loyalty card, read and replaced in place.
  std::function<TLoyalityCardInfo&()> loyaltyCardInfo;
  std::function<void(int event_id, const QString& descr)> queueEvent;
  // Request 1102 (30 s).
  std::function<TLoyalityCardInfo(qint64 vm_id, const QString& card_no, double amount,
                                  const TProductPositionArray& positions)>
      loyalityCardOperation;
  // The removal question for the last unit of a line: true to remove.
  std::function<bool(const QString& productName)> confirmDelete;
  // The points offer with the points allowed: the points written off (0 when
  // declined), or none when the customer went back to the cart.
  std::function<std::optional<double>(double allowed)> offerPoints;
  // The payment-method dialog: true when it ended with a payment.
  std::function<bool()> choosePaymentMethod;
  // Runs the card payment screen for the cart's amounts: its modal result.
  std::function<int()> runCardScreen;
  // The card terminal that device discovery found (false: none).
  std::function<bool()> cardTerminalFound;
  // The reset question with its countdown: true for OK or when it ran out.
  std::function<bool(int seconds)> askReset;
  // Milliseconds since the application last saw user input.
  std::function<qint64()> msSinceLastInput;
  std::function<void()> setProductWasPaid;
  // The scanner entry of the main form for a key release of the cart.
  std::function<void(QKeyEvent*)> scannerKeyUp;
  // The product the scanner selected (its flag cleared), if any.
  std::function<std::optional<TProduct>()> takeSelectedProduct;
  // The press feedback of a touch button (flash and event 42).
  std::function<void(QObject*)> buttonPressed;
  std::function<void(QWidget*)> updateSerialNumberPanel;
  // The drink menu and the barcode keypad: the picked product, or none.
  // Null while the kiosk has no such screen: its button stays hidden.
  std::function<std::optional<TProduct>()> openDrinkMenu;
  std::function<std::optional<TProduct>()> openBarcodeKeypad;
  // Whether a drink can be sold now (coffee machine state); null: yes.
  std::function<bool()> checkCoffeeMachineState;
  // The other payment methods' screens: true when paid. Null: the method
  // cannot be used.
  std::function<bool()> payBySbp;
  std::function<bool()> payByYandexBadge;
  std::function<bool()> payByIdentityCard;
};

// The texts and switches of one layout of the cart.
struct TCartView {
  QString caption;     // lbTop
  QString amountText;  // lbAmount
  QString payText;     // lbPay
  bool payEnabled = false;
  int pages = 1;
  bool prevVisible = false;
  bool prevEnabled = false;
  bool nextVisible = false;
  bool nextEnabled = false;
};

// The vertical measures of the list that paging works with.
struct TCartListGeometry {
  double headerHeight = 0;  // pnHeader
  double gap = 0;           // lbName height x 0.4, above and between lines
  double listHeight = 0;    // pnList
};

// Where the page dots go on the total line: one per page, evenly spaced
// between the page buttons, as the rest of the screen's proportions give
// them. A narrow screen leaves less room between the buttons than the dots
// need to read as separate dots; then the next-page button moves right just
// far enough, but no further than nextLeftLimit, and only past that do the
// dots get smaller. Dots never touch each other or a button.
struct TPageDots {
  // A dot's centre is at least this many diameters from its neighbour's
  // and from the buttons' edges.
  static constexpr double kPitch = 1.5;

  double nextLeft = 0;  // where the next-page button starts
  double diameter = 0;
  std::vector<double> centres;

  static TPageDots place(int pages, double prevRight, double nextLeft, double nextLeftLimit,
                         double diameter);
};

class TCart {
 public:
  static constexpr const char* kResetQuestion = "Список товаров будет\r\nочищен через # сек.";
  static constexpr qint64 kRecentInputMs = 3000;
  // The smallest amount any payment method takes: points written off always
  // leave at least this much to pay, or the cart could never be paid.
  static constexpr double kSmallestPayableAmount = 0.01;
  static constexpr const char* kRemovalRefused =
      "Товар нельзя удалить: баллы уже списаны, и сумма к оплате стала бы нулевой.\r\n"
      "Чтобы отказаться от покупки, закройте корзину.";

  explicit TCart(TCartHooks hooks = {});

  TCartHooks hooks;

  int page_ind = 0;
  QDateTime selected_good_tm;
  double total_amount = 0;
  double discount = 0;
  double cashback = 0;
  int payment_type_cnt = 1;
  std::vector<TSelectedGood> selected_goods;

  // How tall a line's name is at the current layout; the widget measures its
  // label (and creates the line's controls on first use). Null: 1 per line.
  std::function<double(TSelectedGood&)> lineHeight;
  TCartListGeometry geometry;
  // Top of each line's row in the list, filled by refreshProductList.
  std::vector<double> lineTops;
  // Frees a line's controls before the line goes (the widget's part).
  std::function<void(TSelectedGood&)> lineRemoved;

  // total_amount - discount - cashback.
  double payment_amount() const { return total_amount - discount - cashback; }
  // payment_amount / total_amount; 1 for an empty total.
  double getDiscountCoeff() const;
  TProductPositionArray getProductPositions() const;
  // The last line's page + 1; 1 when the cart is empty.
  int getPagesCount() const;
  // Points written off on the back office in this cart.
  double pointsWrittenOff() const { return written_off_; }

  // payment_type_cnt from the settings: card always, then SBP, badge and
  // identity card when enabled.
  void countPaymentTypes();

  // Both return true when the view must jump (the widget lays out again).
  void addProduct(const TProduct& product, const QDateTime& now);
  // The minus button. The last unit asks first; false when declined or when
  // the line went meanwhile. Raises kRemovalRefused when points written off
  // would leave nothing to pay.
  bool removeProduct(const TProduct& product, const QDateTime& now);
  // The most points the offer may write off from an amount: the back
  // office's allowance, cut so that at least kSmallestPayableAmount is left
  // to pay; 0 when nothing may be written off.
  static double pointsOfferLimit(double allowed, double amount);
  // A discount of percent on a total, both in kopecks: the nearest kopeck,
  // an exact half to the even one.
  static int64_t discountKopecks(int64_t totalKopecks, double percent);
  void nextPage();
  void prevPage();

  // Pages, totals, discount and texts. The line pages follow lineHeight.
  TCartView refreshProductList();
  QString loyaltyCaption() const;
  const TCartView& view() const { return view_; }

  // The pay button. Paid: the cart closes with ok.
  enum class TPayResult { Empty, BackToCart, NotPaid, Paid };
  TPayResult pay();
  // The card payment (payByCard): raises "Оплата картой недоступна" without
  // a terminal, and refuses an amount of zero or less.
  bool payByCard();
  // A payment screen ended with ok: the lines go, the sale is over.
  void paid();

  // tmIdle fired: recent input postpones; otherwise the reset question.
  enum class TIdleResult { Postponed, Reset, Resumed };
  TIdleResult idleTimeout();
  // The close of the cart: false when lines remain and the customer kept
  // them. On true the loyalty card is no longer active.
  bool closeQuery();

  // Clears the lines and everything computed from them.
  void clear();

 private:
  TCartSettings settings() const;
  TLoyalityCardInfo* card() const;
  // The loyalty card's discount on a total in kopecks, in roubles.
  double discountOf(int64_t totalKopecks) const;
  // The sum of the lines, price x quantity, in kopecks.
  int64_t totalKopecks() const;
  void queue(int id, const QString& descr) const;
  int findLine(const TProduct& product) const;

  TCartView view_;
  double written_off_ = 0;
  // Bumped by every change of the lines; the loyalty operation remembers the
  // version it was made for, so an unchanged cart is not registered twice.
  quint64 version_ = 0;
  std::optional<quint64> operation_version_;
};
