// Values pasted into SQL text: the literal module itself, and every place of
// the query builder that writes a value into a statement, fed hostile values.

#include <gtest/gtest.h>

#include <limits>

#include "backoffice/Selection.h"
#include "backoffice/SqlLiteral.h"
#include "platform/MemTable.h"

namespace {

// How one value must come out: as a text literal, in a numeric context, and
// as a key (a 32-bit integer or a literal).
struct Hostile {
  QString value;
  QString asText;
  QString asNumber;
  QString asKey;
};

const std::vector<Hostile>& hostileValues() {
  static const std::vector<Hostile> cases = {
      {"x' or '1'='1", "'x'' or ''1''=''1'", "'x'' or ''1''=''1'", "'x'' or ''1''=''1'"},
      {"1 or 1=1", "'1 or 1=1'", "'1 or 1=1'", "'1 or 1=1'"},
      {"1;drop table tbGoods", "'1;drop table tbGoods'", "'1;drop table tbGoods'",
       "'1;drop table tbGoods'"},
      {"nan", "'nan'", "'nan'", "'nan'"},
      {"inf", "'inf'", "'inf'", "'inf'"},
      {"-inf", "'-inf'", "'-inf'", "'-inf'"},
      {"Infinity", "'Infinity'", "'Infinity'", "'Infinity'"},
      {"1e999", "'1e999'", "'1e999'", "'1e999'"},
      {"1e3", "'1e3'", "'1e3'", "'1e3'"},
      {"0x1F", "'0x1F'", "'0x1F'", "'0x1F'"},
      {"+5", "'+5'", "'+5'", "'+5'"},
      {"5.", "'5.'", "'5.'", "'5.'"},
      {".5", "'.5'", "'.5'", "'.5'"},
      {"--1", "'--1'", "'--1'", "'--1'"},
      {QString::fromUtf8("\u0663"), QString::fromUtf8("'\u0663'"), QString::fromUtf8("'\u0663'"),
       QString::fromUtf8("'\u0663'")},  // an Arabic-Indic digit is no ASCII digit
      {QString(400, u'9'), "'" + QString(400, u'9') + "'", "'" + QString(400, u'9') + "'",
       "'" + QString(400, u'9') + "'"},
      // Plain numbers stay numbers.
      {"5", "'5'", "5", "5"},
      {" 7 ", "' 7 '", "7", "7"},
      {"-2.50", "'-2.50'", "-2.50", "'-2.50'"},
      {"2147483648", "'2147483648'", "2147483648", "'2147483648'"},
      {"-2147483648", "'-2147483648'", "-2147483648", "-2147483648"},
  };
  return cases;
}

TEST(SqlLiteral, HostileValuesStayOneLiteral) {
  for (const Hostile& h : hostileValues()) {
    SCOPED_TRACE(h.value.left(40).toStdString());
    EXPECT_EQ(SqlLiteral::quoted(h.value), h.asText);
    EXPECT_EQ(SqlLiteral::number(h.value), h.asNumber);
    EXPECT_EQ(SqlLiteral::integer(h.value), h.asKey);
  }
  EXPECT_EQ(SqlLiteral::largeInteger("9223372036854775807"), "9223372036854775807");
  EXPECT_EQ(SqlLiteral::largeInteger("9223372036854775808"), "'9223372036854775808'");
  EXPECT_EQ(SqlLiteral::largeInteger("2;drop"), "'2;drop'");
}

// The statement's key restriction and a numeric filter of the query builder.
TEST(SqlLiteral, QueryBuilderQuotesKeysAndFilterValues) {
  for (const Hostile& h : hostileValues()) {
    SCOPED_TRACE(h.value.left(40).toStdString());
    TSelection s;
    s.from = "tbGoods G";
    s.addCol("G.id", "id");
    s.addCol("G.price", "price");
    s.keyFieldValue = h.value;
    EXPECT_TRUE(s.getSQL().contains("\r\nwhere G.id = " + h.asKey + "\r\n"))
        << s.getSQL().toStdString();

    pugi::xml_document doc;
    const QString xml = QStringLiteral(
                            "<f><fields><price><type>condition</type><condition>"
                            "<operation_and>true</operation_and><dataType>3</dataType>"
                            "<item><condition>1</condition><value>%1</value></item>"
                            "</condition></price></fields></f>")
                            .arg(h.value.toHtmlEscaped());
    ASSERT_TRUE(doc.load_string(xml.toUtf8().constData()));
    EXPECT_EQ(s.getFilterSQLField(doc.document_element(), "price", false),
              "G.price = " + h.asNumber);
  }
}

// A modal condition takes the current row's values: text as a literal,
// numbers as numbers, so a name such as x' or '1'='1 does not widen it.
TEST(SqlLiteral, ModalConditionQuotesTheRowsValues) {
  plat::MemTable t;
  t.AddField("name", ftString, 500);
  t.AddField("price", ftFloat);
  t.AddField("qty", ftInteger);
  t.AddField("isSnack", ftBoolean);
  t.Open();
  for (const Hostile& h : hostileValues()) {
    SCOPED_TRACE(h.value.left(40).toStdString());
    t.Append();
    t.FieldByName("name")->SetAsString(h.value);
    t.Post();
    EXPECT_EQ(TSelection::decodeModalWhere("name = @name", &t), "name = " + h.asText);
    // Between the condition's own quotes the value is the same literal.
    EXPECT_EQ(TSelection::decodeModalWhere("name = '@name'", &t).toStdString(),
              ("name = " + h.asText).toStdString());
  }
  struct Number {
    double value;
    QString sql;
  } numbers[] = {{2.5, "2.5"},
                 {-7, "-7"},
                 {1e20, "100000000000000000000"},
                 {1e-5, "0.00001"},
                 {std::numeric_limits<double>::quiet_NaN(), "'nan'"},
                 {std::numeric_limits<double>::infinity(), "'inf'"},
                 {-std::numeric_limits<double>::infinity(), "'-inf'"}};
  for (const Number& n : numbers) {
    t.Append();
    t.FieldByName("price")->SetAsFloat(n.value);
    t.FieldByName("qty")->SetAsInteger(3);
    t.FieldByName("isSnack")->SetAsBoolean(true);
    t.Post();
    EXPECT_EQ(TSelection::decodeModalWhere("p = @price and q = @qty and s = @isSnack", &t),
              "p = " + n.sql + " and q = 3 and s = True")
        << n.value;
  }
  t.Append();
  t.Post();
  EXPECT_EQ(TSelection::decodeModalWhere("n = @name and p = @price", &t), "n = null and p = null");
}

// Each reference's value where the condition puts it: between the
// condition's own quotes the value goes in once, its quotes doubled; outside
// them text becomes a literal, numbers and Booleans their plain text, and an
// empty value null. No value ends a literal or starts one.
TEST(SqlLiteral, ModalConditionPutsEachValueInItsPlace) {
  const struct {
    const char* condition;
    QVariant name;
    QString decoded;
  } cases[] = {
      {"name = @name", "milk", "name = 'milk'"},
      {"name = '@name'", "milk", "name = 'milk'"},
      {"name like '%@name%'", "milk", "name like '%milk%'"},
      {"name = @name", "O'Brien", "name = 'O''Brien'"},
      {"name = '@name'", "O'Brien", "name = 'O''Brien'"},
      {"name = '@name' and x = 1", "a' or 'b", "name = 'a'' or ''b' and x = 1"},
      {"name = @name", "", "name = null"},
      {"name = '@name'", "", "name = ''"},
      {"name = @name", QVariant(), "name = null"},
      {"name = '@name'", QVariant(), "name = ''"},
      // The condition's own doubled quote keeps it inside its literal.
      {"note = 'it''s @name' and name = @name", "milk", "note = 'it''s milk' and name = 'milk'"},
      {"note = 'a' and name = '@name'", "milk", "note = 'a' and name = 'milk'"},
      {"qty = @qty and p = @price", "milk", "qty = 3 and p = 2.5"},
      {"qty = '@qty' and p = '@price'", "milk", "qty = '3' and p = '2.5'"},
      {"s = @isSnack and f = @isFresh", "milk", "s = True and f = False"},
      {"s = '@isSnack'", "milk", "s = 'True'"},
  };
  plat::MemTable t;
  t.AddField("name", ftString, 100);
  t.AddField("price", ftFloat);
  t.AddField("qty", ftInteger);
  t.AddField("isSnack", ftBoolean);
  t.AddField("isFresh", ftBoolean);
  t.Open();
  t.Append();
  t.FieldByName("price")->SetAsFloat(2.5);
  t.FieldByName("qty")->SetAsInteger(3);
  t.FieldByName("isSnack")->SetAsBoolean(true);
  t.FieldByName("isFresh")->SetAsBoolean(false);
  t.Post();
  for (const auto& c : cases) {
    t.Edit();
    t.FieldByName("name")->SetValue(c.name);
    t.Post();
    EXPECT_EQ(TSelection::decodeModalWhere(QString::fromUtf8(c.condition), &t).toStdString(),
              c.decoded.toStdString())
        << c.condition << " with " << c.name.toString().toStdString();
  }
}

}  // namespace
