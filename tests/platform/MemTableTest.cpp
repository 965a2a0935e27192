#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <functional>

#include "platform/MemTable.h"
#include "platform/TextCodec.h"

using plat::Field;
using plat::MemTable;

namespace {

// A table of (id integer, name string, price float).
void makeGoods(MemTable& t, std::initializer_list<std::tuple<int, const char*, double>> rows) {
  t.AddField("id", ftInteger);
  t.AddField("name", ftString, 50);
  t.AddField("price", ftFloat, 0, 15);
  t.Open();
  for (const auto& [id, name, price] : rows) {
    t.Append();
    t.FieldByName("id")->SetAsInteger(id);
    t.FieldByName("name")->SetAsString(QString::fromUtf8(name));
    t.FieldByName("price")->SetAsFloat(price);
    t.Post();
  }
}

// The "id" of every shown row, from the first; leaves the cursor on the first.
std::vector<int> ids(MemTable& t) {
  std::vector<int> out;
  for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName("id")->AsInteger());
  t.First();
  return out;
}

std::string messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message().toStdString();
  }
  return "<no error>";
}

quint32 testCrc32(const QByteArray& d) {
  quint32 c = 0xFFFFFFFFu;
  for (char ch : d) {
    c ^= static_cast<quint8>(ch);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

// Puts a valid checksum on a file image whose body was tampered with.
QByteArray withFixedCrc(QByteArray d) {
  d.chop(4);
  char b[4];
  qToLittleEndian(testCrc32(d), b);
  d.append(b, 4);
  return d;
}

}  // namespace

// ---------------------------------------------------------------------------
// values and conversions

TEST(MemTableValues, AssignmentConvertsToTheFieldsKind) {
  struct Case {
    TFieldType type;
    QVariant in;
    QVariant stored;
  };
  const QDateTime dt(QDate(2024, 2, 1), QTime(10, 11, 12));
  const Case cases[] = {
      {ftInteger, QString("12"), 12},
      {ftInteger, 2.5, 2},  // ties to even
      {ftInteger, true, 1},
      {ftSmallint, qlonglong(-7), -7},
      {ftLargeint, QString("1099511627776"), qlonglong(1099511627776)},
      {ftString, 42, QString("42")},
      {ftString, 1.5, QString("1.5")},
      {ftString, plat::toAnsi(QString::fromUtf8("Кофе")), QString::fromUtf8("Кофе")},
      {ftFloat, QString("1,25"), 1.25},
      {ftFloat, 3, 3.0},
      {ftBoolean, QString("True"), true},
      {ftBoolean, 0, false},
      {ftDateTime, QString("01.02.2024 10:11:12"), dt},
      {ftDate, dt, dt.date()},
      {ftTime, dt, dt.time()},
      {ftBytes, QString::fromUtf8("АБ"), QByteArray("\xC0\xC1")},
      {ftBlob, QByteArray("\x00\x01", 2), QByteArray("\x00\x01", 2)},
      {ftVariant, QVariantList{1, "a"}, QVariantList{1, "a"}},
      {ftInteger, QVariant(), QVariant()},
  };
  for (const Case& c : cases) {
    MemTable t;
    Field* f = t.AddField("f", c.type, 10);
    t.Open();
    t.Append();
    f->SetValue(c.in);
    SCOPED_TRACE(QString("type %1 <- %2").arg(int(c.type)).arg(c.in.toString()).toStdString());
    EXPECT_EQ(f->Value(), c.stored);
    EXPECT_EQ(f->IsNull(), !c.stored.isValid());
  }
}

TEST(MemTableValues, UnconvertibleValueIsRefusedAndFieldKeepsItsValue) {
  struct Case {
    TFieldType type;
    QVariant in;
    const char* message;
  };
  const Case cases[] = {
      {ftInteger, QString("abc"), "'abc' is not a valid integer value"},
      {ftInteger, qlonglong(1) << 40, "'1099511627776' is not a valid integer value"},
      {ftFloat, QString("1.2.3"), "'1.2.3' is not a valid floating point value"},
      {ftBoolean, QString("maybe"), "'maybe' is not a valid boolean value"},
      {ftDateTime, QString("31.02.2024"), "'31.02.2024' is not a valid date and time"},
  };
  for (const Case& c : cases) {
    MemTable t;
    Field* f = t.AddField("f", c.type);
    t.Open();
    t.Append();
    f->SetAsInteger(1);
    const QVariant before = f->Value();
    EXPECT_EQ(messageOf([&] { f->SetValue(c.in); }), c.message);
    EXPECT_EQ(f->Value(), before);
  }
}

TEST(MemTableValues, GettersReadAnyKindAndNullAsEmpty) {
  MemTable t;
  Field* s = t.AddField("s", ftString, 20);
  Field* d = t.AddField("d", ftDateTime);
  Field* b = t.AddField("b", ftBlob);
  Field* n = t.AddField("n", ftFloat);
  t.Open();
  t.Append();
  s->SetAsString(" 7 ");
  d->SetAsDateTime(QDateTime(QDate(2024, 3, 5), QTime(0, 0)));
  b->SetAsBytes(plat::toAnsi(QString::fromUtf8("Чай")));
  EXPECT_EQ(s->AsInteger(), 7);
  EXPECT_DOUBLE_EQ(s->AsFloat(), 7.0);
  EXPECT_EQ(d->AsString(), "05.03.2024");  // midnight prints the date alone
  EXPECT_EQ(b->AsString(), QString::fromUtf8("Чай"));
  EXPECT_TRUE(n->IsNull());
  EXPECT_EQ(n->AsString(), "");
  EXPECT_EQ(n->AsInteger(), 0);
  EXPECT_DOUBLE_EQ(n->AsFloat(), 0.0);
  EXPECT_FALSE(n->AsBoolean());
  EXPECT_EQ(messageOf([&] { (void)s->AsDateTime(); }), "' 7 ' is not a valid date and time");
}

TEST(MemTableValues, OnChangeFiresOnEveryAssignmentEvenOfAnEqualValue) {
  MemTable t;
  Field* f = t.AddField("f", ftInteger);
  t.Open();
  std::vector<QVariant> seen;
  f->OnChange = [&](Field& x) { seen.push_back(x.Value()); };
  t.Append();
  f->SetAsInteger(5);
  f->SetAsInteger(5);
  f->SetAsString("6");
  f->Clear();
  t.Post();
  EXPECT_EQ(seen, (std::vector<QVariant>{5, 5, 6, QVariant()}));
}

TEST(MemTableStructure, FieldsByNameAndTheirRules) {
  MemTable t;
  t.AddField("Price", ftCurrency, 0, 4);
  EXPECT_EQ(t.FieldByName("PRICE")->DataType(), ftCurrency);
  EXPECT_EQ(t.FindField("nope"), nullptr);
  EXPECT_EQ(messageOf([&] { t.FieldByName("nope"); }), "Field 'nope' not found");
  EXPECT_EQ(messageOf([&] { t.AddField("price", ftInteger); }), "Duplicate field name 'price'");
  t.Open();
  EXPECT_EQ(messageOf([&] { t.AddField("x", ftInteger); }),
            "Cannot perform this operation on an open dataset");
  EXPECT_EQ(messageOf([&] { t.FieldByName("price")->SetAsFloat(1); }),
            "Dataset not in edit or insert mode");
  t.Close();
  EXPECT_EQ(messageOf([&] { t.Append(); }), "Cannot perform this operation on a closed dataset");
  t.ClearFields();
  EXPECT_EQ(t.FieldCount(), 0);
}

TEST(MemTableStructure, CopyStructureGivesAnOpenEmptyTableOfTheSameFields) {
  MemTable src;
  makeGoods(src, {{1, "a", 1.0}});
  MemTable dst;
  dst.AddField("other", ftBoolean);
  dst.CopyStructure(src);
  EXPECT_TRUE(dst.Active());
  EXPECT_EQ(dst.RecordCount(), 0);
  ASSERT_EQ(dst.FieldCount(), 3);
  EXPECT_EQ(dst.FieldByIndex(1)->FieldName(), "name");
  EXPECT_EQ(dst.FieldByIndex(1)->Size(), 50);
  EXPECT_EQ(dst.FieldByIndex(2)->Precision(), 15);
}

// ---------------------------------------------------------------------------
// states and the implicit post or cancel

TEST(MemTableStates, OperationsLeadToTheExpectedStateAndRows) {
  struct Case {
    const char* name;
    std::function<void(MemTable&)> run;
    plat::DataSetState state;
    std::vector<int> ids;
  };
  auto set = [](MemTable& t, int id) { t.FieldByName("id")->SetAsInteger(id); };
  const Case cases[] = {
      {"append", [](MemTable& t) { t.Append(); }, plat::dsInsert, {1, 2}},
      {"append post",
       [&](MemTable& t) {
         t.Append();
         set(t, 9);
         t.Post();
       },
       plat::dsBrowse,
       {1, 2, 9}},
      {"append cancel",
       [&](MemTable& t) {
         t.Append();
         set(t, 9);
         t.Cancel();
       },
       plat::dsBrowse,
       {1, 2}},
      {"assigned append posted by navigation",
       [&](MemTable& t) {
         t.Append();
         set(t, 9);
         t.First();
       },
       plat::dsBrowse,
       {1, 2, 9}},
      {"untouched append cancelled by navigation",
       [](MemTable& t) {
         t.Append();
         t.First();
       },
       plat::dsBrowse,
       {1, 2}},
      {"edit posted by next",
       [&](MemTable& t) {
         t.Edit();
         set(t, 7);
         t.Next();
       },
       plat::dsBrowse,
       {7, 2}},
      {"edit cancelled",
       [&](MemTable& t) {
         t.Edit();
         set(t, 7);
         t.Cancel();
       },
       plat::dsBrowse,
       {1, 2}},
      {"edit posted by locate",
       [&](MemTable& t) {
         t.Edit();
         set(t, 7);
         t.Locate("id", 2);
       },
       plat::dsBrowse,
       {7, 2}},
      {"edit posted by append",
       [&](MemTable& t) {
         t.Edit();
         set(t, 7);
         t.Append();
       },
       plat::dsInsert,
       {7, 2}},
      {"delete in insert cancels",
       [](MemTable& t) {
         t.Append();
         t.Delete();
       },
       plat::dsBrowse,
       {1, 2}},
      {"delete while editing drops the edit",
       [&](MemTable& t) {
         t.Edit();
         set(t, 7);
         t.Delete();
       },
       plat::dsBrowse,
       {2}},
      {"post in browse does nothing", [](MemTable& t) { t.Post(); }, plat::dsBrowse, {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemTable t;
    makeGoods(t, {{1, "a", 1}, {2, "b", 2}});
    t.First();
    c.run(t);
    EXPECT_EQ(t.State(), c.state);
    t.Cancel();
    EXPECT_EQ(ids(t), c.ids);
  }
}

TEST(MemTableStates, EditOfAnEmptyTableAppendsAndDeleteOfNothingFails) {
  MemTable t;
  makeGoods(t, {});
  t.Edit();
  EXPECT_EQ(t.State(), plat::dsInsert);
  t.Cancel();
  EXPECT_EQ(messageOf([&] { t.Delete(); }), "Cannot perform this operation on an empty dataset");
}

TEST(MemTableStates, CloseDropsRowsAndUnpostedEdits) {
  MemTable t;
  makeGoods(t, {{1, "a", 1}});
  t.Append();
  t.FieldByName("id")->SetAsInteger(2);
  t.Close();
  EXPECT_EQ(t.State(), plat::dsInactive);
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_TRUE(t.FieldByName("id")->IsNull());
  t.Open();
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(t.FieldCount(), 3);
}

TEST(MemTableCursor, EofBofAndRecNoFollowTheClassicRules) {
  MemTable t;
  makeGoods(t, {});
  t.First();
  EXPECT_TRUE(t.Eof());
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.RecNo(), 0);
  MemTable u;
  makeGoods(u, {{1, "a", 1}, {2, "b", 2}, {3, "c", 3}});
  u.First();
  EXPECT_TRUE(u.Bof());
  EXPECT_FALSE(u.Eof());
  u.Next();
  EXPECT_FALSE(u.Bof());
  EXPECT_EQ(u.RecNo(), 2);
  u.Last();
  EXPECT_TRUE(u.Eof());
  EXPECT_EQ(u.FieldByName("id")->AsInteger(), 3);
  u.Next();  // stays on the last row
  EXPECT_EQ(u.FieldByName("id")->AsInteger(), 3);
  u.Prior();
  EXPECT_FALSE(u.Eof());
  EXPECT_EQ(u.FieldByName("id")->AsInteger(), 2);
  u.First();
  u.Prior();
  EXPECT_TRUE(u.Bof());
  EXPECT_EQ(u.FieldByName("id")->AsInteger(), 1);
}

TEST(MemTableCursor, DeleteMovesToTheNextRowOrTheNewLast) {
  MemTable t;
  makeGoods(t, {{1, "a", 1}, {2, "b", 2}, {3, "c", 3}});
  t.Locate("id", 2);
  t.Delete();
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 3);
  t.Delete();
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 1);
  t.Delete();
  EXPECT_TRUE(t.Eof() && t.Bof());
  EXPECT_TRUE(t.FieldByName("id")->IsNull());
}

