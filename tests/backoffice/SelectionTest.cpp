#include <gtest/gtest.h>

#include <functional>

#include "backoffice/Selection.h"
#include "platform/Exception.h"
#include "platform/MemTable.h"

namespace {

QString errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return QStringLiteral("<no error>");
}

TEST(Selection, StatementTextJoinsConditionsAndRestrictsToTheKey) {
  TSelection s;
  s.from = "tbGoods G";
  s.addCol("G.id");
  s.addCol("G.name", "name", "*");
  s.addLJCol("G.group_id tbGroup id name", "groupName");
  s.where = "G.price > 0";
  s.filter = "G.isDeleted = 0";
  s.orderBy = "G.name";
  s.keyFieldValue = "5";
  EXPECT_EQ(s.getSQL(),
            "select\r\n"
            "G.id as id,\r\n"
            "G.name as name,\r\n"
            "tbGroup__Dict.name as groupName\r\n"
            "from tbGoods G\r\n"
            "Left Join tbGroup tbGroup__Dict On tbGroup__Dict.id = G.group_id\r\n"
            "where (G.id = 5) AND ((G.price > 0) AND (G.isDeleted = 0))\r\n"
            "order by G.name\r\n");
  EXPECT_EQ(s.getColumnByAlias("name")->postedField, "name");

  // A key that is no integer becomes a literal, its quotes doubled.
  s.where.clear();
  s.filter.clear();
  s.keyFieldValue = "A'5";
  EXPECT_TRUE(s.getSQL().contains("where G.id = 'A''5'\r\n"));

  TSelection empty;
  EXPECT_EQ(empty.getSQL(), "select\r\n");
}

TEST(Selection, TextFunctions) {
  struct Simple {
    QString value;
    bool simple;
    QString table;
    QString field;
  };
  for (const Simple& c : std::vector<Simple>{{"name", true, "", "name"},
                                             {"G.name", true, "G", "name"},
                                             {" G . name ", true, "G", "name"},
                                             {"a.b.c", false, "", ""},
                                             {"upper(G.name)", false, "", ""},
                                             {"G.a+1", false, "", ""},
                                             {"'x'", false, "", ""},
                                             {"G name", false, "", ""}}) {
    EXPECT_EQ(TSelection::ColumnIsSimple(c.value), c.simple) << c.value.toStdString();
    if (c.simple) {
      EXPECT_EQ(TSelection::getColumnTable(c.value), c.table);
      EXPECT_EQ(TSelection::getColumnField(c.value), c.field);
    } else {
      EXPECT_EQ(errorOf([&] { TSelection::getColumnTable(c.value); }),
                "Column is not simple (GetColumnTable).");
      EXPECT_EQ(errorOf([&] { TSelection::getColumnField(c.value); }),
                "Column is not simple (GetColumnField).");
    }
  }

  struct From {
    QString from;
    QString alias;
    QString table;
  };
  for (const From& c :
       std::vector<From>{{"", "", ""},
                         {"tbGoods", "tbGoods", "tbGoods"},
                         {"tbGoods G left join tbGroup R on R.id = G.group_id", "G", "tbGoods"},
                         {"tbGoods as G", "G", "tbGoods"},
                         {"tbGoods left join tbGroup R on 1=1", "tbGoods", "tbGoods"},
                         {"tbGoods , tbGroups", "tbGoods", "tbGoods"},
                         {"tbGoods as", "as", "tbGoods"}}) {
    EXPECT_EQ(TSelection::getMainTableAlias(c.from), c.alias) << c.from.toStdString();
    EXPECT_EQ(TSelection::getMainTable(c.from), c.table) << c.from.toStdString();
  }

  EXPECT_EQ(TSelection::concatWhere(" ", "b"), "b");
  EXPECT_EQ(TSelection::concatWhere("a", "  "), "a");
  EXPECT_EQ(TSelection::concatWhere("a", "b"), "(a) AND (b)");
}

