#include <gtest/gtest.h>

#include <functional>

#include "backoffice/Selection.h"
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

// A selection over goods with a text, a number, a date and a folder column.
struct Fixture {
  TSelection s;
  pugi::xml_document doc;
  Fixture() {
    s.from = "tbGoods G";
    auto cap = [](TSelectionColumn* c, const char* band, const char* caption) {
      c->bandCaption = QString::fromUtf8(band);
      c->columnCaption = QString::fromUtf8(caption);
    };
    cap(s.addCol("G.name"), "Товар", "Имя");
    cap(s.addCol("G.price"), "Товар", "Цена");
    cap(s.addCol("G.dt"), "", "Дата");
    s.addLJCol("G.group_id tbGroup id name", "grp");
    cap(s.getColumnByAlias("grp"), "", "Группа");
  }
  pugi::xml_node load(const char* xml) {
    EXPECT_TRUE(doc.load_string(xml));
    return doc.document_element();
  }
};

QString conditionFilter(const char* field, const char* dataType, const char* andOp,
                        const QString& items) {
  return QStringLiteral(
             "<f><fields><%1><type>condition</type><condition><operation_and>%3"
             "</operation_and><dataType>%2</dataType>%4</condition></%1></fields></f>")
      .arg(field, dataType, andOp, items);
}

QString item(int code, const QString& value, const QString& id = QString()) {
  return QStringLiteral("<item><condition>%1</condition><value>%2</value><id>%3</id></item>")
      .arg(code)
      .arg(value, id);
}

TEST(FilterTranslation, ConditionsOnTextAndNumberColumns) {
  struct Case {
    const char* field;
    const char* dataType;
    const char* andOp;
    QString items;
    QString sql;
  };
  const std::vector<Case> cases = {
      {"name", "1", "true", item(7, "milk") + item(1, ""),
       "G.name like '%milk%' and (G.name is null or G.name = '')"},
      {"name", "1", "false", item(7, "milk") + item(1, ""),
       "(G.name like '%milk%' or (G.name is null or G.name = ''))"},
      // Items that yield nothing add no joiner.
      {"price", "3", "TRUE", item(1, "5") + item(3, "") + item(12, "7"),
       "G.price = 5 and G.price >= 7"},
      {"price", "3", "false", item(2, "5"), "(G.price <> 5 or G.price is null)"},
      {"name", "1", "true", item(2, "") + item(10, "") + item(11, ""),
       "G.name <> '' and (G.name is null or G.name <= '') and G.name > ''"},
      {"price", "6", "true", item(1, "") + item(2, "") + item(10, "") + item(11, "") + item(9, ""),
       "G.price is null and G.price is not null and G.price is null and G.price is not null and "
       "G.price < null"},
      {"name", "1", "true",
       item(3, "a") + item(4, "a") + item(5, "a") + item(6, "a") + item(8, "a"),
       "G.name like 'a%' and (G.name not like 'a%' or G.name is null) and G.name like '%a' and "
       "(G.name not like '%a' or G.name is null) and (G.name not like '%a%' or G.name is null)"},
      {"price", "3", "true", item(9, "1") + item(10, "2") + item(11, "3"),
       "(G.price < 1 or G.price is null) and (G.price <= 2 or G.price is null) and G.price > 3"},
      // Quotes in values never leave the literal.
      {"name", "1", "true", item(1, "O'Neil") + item(7, "a'b"),
       "G.name = 'O''Neil' and G.name like '%a''b%'"},
      // Text in a numeric filter is a literal, not a piece of the statement.
      {"price", "3", "true", item(1, "1 or 1=1"), "G.price = '1 or 1=1'"},
      {"price", "3", "true", item(7, "12"), "G.price like '%12%'"},
      // Folder conditions on a joined column name the join's table.
      {"grp", "3", "true", item(13, "", "4") + item(14, "", "4") + item(14, "", ""),
       "tbGroup__Dict.parent_id in (GET_CHILDREN(4, tbGroup, id, parent_id, 'isFolder=1')) and "
       "tbGroup__Dict.parent_id = 4 and tbGroup__Dict.parent_id is null"},
      {"price", "3", "true",
       item(15, "", "2") + item(16, "", "2") + item(16, "", "") + item(13, "", ""),
       "(G.parent_id not in (GET_CHILDREN(2, tbGoods, id, parent_id, 'isFolder=1')) or G.parent_id "
       "is null) and (G.parent_id <> 2 or G.parent_id is null) and G.parent_id is not null"},
      {"price", "3", "true", item(14, "", "2;drop"), "G.parent_id = '2;drop'"},
  };
  for (const Case& c : cases) {
    Fixture f;
    const auto root =
        f.load(conditionFilter(c.field, c.dataType, c.andOp, c.items).toUtf8().constData());
    EXPECT_EQ(f.s.getFilterSQLField(root, c.field, false), c.sql) << c.items.toStdString();
  }
}

TEST(FilterTranslation, DateConditionsBindParameters) {
  Fixture f;
  const auto root = f.load(
      conditionFilter("dt", "11", "true", item(12, "45000,5") + item(1, "")).toUtf8().constData());
  EXPECT_EQ(f.s.getFilterSQLField(root, "dt", false), "G.dt >= ?grid_filter_dt_2 and G.dt is null");
  EXPECT_EQ(f.s.paramCount(), 0);
  EXPECT_EQ(f.s.getFilterSQLField(root, "dt", true), "G.dt >= ?grid_filter_dt_2 and G.dt is null");
  ASSERT_EQ(f.s.paramCount(), 1);
  EXPECT_EQ(f.s.paramName(0), "grid_filter_dt_2");
  EXPECT_EQ(f.s.getParam("grid_filter_dt_2").dataType, ftDateTime);
  // Translating again without clearing the parameters is the list's error.
  EXPECT_EQ(errorOf([&] { f.s.getFilterSQLField(root, "dt", true); }),
            "String list does not allow duplicates");
  EXPECT_EQ(f.s.getFilterTextField(root, "dt"),
            QString::fromUtf8("{Дата} >= '15.03.2023 12:00:00' и {Дата} = ''"));
}

