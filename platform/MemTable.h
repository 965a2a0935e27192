#pragma once
// In-memory table: typed fields, rows, a cursor with edit states, hooks around
// every operation, master/detail links, sorting, filtering, bookmarks and a
// versioned binary file form with a checksum.
//
// The contract follows the classic dataset model that the back-office client's
// tables are written against:
// - Field values are read and written through Field objects; writes need the
//   edit or insert state and are converted to the field's value kind.
// - Moving the cursor while a row is being edited posts it when something was
//   assigned, and cancels it otherwise.
// - Every operation calls a virtual hook before and after (DoBeforePost ...);
//   the base hook calls the matching replaceable handler (BeforePost ...), so a
//   subclass adds behaviour around the user's handler.
// - Rows carry ids that never change, so a bookmark stays valid across sorting,
//   filtering, master changes and edits or deletes of other rows.
// - Closing the table drops its rows (it has no other storage); fields stay.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

#include "platform/Exception.h"

class QIODevice;

// Misuse of a table (no such field, wrong state, record not found, a table
// file that cannot be read).
VEKTA_EXCEPTION_CLASS(EDatabaseError, Exception)

// Field types. The ordinals are those of the original dataset library: error
// messages quote them as numbers ("Unknown Field Type 7 ..."), and the table
// file stores them.
enum TFieldType : int {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftCursor = 22,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
  ftADT = 26,
  ftArray = 27,
  ftReference = 28,
  ftDataSet = 29,
  ftOraBlob = 30,
  ftOraClob = 31,
  ftVariant = 32,
  ftInterface = 33,
  ftIDispatch = 34,
  ftGuid = 35,
  ftTimeStamp = 36,
  ftFMTBcd = 37,
  ftFixedWideChar = 38,
  ftWideMemo = 39,
  ftOraTimeStamp = 40,
  ftOraInterval = 41,
  ftLongWord = 42,
  ftShortint = 43,
  ftByte = 44,
  ftExtended = 45,
  ftConnection = 46,
  ftParams = 47,
  ftStream = 48,
  ftTimeStampOffset = 49,
  ftObject = 50,
  ftSingle = 51,
};
constexpr int kFieldTypeCount = 52;

namespace plat {

class MemTable;
class Field;

enum DataSetState { dsInactive, dsBrowse, dsEdit, dsInsert, dsCalcFields, dsFilter };

// Calculated fields are not stored in files; DoOnCalcFields fills them.
enum FieldKind { fkData = 0, fkCalculated = 1 };

enum LocateOption { loCaseInsensitive = 1, loPartialKey = 2 };
using LocateOptions = int;

using FieldNotifyEvent = std::function<void(Field&)>;
using DataSetNotifyEvent = std::function<void(MemTable&)>;
// Called with the table positioned on the row under test (fields read it);
// returns whether the row is shown.
using FilterRecordEvent = std::function<bool(MemTable&)>;

// A row's stable id (and nothing else); empty when the table had no current row.
using Bookmark = QByteArray;

struct FieldDef {
  QString name;
  TFieldType dataType = ftUnknown;
  int size = 0;       // texts, byte strings and arrays
  int precision = 0;  // floats
  FieldKind kind = fkData;
};

// The value kind a field of type t holds, as a QMetaType id:
// texts QString; 8/16/32-bit integers int; 64-bit integers qlonglong; Boolean
// bool; floats, currency and BCD double; ftDate QDate; ftTime QTime; date-times
// QDateTime; binary types QByteArray; anything else (variant, array, ...) keeps
// the value as given (QMetaType::UnknownType).
int storageTypeOf(TFieldType t);

// Converts v to the value kind of type t. Null stays Null (an invalid QVariant).
// Throws EConvertError with the usual texts ("'abc' is not a valid integer
// value") when the value cannot be converted.
QVariant convertToFieldType(TFieldType t, const QVariant& v);

class Field {
 public:
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  const QString& FieldName() const { return def_.name; }
  TFieldType DataType() const { return def_.dataType; }
  int Size() const { return def_.size; }
  int Precision() const { return def_.precision; }
  FieldKind Kind() const { return def_.kind; }
  const FieldDef& Def() const { return def_; }
  int Index() const { return index_; }  // 0-based position in the table
  MemTable& DataSet() const { return *table_; }

  // Reading: the current row (or the edit buffer, or the row under test in a
  // filter or calc pass). Null when there is no row.
  const QVariant& Value() const;
  bool IsNull() const { return Value().isNull(); }
  QString AsString() const;
  int AsInteger() const;
  qint64 AsLargeInt() const;
  double AsFloat() const;
  bool AsBoolean() const;
  QDateTime AsDateTime() const;
  QByteArray AsBytes() const;

  // Writing: needs the edit or insert state (calc fields: the calc pass).
  // Every assignment, even of an equal value, fires OnChange.
  void SetValue(const QVariant& v);
  void SetAsString(const QString& v);
  void SetAsInteger(int v);
  void SetAsLargeInt(qint64 v);
  void SetAsFloat(double v);
  void SetAsBoolean(bool v);
  void SetAsDateTime(const QDateTime& v);
  void SetAsBytes(const QByteArray& v);
  void Clear() { SetValue(QVariant()); }