TEST(Selection, TableOfAnAlias) {
  TSelection s;
  s.from = "tbGoods G left join tbGroup as R on R.id = G.group_id, tbUnit";
  s.addLJ("dbo.tbColor", "id", "G", "color_id");
  struct Case {
    QString alias;
    QString table;
  };
  for (const Case& c : std::vector<Case>{{"G", "tbGoods"},
                                         {"tbGoods", "tbGoods"},
                                         {"r", "tbGroup"},
                                         {"tbUnit", "tbUnit"},
                                         {"tbColor__Dict", "dbo.tbColor"}})
    EXPECT_EQ(s.getTableForAlias(c.alias), c.table) << c.alias.toStdString();
  EXPECT_EQ(errorOf([&] { s.getTableForAlias("X"); }),
            "Alias \"X\" not found (TSelection.getTableForAlias).");
}

TEST(Selection, JoinsAreSharedAndGetUniqueAliases) {
  TSelection s;
  s.from = "tbSale S";
  PLeftJoin a = s.addLJ("tbGoods", "id", "S", "goods_id");
  EXPECT_EQ(a->TableAlias, "tbGoods__Dict");
  EXPECT_EQ(s.addLJ("TBGOODS", "ID", "s", "GOODS_ID", true)->TableAlias, "tbGoods__Dict");
  EXPECT_FALSE(s.leftJoins()[0].isTemporary);
  EXPECT_EQ(s.addLJ("tbGoods", "id", "S", "gift_id")->TableAlias, "tbGoods__Dict1");
  EXPECT_EQ(s.addLJ("tbGoods", "id", "S", "other_id")->TableAlias, "tbGoods__Dict2");
  EXPECT_EQ(s.leftJoins().size(), 3u);
}

TEST(Selection, LookupColumns) {
  TSelection s;
  s.from = "tbSale S";
  // Two lookups through the same path share its joins.
  s.addLJCol("goods_id tbGoods id group_id tbGroup id name");
  s.addLJCol("goods_id tbGoods id name", "goodsName", "", "upper(|)");
  s.addLJCol("gift_id tbGoods id name", "giftName", "", "trim");
  EXPECT_EQ(s.getColumnValue("goods"), "tbGroup__Dict.name");
  EXPECT_EQ(s.getColumnValue("goodsName"), "upper(tbGoods__Dict.name)");
  EXPECT_EQ(s.getColumnValue("giftName"), "trimtbGoods__Dict1.name");
  ASSERT_EQ(s.leftJoins().size(), 3u);
  EXPECT_EQ(s.leftJoins()[1].ParentTable, "tbGoods__Dict");
  EXPECT_EQ(s.leftJoins()[1].ParentField, "group_id");

  for (const char* value : {"a b c", "a b c d e", "a b c d e f"})
    EXPECT_EQ(errorOf([&] { s.addLJCol(value, "x"); }),
              "Number of params in Value string is wrong (TSelection.AddLJColumn).");
  EXPECT_EQ(errorOf([&] { s.addLJCol("gift_id tbGoods id name", "goodsName"); }),
            "Column \"goodsName\" already exists (TSelection.addLJCol).");
  TSelection noFrom;
  EXPECT_EQ(errorOf([&] { noFrom.addLJCol("goods_id tbGoods id name"); }),
            "Can not define ParentTable (TSelection.AddLJColumn).");

  TSelection sep;
  sep.from = "tbSale S";
  sep.LookupSeparator = ";";
  sep.addLJCol("S.goods_id; tbGoods;id;name", "", "*");
  EXPECT_EQ(sep.getColumnValue("goods"), "tbGoods__Dict.name");
  EXPECT_EQ(sep.getColumnByAlias("goods")->postedField, "goods_id");
  EXPECT_EQ(sep.leftJoins()[0].ParentTable, "S");
}

