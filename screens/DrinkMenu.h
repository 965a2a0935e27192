#pragma once
// The drink menu: a paged grid of the machine's drinks. A touch on a drink
// checks that it can be made now and closes the menu with it; a scan while the
// menu is open takes the scanned product instead.
//
// The paging, the grid and the refusal rules are plain functions so that they
// can be checked without widgets; TfmDrink only places and paints.

#include <QDialog>
#include <QRectF>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "kiosk/Common.h"
#include "kiosk/Products.h"

class QKeyEvent;
class QLabel;
class TRectangle;
class TTouchButton;

// How the drinks are spread over pages.
struct TDrinkPaging {
  int pages_count = 1;
  int drinks_per_page = 0;
};

// n drinks, at most maxPerPage a page (values below 1 count as 1). More
// drinks than fit on one page are balanced: 11 at 10 a page give 6 and 5.
TDrinkPaging drinkPaging(int n, int maxPerPage);
// The drinks on page pageInd (from 0); 0 for a page that does not exist.
int drinksOnPage(int n, const TDrinkPaging& paging, int pageInd);

// The grid of one page: columns = ceil(sqrt(c)), the last row holds the rest.
struct TDrinkGrid {
  int columns = 0;
  int rows = 0;
  int lastRow = 0;  // drinks in the last row
};
TDrinkGrid drinkGrid(int c);
// The button rectangles of a page of c drinks between the top bar (topH
// high) and the page bar (bottomH high) of a W x H screen; the last row is
// spread out evenly.
std::vector<QRectF> drinkButtonRects(int c, double W, double H, double topH, double bottomH);

// The state of the kiosk a drink is checked against.
struct TDrinkAvailability {
  bool carimali_machine = false;
  QString carimali_status;  // non-empty: the coffee machine is not ready
  bool noCoffee = false;    // the supervision reports no beans
  bool drink_after_payment = false;
  // The recipe of drink number n uses beans; null: it does not.
  std::function<bool(int n)> drinkUsesCoffeeBeans;
  // The vending machine can sell the cell now; null: yes.
  std::function<bool(int cell)> testProduct;
};
// Why the drink cannot be sold now (the message shown for 15 s), or empty.
QString drinkRefusal(const TProduct& drink, const TDrinkAvailability& a);

// What the menu asks of the kiosk. Null hooks do nothing (or answer no).
struct TDrinkMenuHooks {
  std::function<std::vector<TProduct>()> drinks;
  std::function<int()> maxDrinksPerPage;
  std::function<TDrinkAvailability()> availability;
  std::function<void(const QString& message, int seconds)> showMessage;
  std::function<void(QObject*)> buttonPressed;
  // The scanner entry of the main form for a key of the menu.
  std::function<void(QKeyEvent*)> scannerKeyUp;
  // The product the scanner selected (its flag cleared), if any.
  std::function<std::optional<TProduct>()> takeSelectedProduct;
  // Shows the cart's list again (hidden while the menu opens first).
  std::function<void()> showCart;
};

class TfmDrink : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kMessageSeconds = 15;

  // hooks: the kiosk's by default (kioskDrinkMenuHooks).
  explicit TfmDrink(QWidget* parent = nullptr, std::optional<TDrinkMenuHooks> hooks = std::nullopt);

  TDrinkMenuHooks hooks;

  TRectangle* pnMain;
  TRectangle* pnTop;
  QLabel* lbTop;
  TTouchButton* btClose;
  TRectangle* pnBottom;
  TTouchButton* btPrev;
  TTouchButton* btNext;
  // The picture every drink button shows.
  TPicture imDefault = nullptr;

  int drinks_per_page = 0;
  int pages_count = 1;
  int page_ind = 0;
  std::vector<TTouchButton*> drinkButtons;
  std::vector<TRectangle*> drinkCircles;
  bool ignore_drink_buttons_click = false;
  TProduct selected_product;

  void btCloseMouseDown();
  void btPrevMouseDown();
  void btNextMouseDown();
  // A touch on the drink with that index in the drink list.
  void drinkButtonMouseDown(int index);
  void showDrinksPage();

 protected:
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  // The scanner's keys are read on release, as on every other screen.
  void keyReleaseEvent(QKeyEvent* e) override;

 private:
  void FormCreate();
  TTouchButton* createDrinkButton(int index, const QRectF& r);
  void closeWithResult(int result);

  std::vector<TProduct> drinks_;
  bool shown_ = false;
};

TDrinkMenuHooks kioskDrinkMenuHooks();
// Shows the drink menu modally: the chosen product, or none when closed.
std::optional<TProduct> openDrinkMenu();