  FieldNotifyEvent OnChange;

 private:
  friend class MemTable;
  Field(MemTable* table, FieldDef def, int index)
      : table_(table), def_(std::move(def)), index_(index) {}

  MemTable* table_;
  FieldDef def_;
  int index_;
};

class MemTable {
 public:
  MemTable();
  virtual ~MemTable();
  MemTable(const MemTable&) = delete;
  MemTable& operator=(const MemTable&) = delete;

  // A name for messages and debugging only.
  QString Name;

  // ---- structure (only while closed) ----
  Field* AddField(const QString& name, TFieldType type, int size = 0, int precision = 0,
                  FieldKind kind = fkData);
  void AddFieldDef(const FieldDef& def) {
    (void)AddField(def.name, def.dataType, def.size, def.precision, def.kind);
  }
  // Destroys every field (from the last to the first) and its definition.
  void ClearFields();
  std::vector<FieldDef> FieldDefs() const;
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  Field* FieldByIndex(int i) const;               // throws on a bad index
  Field* FindField(const QString& name) const;    // nullptr when none (case-insensitive)
  Field* FieldByName(const QString& name) const;  // throws "Field 'x' not found"
  // Makes this table closed and of the same structure as src, then opens it empty.
  void CopyStructure(const MemTable& src);

  // ---- open / close ----
  void Open();
  void Close();
  void SetActive(bool on) { on ? Open() : Close(); }
  bool Active() const { return state_ != dsInactive; }
  DataSetState State() const { return state_; }
  // Drops every row without hooks; the table stays open.
  void EmptyDataSet();

  // ---- rows and cursor ----
  void Append();
  void Insert() { Append(); }
  void Edit();
  void Post();
  void Cancel();
  void Delete();
  // Implicit post or cancel: posts when a field was assigned, else cancels.
  void CheckBrowseMode();
  bool Modified() const { return modified_; }

  void First();
  void Next();
  void Prior();
  void Last();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  int RecordCount() const;  // rows shown (filter and master link applied)
  int RecNo() const;        // 1-based position in the shown rows, 0 when none
  bool IsEmpty() const { return RecordCount() == 0; }
  // Re-applies sorting, filter and master link; keeps the current row when shown.
  void Refresh();

  // Finds the first shown row whose fields (names separated by ";") equal the
  // values (one value, or a QVariantList for several names), each converted to
  // the field's type first. Moves there and returns true; else stays, false.
  bool Locate(const QString& fieldNames, const QVariant& values, LocateOptions options = 0);

  Bookmark GetBookmark() const;
  bool BookmarkValid(const Bookmark& bm) const;  // the row exists and is shown
  void GotoBookmark(const Bookmark& bm);         // throws "Record not found"
  void FreeBookmark(Bookmark&) {}

  // Nested; while disabled, detail tables do not follow this table's cursor.
  void DisableControls() { ++disableCount_; }
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ > 0; }