TEST(Selection, ModalColumns) {
  TSelection s;
  s.from = "tbSale S";
  s.addCol("S.goods_id");
  s.addCol("S.x", "goods_id1");
  PModalPair p = s.addModalCol("S.goods_id tbGoods{isFolder = 0 | isFolder = 1} id name", "", "*");
  EXPECT_EQ(p->KeyAlias, "goods_id12");
  EXPECT_EQ(p->Alias, "goods");
  EXPECT_EQ(p->Where, "isFolder = 0 ");
  EXPECT_EQ(p->folderTreeWhere, " isFolder = 1");
  EXPECT_EQ(s.getColumnByAlias("goods_id12")->postedField, "goods_id");
  EXPECT_EQ(s.getColumnByAlias("goods")->postedField, "");
  EXPECT_EQ(s.leftJoins()[0].TableName, "tbGoods");
  EXPECT_EQ(s.getModalPairByAlias("GOODS").KeyAlias, "goods_id12");

  EXPECT_EQ(errorOf([&] { s.addModalCol("a tbGoods id", "m"); }),
            "Number of params in Value string is wrong (TSelection.AddModalColumn).");
  EXPECT_EQ(errorOf([&] { s.addModalCol("a tbGoods{x=1}y id name", "m"); }),
            "Second parameter must have format <Table name>[{<Where-condition>}] "
            "(TSelection.AddLookupCol).");
  EXPECT_EQ(errorOf([&] { s.getModalPairByAlias("none"); }),
            "Modal pair for \"none\" not found (TSelection.getModalPairByAlias).");
}

TEST(Selection, JournalAndDocumentColumns) {
  TSelection s;
  s.from = "tbPay P";
  s.LookupSeparator = ";";  // the generated texts use blanks regardless
  s.addJournCol("P.doc_id", " docType = 3 ", "doc", "doc_id");
  QStringList aliases;
  for (int i = 0; i < s.columnCount(); ++i) aliases << s.getColumn(i)->alias;
  EXPECT_EQ(aliases, QStringList({"doc_docNo", "doc_id", "doc_docId", "doc_docDt", "doc_table_id",
                                  "doc_table_caption"}));
  ASSERT_EQ(s.calcs().size(), 1u);
  EXPECT_TRUE(s.calcs()[0].isJournDescr);
  EXPECT_EQ(s.calcs()[0].size, 100);
  ASSERT_EQ(s.leftJoins().size(), 2u);
  EXPECT_EQ(s.leftJoins()[1].TableName, "tbTable");
  EXPECT_EQ(s.leftJoins()[1].ParentTable, "tbDocJourn__Dict");
  EXPECT_EQ(s.modalPairs()[0].Where, "docType = 3");
  EXPECT_EQ(s.getColumnByAlias("doc_id")->postedField, "doc_id");
  EXPECT_EQ(s.LookupSeparator, ";");

  TSelection d;
  d.from = "tbPay P";
  d.addDocCol("P.order_id", "tbOrder", "", "ord", "order_id");
  EXPECT_EQ(d.columnCount(), 3);
  EXPECT_EQ(d.getColumnValue("ord_docDt"), "tbOrder__Dict.docDt");
  EXPECT_TRUE(d.calcs()[0].isDocDescr);
  EXPECT_EQ(d.leftJoins().size(), 1u);
}

TEST(Selection, ModalConditionTakesValuesOfTheCurrentRows) {
  plat::MemTable master;
  master.AddField("goods_id", ftInteger);
  master.Open();
  master.Append();
  master.FieldByName("goods_id")->SetAsString("9");
  master.Post();
  plat::MemTable detail;
  detail.AddField("goods_id", ftInteger);
  detail.AddField("name", ftString, 20);
  detail.Open();
  detail.Append();
  detail.FieldByName("goods_id")->SetAsString("7");
  detail.Post();

  EXPECT_EQ(TSelection::decodeModalWhere("id = @goods_id", &detail), "id = 7");
  EXPECT_EQ(TSelection::decodeModalWhere("name=@name and x", &detail), "name=null and x");
  EXPECT_EQ(errorOf([&] { TSelection::decodeModalWhere("id = @@goods_id", &detail); }),
            "tb.masterSource = nil (TSelection.decodeModalWhere).");
  detail.SetMasterSource(&master);
  EXPECT_EQ(TSelection::decodeModalWhere("id = @@goods_id", &detail), "id = 9");
}

