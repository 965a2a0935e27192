#include "screens/Cart.h"

#include <QDialog>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kiosk/FormServices.h"
#include "platform/Exception.h"

// ---- TPageDots --------------------------------------------------------------

TPageDots TPageDots::place(int pages, double prevRight, double nextLeft, double nextLeftLimit,
                           double diameter) {
  TPageDots out;
  out.nextLeft = nextLeft;
  out.diameter = diameter;
  if (pages <= 1) return out;
  const double needed = (pages + 1) * kPitch * diameter;
  if (nextLeft - prevRight < needed)
    out.nextLeft = std::max(nextLeft, std::min(prevRight + needed, nextLeftLimit));
  const double step = (out.nextLeft - prevRight) / (pages + 1);
  out.diameter = std::min(diameter, step / kPitch);
  for (int i = 0; i < pages; ++i) out.centres.push_back(prevRight + step * (i + 1));
  return out;
}

// ---- TCart ------------------------------------------------------------------

TCart::TCart(TCartHooks h) : hooks(std::move(h)) {}

TCartSettings TCart::settings() const {
  return hooks.settings ? hooks.settings() : TCartSettings{};
}

TLoyalityCardInfo* TCart::card() const {
  return hooks.loyaltyCardInfo ? &hooks.loyaltyCardInfo() : nullptr;
}

void TCart::queue(int id, const QString& descr) const {
  if (hooks.queueEvent) hooks.queueEvent(id, descr);
}

int TCart::findLine(const TProduct& product) const {
  for (size_t i = 0; i < selected_goods.size(); ++i) {
    const TProduct& p = selected_goods[i].product;
    if (p.isSnack == product.isSnack && p.cell == product.cell) return int(i);
  }
  return -1;
}

double TCart::getDiscountCoeff() const {
  return total_amount == 0 ? 1.0 : payment_amount() / total_amount;
}

TProductPositionArray TCart::getProductPositions() const {
  TProductPositionArray out;
  out.reserve(selected_goods.size());
  for (const TSelectedGood& g : selected_goods)
    out.push_back({g.product.name, g.quantity, g.product.price});
  return out;
}

int TCart::getPagesCount() const {
  return selected_goods.empty() ? 1 : selected_goods.back().page_ind + 1;
}

void TCart::countPaymentTypes() {
  const TCartSettings s = settings();
  payment_type_cnt = 1;
  if (s.sbp_enabled) ++payment_type_cnt;
  if (s.yandex_badge_enabled) ++payment_type_cnt;
  if (s.cardProject_id > 0) ++payment_type_cnt;
}

namespace {

QString priceText(double price) {
  return TFormServices::formatAmount(price) + QStringLiteral(" р.)");
}

}  // namespace

void TCart::addProduct(const TProduct& product, const QDateTime& now) {
  selected_good_tm = now;
  ++version_;
  const int i = findLine(product);
  if (i >= 0) {
    TSelectedGood& g = selected_goods[size_t(i)];
    g.quantity += 1;
    g.tm = selected_good_tm;
    page_ind = g.page_ind;
    refreshProductList();
  } else {
    TSelectedGood g;
    g.product = product;
    g.quantity = 1;
    g.tm = selected_good_tm;
    selected_goods.push_back(g);
    refreshProductList();
    // The view follows the new line to its page.
    if (page_ind != selected_goods.back().page_ind) {
      page_ind = selected_goods.back().page_ind;
      refreshProductList();
    }
  }
  queue(1, QStringLiteral("Добавление продукта \"") + product.name +
               QStringLiteral("\" в корзину (цена: ") + priceText(product.price));
}

namespace {

int64_t kopecks(double roubles) {
  return int64_t(std::llround(roubles * 100));
}

}  // namespace

int64_t TCart::discountKopecks(int64_t totalKopecks, double percent) {
  // The percent to a hundredth, so that the product stays in integers: a
  // double total cannot hold every kopeck sum exactly, and an exact half
  // would then round either way.
  const int64_t hundredths = std::llround(percent * 100);
  const int64_t n = totalKopecks * hundredths;
  const int64_t d = 10000;
  int64_t q = n / d;
  const int64_t r = n % d;
  const int64_t twice = 2 * (r < 0 ? -r : r);
  const int64_t away = n < 0 ? -1 : 1;
  if (twice > d || (twice == d && q % 2 != 0)) q += away;
  return q;
}

