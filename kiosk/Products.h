#pragma once
// The kiosk's product catalogue: drinks and snacks rebuilt from the assortment
// table at every configuration load, looked up by (snack or drink, cell) and by
// barcode. A product's barcodes are kept as one normalised text (" 123 456 ")
// so that a whole code is a plain substring; the lookup goes through an index
// of the single codes, because a scan must stay instant with thousands of
// products.

#include <QDateTime>
#include <QHash>
#include <QString>
#include <functional>
#include <vector>

class IEventSink;
class QLabel;
class TRectangle;
struct TCountersState;
namespace plat {
class MemTable;
}

// One product of the machine; (isSnack, cell) identifies it.
struct TProduct {
  bool isSnack = false;
  int cell = 0;
  QString name;
  int nomenclature_id = 0;
  double price = 0;  // roubles
  QString barCodes;  // normalised list, see normalizeBarcodes
  // Units sold by card, SBP and badge, and the discount given in kopecks,
  // since the counters were last reset.
  quint32 counter = 0;
  quint32 sbp_counter = 0;
  quint32 yandexBadge_counter = 0;
  quint32 discount_kop = 0;
};

// One cart line; the cart creates and lays out its widgets.
struct TSelectedGood {
  TProduct product;
  int quantity = 0;
  int page_ind = 0;
  QLabel* lNomenclature = nullptr;
  QLabel* lPrice = nullptr;
  QLabel* lCount = nullptr;
  TRectangle* rectDec = nullptr;
  TRectangle* rectInc = nullptr;
  QDateTime tm;
};

// Every run of non-digits becomes one blank; the result is trimmed and wrapped
// in one blank on each side ("123;456 " gives " 123 456 "). No digits: empty.
QString normalizeBarcodes(const QString& text);

// The text a not-found code is shown with: codes longer than 20 characters
// become their first 5, "..." and their last 5.
QString shortenedBarcode(const QString& code);

// The lists are public because the counters are updated in place; replace or
// reorder them only through loadProducts or setProducts, which rebuild the
// barcode index.
class TProductCatalog {
 public:
  std::vector<TProduct> drinks;  // in assortment order (cell, then snack flag)
  std::vector<TProduct> snacks;

  // Rebuilds both lists from the assortment table (columns cell, isSnack,
  // price, nomenclature_id, nomenclature, barcode) with each product's
  // counters from the counters file lines. An empty table raises
  // "Необходимо ввести ассортимент и цены товаров." and leaves the lists.
  void loadProducts(plat::MemTable& table, const TCountersState& counters);
  // Replaces the lists as a whole (tests, and callers that build them).
  void setProducts(std::vector<TProduct> newDrinks, std::vector<TProduct> newSnacks);

  // A copy of the first product with that cell in the snack or drink list.
  // None: raises "Продукт не найден (True, 5).".
  TProduct getProduct(bool isSnack, int cell) const;
  // Null when there is none.
  const TProduct* findProduct(bool isSnack, int cell) const;
  // The first product, snacks before drinks, whose list holds the whole code.
  const TProduct* findProductByBarcode(const QString& code) const;
  // A copy of findProductByBarcode's product. None: queues event 201 with the
  // code (when events is given) and raises
  // "Продукт с штрих-кодом <code> не найден." (long codes shortened).
  TProduct getProductByBarcode(const QString& code, IEventSink* events = nullptr) const;

 private:
  void rebuildIndex();

  struct Where {
    bool isSnack;
    int pos;
  };
  // Each single code to the first product that lists it, snacks first.
  QHash<QString, Where> index_;
};

// True when the number fits the mask, both lower-cased first: "*" stands for
// any run of characters (none included); without "*" only the equal text fits.
bool matchesCardMask(const QString& number, const QString& mask);
