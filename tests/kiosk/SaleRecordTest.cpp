// A sale's unit events and its count: the order in which they are made
// durable, and the start that finishes a sale wherever a crash cut it off.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "kiosk/Counters.h"
#include "kiosk/LogThread.h"
#include "kiosk/SaleRecord.h"

namespace {

struct Product {
  bool isSnack = false;
  int cell = 0;
  qint64 counter = 0, sbp_counter = 0, yandexBadge_counter = 0, discount_kop = 0;
};

QStringList recordNames(const QString& folder) {
  QStringList names;
  for (const QString& n : QDir(folder).entryList(QDir::Files))
    if (n.size() == 10) names << n;
  return names;
}

QString journal(const QString& dataFolder) {
  return QDir(dataFolder).filePath(QLatin1String(kSaleJournalFile));
}

// A data folder whose counters know two products, and a queue that is not
// started (nothing is uploaded unless a case says so).
struct Kiosk {
  QTemporaryDir dir;
  std::vector<Product> drinks{{false, 1, 2, 0, 0, 0}};
  std::vector<Product> snacks{{true, 9, 1, 0, 0, 0}};

  Kiosk() {
    saveCounterLines(dir.path(),
                     {QStringLiteral("d1\t2\t0\t0\t0"), QStringLiteral("s9\t1\t0\t0\t0"),
                      QStringLiteral("total_amount\t15000")});
  }
  QString logDir() const { return dir.filePath(QStringLiteral("Log")); }
  QString stagingDir() const { return dir.filePath(QStringLiteral("Log/.tmp")); }
  std::unique_ptr<TLogThread> queue() {
    TLogThreadContext ctx;
    ctx.dataFolder = dir.path();
    return std::make_unique<TLogThread>(ctx);
  }
  // The card units the counters file holds, over both products.
  qint64 countedUnits() const {
    TCountersState s;
    s.dataFolder = dir.path();
    loadCounters(s);
    return getCounter(s, QStringLiteral("d1"), ckCard) +
           getCounter(s, QStringLiteral("s9"), ckCard);
  }
  qint64 total() const {
    TCountersState s;
    s.dataFolder = dir.path();
    loadCounters(s);
    return getCounter(s, QStringLiteral("total_amount"), ckCard);
  }
};

// Two water and one croissant by card: three unit events.
const std::vector<TCounterLine> kSale{{false, 1, 2, 40}, {true, 9, 1, 70}};

std::vector<TLogRecord> saleRecords() {
  std::vector<TLogRecord> records;
  for (const TCounterLine& l : kSale)
    for (int i = 0; i < l.quantity; ++i)
      records.push_back(
          TLogThread::newRecord(evUnitSold, QString(), int(csCard), l.price, l.cell, 100 + l.cell));
  return records;
}

TEST(SaleRecord, TheCountIsDurableBeforeAnyOfTheSalesEventsIsQueued) {
  Kiosk k;
  auto q = k.queue();
  const quint32 before = q->recNo();
  QStringList queuedAtCommit, stagedAtCommit;
  const std::vector<quint32> numbers = q->addAll(saleRecords(), [&](const std::vector<quint32>&) {
    queuedAtCommit = recordNames(k.logDir());
    stagedAtCommit = recordNames(k.stagingDir());
  });
  EXPECT_TRUE(queuedAtCommit.isEmpty());
  EXPECT_EQ(stagedAtCommit.size(), 3);
  ASSERT_EQ(numbers.size(), 3u);
  for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], before + 1 + i);
  EXPECT_EQ(recordNames(k.logDir()).size(), 3);
  EXPECT_TRUE(recordNames(k.stagingDir()).isEmpty());
  EXPECT_EQ(q->queuedCount(), 3);

  // Through the sale's own step the journal is there once the events are.
  Kiosk k2;
  auto q2 = k2.queue();
  recordSale(*q2, saleRecords(), saleCountDelta(kSale, ckCard, 0));
  EXPECT_EQ(recordNames(k2.logDir()).size(), 3);
  EXPECT_TRUE(QFile::exists(journal(k2.dir.path())));
}

