// Column summaries and the table cache files of server-filled tables.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "backoffice/JTable.h"
#include "backoffice/TableCache.h"
#include "platform/Common.h"

namespace {

std::string messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message().toStdString();
  }
  return "<no error>";
}

void fill(TJTable& t, const std::vector<QVariant>& prices) {
  t.AddField("id", ftInteger);
  t.AddField("price", ftFloat);
  t.Open();
  t.setListenerActive(false);
  int id = 0;
  for (const QVariant& p : prices) {
    t.Append();
    t.FieldByName("id")->SetAsInteger(++id);
    if (p.isValid()) t.FieldByName("price")->SetValue(p);
    t.Post();
  }
}

TEST(TableSummary, ComputesEveryKindAndFollowsPostsAndDeletes) {
  TJTable t;
  fill(t, {QVariant(), 4.0, -2.0, 10.0});  // an empty first row counts as 0
  for (TSummaryType k : {cstNone, cstSum, cstMin, cstMax, cstCount, cstAvg})
    t.AddSummary("PRICE", k);
  t.AddSummary("price", cstSum);  // same name in other case, same kind: kept once
  t.AddSummary("nosuch", cstSum);
  t.AddSummary("nosuch", cstCount);
  EXPECT_EQ(messageOf([&] { t.GetSummary("price", cstSum); }),
            "FNeedRecalcSummaries is True (TkbmTable.GetSummary).");
  t.Last();
  t.RecalcSummaries();
  EXPECT_EQ(t.RecNo(), 4);  // the current row comes back
  struct Case {
    const char* field;
    TSummaryType kind;
    double value;
  } cases[] = {{"price", cstNone, 0}, {"price", cstSum, 12},  {"Price", cstMin, -2},
               {"price", cstMax, 10}, {"price", cstCount, 4}, {"price", cstAvg, 3},
               {"nosuch", cstSum, 0}, {"nosuch", cstCount, 4}};
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(t.GetSummary(c.field, c.kind), c.value) << c.field << " " << int(c.kind);
  EXPECT_EQ(messageOf([&] { t.GetSummary("id", cstSum); }),
            "Summary not found (TkbmTable.GetSummary).");

  t.First();
  t.Delete();  // recalculated at once
  EXPECT_DOUBLE_EQ(t.GetSummary("price", cstCount), 3);
  EXPECT_DOUBLE_EQ(t.GetSummary("price", cstMin), -2);
  t.Edit();
  t.FieldByName("price")->SetAsFloat(100);
  t.Post();
  EXPECT_DOUBLE_EQ(t.GetSummary("price", cstSum), 108);

  t.EmptyDataSet();
  t.RecalcSummaries();
  EXPECT_DOUBLE_EQ(t.GetSummary("price", cstCount), 0);
}

// The user's after-post and after-delete handlers already read the new sums.
TEST(TableSummary, HandlersAfterPostAndDeleteSeeTheNewSums) {
  TJTable t;
  fill(t, {1.0, 2.0});
  t.AddSummary("price", cstSum);
  t.RecalcSummaries();
  std::vector<double> seen;
  auto record = [&](plat::MemTable&) { seen.push_back(t.GetSummary("price", cstSum)); };
  t.AfterPost = record;
  t.AfterDelete = record;
  t.Append();
  t.FieldByName("id")->SetAsInteger(3);
  t.FieldByName("price")->SetAsFloat(10);
  t.Post();
  t.First();
  t.Delete();
  EXPECT_EQ(seen, (std::vector<double>{13, 12}));
}

class TableCache : public ::testing::Test {
 protected:
  void SetUp() override {
    before = tablesCacheFolder();
    setTablesCacheFolder(dir.path() + "/Tables");
  }
  void TearDown() override { setTablesCacheFolder(before); }
  QString path(const QString& name) const { return dir.path() + "/Tables/" + name; }

  // A loaded table as a refresh leaves it.
  void loaded(TJTable& t, const QString& versions) {
    t.SetSQLText("select * from goods\nwhere cell = ?");
    t.addParam(QVariant(7));
    fill(t, {1.5, 2.5});
    t.sourceTablesDataVersions = versions;
    t.lastRefreshSQL = t.sqlText();
    t.lastRefreshParams = t.paramsText();
    t.last_refresh_tm = 46000.123456789;
  }