int64_t TCart::totalKopecks() const {
  int64_t total = 0;
  for (const TSelectedGood& g : selected_goods) total += kopecks(g.product.price) * g.quantity;
  return total;
}

double TCart::discountOf(int64_t totalKopecks) const {
  const TLoyalityCardInfo* c = card();
  if (!(c && c->isActive && c->discount.percent > 0)) return 0;
  return double(discountKopecks(totalKopecks, c->discount.percent)) / 100;
}

double TCart::pointsOfferLimit(double allowed, double amount) {
  const int64_t most = kopecks(amount) - kopecks(kSmallestPayableAmount);
  // Never more than the back office allows: its allowance is cut, not rounded.
  const int64_t limit = std::min(int64_t(std::floor(allowed * 100 + 1e-6)), most);
  return limit > 0 ? double(limit) / 100 : 0.0;
}

bool TCart::removeProduct(const TProduct& product, const QDateTime& now) {
  int i = findLine(product);
  if (i < 0) return false;
  if (written_off_ > 0) {
    // Points written off are gone on the back office: the rest of the cart
    // must still be payable, or the customer could only lose them.
    const int64_t total = totalKopecks() - kopecks(selected_goods[size_t(i)].product.price);
    if (total - kopecks(discountOf(total)) - kopecks(written_off_) <= 0)
      throw Exception(QString::fromUtf8(kRemovalRefused));
  }
  if (selected_goods[size_t(i)].quantity <= 1) {
    const QString name = selected_goods[size_t(i)].product.name;
    if (!hooks.confirmDelete || !hooks.confirmDelete(name)) return false;
    // The question was a modal wait: the lines may have changed under it.
    i = findLine(product);
    if (i < 0) return false;
  }
  TSelectedGood& g = selected_goods[size_t(i)];
  selected_good_tm = now;
  if (g.quantity <= 1) {
    if (lineRemoved) lineRemoved(g);
    selected_goods.erase(selected_goods.begin() + i);
  } else {
    g.quantity -= 1;
    g.tm = selected_good_tm;
    page_ind = g.page_ind;
  }
  ++version_;
  refreshProductList();
  // Lines after the removed one may move up a page: never show a page that
  // no longer exists.
  if (page_ind > getPagesCount() - 1) {
    page_ind = getPagesCount() - 1;
    refreshProductList();
  }
  queue(1, QStringLiteral("Удаление продукта \"") + product.name +
               QStringLiteral("\" из корзины (цена: ") + priceText(product.price));
  return true;
}

void TCart::nextPage() {
  page_ind = std::min(page_ind + 1, getPagesCount() - 1);
  refreshProductList();
}

void TCart::prevPage() {
  page_ind = std::max(page_ind - 1, 0);
  refreshProductList();
}

QString TCart::loyaltyCaption() const {
  const TLoyalityCardInfo* c = card();
  if (c && c->isActive) {
    if (c->cashback.existed_summ > 0)
      return QStringLiteral("Накоплено баллов: ") +
             TFormServices::formatAmount(c->cashback.existed_summ);
    return QStringLiteral("Скидка по карте лояльности: ") +
           TFormServices::formatAmount(c->discount.percent) + QStringLiteral("%");
  }
  if (settings().loyaltySystem_id < 1) return QStringLiteral("Выбранные товары:");
  return QStringLiteral("Просканируйте карту лояльности");
}

TCartView TCart::refreshProductList() {
  total_amount = 0;
  discount = 0;
  // Points written off on the back office stay off the amount for the rest
  // of this cart: forgetting them would charge the customer for them.
  cashback = written_off_;

  const double top = geometry.headerHeight + geometry.gap;
  const double limit = geometry.listHeight - geometry.gap;
  const bool paging = geometry.listHeight > 0;
  double y = top;
  int page = 0;
  bool firstOnPage = true;
  lineTops.assign(selected_goods.size(), 0);
  for (size_t i = 0; i < selected_goods.size(); ++i) {
    TSelectedGood& g = selected_goods[i];
    const double h = lineHeight ? lineHeight(g) : 1.0;
    // A line taller than a whole page still gets a page of its own rather
    // than leaving empty pages before it.
    if (paging && y + h > limit && !firstOnPage) {
      ++page;
      y = top;
    }
    g.page_ind = page;
    lineTops[i] = y;
    firstOnPage = false;
    y += h + geometry.gap;
  }
  // In whole kopecks: the discount is rounded from this sum.
  const int64_t total = totalKopecks();
  total_amount = double(total) / 100;

  TCartView v;
  v.caption = loyaltyCaption();
  const TLoyalityCardInfo* c = card();
  if (c && c->isActive && c->discount.percent > 0) {
    discount = discountOf(total);
    v.amountText = QStringLiteral("Итого: ") + TFormServices::formatAmount(total_amount) +
                   QStringLiteral(" ₽  Скидка: ") + TFormServices::formatAmount(discount) +
                   QStringLiteral(" ₽");
    v.payText = QStringLiteral("Оплатить ") + TFormServices::formatAmount(total_amount - discount) +
                QStringLiteral(" ₽");
  } else {
    v.amountText = QStringLiteral("Итого: ") + TFormServices::formatAmount(total_amount) +
                   QStringLiteral(" ₽");
    v.payText = QStringLiteral("Оплатить");
  }
  v.payEnabled = total_amount > 0;
  v.pages = getPagesCount();
  v.prevVisible = v.nextVisible = v.pages > 1;
  v.prevEnabled = page_ind > 0;
  v.nextEnabled =
      v.nextVisible && !selected_goods.empty() && page_ind < selected_goods.back().page_ind;
  view_ = v;
  return v;
}

