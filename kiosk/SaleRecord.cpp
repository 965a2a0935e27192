#include "kiosk/SaleRecord.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include "platform/AtomicFile.h"
#include "platform/Exception.h"

namespace {

const QString kTotalKey = QStringLiteral("total_amount");

QString journalPath(const QString& dataFolder) {
  return QDir(dataFolder).filePath(QLatin1String(kSaleJournalFile));
}

// Which counters file the journal was written against: the digest of the
// bytes that loading would read, or "none".
QString countersDigest(const QString& dataFolder) {
  const auto bytes = countersFileBytes(dataFolder);
  if (!bytes) return QStringLiteral("none");
  return QString::fromLatin1(QCryptographicHash::hash(*bytes, QCryptographicHash::Sha1).toHex());
}

bool isNumber(const QString& text) {
  bool ok = false;
  text.toLongLong(&ok);
  return ok;
}

// A delta line as the journal may hold it: a product key ("d" or "s" and a
// cell) or the total, then one to four whole numbers.
bool isDeltaLine(const QString& line) {
  const QStringList f = line.split(QLatin1Char('\t'));
  if (f.size() < 2 || f.size() > 5) return false;
  const QString& key = f[0];
  const bool product =
      (key.startsWith(u'd') || key.startsWith(u's')) && key.size() > 1 && isNumber(key.mid(1));
  if (!product && key != kTotalKey) return false;
  for (int i = 1; i < f.size(); ++i)
    if (!isNumber(f[i])) return false;
  return true;
}

struct TJournal {
  QString countersDigest;
  std::vector<quint32> events;
  QStringList delta;
};

// Raises EConvertError when the file is not a journal this program wrote.
TJournal parseJournal(const QByteArray& bytes) {
  const QStringList lines = counterLinesOf(bytes);
  auto bad = [] { return EConvertError(QStringLiteral("Damaged sale journal.")); };
  if (lines.size() < 2) throw bad();
  const QStringList head = lines[0].split(QLatin1Char('\t'));
  const QStringList events = lines[1].split(QLatin1Char('\t'));
  if (head.size() != 2 || head[0] != QLatin1String("counters") || events.isEmpty() ||
      events[0] != QLatin1String("events"))
    throw bad();
  TJournal j;
  j.countersDigest = head[1];
  for (int i = 1; i < events.size(); ++i) {
    bool ok = false;
    const quint32 no = events[i].toUInt(&ok);
    if (!ok || events[i].size() != 10) throw bad();
    j.events.push_back(no);
  }
  for (int i = 2; i < lines.size(); ++i) {
    if (!isDeltaLine(lines[i])) throw bad();
    j.delta << lines[i];
  }
  return j;
}

void writeJournal(const QString& dataFolder, const std::vector<quint32>& events,
                  const QStringList& delta) {
  QStringList lines;
  lines << QStringLiteral("counters\t") + countersDigest(dataFolder);
  QString numbers = QStringLiteral("events");
  for (quint32 no : events) numbers += QLatin1Char('\t') + TLogRecord::fileNameOf(no);
  lines << numbers << delta;
  plat::writeFileAtomic(journalPath(dataFolder),
                        (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toLatin1());
}

}  // namespace

QStringList saleCountDelta(const std::vector<TCounterLine>& lines, TCounterKind kind,
                           double discount) {
  QStringList delta;
  if (lines.empty()) return delta;
  const std::vector<qint64> shares = discountShares(lines, discount);
  qint64 total = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const TCounterLine& line = lines[i];
    qint64 units[3] = {0, 0, 0};
    if (kind == ckCard || kind == ckSBP || kind == ckYandexBadge) units[kind] = line.quantity;
    delta << QStringLiteral("%1%2\t%3\t%4\t%5\t%6")
                 .arg(line.isSnack ? QLatin1Char('s') : QLatin1Char('d'))
                 .arg(line.cell)
                 .arg(units[0])
                 .arg(units[1])
                 .arg(units[2])
                 .arg(shares[i]);
    total += roundKop(line.price * line.quantity);
  }
  total -= roundKop(discount);
  delta << kTotalKey + QStringLiteral("\t%1").arg(total);
  return delta;
}

void addCountDelta(QStringList& counters, const QStringList& delta) {
  for (const QString& d : delta) {
    const QStringList add = d.split(QLatin1Char('\t'));
    const QString prefix = add[0] + QLatin1Char('\t');
    bool found = false;
    for (QString& line : counters) {
      if (!line.startsWith(prefix)) continue;
      QStringList fields = line.split(QLatin1Char('\t'));
      while (fields.size() < add.size()) fields << QStringLiteral("0");
      // A field that is not a number counts as 0, as getCounter reads it.
      for (int i = 1; i < add.size(); ++i)
        fields[i] = QString::number(fields[i].trimmed().toLongLong() + add[i].toLongLong());
      line = fields.join(QLatin1Char('\t'));
      found = true;
      break;
    }
    if (found) continue;
    qsizetype at = counters.size();
    for (qsizetype i = 0; i < counters.size(); ++i)
      if (counters[i].startsWith(kTotalKey + QLatin1Char('\t'))) at = i;
    counters.insert(add[0] == kTotalKey ? counters.size() : at, d);
  }
}

void recordSale(TLogThread& events, std::vector<TLogRecord> records, const QStringList& delta) {
  const QString folder = events.dataFolder();
  events.addAll(std::move(records), [&](const std::vector<quint32>& numbers) {
    if (!delta.isEmpty()) writeJournal(folder, numbers, delta);
  });
}

void saleCounted(const QString& dataFolder) {
  QFile::remove(journalPath(dataFolder));
}

void finishInterruptedSale(const QString& dataFolder,
                           const std::function<void(const QString&)>& log) {
  auto say = [&](const QString& text) {
    if (log) log(QStringLiteral("Sale record: ") + text);
  };
  QFile f(journalPath(dataFolder));
  if (!f.exists()) return;
  if (!f.open(QIODevice::ReadOnly)) {
    say(QStringLiteral("cannot open the journal of an interrupted sale. ") + f.errorString());
    return;
  }
  const QByteArray bytes = f.readAll();
  f.close();
  TJournal journal;
  try {
    journal = parseJournal(bytes);
  } catch (const Exception& e) {
    say(e.message());
    saleCounted(dataFolder);
    return;
  }
  const std::vector<quint32> adopted = TLogThread::adoptStaged(dataFolder, journal.events);
  if (!adopted.empty())
    say(QStringLiteral("%1 events of an interrupted sale queued").arg(adopted.size()));
  if (countersDigest(dataFolder) == journal.countersDigest) {
    const auto current = countersFileBytes(dataFolder);
    QStringList lines = current ? counterLinesOf(*current) : QStringList();
    addCountDelta(lines, journal.delta);
    saveCounterLines(dataFolder, lines);
    // Unchanged means the write failed: the journal stays for the next start.
    if (countersDigest(dataFolder) == journal.countersDigest) {
      say(QStringLiteral("the counters could not take an interrupted sale"));
      return;
    }
    say(QStringLiteral("an interrupted sale counted"));
  }
  saleCounted(dataFolder);
}
