#include <gtest/gtest.h>

#include <functional>

#include "backoffice/UserFields.h"
#include "platform/Exception.h"

namespace {

QString errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return QStringLiteral("<no error>");
}

QString field(const char* name, const char* caption, bool key = false) {
  return QStringLiteral(
             "<fields><name>%1</name><caption>%2</caption><type>4</type><notNull>0</notNull>"
             "<precision>0</precision><scale>0</scale><unique>0</unique><defaultValue/>"
             "<identity>0</identity><isKeyField>%3</isKeyField><guiType/></fields>")
      .arg(QString::fromUtf8(name), QString::fromUtf8(caption), key ? "1" : "0");
}

QString table(const char* name, const char* caption, int id, const QString& body) {
  return QStringLiteral(
             "<table><name>%1</name><caption>%2</caption><tableType>1</tableType><table_id>%3"
             "</table_id><isSynchronized>0</isSynchronized><isUserTable>0</isUserTable>"
             "<isExternal>0</isExternal><dbGenerator/><hasHistoryTable>0</hasHistoryTable>%4</"
             "table>")
      .arg(QString::fromUtf8(name), QString::fromUtf8(caption))
      .arg(id)
      .arg(body);
}

QString fk(const char* field, const char* ref) {
  return QStringLiteral(
             "<fkConstraints><name>fk_%1</name><fields>%1</fields><refTable>%2</refTable>"
             "<refFields>id</refFields></fkConstraints>")
      .arg(QString::fromUtf8(field), QString::fromUtf8(ref));
}

// Goods belong to a group; a group has a kind.
struct Fixture {
  TDatabaseStructure db;
  TDatabaseSchemaLookup lookup{db};
  TSelection s;
  Fixture() {
    db.loadFromXML(
        QStringLiteral("<db>") +
        table("tbGoods", "Товары", 1,
              field("id", "", true) + field("name", "Наименование") + field("group_id", "Группа") +
                  field("price", "Цена") + fk("group_id", "tbGroup")) +
        table("tbGroup", "Группы", 2,
              field("id", "", true) + field("name", "Наименование") + field("kind_id", "Вид") +
                  fk("kind_id", "tbKind")) +
        table("tbKind", "Виды", 3, field("id", "", true) + field("name", "Наименование")) +
        QStringLiteral("</db>"));
    s.schema = &lookup;
    s.from = "tbGoods G";
    TSelectionColumn* c = s.addCol("G.price");
    c->bandCaption = "Goods";
    c->columnCaption = "Price";
    c = s.addCol("G.qty");
    c->bandCaption = "Goods";
    c->columnCaption = "Qty";
    s.addCol("G.name")->columnCaption = "Name";
  }
};

TEST(HumanText, CaptionsTableAliasesAndPaths) {
  struct Case {
    QString text;
    QString sql;
  };
  const std::vector<Case> cases = {
      {"{Goods . Price} > 10", "G.price > 10"},
      {"'{Goods.Price}' = x", "'{Goods.Price}' = x"},
      {"{Goods.Price}{goods.qty}", "G.priceG.qty"},
      {"{ Name }+{Unknown}", "G.name+{Unknown}"},
      {"TABLE_ALIAS(G.price) + table_alias \n(G.name)", "G + G"},
      {"'TABLE_ALIAS(x)' || TABLE_ALIAS(G.qty)", "'TABLE_ALIAS(x)' || G"},
      {"TABLE_ALIAS(price) + {Name}", "TABLE_ALIAS(price) + G.name"},
      {"[Группа->Наименование] = 'x'", "NULL = 'x'"},
      {"'[a]' and [G|price]", "'[a]' and NULL"},
  };
  for (const Case& c : cases) {
    Fixture f;
    EXPECT_EQ(f.s.humanTextToSQL(c.text, false, false), c.sql) << c.text.toStdString();
    EXPECT_TRUE(f.s.leftJoins().empty());
  }
}

TEST(HumanText, PathsAddTemporaryJoins) {
  Fixture f;
  EXPECT_EQ(
      f.s.humanTextToSQL("[Группа -> Вид->name] + [G|Цена] + [Группа->Наименование]", true, true),
      "tbKind__Dict.name + G.price + tbGroup__Dict.name");
  ASSERT_EQ(f.s.leftJoins().size(), 2u);
  const TLeftJoin& j = f.s.leftJoins()[1];
  EXPECT_EQ(j.TableName, "tbKind");
  EXPECT_EQ(j.ParentTable, "tbGroup__Dict");
  EXPECT_EQ(j.ParentField, "kind_id");
  EXPECT_TRUE(j.isTemporary);
  f.s.removeTempElements();
  EXPECT_TRUE(f.s.leftJoins().empty());
}