  QTemporaryDir dir;
  QString before;
};

TEST_F(TableCache, RoundTripAndMatchingRules) {
  TJTable src;
  loaded(src, "v1;v2");
  src.saveToCache("goods", false);
  ASSERT_TRUE(QFile::exists(path("goods.dat")));

  TJTable dst;
  dst.SetSQLText("select * from goods\nwhere cell = ?");
  dst.addParam(QVariant(7));
  ASSERT_TRUE(dst.updateFromCache("goods"));
  EXPECT_EQ(dst.RecordCount(), 2);
  EXPECT_EQ(dst.sourceTablesDataVersions, "v1;v2");
  EXPECT_EQ(dst.lastRefreshSQL, src.sqlText());
  EXPECT_EQ(dst.lastRefreshParams, src.paramsText());
  EXPECT_DOUBLE_EQ(dst.last_refresh_tm, 46000.123456789);
  EXPECT_FALSE(dst.updateFromCache("goods"));  // an open table is left alone

  // Another parameter value or statement does not take the copy.
  TJTable other;
  other.SetSQLText("select * from goods\nwhere cell = ?");
  other.addParam(QVariant(8));
  EXPECT_FALSE(other.updateFromCache("goods"));
  EXPECT_FALSE(other.Active());

  // Unchanged versions rewrite only the version file.
  src.Edit();
  src.FieldByName("price")->SetAsFloat(99);
  src.Post();
  src.last_refresh_tm = 46001;
  src.saveToCache("goods", false);
  TJTable again;
  again.SetSQLText("select * from goods\nwhere cell = ?");
  again.addParam(QVariant(7));
  ASSERT_TRUE(again.updateFromCache("goods"));
  EXPECT_DOUBLE_EQ(again.last_refresh_tm, 46001);
  again.Last();
  EXPECT_DOUBLE_EQ(again.FieldByName("price")->AsFloat(), 2.5);

  src.deleteCache("goods");
  EXPECT_FALSE(QFile::exists(path("goods.dat")));
  EXPECT_FALSE(QFile::exists(path("goods.dv")));
}

