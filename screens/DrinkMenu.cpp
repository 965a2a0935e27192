#include "screens/DrinkMenu.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <mutex>

#include "devices/CarimaliDevice.h"
#include "devices/PaymentModule.h"
#include "kiosk/CoffeeSupervision.h"
#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/FormServices.h"
#include "kiosk/Main.h"
#include "kiosk/Pictures.h"
#include "kiosk/TouchButton.h"
#include "screens/Recycle.h"

namespace {

constexpr int mrOk = 1;
constexpr int mrCancel = 2;

const QColor kMainFill(0xDE, 0xB8, 0x87);  // burlywood
const QColor kTopFill(0xB8, 0x86, 0x0B);   // dark goldenrod

QRect rectOf(double x, double y, double w, double h) {
  return QRectF(x, y, w, h).toRect();
}

int ceilDiv(int a, int b) {
  return (a + b - 1) / b;
}

}  // namespace

// --- paging and grid -----------------------------------------------------------

TDrinkPaging drinkPaging(int n, int maxPerPage) {
  const int m = std::max(1, maxPerPage);
  TDrinkPaging p;
  if (n <= m) {
    p.pages_count = 1;
    p.drinks_per_page = std::max(0, n);
    return p;
  }
  p.pages_count = ceilDiv(n, m);
  p.drinks_per_page = ceilDiv(n, p.pages_count);
  return p;
}

int drinksOnPage(int n, const TDrinkPaging& paging, int pageInd) {
  if (pageInd < 0 || pageInd >= paging.pages_count) return 0;
  if (pageInd < paging.pages_count - 1) return paging.drinks_per_page;
  return std::max(0, n - (paging.pages_count - 1) * paging.drinks_per_page);
}

TDrinkGrid drinkGrid(int c) {
  TDrinkGrid g;
  if (c <= 0) return g;
  g.columns = int(std::ceil(std::sqrt(double(c))));
  g.rows = ceilDiv(c, g.columns);
  g.lastRow = c - (g.rows - 1) * g.columns;
  return g;
}

std::vector<QRectF> drinkButtonRects(int c, double W, double H, double topH, double bottomH) {
  std::vector<QRectF> out;
  const TDrinkGrid g = drinkGrid(c);
  if (g.columns == 0) return out;
  const double w = W / g.columns;
  const double h = (H - topH - bottomH) / g.rows;
  for (int r = 1; r < g.rows; ++r)
    for (int k = 1; k <= g.columns; ++k)
      out.emplace_back((k - 1) * w + w / 10, topH + (r - 1) * h + h / 10, 0.8 * w, 0.8 * h);
  const int L = g.lastRow;
  const double y = topH + (g.rows - 1) * h + h / 10;
  for (int i = 1; i <= L; ++i) {
    const double x = (g.columns - L) * w / (L + 1) * i + (i - 1) * w + w / 10;
    out.emplace_back(x, y, 0.8 * w, 0.8 * h);
  }
  return out;
}

QString drinkRefusal(const TProduct& drink, const TDrinkAvailability& a) {
  const QString unavailable = QStringLiteral("Напиток недоступен.");
  if (a.carimali_machine) {
    if (!a.carimali_status.isEmpty())
      return unavailable + QStringLiteral("\r\n") + a.carimali_status;
    if (a.noCoffee && a.drinkUsesCoffeeBeans && a.drinkUsesCoffeeBeans(drink.cell))
      return unavailable + QStringLiteral("\r\nНет зёрен кофе");
    return {};
  }
  if (a.drink_after_payment && a.testProduct && !a.testProduct(drink.cell)) return unavailable;
  return {};
}

// --- the form ------------------------------------------------------------------

TfmDrink::TfmDrink(QWidget* parent, std::optional<TDrinkMenuHooks> h)
    : QDialog(parent), hooks(h ? std::move(*h) : kioskDrinkMenuHooks()) {
  FormCreate();
}

