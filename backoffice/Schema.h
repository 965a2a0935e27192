#pragma once
// The back-office database's schema as the server describes it (one XML
// text): tables with their fields, foreign keys, registers and parent tables.
// The query builder uses these lookups to turn user-readable names into SQL.

#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <pugixml.hpp>
#include <vector>

class TJTransport;
class TDatabaseStructure;
class TTableStructure;
class TFieldStructure;
class TFKConstraint;

using TTableStructureArray = QList<TTableStructure*>;
using TXMLNodeArray = std::vector<pugi::xml_node>;

// The direct children of node named exactly name, in document order.
TXMLNodeArray childNodesByName(const pugi::xml_node& node, const char* name);

struct TParentTable {
  QString table;      // the parent table's name
  QString fieldName;  // this table's field that refers to the parent
};

class TFieldStructure {
 public:
  explicit TFieldStructure(TTableStructure* table) : table(table) {}

  QString name;
  QString caption;
  int fieldType = 0;
  bool notNull = false;
  int precision = 0;
  int scale = 0;
  bool unique = false;
  QString defaultValue;
  bool identity = false;
  bool isKeyField = false;
  QString guiType;
  TTableStructure* table;  // not owned

  void loadFromXML(const pugi::xml_node& xml);
  QString getCaption() const;
  // The first foreign key of the table whose field list is exactly this
  // field; keys over several fields are never found.
  TFKConstraint* getFKConstraint() const;
};

class TFKConstraint {
 public:
  explicit TFKConstraint(TTableStructure* table) : table(table) {}

  QString name;
  QString fields;
  QString refTable;
  QString refFields;
  TTableStructure* table;  // not owned

  void loadFromXML(const pugi::xml_node& xml);
};

class TTableStructure {
 public:
  explicit TTableStructure(TDatabaseStructure* database) : database(database) {}

  QString name;
  QString caption;
  int tableType = 0;
  int table_id = 0;
  bool isSynchronized = false;
  bool isUserTable = false;
  bool isExternal = false;
  QString dbGenerator;
  bool hasHistoryTable = false;
  std::vector<std::unique_ptr<TFieldStructure>> fields;
  std::vector<std::unique_ptr<TFKConstraint>> fkConstraints;
  QStringList registers;
  std::vector<TParentTable> parentTables;
  TDatabaseStructure* database;  // not owned

  void loadFromXML(const pugi::xml_node& xml);
  TFieldStructure* getField(const QString& fieldName) const;
  TFieldStructure* getFieldByCaption(const QString& fieldCaption) const;
  QString getCaption() const;
  // Raises when the table has no key field.
  TFieldStructure* keyField() const;
  // Tables that name this one as a parent (once per such entry).
  TTableStructureArray getChildTables() const;
  // The field shown for a row of the table.
  QString getMainField() const;
};

class TDatabaseStructure {
 public:
  // client fetches the schema text on first use; may be null when the schema
  // is only ever loaded with loadFromXML.
  explicit TDatabaseStructure(TJTransport* client = nullptr) : JClient(client) {}
  ~TDatabaseStructure() = default;
  TDatabaseStructure(const TDatabaseStructure&) = delete;
  TDatabaseStructure& operator=(const TDatabaseStructure&) = delete;

  // Text that is not well-formed leaves the schema as it was; a value that
  // cannot be read leaves it empty and not loaded.
  void loadFromXML(const QString& xml);
  void loadFromXML(const pugi::xml_node& xml);
  void clear();
  bool loaded() const { return fLoaded; }

  TTableStructureArray tables();
  TTableStructure* getTable(const QString& tableName);
  TTableStructure* findTable(const QString& tableName);
  TTableStructure* getTableById(int table_id);

 private:
  void ensureLoaded();

  TJTransport* JClient;
  bool fLoaded = false;
  std::vector<std::unique_ptr<TTableStructure>> fTables;
};