TCart::TPayResult TCart::pay() {
  if (selected_goods.empty()) return TPayResult::Empty;
  TLoyalityCardInfo* c = card();
  const TCartSettings s = settings();
  if (c && c->isActive && c->cashback.existed_summ > 0) {
    // Points already written off for this very cart: the operation stands
    // and nothing is offered again.
    const bool unchanged = operation_version_ && *operation_version_ == version_;
    if (!(written_off_ > 0 && unchanged)) {
      // The amount before points: points already written off are part of
      // the purchase the operation describes.
      const double amount = total_amount - discount;
      if (hooks.loyalityCardOperation)
        *c = hooks.loyalityCardOperation(s.vm_id, c->user.barcode, amount, getProductPositions());
      operation_version_ = version_;
      const double offer = pointsOfferLimit(c->cashback.allowed_summ, amount);
      if (written_off_ == 0 && offer > 0) {
        const std::optional<double> taken =
            hooks.offerPoints ? hooks.offerPoints(offer) : std::nullopt;
        // The offer was a modal wait: a cart emptied under it is not paid.
        if (!taken || selected_goods.empty()) return TPayResult::BackToCart;
        written_off_ = std::min(*taken, offer);
        cashback = written_off_;
      }
    }
  }
  if (payment_type_cnt != 1) {
    if (hooks.choosePaymentMethod && hooks.choosePaymentMethod()) {
      paid();
      return TPayResult::Paid;
    }
    return TPayResult::NotPaid;
  }
  return payByCard() ? TPayResult::Paid : TPayResult::NotPaid;
}

bool TCart::payByCard() {
  if (!hooks.cardTerminalFound || !hooks.cardTerminalFound())
    throw Exception(QStringLiteral("Оплата картой недоступна"));
  // A terminal must never be asked for nothing or for a refund.
  if (payment_amount() <= 0)
    throw Exception(QStringLiteral("Сумма к оплате должна быть больше нуля."));
  if (!hooks.runCardScreen || hooks.runCardScreen() != QDialog::Accepted) return false;
  paid();
  return true;
}

void TCart::paid() {
  clear();
  if (hooks.setProductWasPaid) hooks.setProductWasPaid();
  if (TLoyalityCardInfo* c = card()) c->isActive = false;
}

void TCart::clear() {
  if (lineRemoved)
    for (TSelectedGood& g : selected_goods) lineRemoved(g);
  selected_goods.clear();
  lineTops.clear();
  page_ind = 0;
  ++version_;
  refreshProductList();
}

TCart::TIdleResult TCart::idleTimeout() {
  if (hooks.msSinceLastInput && hooks.msSinceLastInput() < kRecentInputMs)
    return TIdleResult::Postponed;
  const int seconds = settings().vekta_recycle_reset_delay;
  if (!hooks.askReset || hooks.askReset(seconds)) {
    clear();
    if (TLoyalityCardInfo* c = card()) c->isActive = false;
    return TIdleResult::Reset;
  }
  return TIdleResult::Resumed;
}

bool TCart::closeQuery() {
  if (!selected_goods.empty()) {
    const int seconds = settings().vekta_recycle_reset_delay;
    if (hooks.askReset && !hooks.askReset(seconds)) return false;
  }
  if (TLoyalityCardInfo* c = card()) c->isActive = false;
  return true;
}