void TfmDrink::FormCreate() {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setWindowTitle(QStringLiteral("Диалог выбора напитка"));
  pnMain = new TRectangle(this);
  pnMain->setFillColor(kMainFill);
  pnTop = new TRectangle(pnMain);
  pnTop->setFillColor(kTopFill);
  lbTop = new QLabel(QStringLiteral("Пожалуйста, выберите напиток"), pnTop);
  lbTop->setTextFormat(Qt::PlainText);
  QFont f = lbTop->font();
  f.setBold(true);
  lbTop->setFont(f);
  lbTop->setStyleSheet(QStringLiteral("color: #FFEBCD"));
  btClose = new TTouchButton(QStringLiteral("✕"), pnTop);
  btClose->setHint(QStringLiteral("Закрыть"));
  pnBottom = new TRectangle(pnMain);
  pnBottom->setFillColor(kTopFill);
  btPrev = new TTouchButton(QStringLiteral("<"), pnBottom);
  btNext = new TTouchButton(QStringLiteral(">"), pnBottom);
  imDefault = drinkPicture;
  connect(btClose, &TRectangle::mouseDown, this, &TfmDrink::btCloseMouseDown);
  connect(btPrev, &TRectangle::mouseDown, this, &TfmDrink::btPrevMouseDown);
  connect(btNext, &TRectangle::mouseDown, this, &TfmDrink::btNextMouseDown);
}

void TfmDrink::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (shown_) return;
  shown_ = true;
  FitFormToMainForm(this);
  const QSizeF screen = ScreenSize();
  const double W = screen.width(), H = screen.height();
  const bool landscape = H < W;
  pnMain->setGeometry(rectOf(0, 0, W, H));
  FitFontSize(lbTop, landscape ? W / 2 : W * 2 / 3);
  const double topH = lbTop->height() * (landscape ? 1.75 : 2);
  pnTop->setGeometry(rectOf(0, 0, W, topH));
  lbTop->move(int((W - lbTop->width()) / 2), int((topH - lbTop->height()) / 2));
  const double m = topH / 8;
  btClose->setGeometry(rectOf(W - topH + m, m, topH - 2 * m, topH - 2 * m));
  btClose->fitLabel();

  drinks_ = hooks.drinks ? hooks.drinks() : std::vector<TProduct>{};
  const int n = int(drinks_.size());
  const TDrinkPaging p = drinkPaging(n, hooks.maxDrinksPerPage ? hooks.maxDrinksPerPage() : 10);
  pages_count = p.pages_count;
  drinks_per_page = p.drinks_per_page;
  page_ind = 0;
  const double bottomH = pages_count > 1 ? topH : 0;
  pnBottom->setGeometry(rectOf(0, H - bottomH, W, bottomH));
  pnBottom->setVisible(bottomH > 0);
  const double bm = bottomH / 8;
  const double bh = bottomH - 2 * bm;
  btPrev->setGeometry(rectOf(bm, bm, bh * 1.5, bh));
  btNext->setGeometry(rectOf(W - bm - bh * 1.5, bm, bh * 1.5, bh));
  btPrev->fitLabel();
  btNext->fitLabel();
  for (TRectangle* c : drinkCircles) delete c;
  drinkCircles.clear();
  if (pages_count > 1) {
    const double d = bottomH / 7;
    for (int i = 0; i < pages_count; ++i) {
      auto* c = new TCircle(pnBottom);
      const double x = (W - d) / 2 + W / 4 * (i - (pages_count - 1) / 2.0) / pages_count;
      c->setGeometry(rectOf(x, (bottomH - d) / 2, d, d));
      c->setStroke(kMainFill, 2, Qt::TopEdge | Qt::BottomEdge | Qt::LeftEdge | Qt::RightEdge);
      c->show();
      drinkCircles.push_back(c);
    }
  }
  showDrinksPage();
}