// ---------------------------------------------------------------------------
// hooks

namespace {

// Records the virtual hooks (upper case) and the handlers (lower case), so a
// test sees both their order and that each base hook calls its handler.
class LoggingTable : public MemTable {
 public:
  std::vector<std::string> log;
  LoggingTable() {
    auto h = [this](const char* n) { return [this, n](MemTable&) { log.push_back(n); }; };
    BeforeOpen = h("bOpen");
    AfterOpen = h("aOpen");
    BeforeClose = h("bClose");
    AfterClose = h("aClose");
    BeforeInsert = h("bInsert");
    AfterInsert = h("aInsert");
    BeforeEdit = h("bEdit");
    AfterEdit = h("aEdit");
    BeforePost = h("bPost");
    AfterPost = h("aPost");
    BeforeCancel = h("bCancel");
    AfterCancel = h("aCancel");
    BeforeDelete = h("bDelete");
    AfterDelete = h("aDelete");
    BeforeScroll = h("bScroll");
    AfterScroll = h("aScroll");
    BeforeRefresh = h("bRefresh");
    AfterRefresh = h("aRefresh");
    OnNewRecord = h("newRecord");
  }

 protected:
  void DoBeforePost() override {
    log.push_back("BPOST");
    MemTable::DoBeforePost();
  }
  void DoAfterPost() override {
    MemTable::DoAfterPost();
    log.push_back("APOST");
  }
};

}  // namespace

