#include "kiosk/Products.h"

#include <QVariant>

#include "kiosk/Counters.h"
#include "kiosk/EventSink.h"
#include "platform/Exception.h"
#include "platform/MemTable.h"
#include "platform/TextCodec.h"

QString normalizeBarcodes(const QString& text) {
  QString out;
  out.reserve(text.size() + 2);
  bool blank = true;  // collapses runs and drops leading separators
  for (const QChar c : text) {
    if (c >= u'0' && c <= u'9') {
      out += c;
      blank = false;
    } else if (!blank) {
      out += u' ';
      blank = true;
    }
  }
  if (out.endsWith(u' ')) out.chop(1);
  if (out.isEmpty()) return out;
  return u' ' + out + u' ';
}

QString shortenedBarcode(const QString& code) {
  if (code.size() <= 20) return code;
  return code.left(5) + QStringLiteral("...") + code.right(5);
}

namespace {

// The barcode column comes as a blob (the query casts it) holding the back
// office's ANSI text; older caches or other servers may send it as text.
QString barcodeText(const plat::Field& f) {
  const QVariant& v = f.Value();
  if (v.isNull() || !v.isValid()) return {};
  if (v.typeId() == QMetaType::QByteArray) return plat::fromAnsi(v.toByteArray());
  return f.AsString();
}

}  // namespace

void TProductCatalog::loadProducts(plat::MemTable& table, const TCountersState& counters) {
  if (!table.Active() || table.IsEmpty())
    throw Exception(QStringLiteral("Необходимо ввести ассортимент и цены товаров."));

  plat::Field* fCell = table.FieldByName(QStringLiteral("cell"));
  plat::Field* fIsSnack = table.FieldByName(QStringLiteral("isSnack"));
  plat::Field* fPrice = table.FieldByName(QStringLiteral("price"));
  plat::Field* fNomId = table.FieldByName(QStringLiteral("nomenclature_id"));
  plat::Field* fName = table.FieldByName(QStringLiteral("nomenclature"));
  plat::Field* fBarcode = table.FieldByName(QStringLiteral("barcode"));

  std::vector<TProduct> newDrinks, newSnacks;
  const plat::Bookmark was = table.GetBookmark();
  for (table.First(); !table.Eof(); table.Next()) {
    TProduct p;
    p.cell = fCell->AsInteger();
    p.name = fName->AsString();
    p.nomenclature_id = fNomId->AsInteger();
    p.barCodes = normalizeBarcodes(barcodeText(*fBarcode));
    p.isSnack = fIsSnack->AsInteger() != 0;
    p.price = fPrice->AsFloat();
    // A product without a counter line (new in the assortment) starts at zero.
    const QString key =
        (p.isSnack ? QStringLiteral("s") : QStringLiteral("d")) + QString::number(p.cell);
    try {
      p.counter = quint32(getCounter(counters, key, ckCard));
      p.sbp_counter = quint32(getCounter(counters, key, ckSBP));
      p.yandexBadge_counter = quint32(getCounter(counters, key, ckYandexBadge));
      p.discount_kop = quint32(getCounter(counters, key, ckDiscountKop));
    } catch (const std::exception&) {
      p.counter = p.sbp_counter = p.yandexBadge_counter = p.discount_kop = 0;
    }
    (p.isSnack ? newSnacks : newDrinks).push_back(std::move(p));
  }
  if (table.BookmarkValid(was)) table.GotoBookmark(was);
  setProducts(std::move(newDrinks), std::move(newSnacks));
}

void TProductCatalog::setProducts(std::vector<TProduct> newDrinks,
                                  std::vector<TProduct> newSnacks) {
  drinks = std::move(newDrinks);
  snacks = std::move(newSnacks);
  rebuildIndex();
}

void TProductCatalog::rebuildIndex() {
  index_.clear();
  index_.reserve(qsizetype(drinks.size() + snacks.size()) * 2);
  // Snacks first and first product first: insertion keeps the earlier entry,
  // which is the product an in-order search would have found.
  auto add = [this](const std::vector<TProduct>& list, bool isSnack) {
    for (int i = 0; i < int(list.size()); ++i) {
      const QString& codes = list[size_t(i)].barCodes;
      qsizetype start = 1;
      while (start < codes.size()) {
        const qsizetype end = codes.indexOf(u' ', start);
        if (end < 0) break;
        const QString code = codes.mid(start, end - start);
        if (!index_.contains(code)) index_.insert(code, Where{isSnack, i});
        start = end + 1;
      }
    }
  };
  add(snacks, true);
  add(drinks, false);
}

const TProduct* TProductCatalog::findProduct(bool isSnack, int cell) const {
  for (const TProduct& p : isSnack ? snacks : drinks)
    if (p.cell == cell) return &p;
  return nullptr;
}

TProduct TProductCatalog::getProduct(bool isSnack, int cell) const {
  if (const TProduct* p = findProduct(isSnack, cell)) return *p;
  throw Exception(QStringLiteral("Продукт не найден (%1, %2).")
                      .arg(isSnack ? QStringLiteral("True") : QStringLiteral("False"))
                      .arg(cell));
}

const TProduct* TProductCatalog::findProductByBarcode(const QString& code) const {
  bool digitsOnly = !code.isEmpty();
  for (const QChar c : code)
    if (c < u'0' || c > u'9') {
      digitsOnly = false;
      break;
    }
  if (digitsOnly) {
    auto it = index_.constFind(code);
    if (it == index_.constEnd()) return nullptr;
    const std::vector<TProduct>& list = it->isSnack ? snacks : drinks;
    return it->pos < int(list.size()) ? &list[size_t(it->pos)] : nullptr;
  }
  // A code with separators can still match several neighbouring codes of one
  // list as a substring; such codes are rare, so they take the slow path.
  const QString key = u' ' + code + u' ';
  for (const auto* list : {&snacks, &drinks})
    for (const TProduct& p : *list)
      if (p.barCodes.contains(key)) return &p;
  return nullptr;
}

TProduct TProductCatalog::getProductByBarcode(const QString& code, IEventSink* events) const {
  if (const TProduct* p = findProductByBarcode(code)) return *p;
  if (events) events->add(201, code.trimmed());
  throw Exception(QStringLiteral("Продукт с штрих-кодом ") + shortenedBarcode(code) +
                  QStringLiteral(" не найден."));
}

bool matchesCardMask(const QString& numberIn, const QString& maskIn) {
  const QString number = numberIn.toLower();
  const QString mask = maskIn.toLower();
  if (!mask.contains(u'*')) return number == mask;

  const QStringList pieces = mask.split(u'*');
  qsizetype pos = 0;
  if (!pieces.first().isEmpty()) {
    if (!number.startsWith(pieces.first())) return false;
    pos = pieces.first().size();
  }
  // Every piece between two stars, searched left to right.
  for (qsizetype i = 1; i + 1 < pieces.size(); ++i) {
    if (pieces[i].isEmpty()) continue;
    const qsizetype found = number.indexOf(pieces[i], pos);
    if (found < 0) return false;
    pos = found + pieces[i].size();
  }
  const QString& last = pieces.last();
  if (last.isEmpty()) return true;  // the mask ends with "*"
  // The last piece must end the number without overlapping what matched.
  return number.size() - pos >= last.size() && number.endsWith(last);
}