TEST(FilterTranslation, ListsAndDictionaries) {
  struct Case {
    QString xml;
    QString sql;
    QString text;
  };
  const std::vector<Case> cases = {
      {"<name><type>List</type><list><dataType>1</dataType><include>true</include>"
       "<item>a</item><item></item></list></name>",
       "(G.name in ('a', '') or G.name is null)", "{Товар.Имя} в списке ('a', '')"},
      {"<name><type>list</type><list><dataType>1</dataType><include>false</include>"
       "<item>it's</item></list></name>",
       "G.name not in ('it''s')", "{Товар.Имя} не в списке ('it''s')"},
      {"<name><type>list</type><list><dataType>1</dataType><include>true</include></list></name>",
       "", "{Товар.Имя} в списке ()"},
      // An empty item of a number list only asks for the null rows.
      {"<price><type>list</type><list><dataType>3</dataType><include>false</include>"
       "<item>1</item><item/><item>2</item></list></price>",
       "(G.price not in (1, 2) and G.price is not null)", "{Товар.Цена} не в списке (1, , 2)"},
      {"<grp><type>dict</type><dict><dataType>3</dataType><include>false</include>"
       "<keyField>G.group_id</keyField><item><id></id><value>none</value></item></dict></grp>",
       "G.group_id is not null", "{Группа} не в списке ('none')"},
      {"<grp><type>dict</type><dict><dataType>3</dataType><include>true</include>"
       "<keyField>G.group_id</keyField><item><id>3</id><value>Milk</value></item>"
       "<item><id/><value>x</value></item></dict></grp>",
       "(G.group_id in (3) or G.group_id is null)", "{Группа} в списке ('Milk', 'x')"},
  };
  for (const Case& c : cases) {
    Fixture f;
    const auto root = f.load(("<f><fields>" + c.xml + "</fields></f>").toUtf8().constData());
    const QString field = QString::fromUtf8(root.child("fields").first_child().name());
    EXPECT_EQ(f.s.getFilterSQLField(root, field, false), c.sql) << c.xml.toStdString();
    EXPECT_EQ(f.s.getFilterTextField(root, field), QString::fromUtf8(c.text.toUtf8()))
        << c.xml.toStdString();
  }
}

TEST(FilterTranslation, WholeFilterTextsAndErrors) {
  Fixture f;
  const auto root = f.load(
      "<f><fields>"
      "<price><type>condition</type><condition><operation_and>false</operation_and>"
      "<dataType>3</dataType>"
      "<item><condition>11</condition><value>5</value></item>"
      "<item><condition>13</condition><value>Молоко</value><id>1</id></item>"
      "</condition></price>"
      "<name><type>list</type><list><dataType>1</dataType><include>true</include>"
      "<item>a</item></list></name>"
      "<gone><type>list</type></gone>"
      "</fields><additional> {Товар.Цена} &gt; 1 </additional></f>");
  EXPECT_EQ(f.s.getFilterSQL(root, false),
            "G.name in ('a')\rAnd\r(G.price > 5 or G.parent_id in (GET_CHILDREN(1, tbGoods, id, "
            "parent_id, 'isFolder=1')))\rAnd\r(G.price > 1)");
  EXPECT_EQ(
      f.s.getFilterText(root, ""),
      QString::fromUtf8("{Товар.Имя} в списке ('a');\r\n{Товар.Цена} > 5 или {Товар.Цена}  в папке "
                        "Молоко;\r\n{Товар.Цена} > 1"));
  EXPECT_EQ(
      f.s.getFilterText(root, QString::fromUtf8("товар")),
      QString::fromUtf8("{Товар.Имя} в списке ('a');\r\n{Товар.Цена} > 5 или {Товар.Цена}  в папке "
                        "Молоко"));

  EXPECT_EQ(errorOf([&] { f.s.getFilterSQLField(root, "gone", false); }),
            "Column alias \"gone\" not found.");
  EXPECT_EQ(errorOf([&] { f.s.getFilterTextField(root, "gone"); }),
            "Column alias \"gone\"not found.");
  f.s.removeFiltersOnNonexistentColumns(root);
  EXPECT_FALSE(root.child("fields").child("gone"));
  EXPECT_TRUE(root.child("fields").child("price"));

  Fixture g;
  const auto bad = g.load(
      "<f><fields><price><type>condition</type><condition><dataType>3</dataType>"
      "<item><condition>17</condition><value>1</value></item></condition></price>"
      "<name><type>range</type></name></fields></f>");
  EXPECT_EQ(errorOf([&] { g.s.getFilterSQLField(bad, "price", false); }),
            "Unknown condition 17 (TdxGridManager.getFilterSQLField).");
  EXPECT_EQ(errorOf([&] { g.s.getFilterTextField(bad, "price"); }),
            "Unknown condition 17 (TdxGridManager.getFilterSQLField).");
  EXPECT_EQ(errorOf([&] { g.s.getFilterSQLField(bad, "name", false); }),
            "Unknown filter type \"range\"(TdxGridManager.getFilterSQLField).");
  EXPECT_EQ(errorOf([&] { g.s.getFilterTextField(bad, "name"); }),
            "Uknown filter type \"range\"(TdxGridManager.getFilterTextField).");
  EXPECT_EQ(g.s.getFilterSQLField(bad, "dt", false), "");
}

}  // namespace