TEST(MemTableHooks, EachOperationCallsItsHooksInOrder) {
  using Log = std::vector<std::string>;
  struct Case {
    const char* name;
    std::function<void(MemTable&)> run;
    Log expected;
  };
  const Case cases[] = {
      {"close and open",
       [](MemTable& t) {
         t.Close();
         t.Open();
       },
       {"bClose", "aClose", "bOpen", "aOpen"}},
      {"append and post",
       [](MemTable& t) {
         t.Append();
         t.FieldByName("id")->SetAsInteger(5);
         t.Post();
       },
       {"bInsert", "bScroll", "newRecord", "aInsert", "aScroll", "BPOST", "bPost", "aPost",
        "APOST"}},
      {"edit and cancel",
       [](MemTable& t) {
         t.Edit();
         t.Cancel();
       },
       {"bEdit", "aEdit", "bCancel", "aCancel"}},
      {"edit posted by next",
       [](MemTable& t) {
         t.Edit();
         t.FieldByName("id")->SetAsInteger(5);
         t.Next();
       },
       {"bEdit", "aEdit", "BPOST", "bPost", "aPost", "APOST", "bScroll", "aScroll"}},
      {"untouched append cancelled by last",
       [](MemTable& t) {
         t.Append();
         t.Last();
       },
       {"bInsert", "bScroll", "newRecord", "aInsert", "aScroll", "bCancel", "aCancel", "bScroll",
        "aScroll"}},
      {"delete", [](MemTable& t) { t.Delete(); }, {"bDelete", "bScroll", "aDelete", "aScroll"}},
      {"refresh", [](MemTable& t) { t.Refresh(); }, {"bRefresh", "aRefresh"}},
      {"next at the end does nothing",
       [](MemTable& t) {
         t.Last();
         t.Next();
         t.Next();
       },
       {
           "bScroll",
           "aScroll",
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoggingTable t;
    makeGoods(t, {{1, "a", 1}});
    t.First();
    t.log.clear();
    c.run(t);
    EXPECT_EQ(t.log, c.expected);
  }
}

TEST(MemTableHooks, OpenOfARowTableScrollsAfterOpenAndHandlersCanBeReplaced) {
  LoggingTable t;
  makeGoods(t, {{1, "a", 1}});
  const QByteArray image = t.SaveToBytes();
  t.log.clear();
  t.AfterClose = nullptr;  // a cleared handler is simply skipped
  t.LoadFromBytes(image);
  EXPECT_EQ(t.log, (std::vector<std::string>{"bClose", "bOpen", "aOpen", "aScroll"}));
}

TEST(MemTableHooks, AFailingBeforePostKeepsTheRowInEdit) {
  MemTable t;
  makeGoods(t, {{1, "a", 1}});
  t.BeforePost = [](MemTable&) { throw Exception("no"); };
  t.Edit();
  t.FieldByName("id")->SetAsInteger(2);
  EXPECT_EQ(messageOf([&] { t.Post(); }), "no");
  EXPECT_EQ(t.State(), plat::dsEdit);
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 2);
  t.Cancel();
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 1);
}

