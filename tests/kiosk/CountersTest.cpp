#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <vector>

#include "kiosk/Counters.h"
#include "platform/Exception.h"
#include "platform/TextCodec.h"

namespace {

struct Product {
  bool isSnack = false;
  int cell = 0;
  qint64 counter = 0, sbp_counter = 0, yandexBadge_counter = 0, discount_kop = 0;
};

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

struct ShareCase {
  const char* name;
  std::vector<TCounterLine> lines;
  double discount;
  std::vector<qint64> shares;
  qint64 totalGrowth;  // kopecks added to the cashless total
};

class DiscountShares : public ::testing::TestWithParam<ShareCase> {};

TEST_P(DiscountShares, SpreadsWholeKopecksAndRoundsTiesToEven) {
  const ShareCase& c = GetParam();
  EXPECT_EQ(discountShares(c.lines, c.discount), c.shares);

  QTemporaryDir dir;
  TCountersState state{dir.path(), {}, 0};
  std::vector<Product> drinks, snacks;
  for (const auto& l : c.lines) (l.isSnack ? snacks : drinks).push_back({l.isSnack, l.cell});
  updateCounters(state, drinks, snacks, c.lines, ckCard, c.discount);
  EXPECT_EQ(state.total_cashless_amount_kop, c.totalGrowth);
  qint64 given = 0;
  for (const auto& p : drinks) given += p.discount_kop;
  for (const auto& p : snacks) given += p.discount_kop;
  qint64 expected = 0;
  for (qint64 s : c.shares) expected += s;
  EXPECT_EQ(given, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiscountShares,
    ::testing::Values(
        ShareCase{"OneLineTwoTimesFifty", {{false, 1, 2, 50}}, 10, {1000}, 10000 - 1000},
        // 33 each after truncation; the missing kopeck goes to the first line.
        ShareCase{"ThreeEqualLines",
                  {{false, 1, 1, 10}, {false, 2, 1, 10}, {true, 3, 1, 10}},
                  1,
                  {34, 33, 33},
                  3000 - 100},
        ShareCase{"NoDiscount", {{false, 1, 3, 20}, {true, 2, 1, 5}}, 0, {0, 0}, 6500},
        // 12.5 kopecks round to the even 12, 37.5 to 38.
        ShareCase{"HalfKopeckToEvenDown", {{false, 1, 1, 10}}, 0.125, {12}, 1000 - 12},
        ShareCase{"HalfKopeckToEvenUp", {{false, 1, 1, 10}}, 0.375, {38}, 1000 - 38},
        // 0.29 * 100 is 28.999... in binary: rounding, not truncation, gives 29.
        ShareCase{"BinaryFractionPrice", {{true, 4, 1, 0.29}}, 0, {0}, 29},
        ShareCase{"HundredAtBinaryFractionPrice", {{true, 4, 100, 0.29}}, 0, {0}, 2900},
        // Two kopecks missing after truncation: one each to the first two lines.
        ShareCase{"TwoKopecksToppedUp",
                  {{false, 1, 1, 1}, {false, 2, 1, 1}, {false, 3, 1, 1}},
                  0.05,
                  {2, 2, 1},
                  300 - 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Counters, UnitsGoToTheKindsColumnAndTheFileFollowsListOrder) {
  QTemporaryDir dir;
  TCountersState state{dir.path(), {}, 0};
  std::vector<Product> drinks{{false, 7}, {false, 2}};
  std::vector<Product> snacks{{true, 7}};
  // Same cell in both lists: the line's kind picks the product.
  updateCounters(state, drinks, snacks, {{true, 7, 2, 30}}, ckSBP, 1);
  updateCounters(state, drinks, snacks, {{false, 2, 1, 40}}, ckYandexBadge, 0);
  updateCounters(state, drinks, snacks, {{false, 7, 3, 10}, {false, 99, 1, 5}}, ckCard, 0);

  EXPECT_EQ(snacks[0].sbp_counter, 2);
  EXPECT_EQ(snacks[0].counter, 0);
  EXPECT_EQ(snacks[0].discount_kop, 100);
  EXPECT_EQ(drinks[1].yandexBadge_counter, 1);
  EXPECT_EQ(drinks[0].counter, 3);
  // The line of a product no longer listed still counts in the total.
  EXPECT_EQ(state.total_cashless_amount_kop, 6000 - 100 + 4000 + 3000 + 500);

  const QByteArray expected =
      "d7\t3\t0\t0\t0\r\nd2\t0\t0\t1\t0\r\ns7\t0\t2\t0\t100\r\ntotal_amount\t13400\r\n";
  EXPECT_EQ(readFile(dir.filePath("counters")), expected);
  EXPECT_EQ(readFile(dir.filePath("counters~")), expected);
}

TEST(Counters, EmptyCartChangesNothing) {
  QTemporaryDir dir;
  TCountersState state{dir.path(), {}, 5};
  std::vector<Product> drinks{{false, 1}}, snacks;
  updateCounters(state, drinks, snacks, {}, ckCard, 10);
  EXPECT_EQ(state.total_cashless_amount_kop, 5);
  EXPECT_FALSE(QFile::exists(dir.filePath("counters")));
}

TEST(Counters, TotalAbove32BitsSurvivesWriteAndRead) {
  QTemporaryDir dir;
  const qint64 big = (qint64(1) << 31) + 12345;  // about 21.5 million roubles
  TCountersState state{dir.path(), {}, big};
  std::vector<Product> drinks{{false, 1, 3'000'000'000LL}}, snacks;
  updateCounters(state, drinks, snacks, {{false, 1, 1, 100}}, ckCard, 0);

  TCountersState reread{dir.path(), {}, 0};
  loadCounters(reread);
  EXPECT_EQ(getCounter(reread, "total_amount", ckCard), big + 10000);
  EXPECT_EQ(getCounter(reread, "d1", ckCard), 3'000'000'001LL);
}

TEST(Counters, GetCounterReadsColumnsAndDefaults) {
  TCountersState state{QString(), {"d1\t5\t6\t7\t8", "d10\t1", "s1\tx\t2", "d1\t99"}, 0};
  EXPECT_EQ(getCounter(state, "d1", ckCard), 5);  // first line only
  EXPECT_EQ(getCounter(state, "d1", ckSBP), 6);
  EXPECT_EQ(getCounter(state, "d1", ckYandexBadge), 7);
  EXPECT_EQ(getCounter(state, "d1", ckDiscountKop), 8);
  EXPECT_EQ(getCounter(state, "d10", ckDiscountKop), 0);  // short line
  EXPECT_EQ(getCounter(state, "s1", ckCard), 0);          // not a number
  EXPECT_EQ(getCounter(state, "s1", ckSBP), 2);
  try {
    getCounter(state, "D1", ckCard);  // keys are case-sensitive
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Counter \"D1\" not found.");
  }
}

TEST(Counters, LoadFallsBackToTheBackupWhole) {
  QTemporaryDir dir;
  TCountersState state{dir.path(), {"stale"}, 0};
  loadCounters(state);
  EXPECT_TRUE(state.counters.isEmpty());  // neither file

  writeFile(dir.filePath("counters~"), "d1\t4\t0\t0\t0\r\ntotal_amount\t400\r\n");
  QDir().mkdir(dir.filePath("counters"));  // unreadable main file
  loadCounters(state);
  EXPECT_EQ(state.counters, QStringList({"d1\t4\t0\t0\t0", "total_amount\t400"}));

  QDir().rmdir(dir.filePath("counters"));
  writeFile(dir.filePath("counters"), "d1\t9\r\n");
  loadCounters(state);
  EXPECT_EQ(getCounter(state, "d1", ckCard), 9);
}

}  // namespace
