#pragma once
// The database schema model as the query builder's source for field paths
// of human-readable expressions.

#include "backoffice/Schema.h"
#include "backoffice/Selection.h"

class TDatabaseSchemaLookup : public ISelectionSchema {
 public:
  explicit TDatabaseSchemaLookup(TDatabaseStructure& database) : fDatabase(database) {}

  QString tableCaption(const QString& table) override;
  bool findField(const QString& table, const QString& captionOrName, Field& field) override;
  QString keyFieldName(const QString& table) override;

 private:
  TDatabaseStructure& fDatabase;
};