TEST(MemTableHooks, CalcFieldsAreFilledForRowsAndTheEditBuffer) {
  MemTable t;
  Field* price = t.AddField("price", ftFloat);
  Field* qty = t.AddField("qty", ftInteger);
  Field* total = t.AddField("total", ftFloat, 0, 0, plat::fkCalculated);
  int changes = 0;
  total->OnChange = [&](Field&) { ++changes; };
  t.OnCalcFields = [&](MemTable&) { total->SetAsFloat(price->AsFloat() * qty->AsInteger()); };
  t.Open();
  t.Append();
  price->SetAsFloat(2.5);
  qty->SetAsInteger(4);
  EXPECT_DOUBLE_EQ(total->AsFloat(), 10.0);  // follows the edit at once
  t.Post();
  EXPECT_DOUBLE_EQ(total->AsFloat(), 10.0);
  EXPECT_EQ(changes, 0);  // a calc pass is not an assignment by the user
  EXPECT_EQ(messageOf([&] {
              t.Edit();
              total->SetAsFloat(1);
            }),
            "Field 'total' cannot be modified");
  t.Cancel();
  // Calculated values are not stored: a reload computes them again.
  MemTable u;
  u.LoadFromBytes(t.SaveToBytes());
  EXPECT_TRUE(u.FieldByName("total")->IsNull());
  EXPECT_EQ(u.FieldByName("total")->Kind(), plat::fkCalculated);
}

// ---------------------------------------------------------------------------
// locate, sorting, filter, bookmarks

TEST(MemTableLocate, ConvertsTheValueToTheFieldsKind) {
  struct Case {
    const char* fields;
    QVariant value;
    plat::LocateOptions options;
    int found;  // id of the row found, 0 for none (cursor stays on id 1)
  };
  const Case cases[] = {
      {"id", QString("3"), 0, 3},
      {"id", 2.0, 0, 2},
      {"id", QString("x"), 0, 0},
      {"id", 99, 0, 0},
      {"name", 42, 0, 4},
      {"name", QString("TEA"), 0, 0},
      {"name", QString("TEA"), plat::loCaseInsensitive, 2},
      {"name", QString("co"), plat::loPartialKey, 3},
      {"name", QString("CO"), plat::loPartialKey | plat::loCaseInsensitive, 3},
      {"price", QString("2,5"), 0, 2},
      {"name;price", QVariantList{"coffee", 4}, 0, 3},
      {"name;price", QVariantList{"coffee", 5}, 0, 0},
      {"price", QVariant(), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fields) + " = " + c.value.toString().toStdString());
    MemTable t;
    makeGoods(t, {{1, "water", 1}, {2, "tea", 2.5}, {3, "coffee", 4}, {4, "42", 9}});
    t.First();
    EXPECT_EQ(t.Locate(c.fields, c.value, c.options), c.found != 0);
    EXPECT_EQ(t.FieldByName("id")->AsInteger(), c.found ? c.found : 1);
  }
}

TEST(MemTableSort, IndexFieldNamesOrdersRowsAndPostedRowsFindTheirPlace) {
  MemTable t;
  makeGoods(t, {{1, "b", 2}, {2, "a", 2}, {3, "c", 1}, {4, "a", 1}});
  t.Append();
  t.FieldByName("id")->SetAsInteger(5);  // name and price stay null
  t.Post();
  struct Case {
    const char* index;
    std::vector<int> ids;
  };
  const Case cases[] = {
      {"name", {5, 2, 4, 1, 3}},  // null first, ties in order of insertion
      {"name;price", {5, 4, 2, 1, 3}}, {"price:D;id", {1, 2, 3, 4, 5}},
      {"name:D", {3, 1, 2, 4, 5}},     {"", {1, 2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    t.SetIndexFieldNames(c.index);
    EXPECT_EQ(ids(t), c.ids);
  }
  t.SetIndexFieldNames("price");
  t.SetIndexesActive(false);
  EXPECT_EQ(ids(t), (std::vector<int>{1, 2, 3, 4, 5}));
  t.SetIndexesActive(true);
  EXPECT_EQ(ids(t), (std::vector<int>{5, 3, 4, 1, 2}));
  // An edited row moves to its sorted place and the cursor goes with it.
  t.Locate("id", 3);
  t.Edit();
  t.FieldByName("price")->SetAsFloat(10);
  t.Post();
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 3);
  EXPECT_EQ(t.RecNo(), 5);
  EXPECT_EQ(messageOf([&] { t.SetIndexFieldNames("nope"); }), "Field 'nope' not found");
  EXPECT_EQ(t.IndexFieldNames(), "price");
}

TEST(MemTableFilter, PredicateHidesRowsAndAPostedRowThatFailsLeavesTheView) {
  MemTable t;
  makeGoods(t, {{1, "a", 1}, {2, "b", 5}, {3, "c", 7}});
  t.OnFilterRecord = [](MemTable& x) { return x.FieldByName("price")->AsFloat() > 2; };
  t.Locate("id", 3);
  t.SetFiltered(true);
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 3);  // the current row stays when shown
  EXPECT_EQ(t.RecordCount(), 2);
  EXPECT_EQ(ids(t), (std::vector<int>{2, 3}));
  t.Edit();
  t.FieldByName("price")->SetAsFloat(0);
  t.Post();
  EXPECT_EQ(t.RecordCount(), 1);
  t.Append();
  t.FieldByName("id")->SetAsInteger(4);
  t.FieldByName("price")->SetAsFloat(3);
  t.Post();
  EXPECT_EQ(ids(t), (std::vector<int>{3, 4}));
  t.SetFiltered(false);
  EXPECT_EQ(ids(t), (std::vector<int>{1, 2, 3, 4}));
}

