#pragma once
// The server-filled table: an in-memory table whose rows come from SQL run on
// the back-office server (request 1), with positional parameters, previous
// field values for change handlers, saved positions of its detail tables, a
// stack of saved positions and sort orders, and the hooks through which the
// edit tracker sees inserts, edits, posts, deletes and cancels.
//
// The kiosk fills its product and settings tables with selectFromDB and keeps
// them in the data folder with SaveToFile/LoadFromFile (our own checksummed
// table format).

#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

#include "backoffice/DatasetListener.h"
#include "backoffice/TableSummary.h"
#include "backoffice/WireValue.h"
#include "platform/MemTable.h"

class TJTransport;
class TJTable;
class TSelection;
class TCustomAccessValidator;

// One positional parameter of the statement.
struct TJParameter {
  WireValue value;
  TFieldType dataType = ftUnknown;
};

// The saved position of one detail table.
struct TDetailBookmark {
  plat::MemTable* dataSet = nullptr;  // not owned
  plat::Bookmark bk;                  // empty when it had no current row
};

class TJTable : public plat::MemTable {
 public:
  TJTable();
  ~TJTable() override;

  // ---- properties ----
  // The transport that runs the requests (not owned). A transport that is
  // destroyed first leaves the table without one.
  TJTransport* JClient() const { return fJClient; }
  void SetJClient(TJTransport* client);
  // The query builder bound to this table (not owned), set by its SetTable;
  // null when none. It supplies the key's server column, default values of
  // new rows and document descriptions.
  TSelection* selection() const { return fSelection; }
  // The transport or the bound selection at AComponent is being destroyed:
  // the table forgets it.
  void Notification(const void* AComponent);
  QString TableName() const { return fTableName; }
  void SetTableName(const QString& v) { fTableName = v; }
  QString SelfReferencedField() const { return fSelfReferencedField; }
  void SetSelfReferencedField(const QString& v) { fSelfReferencedField = v; }
  QString KeyField() const { return fKeyField; }
  void SetKeyField(const QString& v) { fKeyField = v; }
  QStringList PostedFields() const { return fPostedFields; }
  void SetPostedFields(const QStringList& v) { fPostedFields = v; }
  QStringList SQL() const { return fSQL; }
  void SetSQL(const QStringList& lines) { fSQL = lines; }
  // One statement given as text: split into lines at CR LF, CR or LF.
  void SetSQLText(const QString& text);
  // The statement as sent and compared: every line followed by CR LF.
  QString sqlText() const;
  bool selected() const { return fSelected; }
  // true loads the table first (30 s).
  void SetSelected(bool value);
  // Called with the changed field before its previous value is replaced.
  plat::FieldNotifyEvent OnFieldChange;

  // ---- loading ----
  // Request 1: the statement, the parameter count, then the JDBC type code
  // and value of each parameter; the reply's first table fills this table.
  void selectFromDB(int timeout, TCustomAccessValidator* accessValidator = nullptr);
  // Request 12: replaces the fields by the statement's result columns and
  // loads no rows; adopts the server's parameter types when the count differs.
  void prepare(int timeout);

  // ---- parameters ----
  void clearParams() { fParameters.clear(); }
  // ftUnknown takes the type from the value's kind. Non-null values are
  // converted to what the type names (integers to 32 bits, floats to double,
  // dates to date-times).
  void addParam(const WireValue& value, TFieldType dataType = ftUnknown);
  void addParam(const QVariant& value, TFieldType dataType = ftUnknown) {
    addParam(WireValue::fromQVariant(value), dataType);
  }
  int paramCount() const { return int(fParameters.size()); }
  const TJParameter& getParam(int index) const;
  // Every parameter value's text, joined by the character U+0000.
  QString paramsText() const;
  // The key's name on the server: with a bound selection the field of the
  // key column's expression (G.goods_id as id gives goods_id), else KeyField.
  QString keyFieldSQLName() const;

  // ---- previous values ----
  // Inside OnFieldChange: the field's value before this change; Null outside
  // an edit or insert.
  QVariant prevValue(const plat::Field* field) const;
  QVariant prevValue(const QString& fieldName) const;

