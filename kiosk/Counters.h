#pragma once
// Sales counters: units sold per product and payment kind, the discount given
// per product, and the cashless total. The audit reports them cumulatively, so
// they live in the product records and in the files "counters" and
// "counters~" of the data folder, which are rewritten after every paid sale.
//
// The counting works over any product type with the fields isSnack, cell,
// counter, sbp_counter, yandexBadge_counter and discount_kop, so the main
// form's product lists are updated in place and tests can use a small struct.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>
#include <vector>

enum TCounterKind { ckCard, ckSBP, ckYandexBadge, ckDiscountKop };

// One cart line as far as the counters are concerned.
struct TCounterLine {
  bool isSnack = false;
  int cell = 0;
  int quantity = 0;
  double price = 0;  // roubles per unit
};

// Rounding of roubles to kopecks wherever the counters round: nearest, ties to even.
qint64 roundKop(double roubles);

// The discount (roubles) spread over the lines in whole kopecks: each line's
// share of the value truncated, then the kopecks still missing to the rounded
// discount given one at a time from the first line on. Empty for no lines.
std::vector<qint64> discountShares(const std::vector<TCounterLine>& lines, double discount);

// The counters file state of the main form.
struct TCountersState {
  QString dataFolder;    // where "counters" and "counters~" live
  QStringList counters;  // lines of the file as last loaded
  qint64 total_cashless_amount_kop = 0;
};

// counters := the lines of "counters", or of "counters~" when that cannot be
// read; empty when neither can.
void loadCounters(TCountersState& state);
// The bytes loadCounters reads; none when neither file can be read.
std::optional<QByteArray> countersFileBytes(const QString& dataFolder);
// The lines of a counters file's bytes.
QStringList counterLinesOf(const QByteArray& bytes);

// One column of the first line that begins with key + tab. Missing columns and
// columns that are not numbers give 0. Raises Exception "Counter \"key\" not
// found." when there is no such line. The total is read with "total_amount"
// and ckCard. Values are 64-bit: the total passes 2^31 kopecks in the field.
qint64 getCounter(const TCountersState& state, const QString& key, TCounterKind kind);

// The file line of one product ("d12\t3\t0\t1\t150") and of the total.
template <class Product>
QString counterLine(const QString& prefix, const Product& p) {
  return QStringLiteral("%1%2\t%3\t%4\t%5\t%6")
      .arg(prefix)
      .arg(p.cell)
      .arg(qint64(p.counter))
      .arg(qint64(p.sbp_counter))
      .arg(qint64(p.yandexBadge_counter))
      .arg(qint64(p.discount_kop));
}

// Writes the lines to "counters", then to "counters~", each replaced
// atomically. A failure is swallowed: the live values stay and the next sale
// writes again.
void saveCounterLines(const QString& dataFolder, const QStringList& lines);

// Counts one paid sale: units by kind, discount shares, cashless total; then
// rewrites both files from the live values (drinks, snacks, total). Lines
// whose product is no longer listed change no product but count in the total.
template <class DrinkList, class SnackList>
void updateCounters(TCountersState& state, DrinkList& drinks, SnackList& snacks,
                    const std::vector<TCounterLine>& lines, TCounterKind kind, double discount) {
  if (lines.empty()) return;
  const std::vector<qint64> shares = discountShares(lines, discount);
  for (size_t i = 0; i < lines.size(); ++i) {
    const TCounterLine& line = lines[i];
    auto apply = [&](auto& list) {
      for (auto& p : list) {
        if (bool(p.isSnack) != line.isSnack || int(p.cell) != line.cell) continue;
        switch (kind) {
          case ckCard:
            p.counter += line.quantity;
            break;
          case ckSBP:
            p.sbp_counter += line.quantity;
            break;
          case ckYandexBadge:
            p.yandexBadge_counter += line.quantity;
            break;
          case ckDiscountKop:
            break;
        }
        p.discount_kop += shares[i];
        return true;
      }
      return false;
    };
    if (!apply(snacks)) apply(drinks);
    state.total_cashless_amount_kop += roundKop(line.price * line.quantity);
  }
  state.total_cashless_amount_kop -= roundKop(discount);

  QStringList file;
  for (const auto& p : drinks) file << counterLine(QStringLiteral("d"), p);
  for (const auto& p : snacks) file << counterLine(QStringLiteral("s"), p);
  file << QStringLiteral("total_amount\t%1").arg(state.total_cashless_amount_kop);
  saveCounterLines(state.dataFolder, file);
}