TEST(MemTableBookmarks, SurviveSortFilterAndChangesOfOtherRows) {
  MemTable t;
  makeGoods(t, {{1, "a", 3}, {2, "b", 1}, {3, "c", 2}, {4, "d", 4}});
  t.Locate("id", 3);
  const plat::Bookmark bm = t.GetBookmark();
  struct Step {
    const char* name;
    std::function<void()> run;
    bool valid;
  };
  const Step steps[] = {
      {"sort", [&] { t.SetIndexFieldNames("price:D"); }, true},
      {"delete another row",
       [&] {
         t.Locate("id", 1);
         t.Delete();
       },
       true},
      {"edit another row",
       [&] {
         t.Locate("id", 2);
         t.Edit();
         t.FieldByName("price")->SetAsFloat(9);
         t.Post();
       },
       true},
      {"append a row",
       [&] {
         t.Append();
         t.FieldByName("id")->SetAsInteger(5);
         t.Post();
       },
       true},
      {"filter keeping it",
       [&] {
         t.OnFilterRecord = [](MemTable& x) { return x.FieldByName("id")->AsInteger() >= 3; };
         t.SetFiltered(true);
       },
       true},
      {"filter hiding it",
       [&] {
         t.SetFiltered(false);
         t.OnFilterRecord = [](MemTable& x) { return x.FieldByName("id")->AsInteger() != 3; };
         t.SetFiltered(true);
       },
       false},
      {"filter off", [&] { t.SetFiltered(false); }, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.run();
    EXPECT_EQ(t.BookmarkValid(bm), s.valid);
    if (s.valid) {
      t.First();
      t.GotoBookmark(bm);
      EXPECT_EQ(t.FieldByName("id")->AsInteger(), 3);
    } else {
      EXPECT_EQ(messageOf([&] { t.GotoBookmark(bm); }), "Record not found");
    }
  }
  t.GotoBookmark(bm);
  t.Delete();
  EXPECT_FALSE(t.BookmarkValid(bm));
  EXPECT_EQ(messageOf([&] { t.GotoBookmark(bm); }), "Record not found");
  EXPECT_FALSE(t.BookmarkValid(plat::Bookmark("junk")));
}

// ---------------------------------------------------------------------------
// rows added in place

namespace {

// A table of (id, name, price) with a sort order and a detail table that
// follows it while controls are disabled, as a loader leaves it.
struct AppendTarget {
  MemTable t;
  MemTable detail;
  explicit AppendTarget(const char* index) {
    t.SetIndexFieldNames(index);
    makeGoods(t, {});
    detail.AddField("id", ftInteger);
    detail.Open();
    detail.SetMasterFields("id");
    detail.SetDetailFields("id");
    detail.SetMasterSource(&t);
    t.DisableControls();
  }
};

}  // namespace

// What a loader sees after adding rows in place is what it would see after
// Append, SetValue and Post of the same values: rows, order, cursor, row ids.
TEST(MemTableRowAppender, RowsAddedInPlaceAreThoseOfAppendAndPost) {
  const std::vector<std::tuple<int, QString, QVariant>> rows = {
      {3, "c", 1.5}, {1, "a", QVariant()}, {2, "a", 0.5}, {4, "", 2.0}};
  for (const char* index : {"", "name;price", "price:D"}) {
    SCOPED_TRACE(index);
    AppendTarget inPlace(index), byRow(index);
    {
      MemTable::RowAppender app(inPlace.t);
      for (const auto& [id, name, price] : rows) {
        QVariant* v = app.AddRow();
        v[0] = id;
        v[1] = name;
        v[2] = price;
      }
      // A row that got nothing is taken back, as a cancelled insert is.
      app.AddRow();
      app.DropLastRow();
      app.AddRow()[0] = 5;
    }
    for (const auto& [id, name, price] : rows) {
      byRow.t.Append();
      byRow.t.FieldByName("id")->SetAsInteger(id);
      byRow.t.FieldByName("name")->SetAsString(name);
      byRow.t.FieldByName("price")->SetValue(price);
      byRow.t.Post();
    }
    byRow.t.Append();
    byRow.t.Cancel();
    byRow.t.Append();
    byRow.t.FieldByName("id")->SetAsInteger(5);
    byRow.t.Post();
    for (MemTable* t : {&inPlace.t, &byRow.t}) {
      SCOPED_TRACE(t == &byRow.t ? "by row" : "in place");
      EXPECT_EQ(t->State(), plat::dsBrowse);
      EXPECT_FALSE(t->Bof());
      EXPECT_FALSE(t->Eof());
    }
    EXPECT_EQ(inPlace.t.RecNo(), byRow.t.RecNo());
    EXPECT_EQ(inPlace.t.GetBookmark(), byRow.t.GetBookmark());
    EXPECT_EQ(inPlace.t.SaveToBytes(), byRow.t.SaveToBytes());
    for (inPlace.t.First(), byRow.t.First(); !byRow.t.Eof(); inPlace.t.Next(), byRow.t.Next()) {
      EXPECT_EQ(inPlace.t.GetBookmark(), byRow.t.GetBookmark());
      EXPECT_EQ(inPlace.t.FieldByName("id")->AsInteger(), byRow.t.FieldByName("id")->AsInteger());
    }
    EXPECT_TRUE(inPlace.t.Eof());
    // The detail follows once controls are enabled again.
    inPlace.t.Last();
    inPlace.t.EnableControls();
    EXPECT_EQ(inPlace.detail.RecordCount(), 0);
  }
}

// Where adding a row would run a hook, a handler or a calculation, a loader
// must go row by row: the appender refuses such a table.
TEST(MemTableRowAppender, RefusedWhereARowWouldRunSomething) {
  struct Sub : MemTable {};
  struct Case {
    const char* what;
    std::function<void(MemTable&)> set;
    bool subclass = false;
  };
  const Case cases[] = {
      {"a subclass", [](MemTable&) {}, true},
      {"closed", [](MemTable& t) { t.Close(); }},
      {"a row in insert", [](MemTable& t) { t.Append(); }},
      {"OnNewRecord", [](MemTable& t) { t.OnNewRecord = [](MemTable&) {}; }},
      {"BeforeInsert", [](MemTable& t) { t.BeforeInsert = [](MemTable&) {}; }},
      {"AfterInsert", [](MemTable& t) { t.AfterInsert = [](MemTable&) {}; }},
      {"BeforePost", [](MemTable& t) { t.BeforePost = [](MemTable&) {}; }},
      {"AfterPost", [](MemTable& t) { t.AfterPost = [](MemTable&) {}; }},
      {"BeforeScroll", [](MemTable& t) { t.BeforeScroll = [](MemTable&) {}; }},
      {"AfterScroll", [](MemTable& t) { t.AfterScroll = [](MemTable&) {}; }},
      {"a filter in force",
       [](MemTable& t) {
         t.OnFilterRecord = [](MemTable&) { return true; };
         t.SetFiltered(true);
       }},
      {"a calculated field",
       [](MemTable& t) {
         t.Close();
         t.AddField("calc", ftInteger, 0, 0, plat::fkCalculated);
         t.Open();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sub sub;
    MemTable plain;
    MemTable& t = c.subclass ? static_cast<MemTable&>(sub) : plain;
    makeGoods(t, {});
    EXPECT_TRUE(c.subclass || t.CanAppendRowsInPlace());
    c.set(t);
    EXPECT_FALSE(t.CanAppendRowsInPlace());
    EXPECT_EQ(messageOf([&] { MemTable::RowAppender app(t); }),
              "Rows cannot be added in place to this table");
  }
  // A detail, and a master whose details follow it at once.
  MemTable master, detail;
  makeGoods(master, {});
  makeGoods(detail, {});
  detail.SetDetailFields("id");
  detail.SetMasterSource(&master);
  EXPECT_FALSE(detail.CanAppendRowsInPlace());
  EXPECT_FALSE(master.CanAppendRowsInPlace());
  master.DisableControls();
  EXPECT_TRUE(master.CanAppendRowsInPlace());
}

// ---------------------------------------------------------------------------
// master / detail

namespace {

struct MasterDetail {
  MemTable master;
  MemTable detail;
  MasterDetail() {
    makeGoods(master, {{10, "m10", 0}, {20, "m20", 0}, {30, "m30", 0}});
    detail.AddField("id", ftInteger);
    detail.AddField("doc_id", ftLargeint);
    detail.Open();
    const std::pair<int, int> rows[] = {{1, 10}, {2, 20}, {3, 10}, {4, 30}, {5, 10}};
    for (auto [id, doc] : rows) {
      detail.Append();
      detail.FieldByName("id")->SetAsInteger(id);
      detail.FieldByName("doc_id")->SetAsInteger(doc);
      detail.Post();
    }
    detail.SetMasterFields("id");
    detail.SetDetailFields("doc_id");
    detail.SetMasterSource(&master);
  }
};

}  // namespace

TEST(MemTableMasterDetail, DetailShowsTheRowsOfTheMastersCurrentRow) {
  MasterDetail md;
  md.master.First();
  EXPECT_EQ(ids(md.detail), (std::vector<int>{1, 3, 5}));
  struct Case {
    std::function<void(MemTable&)> move;
    std::vector<int> ids;
  };
  const Case cases[] = {
      {[](MemTable& m) { m.Next(); }, {2}},
      {[](MemTable& m) { m.Last(); }, {4}},
      {[](MemTable& m) { m.Locate("id", 10); }, {1, 3, 5}},
      {[](MemTable& m) { m.Append(); }, {}},  // a new master row has no details yet
      {[](MemTable& m) {
         m.Cancel();
         m.Edit();
         m.FieldByName("id")->SetAsInteger(20);
       },
       {2}},
      {[](MemTable& m) { m.Cancel(); }, {1, 3, 5}},
      {[](MemTable& m) { m.Delete(); }, {2}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    cases[i].move(md.master);
    EXPECT_EQ(ids(md.detail), cases[i].ids);
  }
  ASSERT_EQ(md.master.GetDetailDataSets().size(), 1u);
  EXPECT_EQ(md.master.GetDetailDataSets()[0], &md.detail);
}

TEST(MemTableMasterDetail, NewDetailRowTakesTheLinkValueAndMasterMovePostsIt) {
  MasterDetail md;
  md.master.Locate("id", 30);
  md.detail.Append();
  md.detail.FieldByName("id")->SetAsInteger(6);
  EXPECT_EQ(md.detail.FieldByName("doc_id")->AsLargeInt(), 30);
  md.master.First();  // posts the detail row, then follows the master
  EXPECT_EQ(md.detail.State(), plat::dsBrowse);
  md.master.Last();
  EXPECT_EQ(ids(md.detail), (std::vector<int>{4, 6}));
}

TEST(MemTableMasterDetail, DisabledControlsDeferTheDetailUntilEnabled) {
  MasterDetail md;
  md.master.First();
  md.master.DisableControls();
  md.master.Next();
  EXPECT_EQ(ids(md.detail), (std::vector<int>{1, 3, 5}));
  md.master.EnableControls();
  EXPECT_EQ(ids(md.detail), (std::vector<int>{2}));
}

TEST(MemTableMasterDetail, UnlinkingAndDestroyingTheMasterShowAllRows) {
  MasterDetail md;
  md.detail.SetMasterSource(nullptr);
  EXPECT_EQ(ids(md.detail).size(), 5u);
  EXPECT_TRUE(md.master.GetDetailDataSets().empty());
  {
    MemTable other;
    makeGoods(other, {{20, "x", 0}});
    md.detail.SetMasterSource(&other);
    EXPECT_EQ(ids(md.detail), (std::vector<int>{2}));
    EXPECT_EQ(messageOf([&] { other.SetMasterSource(&md.detail); }),
              "Circular datalinks are not allowed");
  }
  EXPECT_EQ(md.detail.MasterSource(), nullptr);
  EXPECT_EQ(ids(md.detail).size(), 5u);
}

// ---------------------------------------------------------------------------
// files

namespace {

// One field of every type the table stores distinctly, with a row of values,
// a row of nulls and a row of edge values. A long text also crosses 64 KiB.
void makeEveryType(MemTable& t, qsizetype longText = 70000) {
  const std::pair<const char*, TFieldType> defs[] = {
      {"s", ftString}, {"i", ftInteger}, {"sm", ftSmallint}, {"l", ftLargeint},  {"b", ftBoolean},
      {"f", ftFloat},  {"d", ftDate},    {"tm", ftTime},     {"dt", ftDateTime}, {"by", ftBytes},
      {"bl", ftBlob},  {"m", ftMemo},    {"v", ftVariant},   {"a", ftArray}};
  for (auto [n, ty] : defs) t.AddField(n, ty, ty == ftString ? 40 : 0, ty == ftFloat ? 15 : 0);
  t.Open();
  const QDateTime dt(QDate(2024, 12, 31), QTime(23, 59, 59, 999));
  const QVariantList rows[] = {
      {QString::fromUtf8("Молоко"), 42, -7, qlonglong(1) << 40, true, 0.1, dt.date(), dt.time(), dt,
       QByteArray("\x00\xFF", 2), QByteArray(30, 'x'), QString(longText, QChar(0x44B)), 3.5,
       QVariantList{1, QString("a"), QVariantList{true}}},
      QVariantList(14),
      {QString(""), INT_MIN, 0, LLONG_MIN, false, -0.0, QDate(1, 1, 1), QTime(0, 0),
       QDateTime(QDate(1899, 12, 30), QTime(0, 0)), QByteArray(""), QByteArray(), QString(""),
       QString("text"), QVariantList{}},
  };
  for (const QVariantList& r : rows) {
    t.Append();
    for (int i = 0; i < t.FieldCount(); ++i) t.FieldByIndex(i)->SetValue(r[i]);
    t.Post();
  }
}

void expectSameTable(MemTable& a, MemTable& b) {
  ASSERT_EQ(a.FieldCount(), b.FieldCount());
  for (int i = 0; i < a.FieldCount(); ++i) {
    EXPECT_EQ(a.FieldByIndex(i)->FieldName(), b.FieldByIndex(i)->FieldName());
    EXPECT_EQ(a.FieldByIndex(i)->DataType(), b.FieldByIndex(i)->DataType());
    EXPECT_EQ(a.FieldByIndex(i)->Size(), b.FieldByIndex(i)->Size());
    EXPECT_EQ(a.FieldByIndex(i)->Precision(), b.FieldByIndex(i)->Precision());
  }
  ASSERT_EQ(a.RecordCount(), b.RecordCount());
  a.First();
  b.First();
  for (; !a.Eof(); a.Next(), b.Next()) {
    for (int i = 0; i < a.FieldCount(); ++i) {
      SCOPED_TRACE(a.FieldByIndex(i)->FieldName().toStdString());
      EXPECT_EQ(a.FieldByIndex(i)->IsNull(), b.FieldByIndex(i)->IsNull());
      EXPECT_EQ(a.FieldByIndex(i)->Value(), b.FieldByIndex(i)->Value());
    }
  }
}

}  // namespace

TEST(MemTableFiles, SaveAndLoadKeepStructureRowsAndNulls) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  MemTable t;
  makeEveryType(t);
  // Saving ignores the view: hidden rows are kept too, in the order of insertion.
  t.OnFilterRecord = [](MemTable&) { return false; };
  t.SetFiltered(true);
  const QString path = dir.filePath("tbGoods");
  t.SaveToFile(path);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files),
            QStringList{"tbGoods"});  // no temporaries left
  t.SetFiltered(false);

  MemTable u;
  u.LoadFromFile(path);
  EXPECT_TRUE(u.Active());
  expectSameTable(t, u);

  QBuffer buf;
  buf.open(QIODevice::ReadWrite);
  u.SaveToStream(buf);
  buf.seek(0);
  MemTable w;
  w.LoadFromStream(buf);
  expectSameTable(t, w);
}

TEST(MemTableFiles, DamagedDataIsRefusedAndTheTableKeepsItsContents) {
  MemTable src;
  makeGoods(src, {{1, "a", 1}, {2, "b", 2}});
  const QByteArray good = src.SaveToBytes();
  auto patched = [&](qsizetype at, const QByteArray& bytes, bool fixCrc) {
    QByteArray d = good;
    d.replace(at, bytes.size(), bytes);
    return fixCrc ? withFixedCrc(d) : d;
  };
  // Header: magic 0..3, version 4..5, flags 6..7, body length 8..15; body from 16:
  // field count 16..19, then the first field's name length 20..23.
  struct Case {
    const char* name;
    QByteArray data;
    const char* message;
  };
  QByteArray le32(4, 0), le64(8, 0);
  qToLittleEndian<quint32>(0xFFFFFFF0u, le32.data());
  const Case cases[] = {
      {"empty", QByteArray(), "Table data is truncated."},
      {"other file", QByteArray("PK\x03\x04 zip"), "Table data is not a table file."},
      {"version", patched(4, QByteArray("\x02\x00", 2), false),
       "Table data has unsupported version 2."},
      {"cut header", good.left(10), "Table data is truncated."},
      {"cut body", good.left(good.size() - 5), "Table data is truncated."},
      {"trailing bytes", good + "x", "Table data is damaged (data after the end)."},
      {"flipped bit", patched(30, QByteArray(1, good[30] ^ 1), false),
       "Table data is damaged (checksum mismatch)."},
      {"huge field count", patched(16, le32, true), "Table data is damaged (4294967280 fields)."},
      {"huge name length", patched(20, le32, true),
       "Table data is damaged (a length runs past the end)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemTable t;
    makeGoods(t, {{7, "kept", 1}});
    EXPECT_EQ(messageOf([&] { t.LoadFromBytes(c.data); }), c.message);
    EXPECT_EQ(ids(t), std::vector<int>{7});
  }
}

TEST(MemTableFiles, EveryPrefixAndEveryByteFlipIsRefusedWithoutACrash) {
  MemTable src;
  makeEveryType(src, 20);
  const QByteArray good = src.SaveToBytes();
  MemTable t;
  for (qsizetype n = 0; n < good.size(); ++n)
    EXPECT_THROW(t.LoadFromBytes(good.left(n)), EDatabaseError) << n;
  // With the checksum put right, the parser itself meets every damaged byte.
  int refused = 0;
  for (qsizetype i = 16; i < good.size() - 4; ++i) {
    QByteArray d = good;
    d[i] = static_cast<char>(d[i] ^ 0x80);
    try {
      t.LoadFromBytes(withFixedCrc(d));
    } catch (const EDatabaseError&) {
      ++refused;
    }
  }
  EXPECT_GT(refused, 0);
}

TEST(MemTableFiles, HugeRowCountIsRefusedBeforeAllocating) {
  MemTable src;
  src.AddField("id", ftInteger);
  src.Open();
  QByteArray d = src.SaveToBytes();
  // body: field count (4), name length (4) + "id" (2), kind (1), type, size, precision (12), rows
  // (8)
  const qsizetype rowsAt = 16 + 4 + 4 + 2 + 1 + 12;
  qToLittleEndian<quint64>(quint64(1) << 60, d.data() + rowsAt);
  MemTable t;
  EXPECT_EQ(messageOf([&] { t.LoadFromBytes(withFixedCrc(d)); }),
            "Table data is damaged (1152921504606846976 rows).");
  // Each row needs a marker and a tag per stored value: 1000 bytes cannot
  // hold 1000 rows of one field, however many values those rows would take.
  qToLittleEndian<quint64>(1000, d.data() + rowsAt);
  d.chop(4);
  d.append(QByteArray(1000, '\xA5'));
  qToLittleEndian<quint64>(quint64(d.size() - 16), d.data() + 8);
  d.append(4, '\0');
  EXPECT_EQ(messageOf([&] { t.LoadFromBytes(withFixedCrc(d)); }),
            "Table data is damaged (1000 rows).");
}

// A server or a damaged cache file can hand over rows without any field. The
// rows are empty, but every operation on them must stay defined behaviour.
TEST(MemTableFiles, TableWithoutFieldsKeepsItsRowsThroughEveryOperation) {
  const std::pair<const char*, std::function<void(MemTable&)>> steps[] = {
      {"append",
       [](MemTable& t) {
         t.Append();
         t.Post();
       }},
      {"edit",
       [](MemTable& t) {
         t.First();
         t.Edit();
         t.Post();
       }},
      {"filter",
       [](MemTable& t) {
         t.OnFilterRecord = [](MemTable&) { return true; };
         t.SetFiltered(true);
         t.SetFiltered(false);
       }},
      {"delete",
       [](MemTable& t) {
         t.Last();
         t.Delete();
       }},
      {"reload saved", [](MemTable& t) { t.LoadFromBytes(t.SaveToBytes()); }},
      {"empty", [](MemTable& t) { t.EmptyDataSet(); }},
  };
  const int rowsAfter[] = {4, 4, 4, 3, 3, 0};
  MemTable t;
  t.Open();
  for (int i = 0; i < 3; ++i) {
    t.Append();
    t.Post();
  }
  int k = 0;
  for (const auto& [name, step] : steps) {
    SCOPED_TRACE(name);
    step(t);
    EXPECT_EQ(t.RecordCount(), rowsAfter[k++]);
    // Saved and loaded again, the file is the same.
    const QByteArray saved = t.SaveToBytes();
    MemTable u;
    u.LoadFromBytes(saved);
    EXPECT_EQ(u.FieldCount(), 0);
    EXPECT_EQ(u.RecordCount(), t.RecordCount());
    EXPECT_EQ(u.SaveToBytes(), saved);
  }
}

TEST(MemTableFiles, FileErrorsNameTheFile) {
  QTemporaryDir dir;
  const QString missing = dir.filePath("none");
  MemTable t;
  EXPECT_THROW(t.LoadFromFile(missing), EFileError);
  QFile f(dir.filePath("bad"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("VKTB");
  f.close();
  EXPECT_EQ(messageOf([&] { t.LoadFromFile(dir.filePath("bad")); }),
            QString("Table file \"%1\" is truncated.").arg(dir.filePath("bad")).toStdString());
  makeGoods(t, {});
  EXPECT_THROW(t.SaveToFile(dir.filePath("no/such/dir/x")), EFileError);
}