TEST(HumanText, ErrorTexts) {
  Fixture f;
  const std::vector<std::pair<QString, QString>> cases = {
      {"{ } > 1", "Не указано наименование колонки."},
      {"{Goods.Cost}", "Не найдена колонка \"Goods.Cost\"."},
      {"TABLE_ALIAS(price)", "Incorrect TABLE_ALIAS parameter."},
      {"TABLE_ALIAS x(G.price)", "TABLE_ALIAS parameter is not specified."},
      {"TABLE_ALIAS( )", "TABLE_ALIAS parameter is not specified."},
      {"TABLE_ALIAS(G.price", "TABLE_ALIAS parameter is not specified."},
      {"TABLE_ALIAS(upper(G.x))", "Column is not simple (GetColumnTable)."},
      {"[Группа->->name]", "Field caption is not specified."},
      {"[Цвет]", "Field \"Цвет\" not found for table \"Товары\"."},
      {"[X|name]", "Alias \"X\" not found (TSelection.getTableForAlias)."},
      {"[Цена->name]", "Field \"Цена\" has no foreign key for the next step of the path."},
  };
  for (const auto& [text, message] : cases)
    EXPECT_EQ(errorOf([&] { f.s.humanTextToSQL(text, true, true); }), message)
        << text.toStdString();
  // An empty caption is an error even when errors are not asked for; path
  // errors end the translation where it stands.
  EXPECT_EQ(errorOf([&] { f.s.humanTextToSQL("{}", false, false); }),
            "Не указано наименование колонки.");
  EXPECT_EQ(f.s.humanTextToSQL("[Цвет] + [name]", false, true), "[Цвет] + [name]");
  EXPECT_EQ(f.s.humanTextToSQL("[name] + [Цвет]", false, true), "G.name + [Цвет]");

  TSelection noTable;
  noTable.from = "tbGoods G";
  EXPECT_EQ(errorOf([&] { noTable.humanTextToSQL("[name]", true, true); }),
            "Table = nil (humanTextToSQL)");
  TJTable tb;
  noTable.SetTable(&tb);
  EXPECT_EQ(errorOf([&] { noTable.humanTextToSQL("[name]", true, true); }),
            "Table.JClient = nil (humanTextToSQL)");
}

TEST(UserFields, ExpandedIntoTemporaryColumnsAndCyclesRaise) {
  Fixture f;
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(
      "<uf>"
      "<f><name>total</name><isFunction>0</isFunction><group>Calc</group><caption>Total</caption>"
      "<expression>{Goods.Price} * {Calc.Twice}</expression></f>"
      "<f><name>twice</name><isFunction>0</isFunction><group>Calc</group><caption>Twice</caption>"
      "<expression>{Goods.Qty} + {Goods.Qty} + [Группа->Наименование]</expression></f>"
      "</uf>"));
  f.s.loadUserFields(doc.document_element());
  EXPECT_EQ(f.s.getColumnValue("total"), "G.price * G.qty + G.qty + tbGroup__Dict.name");
  EXPECT_EQ(f.s.getColumnValue("twice"), "G.qty + G.qty + tbGroup__Dict.name");
  EXPECT_EQ(f.s.getColumnByAlias("total")->completeCaption(), "Calc.Total");
  EXPECT_EQ(f.s.leftJoins().size(), 1u);
  f.s.removeTempElements();
  EXPECT_FALSE(f.s.hasColumn("total"));
  EXPECT_TRUE(f.s.leftJoins().empty());

  struct Case {
    const char* xml;
    QString message;
  };
  const std::vector<Case> cases = {
      {"<uf><f><name>a</name><isFunction>0</isFunction><group>G</group><caption>A</caption>"
       "<expression>{G.A} + 1</expression></f></uf>",
       "Поле \"G.A\" ссылается само на себя."},
      {"<uf><f><name>a</name><isFunction>0</isFunction><group>G</group><caption>A</caption>"
       "<expression>{G.B}</expression></f>"
       "<f><name>b</name><isFunction>0</isFunction><group>G</group><caption>B</caption>"
       "<expression>{G.A}</expression></f></uf>",
       "Поля \"G.A\", \"G.B\" циклически зависят друг от друга."},
      {"<uf><f><name>a</name><isFunction>1</isFunction><group>G</group><caption>A</caption>"
       "<expression>1</expression></f></uf>",
       "Feature is not implemented (TSelection.loadUserFields)."},
      {"<uf><f><name>a</name><isFunction>0</isFunction><group>G</group><caption>A</caption>"
       "<expression>{G.B}</expression></f>"
       "<f><name>b</name><isFunction>2</isFunction><group>G</group><caption>B</caption>"
       "<expression>1</expression></f></uf>",
       "Feature is not implemented (TSelection.humanTextToSQL)."},
      {"<uf><f><name>a</name><isFunction></isFunction></f></uf>",
       "'' is not a valid integer value"},
      {"<uf><f><name>price</name><isFunction>0</isFunction><expression>1</expression></f></uf>",
       "Column \"price\" already exists (TSelection.addCol)."},
  };
  for (const Case& c : cases) {
    Fixture g;
    pugi::xml_document d;
    ASSERT_TRUE(d.load_string(c.xml));
    EXPECT_EQ(errorOf([&] { g.s.loadUserFields(d.document_element()); }), c.message) << c.xml;
  }
}

TEST(HumanText, IdentifiersAndDependences) {
  EXPECT_EQ(TSelection::formatHumanIdentifier("  Goods \r\n .  Group  ->   Name "),
            "Goods.Group->Name");
  QStringList deps{"x"};
  TSelection::extractDependences("{A} + {A . B} + '{C}' + {A}", deps);
  EXPECT_EQ(deps, QStringList({"x", "A", "A.B", "A"}));
}

}  // namespace