// Where a kill can land in a sale, as the state it leaves on disk.
struct KillCase {
  const char* name;
  std::function<void(Kiosk&, const std::vector<quint32>&)> cut;
  int eventsKept;  // 0: the sale was never recorded; 3: all of it
};

void unstage(Kiosk& k, quint32 no) {
  const QString name = TLogRecord::fileNameOf(no);
  QDir().mkpath(k.stagingDir());
  ASSERT_TRUE(QFile::rename(k.logDir() + u'/' + name, k.stagingDir() + u'/' + name));
}

// The counters file takes the sale as the checkout does.
void countAsTheCheckoutDoes(Kiosk& k) {
  TCountersState s;
  s.dataFolder = k.dir.path();
  s.total_cashless_amount_kop = 15000;
  updateCounters(s, k.drinks, k.snacks, kSale, ckCard, 0);
}

class SaleCutOff : public ::testing::TestWithParam<KillCase> {};

TEST_P(SaleCutOff, TheStartCountsExactlyTheUnitsWhoseEventsItKeeps) {
  const KillCase& c = GetParam();
  Kiosk k;
  std::vector<quint32> numbers;
  std::set<quint32> uploaded;
  {
    auto q = k.queue();
    const quint32 first = q->recNo() + 1;
    recordSale(*q, saleRecords(), saleCountDelta(kSale, ckCard, 0));
    for (quint32 no = first; no < first + 3; ++no) numbers.push_back(no);
  }
  c.cut(k, numbers);
  // What an upload removed before the kill still counts as kept.
  for (quint32 no : numbers)
    if (!QFile::exists(k.logDir() + u'/' + TLogRecord::fileNameOf(no)) &&
        !QFile::exists(k.stagingDir() + u'/' + TLogRecord::fileNameOf(no)))
      uploaded.insert(no);

  finishInterruptedSale(k.dir.path(), {});
  auto restarted = k.queue();
  int kept = int(uploaded.size());
  for (const TLogRecord& r : restarted->queued())
    if (r.event_id == evUnitSold) ++kept;
  EXPECT_EQ(kept, c.eventsKept);
  EXPECT_EQ(k.countedUnits(), 3 + kept);
  EXPECT_EQ(k.total(), kept ? 15000 + 8000 + 7000 : 15000);
  EXPECT_FALSE(QFile::exists(journal(k.dir.path())));
  // A second start finds nothing left to do.
  restarted.reset();
  finishInterruptedSale(k.dir.path(), {});
  EXPECT_EQ(k.countedUnits(), 3 + kept);
}

INSTANTIATE_TEST_SUITE_P(
    Kills, SaleCutOff,
    ::testing::Values(
        KillCase{"BeforeTheCommit",
                 [](Kiosk& k, const std::vector<quint32>& n) {
                   for (quint32 no : n) unstage(k, no);
                   QFile::remove(journal(k.dir.path()));
                 },
                 0},
        KillCase{"RightAfterTheCommit",
                 [](Kiosk& k, const std::vector<quint32>& n) {
                   for (quint32 no : n) unstage(k, no);
                 },
                 3},
        KillCase{"WhileTheEventsEnterTheQueue",
                 [](Kiosk& k, const std::vector<quint32>& n) { unstage(k, n.back()); }, 3},
        KillCase{"BeforeTheCounters", [](Kiosk&, const std::vector<quint32>&) {}, 3},
        KillCase{"BeforeTheCountersWithEventsUploaded",
                 [](Kiosk& k, const std::vector<quint32>& n) {
                   for (quint32 no : n)
                     QFile::remove(k.logDir() + u'/' + TLogRecord::fileNameOf(no));
                 },
                 3},
        KillCase{"AfterTheCountersBeforeTheJournalGoes",
                 [](Kiosk& k, const std::vector<quint32>&) { countAsTheCheckoutDoes(k); }, 3},
        KillCase{"AfterTheMainCountersFileBeforeItsBackup",
                 [](Kiosk& k, const std::vector<quint32>&) {
                   const QString backup = k.dir.filePath(QStringLiteral("counters~"));
                   QFile old(backup);
                   ASSERT_TRUE(old.open(QIODevice::ReadOnly));
                   const QByteArray bytes = old.readAll();
                   old.close();
                   countAsTheCheckoutDoes(k);
                   QFile::remove(backup);
                   QFile f(backup);
                   ASSERT_TRUE(f.open(QIODevice::WriteOnly));
                   f.write(bytes);
                 },
                 3},
        KillCase{"Done",
                 [](Kiosk& k, const std::vector<quint32>&) {
                   countAsTheCheckoutDoes(k);
                   saleCounted(k.dir.path());
                 },
                 3}),
    [](const auto& info) { return std::string(info.param.name); });