void TfmDrink::showDrinksPage() {
  for (int i = 0; i < int(drinkCircles.size()); ++i)
    drinkCircles[size_t(i)]->setFillColor(i == page_ind ? kMainFill : Qt::transparent);
  for (TTouchButton* b : drinkButtons) b->deleteLater();
  drinkButtons.clear();
  btPrev->setVisible(page_ind > 0);
  btNext->setVisible(page_ind < pages_count - 1);
  const int n = int(drinks_.size());
  const TDrinkPaging p{pages_count, drinks_per_page};
  const int c = drinksOnPage(n, p, page_ind);
  const QSizeF screen = ScreenSize();
  const double bottomH = pnBottom->isVisible() ? pnBottom->height() : 0;
  const std::vector<QRectF> rects =
      drinkButtonRects(c, screen.width(), screen.height(), pnTop->height(), bottomH);
  const int first = drinks_per_page * page_ind;
  for (int i = 0; i < c && first + i < n; ++i)
    drinkButtons.push_back(createDrinkButton(first + i, rects[size_t(i)]));
}

namespace {

// A drink tile's outline along its top and bottom, and the room between the
// bottom one and the name.
constexpr double kOutline = 8;
constexpr double kNameBottomMargin = 4;

}  // namespace

TTouchButton* TfmDrink::createDrinkButton(int index, const QRectF& r) {
  const TProduct& d = drinks_[size_t(index)];
  auto* b = new TTouchButton(QString(), pnMain);
  b->setGeometry(r.toRect());
  b->setStroke(kTopFill, kOutline, Qt::TopEdge | Qt::BottomEdge);
  b->label()->hide();
  auto* name = new QLabel(d.name, b);
  name->setTextFormat(Qt::PlainText);
  name->setWordWrap(true);
  name->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
  QFont nf = name->font();
  nf.setBold(true);
  nf.setPointSizeF(30);
  name->setFont(nf);
  name->setStyleSheet(QStringLiteral("color: #B8860B"));
  auto* price = new QLabel(TFormServices::formatAmount(d.price) + QStringLiteral(" ₽"), b);
  price->setTextFormat(Qt::PlainText);
  QFont pf = price->font();
  pf.setBold(true);
  pf.setPointSizeF(50);
  price->setFont(pf);
  price->setStyleSheet(QStringLiteral("color: #DEB887"));
  // Long names and prices must stay inside the button on small screens.
  FitFontSize(price, r.width() / 2);
  price->adjustSize();
  // The tile has no side lines: without some room to its edge a price or a
  // name reads as cut off. The room grows with the text's size.
  const double pricePad = QFontMetricsF(price->font()).height() / 4;
  const double namePad = QFontMetricsF(nf).height() / 4;
  price->move(int(r.width() - price->width() - pricePad), 8);
  // The picture takes the upper half's width left of the price, under the
  // top border; the name has the lower half.
  b->setImageGeometry(QRectF(0, 8, price->x(), r.height() / 2 - 8));
  b->setPicture(imDefault);
  // A long name wraps over the lower half of the button and shrinks only as
  // far as it must: fitted to one line it would end up a few pixels high.
  // Its bottom margin lies above the outline, which has the name's colour:
  // letters that reach into the outline merge with it.
  const QSizeF nameBox(r.width() - 2 * namePad, r.height() / 2 - kOutline - kNameBottomMargin);
  const QRectF need =
      QFontMetricsF(nf).boundingRect(QRectF(QPointF(0, 0), nameBox), Qt::TextWordWrap, d.name);
  if (need.height() > nameBox.height() || need.width() > nameBox.width()) {
    FitFontSizeToBox(name, nameBox);
    if (FontSizeOf(name) > nf.pointSizeF()) SetFontSize(name, nf.pointSizeF());
  }
  name->setGeometry(rectOf(namePad, r.height() / 2, nameBox.width(), nameBox.height()));
  connect(b, &TRectangle::mouseDown, this, [this, index] { drinkButtonMouseDown(index); });
  b->show();
  return b;
}

void TfmDrink::drinkButtonMouseDown(int index) {
  if (ignore_drink_buttons_click) return;
  if (index < 0 || index >= int(drinks_.size())) return;
  if (hooks.buttonPressed) hooks.buttonPressed(sender());
  const TProduct& drink = drinks_[size_t(index)];
  const QString refusal =
      drinkRefusal(drink, hooks.availability ? hooks.availability() : TDrinkAvailability{});
  if (!refusal.isEmpty()) {
    if (hooks.showMessage) hooks.showMessage(refusal, kMessageSeconds);
    return;
  }
  ignore_drink_buttons_click = true;
  if (hooks.showCart) hooks.showCart();
  selected_product = drink;
  closeWithResult(mrOk);
}