  // ---- bulk work and copies ----
  // Writes the same values into every row: one name and a value, or names
  // separated by ";" or "," and a QVariantList of as many values.
  void updateRecords(const QString& fieldNames, const QVariant& values);
  // Push and pop the current row and sort order; calls nest.
  void savePositionAndSorting();
  void restorePositionAndSorting();
  // A full copy of source (structure, rows and load information).
  void loadFromDataSet(TJTable& source);
  // A one-row copy of source's current row.
  void loadFromDataSetCurrentRecord(TJTable& source);

  // ---- edit tracker ----
  TDatasetListener& listener() { return *fListener; }
  void setListenerActive(bool value) { fListener->active = value; }
  bool dataChanged() const { return fListener->dataChanged(); }

  // ---- changes on the server ----
  // Posts the tracked changes of the current row and of every detail table
  // in one request 8; gives the row's key after the post. The row stays in
  // its edit or insert state for the caller to post or cancel locally.
  int applyToDB(TCustomAccessValidator* accessValidator = nullptr);
  // Request 13 for the current row; the local row stays.
  void deleteFromDB(TCustomAccessValidator* accessValidator = nullptr);
  // Request 44 / 45 for the current row; the local row is not changed.
  void setIsDeleted(bool isDeleted, int timeout);
  void setParent(int parent_id, int timeout);

  // ---- summaries ----
  void AddSummary(const QString& FieldName, TSummaryType SummaryType);
  double GetSummary(const QString& FieldName, TSummaryType SummaryType) const;
  void RecalcSummaries();
  void ClearSummaries() { fSummaries.clear(); }
  bool NeedRecalcSummaries() const { return fNeedRecalcSummaries; }

  // ---- cache files (tablesCacheFolder() + tableName + ".dat" / ".dv") ----
  void saveToCache(const QString& tableName, bool forcedWrite);
  // True when the table was taken from the cache.
  bool updateFromCache(const QString& tableName);
  void deleteCache(const QString& tableName);

  // ---- load information (refreshes, cache files) ----
  QString lastRefreshParams;
  QString lastRefreshSQL;
  QString sourceTablesDataVersions;
  double last_refresh_tm = 0;  // days since 1899-12-30; 0 before the first load

 protected:
  void DoAfterCancel() override;
  void DoAfterClose() override;
  void DoAfterDelete() override;
  void DoAfterEdit() override;
  void DoAfterInsert() override;
  void DoAfterOpen() override;
  void DoAfterPost() override;
  void DoAfterScroll() override;
  void DoBeforeCancel() override;
  void DoBeforeDelete() override;
  void DoBeforeEdit() override;
  void DoBeforeInsert() override;
  void DoBeforePost() override;
  void DoOnCalcFields() override;

 private:
  friend class TSelection;  // binds itself through fSelection
  void setDefaultValues();
  void setDocumentDescriptions();
  void fieldChanged(plat::Field& field);
  void saveDetailBookmarks();
  void restoreDetailBookmarks();
  void freeDetailBookmarks() { fDetailBookmarks.clear(); }
  void writeHistoryHead();
  void checkServerChange() const;
  void runServerChange(uint16_t code, const WireValue& a, const WireValue& b, const WireValue& c,
                       int timeout);

  bool fSelected = false;
  std::vector<TJParameter> fParameters;
  std::unique_ptr<TDatasetListener> fListener;
  TJTransport* fJClient = nullptr;
  TSelection* fSelection = nullptr;
  QString fTableName;
  QString fSelfReferencedField;
  QString fKeyField = QStringLiteral("id");
  QStringList fPostedFields;
  QStringList fSQL;
  std::vector<TDetailBookmark> fDetailBookmarks;
  std::vector<QVariant> fCurValues;
  bool fInfillCurValues = true;
  std::vector<plat::Bookmark> fSavedBookmarks;
  QStringList fSavedSortings;
  std::vector<TTableSummary> fSummaries;
  bool fNeedRecalcSummaries = false;
};