TEST_F(TableCache, DamagedOrForeignFilesAreRejected) {
  TJTable src;
  loaded(src, "v1");
  src.saveToCache("goods", true);
  const QString cr(QChar(13));
  const QString sql = src.sqlText();
  const QString params = src.paramsText();
  struct Case {
    const char* what;
    QString versionText;
    bool damageData;
  } cases[] = {
      {"intact", "v1" + cr + "1" + cr + QString::number(sql.size()) + cr + sql + cr + params + cr,
       false},
      {"length beyond the text", "v1" + cr + "1" + cr + "9999" + cr + sql + cr, false},
      {"length not a number", "v1" + cr + "1" + cr + "x" + cr + sql + cr, false},
      {"time not a number", "v1" + cr + "soon" + cr, false},
      {"data file damaged",
       "v1" + cr + "1" + cr + QString::number(sql.size()) + cr + sql + cr + params + cr, true},
  };
  const QByteArray data = [&] {
    QFile f(path("goods.dat"));
    f.open(QIODevice::ReadOnly);
    return f.readAll();
  }();
  for (const Case& c : cases) {
    SaveTextToFile(path("goods.dv"), c.versionText);
    QByteArray bytes = data;
    if (c.damageData) bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x55);
    QFile f(path("goods.dat"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    f.close();
    TJTable t;
    t.SetSQLText("select * from goods\nwhere cell = ?");
    t.addParam(QVariant(7));
    const bool intact = QString(c.what) == "intact";
    EXPECT_EQ(t.updateFromCache("goods"), intact) << c.what;
    EXPECT_EQ(t.Active(), intact) << c.what;
  }
  // A name with a path in it never leaves the cache folder.
  EXPECT_THROW(src.saveToCache("../escape", true), Exception);
}

// Statements and parameters with any characters, a CR inside a parameter
// included, are written so that the next run finds them equal and takes the
// table from the cache.
TEST_F(TableCache, AnyTextInStatementOrParametersStillMatches) {
  const QString param = QString::fromUtf8("Молоко \xF0\x9F\xA5\x9B\r2,5% \\r \\") + QChar(0x2116);
  const QString sql = QString::fromUtf8("select * from goods -- \xE2\x9C\x93 Ё\nwhere name = ?");
  const QString versions = QString::fromUtf8("v\r1;\\ё");
  auto prepared = [&](TJTable& t) {
    t.SetSQLText(sql);
    t.addParam(QVariant(param));
    t.addParam(QVariant(5));
  };
  {
    TJTable run1;
    prepared(run1);
    fill(run1, {1.5});
    run1.sourceTablesDataVersions = versions;
    run1.lastRefreshSQL = run1.sqlText();
    run1.lastRefreshParams = run1.paramsText();
    run1.saveToCache("goods", false);
  }
  TJTable run2;
  prepared(run2);
  ASSERT_TRUE(run2.updateFromCache("goods"));
  EXPECT_EQ(run2.RecordCount(), 1);
  EXPECT_EQ(run2.sourceTablesDataVersions, versions);
  EXPECT_EQ(run2.lastRefreshParams, run2.paramsText());
  EXPECT_EQ(run2.lastRefreshSQL, run2.sqlText());

  // Unchanged versions: only the version file is written again, and it still
  // matches on the run after.
  run2.last_refresh_tm = 46002;
  run2.saveToCache("goods", false);
  TJTable run3;
  prepared(run3);
  ASSERT_TRUE(run3.updateFromCache("goods"));
  EXPECT_DOUBLE_EQ(run3.last_refresh_tm, 46002);

  // A file written by an earlier version of the program (windows-1251, no
  // escapes) still loads.
  TJTable old;
  old.SetSQLText(QString::fromUtf8("select * from goods\nwhere name = ?"));
  old.addParam(QVariant(QString::fromUtf8("Кефир")));
  const QString cr(QChar(13));
  const QString oldSql = old.sqlText();
  SaveTextToFile(path("goods.dv"), "v7" + cr + "46000.5" + cr + QString::number(oldSql.size()) +
                                       cr + oldSql + cr + old.paramsText() + cr);
  ASSERT_TRUE(old.updateFromCache("goods"));
  EXPECT_EQ(old.sourceTablesDataVersions, "v7");
  EXPECT_DOUBLE_EQ(old.last_refresh_tm, 46000.5);
}

TEST(TableCacheText, VersionTextRoundTrip) {
  TCachedVersion v{"a,b", 45123.5, "select 1\r\nfrom x\r\n", QString("1") + QChar(0) + "2"};
  TCachedVersion back;
  ASSERT_TRUE(parseCachedVersion(formatCachedVersion(v), back));
  EXPECT_EQ(back.dataVersions, v.dataVersions);
  EXPECT_DOUBLE_EQ(back.refreshTime, v.refreshTime);
  EXPECT_EQ(back.sql, v.sql);  // a statement with CRs of its own is kept whole
  EXPECT_EQ(back.params, v.params);

  // The file form: a mark, then UTF-8; texts that end at a CR are escaped.
  const TCachedVersion odd{"v\\1\r", 1, "a\rb\r\n", QString::fromUtf8("\\r\r\xF0\x9F\x98\x80")};
  const QByteArray bytes = encodeCachedVersion(odd);
  EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
  ASSERT_TRUE(decodeCachedVersion(bytes, back));
  EXPECT_EQ(back.dataVersions, odd.dataVersions);
  EXPECT_EQ(back.sql, odd.sql);
  EXPECT_EQ(back.params, odd.params);
  // A broken escape or broken UTF-8 behind the mark is damage, not a match.
  EXPECT_FALSE(decodeCachedVersion(QByteArray("\xEF\xBB\xBFv\\x\r1\r"), back));
  EXPECT_FALSE(decodeCachedVersion(QByteArray("\xEF\xBB\xBFv\xFF\r1\r"), back));
}

}  // namespace