void TfmDrink::keyPressEvent(QKeyEvent* e) {
  // Escape and Enter must not close the menu: the scanner ends codes with Enter.
  e->accept();
}

void TfmDrink::keyReleaseEvent(QKeyEvent* e) {
  e->accept();
  if (hooks.scannerKeyUp) hooks.scannerKeyUp(e);
  if (ignore_drink_buttons_click || !hooks.takeSelectedProduct) return;
  if (std::optional<TProduct> p = hooks.takeSelectedProduct()) {
    ignore_drink_buttons_click = true;
    selected_product = *p;
    if (hooks.showCart) hooks.showCart();
    closeWithResult(mrOk);
  }
}

void TfmDrink::btPrevMouseDown() {
  if (page_ind <= 0) return;
  if (hooks.buttonPressed) hooks.buttonPressed(btPrev);
  --page_ind;
  showDrinksPage();
}

void TfmDrink::btNextMouseDown() {
  if (page_ind + 1 >= pages_count) return;
  if (hooks.buttonPressed) hooks.buttonPressed(btNext);
  ++page_ind;
  showDrinksPage();
}

void TfmDrink::btCloseMouseDown() {
  if (hooks.buttonPressed) hooks.buttonPressed(btClose);
  closeWithResult(mrCancel);
}

void TfmDrink::closeWithResult(int result) {
  for (TTouchButton* b : drinkButtons) b->deleteLater();
  drinkButtons.clear();
  for (TRectangle* c : drinkCircles) c->deleteLater();
  drinkCircles.clear();
  done(result);
}

// --- the kiosk's side ------------------------------------------------------------

TDrinkMenuHooks kioskDrinkMenuHooks() {
  TDrinkMenuHooks h;
  h.drinks = [] { return fmMain ? fmMain->drinks : std::vector<TProduct>{}; };
  h.maxDrinksPerPage = [] { return fmMain ? fmMain->MAX_DRINKS_PER_PAGE : 10; };
  h.availability = [] {
    TDrinkAvailability a;
    if (!fmMain) return a;
    a.carimali_machine = fmMain->carimali_machine;
    a.carimali_status = fmMain->carimali_status;
    a.drink_after_payment = fmMain->drink_after_payment;
    if (fmMain->carimaliInitializationThread)
      a.noCoffee = fmMain->carimaliInitializationThread->state().cur_state_no_coffee;
    a.drinkUsesCoffeeBeans = [](int n) {
      if (!fmMain || !fmMain->carimali) return false;
      std::lock_guard lock(fmMain->carimali_synchronizer);
      return fmMain->carimali->drinkUsesCofeeBeans(n);
    };
    // A module that cannot be asked cannot hand the drink out either.
    a.testProduct = [](int cell) {
      if (!fmMain || !fmMain->paymentModule) return false;
      try {
        return fmMain->paymentModule->testProduct(cell);
      } catch (const std::exception&) {
        return false;
      }
    };
    return a;
  };
  h.showMessage = [](const QString& m, int s) { ShowMessageTimed(m, s); };
  h.buttonPressed = [](QObject* sender) {
    if (fmMain) fmMain->buttonPressed(sender);
  };
  h.scannerKeyUp = [](QKeyEvent* e) {
    if (fmMain) fmMain->FormKeyUp(e);
  };
  h.takeSelectedProduct = []() -> std::optional<TProduct> {
    if (!fmMain || !fmMain->product_selected) return std::nullopt;
    fmMain->product_selected = false;
    return fmMain->selected_product;
  };
  h.showCart = [] {
    if (fmRecycle) fmRecycle->pnMain->show();
  };
  return h;
}

std::optional<TProduct> openDrinkMenu() {
  TfmDrink form(QApplication::activeWindow());
  if (form.exec() != mrOk) return std::nullopt;
  return form.selected_product;
}
