#pragma once
// The edit tracker of a server-filled table. New rows get temporary negative
// keys (-1, -2, ...); rows that exist on the server keep the values they had
// before their first edit; deleted server rows are kept until the next post.
// The master table's tracker turns its current row and every detail table's
// changes into one posting request (request 8) and puts the server's new keys
// in place of the temporary ones.

#include <QString>
#include <QVariant>
#include <map>
#include <utility>
#include <vector>

namespace plat {
class MemTable;
}
class TJTable;
class TRequest;

// A snapshot of one row: one value per field, in field order; empty when no
// snapshot is held.
class TDLRecord {
 public:
  std::vector<QVariant> values;
  bool empty() const { return values.empty(); }
};

class TDatasetListener {
 public:
  explicit TDatasetListener(TJTable* tb) : fTb(tb) {}
  virtual ~TDatasetListener() = default;
  TDatasetListener(const TDatasetListener&) = delete;
  TDatasetListener& operator=(const TDatasetListener&) = delete;

  bool active = true;
  QString additionalParentTable;
  QString additionalParentField;

  void beforeInsert(plat::MemTable& tb);
  void afterInsert(plat::MemTable& tb);
  void afterEdit(plat::MemTable& tb);
  void beforePost(plat::MemTable& tb);
  void beforeDelete(plat::MemTable& tb);
  void afterDelete(plat::MemTable& tb);
  void beforeCancel(plat::MemTable& tb);
  void afterCancel(plat::MemTable& tb);

  // Forgets all tracking here and in the trackers of every detail table.
  void clear();
  // Forgets the snapshots of the rows being edited and deleted. The table
  // calls it when it closes: its rows are gone, and its structure (which
  // changes only while it is closed) may differ when it opens again, so a
  // snapshot's values would no longer line up with the fields.
  void forgetSnapshots();
  // Something was inserted, edited or deleted here or in a detail table.
  bool dataChanged() const;

  // Appends the post array of request 8 (only the master table's tracker).
  void getPostArray(TRequest& r);
  // Puts the reply's keys in place of the temporary ones, here (for an index
  // above 0) and in every detail table below.
  void updateNegativeID(const TRequest& r, int dataSetIndex);

  // The same changes as one tree (current row, then its detail tables);
  // kept for servers that read the nested form.
  void getRecordArray(TRequest& r);
  void getTableArray(TRequest& r);

  int insertedRecordCount() const { return fInsertedRecordCount; }
  int editedRecordCount() const { return int(fEditedRecs.size()); }
  int deletedRecordCount() const { return int(fDeletedRecs.size()); }

 private:
  using TrackedList = std::vector<std::pair<QString, TDLRecord>>;

  TDatasetListener* masterListener() const;
  bool isDetail() const { return masterListener() != nullptr; }
  void guard(plat::MemTable& tb) const;
  void snapshot(TDLRecord& rec) const;
  // A snapshot of the table's current structure, or none.
  bool fits(const TDLRecord& rec) const;
  static void emptyDetails(plat::MemTable& tb);
  void postDetailEdits();
  void postDeletedRecords(TRequest& r);
  void postEditedRecords(TRequest& r, int index);
  void postInsertedRecords(TRequest& r, int index);
  void writeBlockHead(TRequest& r, int index, bool asMaster, const QString& detailFields) const;
  void writeRecord(TRequest& r, const TDLRecord* old) const;
  void checkDetailLimit() const;
  bool recordOfOtherMaster(const TDLRecord& rec) const;
  bool rowOfOtherMaster() const;
  TrackedList::iterator findTracked(TrackedList& list, const QString& key);

  TJTable* fTb;
  int fInsertedRecordCount = 0;
  TDLRecord fTempEditedRecord;
  TDLRecord fTempDeletedRecord;
  TrackedList fDeletedRecs;
  TrackedList fEditedRecs;
  bool fDataChanged = false;
  // Temporary key -> server key of the last reply, so that rows of deeper
  // detail tables follow their own master row's new key.
  std::map<qint64, qint64> fNewKeys;
};