  // ---- filter ----
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool on);
  FilterRecordEvent OnFilterRecord;  // call Refresh after replacing it while filtered

  // ---- sorting ----
  // Field names separated by ";"; a name may end in ":D" for descending order
  // and ":N" for case-insensitive text. Ties keep the order of insertion.
  QString IndexFieldNames() const { return indexFieldNames_; }
  void SetIndexFieldNames(const QString& names);
  // Off: rows are shown in the order of insertion whatever IndexFieldNames says.
  bool IndexesActive() const { return indexesActive_; }
  void SetIndexesActive(bool on);

  // ---- loading whole tables ----
  // Whether a RowAppender may fill this table: an open table in browse state
  // where adding a row with Append and Post would run nothing but the store
  // itself. That is a plain MemTable (no subclass hooks) with no calculated
  // fields, no master link, no filter handler in force, no OnNewRecord and no
  // insert, post or scroll handler, whose detail tables are not following it
  // (none, or controls disabled). Elsewhere a loader appends row by row.
  bool CanAppendRowsInPlace() const;

  // Adds rows straight into the store, for a loader that reads whole rows:
  // no edit state, no per-row hooks, no OnChange. Each value written must be
  // Null or of its field's storage kind (convertToFieldType gives it). When
  // the appender ends, the rows are placed in the view (sorted if the table
  // is) and the cursor is on the last row added, as after Append and Post.
  class RowAppender {
   public:
    explicit RowAppender(MemTable& table);  // throws unless CanAppendRowsInPlace()
    ~RowAppender();
    RowAppender(const RowAppender&) = delete;
    RowAppender& operator=(const RowAppender&) = delete;
    // A new last row of FieldCount() Nulls, to fill in place before the next
    // call (the store may move then).
    QVariant* AddRow();
    // Takes back the row that AddRow gave last, as a cancelled insert would.
    void DropLastRow();

   private:
    MemTable& t_;
    size_t firstRow_;  // rows in the table when the appender began
  };

  // ---- master / detail ----
  // Shows only the rows whose DetailFields equal the MasterFields of the
  // master's current row (MasterFields empty: the same names as DetailFields).
  MemTable* MasterSource() const { return master_; }
  void SetMasterSource(MemTable* master);
  QString MasterFields() const { return masterFields_; }
  void SetMasterFields(const QString& names);
  QString DetailFields() const { return detailFields_; }
  void SetDetailFields(const QString& names);
  // Tables whose master is this one, in the order they were attached.
  const std::vector<MemTable*>& GetDetailDataSets() const { return details_; }

  // ---- files (our own format: magic, version, CRC-32) ----
  // The whole table: structure and every stored row (filter and master link
  // ignored), nulls included. Saving needs an open table.
  QByteArray SaveToBytes() const;
  void SaveToStream(QIODevice& out) const;
  void SaveToFile(const QString& path) const;  // atomic replacement
  // Replaces structure and rows and opens the table. A damaged input raises
  // EDatabaseError and leaves the table as it was.
  void LoadFromBytes(const QByteArray& data);
  void LoadFromStream(QIODevice& in);
  void LoadFromFile(const QString& path);

  // ---- replaceable handlers (called by the base hooks) ----
  DataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  DataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  DataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  DataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  DataSetNotifyEvent BeforeRefresh, AfterRefresh;
  DataSetNotifyEvent OnCalcFields, OnNewRecord;

 protected:
  // ---- overridable hooks; each base version calls its handler ----
  virtual void DoBeforeOpen();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoAfterClose();
  virtual void DoBeforeInsert();
  virtual void DoAfterInsert();
  virtual void DoBeforeEdit();
  virtual void DoAfterEdit();
  virtual void DoBeforePost();
  virtual void DoAfterPost();
  virtual void DoBeforeCancel();
  virtual void DoAfterCancel();
  virtual void DoBeforeDelete();
  virtual void DoAfterDelete();
  virtual void DoBeforeScroll();
  virtual void DoAfterScroll();
  virtual void DoBeforeRefresh();
  virtual void DoAfterRefresh();
  virtual void DoOnCalcFields();
  virtual void DoOnNewRecord();

 private:
  friend class Field;
  struct SortKey {
    int field;
    bool descending;
    bool caseInsensitive;
  };
  struct LoadedTable;

  const QVariant& readValue(int field) const;
  void writeValue(Field& f, QVariant v);
  void checkActive() const;
  void checkInactive(const char* what) const;
  void setState(DataSetState s) { state_ = s; }
  void scrollTo(int pos);
  int slotOfPos(int pos) const { return view_[static_cast<size_t>(pos)]; }
  // Pointer arithmetic, not indexing: a table without fields still has rows,
  // and their (empty) values sit at the start of an empty vector.
  QVariant* slotValues(int slot) {
    return vals_.data() + static_cast<size_t>(slot) * fields_.size();
  }
  const QVariant* slotValues(int slot) const {
    return vals_.data() + static_cast<size_t>(slot) * fields_.size();
  }
  int newSlot();
  void freeSlot(int slot);
  bool isShown(int slot);
  bool lessThan(int a, int b) const;
  bool sorted() const { return indexesActive_ && !sortKeys_.empty(); }
  void rebuildView(qint64 keepId);
  // The stable id of the current row (0 when there is none), kept across a rebuild.
  qint64 currentRowId() const;
  void placeInView(int slot);
  std::vector<int> parseNames(const QString& names, bool throwOnMissing) const;
  void parseSortKeys();
  void calcSlot(int slot);
  void calcBuffer();
  bool hasCalcFields() const { return calcFieldCount_ > 0; }
  void masterChanged();
  void notifyDetails();
  void linkChangedFor(int field);
  void detachFromMaster();
  void installLoaded(LoadedTable&& t);
  void openNoHooks();

  std::vector<std::unique_ptr<Field>> fields_;
  int calcFieldCount_ = 0;

  // Row storage: slot s holds fields_.size() values from vals_[s * nf].
  std::vector<QVariant> vals_;
  std::vector<quint64> slotId_;  // 0: free slot
  std::vector<int> freeSlots_;
  std::vector<int> order_;  // live slots in order of insertion
  std::vector<int> view_;   // shown slots in display order
  quint64 nextId_ = 1;

  DataSetState state_ = dsInactive;
  int cur_ = -1;  // position in view_, -1 when nothing is shown
  bool eof_ = true;
  bool bof_ = true;
  bool modified_ = false;
  std::vector<QVariant> buf_;  // the row under edit or insert
  int evalSlot_ = -1;          // row read by fields during a filter or calc pass
  bool evalBuffer_ = false;    // calc pass over the edit buffer
  DataSetState stateBeforeCalc_ = dsInactive;

  int disableCount_ = 0;
  bool masterMovedWhileDisabled_ = false;

  bool filtered_ = false;
  QString indexFieldNames_;
  bool indexesActive_ = true;
  std::vector<SortKey> sortKeys_;

  MemTable* master_ = nullptr;
  QString masterFields_;
  QString detailFields_;
  std::vector<MemTable*> details_;
  std::vector<int> linkDetail_;  // detail-side field indexes
  std::vector<int> linkMaster_;  // master-side field indexes
};

}  // namespace plat