TEST(Selection, LookupErrors) {
  TSelection s;
  s.from = "tbGoods G";
  s.addCol("G.id");
  s.getColumnByAlias("id")->bandCaption = "Goods";
  s.getColumnByAlias("id")->columnCaption = "Code";
  EXPECT_EQ(s.getColumnByCaption("goods", "code")->alias, "id");
  EXPECT_EQ(s.getColumnAlias("g.ID"), "id");
  const std::vector<std::pair<std::function<void()>, QString>> cases = {
      {[&] { s.addCol("G.id"); }, "Column \"id\" already exists (TSelection.addCol)."},
      {[&] { s.addCol("G.a+1"); }, "Column is not simple (GetColumnField)."},
      {[&] { s.getColumnValue("x"); }, "Column alias \"x\" not found."},
      {[&] { s.getColumnByAlias("x"); }, "Column alias \"x\"not found."},
      {[&] { s.getColumnAlias("G.x"); }, "Column \"G.x\" not found."},
      {[&] { s.getColumnByCaption("Goods", "Name"); },
       "Column \"Goods.Name\" not found (TSelection.getColumnByCaption)."},
      {[&] { s.getColumnByCaption("", "Name"); },
       "Column \"Name\" not found (TSelection.getColumnByCaption)."},
      {[&] { s.getLeftJoinByTableAlias("J"); },
       "\"Left Join\" table for \"J\" not found (TSelection.getLeftJoinByTableAlias)."},
      {[&] { s.getLeftJoinByAlias("id"); },
       "\"Left Join\" table for \"G\" not found (TSelection.getLeftJoinByTableAlias)."},
      {[&] { s.findLeftJoinByAlias("x"); }, "Column alias \"x\" not found."},
      {[&] { s.getParam("p"); }, "Param \"p\" not found (TSelection.getParam)."},
      {[&] { s.selectFromDB(1); }, "Table is not specified (TSelection.selectFromDB)."},
  };
  for (const auto& [f, message] : cases) EXPECT_EQ(errorOf(f), message);
  EXPECT_EQ(s.findLeftJoinByAlias("id"), nullptr);
}

TEST(Selection, ParametersAreSortedByNameAndUnique) {
  TSelection s;
  s.addParam("b", 2, ftInteger);
  s.addParam("A", QStringLiteral("x"), ftString);
  ASSERT_EQ(s.paramCount(), 2);
  EXPECT_EQ(s.paramName(0), "A");
  EXPECT_EQ(s.getParam("a").dataType, ftString);
  EXPECT_EQ(s.getParam("B").value.toInt(), 2);
  EXPECT_EQ(errorOf([&] { s.addParam("B", 1, ftInteger); }),
            "String list does not allow duplicates");
  s.clearParams();
  EXPECT_EQ(s.paramCount(), 0);
}

TEST(Selection, TemporaryElementsAssignAndClear) {
  TSelection s;
  s.from = "tbGoods G";
  s.where = "w";
  s.keyFieldValue = "3";
  s.addCol("G.id");
  s.addCol("G.x", "tmp")->isTemporary = true;
  s.addLJ("tbA", "id", "G", "a_id", true);
  s.addLJ("tbB", "id", "G", "b_id");
  s.addModalCol("G.c_id tbC id name");
  s.getColumnByAlias("id")->bandCaption = "Band";

  TSelection copy;
  copy.assign(s);
  EXPECT_EQ(copy.keyFieldValue, "");  // the key restriction is not copied
  copy.keyFieldValue = "3";
  EXPECT_EQ(copy.getSQL(), s.getSQL());
  EXPECT_EQ(copy.columnCount(), s.columnCount());
  EXPECT_EQ(copy.getColumnByAlias("id")->bandCaption, "Band");
  EXPECT_TRUE(copy.getShowBands());
  QStringList bands{"band"};
  copy.getBands(bands);
  EXPECT_EQ(bands, QStringList{"band"});

  s.removeTempElements();
  EXPECT_FALSE(s.hasColumn("tmp"));
  ASSERT_EQ(s.leftJoins().size(), 2u);
  EXPECT_EQ(s.leftJoins()[0].TableName, "tbB");
  EXPECT_EQ(s.modalPairs().size(), 1u);

  s.clear();
  EXPECT_EQ(s.columnCount(), 0);
  EXPECT_TRUE(s.leftJoins().empty() && s.modalPairs().empty());
  EXPECT_EQ(s.keyFieldValue, "3");
  s.keyFieldValue.clear();
  EXPECT_EQ(s.getSQL(), "select\r\n");
}

}  // namespace
