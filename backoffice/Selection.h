#pragma once
// The query builder: one select statement for a server-filled table, kept in
// separately editable pieces (columns, from text, generated left joins,
// conditions, named parameters, detail selections), written out by getSQL and
// loaded into its table by selectFromDB. It also translates users' filters
// and human-readable expressions (captions in braces, field paths in square
// brackets) into SQL against its own columns.
//
// Names, aliases, captions and keywords are compared without regard to case.

#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <pugixml.hpp>
#include <vector>

#include "backoffice/JTable.h"

class TCustomAccessValidator;
class TJClient;

class TSelectionColumn {
 public:
  TSelectionColumn(const QString& value, const QString& alias, const QString& postedField,
                   const QString& defaultValue)
      : value(value), alias(alias), postedField(postedField), defaultValue(defaultValue) {}

  QString value;         // the SQL expression selected
  QString alias;         // the output name
  QString postedField;   // the field posting writes back; empty: not posted
  QString defaultValue;  // "DATE", "TIME", "NOW" or a literal text
  QString columnCaption;
  QString bandCaption;
  bool isTemporary = false;  // added for a user field

  // band.caption, or the caption alone without a band.
  QString completeCaption() const;
};

struct TLeftJoin {
  QString TableName;
  QString TableAlias;
  QString KeyField;
  QString ParentTable;
  QString ParentField;
  bool isTemporary = false;
};
using TLeftJoins = std::vector<TLeftJoin>;
using PLeftJoin = TLeftJoin*;  // valid until the joins next change

struct TModalPair {
  QString KeyAlias;  // the posted column with the picked row's key
  QString Alias;     // the column showing the picked row's display field
  QString Where;     // on the lookup rows; "@field" filled by decodeModalWhere
  QString folderTreeWhere;
};
using TModalPairs = std::vector<TModalPair>;
using PModalPair = TModalPair*;

struct TCalcField {
  QString fieldName;
  TFieldType fieldType = ftUnknown;
  int size = 0;
  int precision = 0;
  QString displayFormat;
  bool isJournDescr = false;
  bool isDocDescr = false;
};
using PCalcField = TCalcField*;

// What the field paths of human-readable expressions need from the database
// schema. The client's schema model answers it; tests give a small fake.
class ISelectionSchema {
 public:
  struct Field {
    QString name;
    QString refTable;  // the table its foreign key leads to; empty: none
  };
  virtual ~ISelectionSchema() = default;
  // Raises the schema's own error for an unknown table.
  virtual QString tableCaption(const QString& table) = 0;
  // The field with that caption, else with that name; false when none.
  virtual bool findField(const QString& table, const QString& captionOrName, Field& field) = 0;
  // The name of the table's key field; raises when it has none.
  virtual QString keyFieldName(const QString& table) = 0;
};

class TSelection {
 public:
  TSelection();
  ~TSelection();
  TSelection(const TSelection&) = delete;
  TSelection& operator=(const TSelection&) = delete;

  void clear();
  void assign(const TSelection& source);
  void removeTempElements();

  // ---- columns ----
  TSelectionColumn* addCol(const QString& value, const QString& alias = QString(),
                           const QString& postedField = QString(),
                           const QString& defaultValue = QString());
  TSelectionColumn* addLJCol(const QString& value, const QString& alias = QString(),
                             const QString& postedField = QString(),
                             const QString& func = QString());
  PModalPair addModalCol(const QString& value, const QString& alias = QString(),
                         const QString& postedField = QString());
  void addJournCol(const QString& value, const QString& filter, const QString& alias,
                   const QString& postedField);
  void addDocCol(const QString& value, const QString& table, const QString& filter,
                 const QString& alias, const QString& postedField);
  PCalcField AddCalcCol(const QString& fieldName, TFieldType fieldType, int size, int precision,
                        const QString& displayFormat);
  int columnCount() const { return int(fColumns.size()); }
  TSelectionColumn* getColumn(int index) const;
  bool hasColumn(const QString& alias) const { return findColumn(alias) != nullptr; }
  QString getColumnValue(const QString& alias) const;
  QString getColumnAlias(const QString& value) const;
  TSelectionColumn* getColumnByAlias(const QString& alias) const;
  TSelectionColumn* getColumnByValue(const QString& value) const;
  TSelectionColumn* getColumnByCaption(const QString& band, const QString& caption) const;
  bool getShowBands() const;
  void getBands(QStringList& bands) const;
  const std::vector<TCalcField>& calcs() const { return FCalcs; }