// The journal adds to the file exactly what the checkout adds to the live
// counters, for every kind, with discounts, and for a product without a line.
struct DeltaCase {
  const char* name;
  std::vector<TCounterLine> lines;
  TCounterKind kind;
  double discount;
};

class SaleCountDelta : public ::testing::TestWithParam<DeltaCase> {};

TEST_P(SaleCountDelta, AddsWhatTheCheckoutAdds) {
  const DeltaCase& c = GetParam();
  QTemporaryDir dir;
  std::vector<Product> drinks{{false, 1, 5, 1, 2, 30}, {false, 4, 0, 0, 0, 0}};
  std::vector<Product> snacks{{true, 9, 1, 0, 7, 0}};
  const QStringList before{QStringLiteral("d1\t5\t1\t2\t30"), QStringLiteral("s9\t1\t0\t7\t0"),
                           QStringLiteral("total_amount\t99")};

  TCountersState live;
  live.dataFolder = dir.path();
  live.total_cashless_amount_kop = 99;
  updateCounters(live, drinks, snacks, c.lines, c.kind, c.discount);
  TCountersState byCheckout;
  byCheckout.dataFolder = dir.path();
  loadCounters(byCheckout);

  TCountersState byJournal;
  byJournal.counters = before;
  addCountDelta(byJournal.counters, saleCountDelta(c.lines, c.kind, c.discount));
  EXPECT_EQ(byJournal.counters.last().section(u'\t', 0, 0), QStringLiteral("total_amount"));

  for (const char* key : {"d1", "d4", "s9", "total_amount"})
    for (TCounterKind kind : {ckCard, ckSBP, ckYandexBadge, ckDiscountKop}) {
      qint64 expected = 0, got = 0;
      try {
        expected = getCounter(byCheckout, QLatin1String(key), kind);
      } catch (const std::exception&) {
      }
      try {
        got = getCounter(byJournal, QLatin1String(key), kind);
      } catch (const std::exception&) {
      }
      EXPECT_EQ(got, expected) << key << " column " << int(kind);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sales, SaleCountDelta,
    ::testing::Values(
        DeltaCase{"CardWithDiscount", {{false, 1, 2, 50}, {true, 9, 1, 25}}, ckCard, 10},
        DeltaCase{"SbpThreeEqualLines",
                  {{false, 1, 1, 10}, {true, 9, 1, 10}, {false, 1, 1, 10}},
                  ckSBP,
                  1},
        DeltaCase{"BadgeOnAProductWithoutALine", {{false, 4, 3, 12.5}}, ckYandexBadge, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SaleRecord, ADamagedJournalIsDroppedAndTheCountersStay) {
  for (const QByteArray& bytes :
       {QByteArray(""), QByteArray("counters\tnone\r\n"),
        QByteArray("counters\tnone\r\nevents\t12\r\nd1\t1\r\n"),
        QByteArray("counters\tnone\r\nevents\r\nd1\tlots\r\n"),
        QByteArray("counters\tnone\r\nevents\r\nx1\t1\r\n"),
        QByteArray("counters\tnone\r\nevents\r\nd1\t1\t2\t3\t4\t5\r\n")}) {
    Kiosk k;
    QFile f(journal(k.dir.path()));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    finishInterruptedSale(k.dir.path(), {});
    EXPECT_EQ(k.countedUnits(), 3) << bytes.constData();
    EXPECT_FALSE(QFile::exists(journal(k.dir.path())));
  }
}

}  // namespace
