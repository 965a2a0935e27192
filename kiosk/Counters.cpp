#include "kiosk/Counters.h"

#include <QFile>
#include <cmath>

#include "platform/AtomicFile.h"
#include "platform/Exception.h"
#include "platform/TextCodec.h"

namespace {

QString countersPath(const QString& folder, bool backup) {
  return folder + (backup ? QStringLiteral("/counters~") : QStringLiteral("/counters"));
}

// Raises when the file cannot be read, so that the backup is taken whole.
QByteArray readBytes(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, f.errorString()));
  const QByteArray bytes = f.readAll();
  if (f.error() != QFileDevice::NoError)
    throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(path, f.errorString()));
  return bytes;
}

}  // namespace

qint64 roundKop(double roubles) {
  const double kop = std::nearbyint(roubles * 100);
  // Out-of-range values would be undefined behaviour in the conversion.
  if (!std::isfinite(kop) || std::fabs(kop) >= 9.2e18) return 0;
  return qint64(kop);
}

std::vector<qint64> discountShares(const std::vector<TCounterLine>& lines, double discount) {
  std::vector<qint64> shares(lines.size(), 0);
  if (lines.empty() || !std::isfinite(discount)) return shares;
  double sum = 0;
  for (const auto& l : lines) sum += l.quantity * l.price;
  qint64 total = 0;
  if (sum > 0) {
    for (size_t i = 0; i < lines.size(); ++i) {
      // Same order of operations as the audit's reference figures.
      const double share = std::trunc(discount * lines[i].quantity * lines[i].price / sum * 100);
      shares[i] = std::isfinite(share) && std::fabs(share) < 9.2e18 ? qint64(share) : 0;
      total += shares[i];
    }
  }
  const qint64 target = roundKop(discount);
  while (total < target) {
    for (size_t i = 0; i < shares.size() && total < target; ++i) {
      ++shares[i];
      ++total;
    }
  }
  return shares;
}

std::optional<QByteArray> countersFileBytes(const QString& dataFolder) {
  for (bool backup : {false, true}) {
    try {
      return readBytes(countersPath(dataFolder, backup));
    } catch (const Exception&) {
    }
  }
  return std::nullopt;
}

QStringList counterLinesOf(const QByteArray& bytes) {
  QString text = plat::fromAnsi(bytes);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QStringList lines = text.split(QLatin1Char('\n'));
  if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  return lines;
}

void loadCounters(TCountersState& state) {
  state.counters.clear();
  if (const auto bytes = countersFileBytes(state.dataFolder))
    state.counters = counterLinesOf(*bytes);
}

qint64 getCounter(const TCountersState& state, const QString& key, TCounterKind kind) {
  const QString prefix = key + QLatin1Char('\t');
  for (const QString& line : state.counters) {
    if (!line.startsWith(prefix)) continue;
    const QStringList fields = line.split(QLatin1Char('\t'));
    const int index = int(kind) + 1;
    if (index >= fields.size()) return 0;
    bool ok = false;
    const qint64 value = fields[index].trimmed().toLongLong(&ok);
    return ok ? value : 0;
  }
  throw Exception(QStringLiteral("Counter \"%1\" not found.").arg(key));
}

void saveCounterLines(const QString& dataFolder, const QStringList& lines) {
  const QByteArray bytes =
      plat::toAnsi(lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
  // Each copy on its own: a failed main file must not cost the backup its update.
  for (bool backup : {false, true}) {
    try {
      plat::writeFileAtomic(countersPath(dataFolder, backup), bytes);
    } catch (const Exception&) {
    }
  }
}
