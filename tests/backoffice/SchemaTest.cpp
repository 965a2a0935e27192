#include <gtest/gtest.h>

#include "backoffice/Schema.h"
#include "platform/Exception.h"

namespace {

// Two "goods" tables (the first must win), a document table without docNo, a
// table whose only candidates are service or foreign-key fields, and a child
// naming its parent twice.
const char* kSchema = R"(<?xml version="1.0" encoding="UTF-8"?>
<db>
  <table>
    <name>goods</name><caption>Товары</caption><tableType>1</tableType><table_id>10</table_id>
    <isSynchronized>true</isSynchronized><isUserTable>0</isUserTable><isExternal>FALSE</isExternal>
    <dbGenerator>gen_goods</dbGenerator><hasHistoryTable>1</hasHistoryTable>
    <fields><name>id</name><caption></caption><type>4</type><notNull>true</notNull><precision>0</precision>
      <scale>0</scale><unique>true</unique><defaultValue></defaultValue><identity>false</identity>
      <isKeyField>true</isKeyField><guiType>int</guiType></fields>
    <fields><name>title</name><caption>Наименование</caption><type>12</type><notNull>false</notNull>
      <precision>80</precision><scale>0</scale><unique>false</unique><defaultValue>x</defaultValue>
      <identity>false</identity><isKeyField>false</isKeyField><guiType>text</guiType>
      <nested><fields><name>deep</name></fields></nested></fields>
    <fields><name>group_id</name><caption>Группа</caption><type>4</type><notNull>0</notNull><precision>0</precision>
      <scale>0</scale><unique>0</unique><defaultValue/><identity>0</identity><isKeyField>0</isKeyField><guiType/></fields>
    <fkConstraints><name>fk1</name><fields>group_id</fields><refTable>groups</refTable><refFields>id</refFields></fkConstraints>
    <registers>r1</registers><registers>r2</registers>
  </table>
  <!-- comment between tables -->
  <table>
    <name>GOODS</name><tableType>1</tableType><table_id>11</table_id><isSynchronized>0</isSynchronized>
    <isUserTable>0</isUserTable><isExternal>0</isExternal><hasHistoryTable>0</hasHistoryTable>
  </table>
  <table>
    <name>docs</name><tableType>3</tableType><table_id>12</table_id><isSynchronized>0</isSynchronized>
    <isUserTable>0</isUserTable><isExternal>0</isExternal><hasHistoryTable>0</hasHistoryTable>
    <fields><name>id</name><type>4</type><notNull>0</notNull><precision>0</precision><scale>0</scale>
      <unique>0</unique><identity>0</identity><isKeyField>0</isKeyField></fields>
    <fields><name>isDeleted</name><type>4</type><notNull>0</notNull><precision>0</precision><scale>0</scale>
      <unique>0</unique><identity>0</identity><isKeyField>0</isKeyField></fields>
    <fields><name>a_id</name><type>4</type><notNull>0</notNull><precision>0</precision><scale>0</scale>
      <unique>0</unique><identity>0</identity><isKeyField>0</isKeyField></fields>
    <fields><name>b_id</name><type>4</type><notNull>0</notNull><precision>0</precision><scale>0</scale>
      <unique>0</unique><identity>0</identity><isKeyField>0</isKeyField></fields>
    <fkConstraints><name>fk2</name><fields>a_id</fields><refTable>goods</refTable><refFields>id</refFields></fkConstraints>
    <fkConstraints><name>fk3</name><fields>b_id</fields><refTable>goods</refTable><refFields>id</refFields></fkConstraints>
    <fkConstraints><name>fk4</name><fields>id,isDeleted</fields><refTable>x</refTable><refFields>a,b</refFields></fkConstraints>
    <parentTables><name>goods</name><fieldName>a_id</fieldName></parentTables>
    <parentTables><name>Goods</name><fieldName>b_id</fieldName></parentTables>
  </table>
</db>)";

TEST(Schema, LoadsTablesFieldsAndKeys) {
  TDatabaseStructure db;
  db.loadFromXML(QString::fromUtf8(kSchema));
  ASSERT_EQ(db.tables().size(), 3);
  TTableStructure* goods = db.getTable("Goods");
  EXPECT_EQ(goods->table_id, 10);
  EXPECT_TRUE(goods->isSynchronized);
  EXPECT_FALSE(goods->isExternal);
  EXPECT_TRUE(goods->hasHistoryTable);
  EXPECT_EQ(goods->getCaption(), QStringLiteral("Товары"));
  ASSERT_EQ(goods->fields.size(), 3u);  // the nested "fields" is not read
  EXPECT_EQ(goods->fields[1]->name, "title");
  EXPECT_EQ(goods->fields[1]->precision, 80);
  EXPECT_EQ(goods->registers, QStringList({"r1", "r2"}));
  EXPECT_EQ(goods->keyField()->name, "id");
  EXPECT_EQ(goods->getField("ID")->getCaption(), "id");  // empty caption shows the name
  EXPECT_EQ(goods->getFieldByCaption(QStringLiteral("  наименование ")), goods->fields[1].get());
  EXPECT_EQ(goods->getFieldByCaption(""), nullptr);  // captionless fields never match
  EXPECT_EQ(goods->getField("group_id")->getFKConstraint()->refTable, "groups");
  EXPECT_EQ(goods->getField("title")->getFKConstraint(), nullptr);
  EXPECT_EQ(db.getTableById(11)->name, "GOODS");
  EXPECT_EQ(db.findTable("nope"), nullptr);
}

TEST(Schema, MainFieldChildTablesAndMultiFieldKeys) {
  TDatabaseStructure db;
  db.loadFromXML(QString::fromUtf8(kSchema));
  TTableStructure* docs = db.getTable("docs");
  // type 3 without docNo, no "name", only service and foreign-key fields
  EXPECT_EQ(docs->getMainField(), "id");
  EXPECT_EQ(db.getTable("goods")->getMainField(), "title");
  // a two-field key is found by neither field
  EXPECT_EQ(docs->getField("isDeleted")->getFKConstraint(), nullptr);
  // docs names goods twice, so it is listed twice; the second "GOODS" has no children
  EXPECT_EQ(db.getTable("goods")->getChildTables(), TTableStructureArray({docs, docs}));
  EXPECT_THROW(docs->keyField(), Exception);
}

TEST(Schema, FailuresAndMessages) {
  TDatabaseStructure db;
  db.loadFromXML(QString::fromUtf8(kSchema));
  try {
    db.getTable("zz");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Table \"zz\" not found (TDatabaseStructure.getTable).");
  }
  try {
    db.getTableById(99);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Table 99 not found (TDatabaseStructure.getTableById).");
  }
  try {
    db.getTable("docs")->keyField();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), "Key field not found for table \"docs\".");
  }
  // Broken XML keeps the loaded schema.
  EXPECT_THROW(db.loadFromXML(QStringLiteral("<db><table>")), Exception);
  EXPECT_TRUE(db.loaded());
  EXPECT_EQ(db.tables().size(), 3);
  // An unreadable number leaves the schema empty and not loaded.
  EXPECT_THROW(
      db.loadFromXML(QStringLiteral("<db><t><name>a</name><tableType>x</tableType></t></db>")),
      EConvertError);
  EXPECT_FALSE(db.loaded());
}

}  // namespace