  // ---- joins and pairs ----
  PLeftJoin addLJ(const QString& TableName, const QString& KeyField, const QString& ParentTable,
                  const QString& ParentField, bool isTemporary = false);
  TLeftJoin getLeftJoinByTableAlias(const QString& tableAlias) const;
  PLeftJoin findLeftJoinByTableAlias(const QString& tableAlias);
  TLeftJoin getLeftJoinByAlias(const QString& alias) const;
  PLeftJoin findLeftJoinByAlias(const QString& alias);
  TModalPair getModalPairByAlias(const QString& alias) const;
  PModalPair findModalPairByAlias(const QString& alias);
  QString getTableForAlias(const QString& tableAlias) const;
  const TLeftJoins& leftJoins() const { return FLeftJoins; }
  const TModalPairs& modalPairs() const { return FModalPairs; }

  // ---- text functions that use no selection state ----
  static QString concatWhere(const QString& where1, const QString& where2);
  static bool ColumnIsSimple(const QString& Value);
  static QString getColumnTable(const QString& Value);
  static QString getColumnField(const QString& Value);
  static QString getMainTableAlias(const QString& From);
  static QString getMainTable(const QString& From);
  static bool isFromReservedWord(const QString& value);
  // Fills "@field" ("@@field" from the master table, and so on) with values
  // of the current rows.
  static QString decodeModalWhere(const QString& where, plat::MemTable* table);

  // ---- parameters ----
  void addParam(const QString& name, const QVariant& Value, TFieldType dataType = ftUnknown);
  void clearParams() { fParameters.clear(); }
  int paramCount() const { return int(fParameters.size()); }
  TJParameter getParam(const QString& name) const;
  TJParameter param(int index) const;
  QString paramName(int index) const;

  // ---- statement and loading ----
  QString getSQL() const;
  void selectFromDB(int timeout, TCustomAccessValidator* accessValidator = nullptr);

  // ---- details ----
  TSelection* attach(const QString& parentField);
  int attachmentCount() const { return int(fAttachments.size()); }
  TSelection* getAttachment(int index) const;

  // ---- filters (a user's filter element) ----
  QString getFilterSQL(const pugi::xml_node& filterXML, bool setupParams);
  QString getFilterSQLField(const pugi::xml_node& filterXML, const QString& fieldName,
                            bool setupParams);
  QString getFilterText(const pugi::xml_node& filterXML, const QString& band) const;
  QString getFilterTextField(const pugi::xml_node& filterXML, const QString& fieldName) const;
  void removeFiltersOnNonexistentColumns(pugi::xml_node filterXML) const;

  // ---- human-readable expressions and user fields ----
  QString humanTextToSQL(const QString& text, bool raise_error, bool appendLeftJoins,
                         const pugi::xml_node& userFieldsXML = pugi::xml_node(),
                         QStringList* appendedUserFields = nullptr);
  static QString formatHumanIdentifier(const QString& id);
  static void extractDependences(const QString& text, QStringList& dependences);
  void loadUserFields(const pugi::xml_node& userFieldsXML);

  TJTable* table() const { return fTable; }
  // Also binds the table to this selection (its selection()), and unbinds the
  // table it had. A selection and its table each tell the other when they are
  // destroyed, so neither keeps a dangling pointer.
  void SetTable(TJTable* value);
  // The schema that field paths are resolved against (not owned).
  ISelectionSchema* schema = nullptr;
  // Without a schema of its own, a selection asks this for the schema of its
  // table's client (the client library fills it in).
  static std::function<ISelectionSchema*(TJClient&)> schemaOfClient;

  QString LookupSeparator = QStringLiteral(" ");
  QString keyField = QStringLiteral("id");
  QString keyFieldValue;
  QString from;
  QString where;
  QString filter;
  QString having;
  QString orderBy;
  QString tableName;
  bool isTree = false;
  QString parentField;
  TSelection* parentSelection = nullptr;

 private:
  struct Param {
    QString name;
    TJParameter value;
  };
  TSelectionColumn* findColumn(const QString& alias) const;
  QString uniqueJoinAlias(const QString& name) const;
  QString uniqueColumnAlias(const QString& value) const;
  QString folderTable(const TSelectionColumn& column) const;
  QString conditionItemSQL(const QString& fieldName, const TSelectionColumn& column,
                           const pugi::xml_node& item, int position, int dataType,
                           bool setupParams);
  QString translatePaths(const QString& text, bool raise_error, bool appendLeftJoins);

  std::vector<std::unique_ptr<TSelectionColumn>> fColumns;
  std::vector<TCalcField> FCalcs;
  std::vector<std::unique_ptr<TSelection>> fAttachments;
  std::vector<Param> fParameters;  // sorted by name, case ignored
  TModalPairs FModalPairs;
  TJTable* fTable = nullptr;  // not owned
  TLeftJoins FLeftJoins;
};
