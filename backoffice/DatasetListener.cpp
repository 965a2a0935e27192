#include "backoffice/DatasetListener.h"

#include <algorithm>

#include "backoffice/JTable.h"
#include "backoffice/JTransport.h"
#include "backoffice/Request.h"

namespace {

const QString kLimitError = QStringLiteral(
    "Maximal detail datasets quantity is 99 (TDatasetListener.postInsertedRecords).");

// The link is switched as a pair: one half alone names fields that do not
// match, which the table refuses after taking the new names; the second call
// then finds both halves in agreement and shows the rows.
void setLink(TJTable& tb, const QString& detailFields, const QString& masterFields) {
  try {
    tb.SetDetailFields(detailFields);
  } catch (const EDatabaseError&) {
  }
  tb.SetMasterFields(masterFields);
}

plat::Field* keyOf(const TJTable& tb) {
  return tb.FieldByName(tb.KeyField());
}

// Rows of every master row must be reachable while blocks are written and
// keys replaced: the filter and the master link are switched off, and the
// current row comes back afterwards (also on failure).
class Unlinked {
 public:
  explicit Unlinked(TJTable& tb)
      : tb_(tb),
        filtered_(tb.Filtered()),
        detailFields_(tb.DetailFields()),
        masterFields_(tb.MasterFields()) {
    key_ = keyOf(tb)->Value();
    tb.DisableControls();
    try {
      tb.SetFiltered(false);
      if (!detailFields_.isEmpty()) setLink(tb, QString(), QString());
    } catch (...) {
      restore();
      throw;
    }
  }
  ~Unlinked() {
    try {
      restore();
    } catch (...) {
      // A failing restore must not hide the error that unwinds past it.
    }
  }
  // The kept key follows a row whose key was replaced.
  void rekeyed(const QVariant& from, const QVariant& to) {
    if (!key_.isNull() && key_.toLongLong() == from.toLongLong()) key_ = to;
  }

 private:
  void restore() {
    if (done_) return;
    done_ = true;
    struct Enable {
      TJTable& tb;
      ~Enable() { tb.EnableControls(); }
    } enable{tb_};
    if (tb_.DetailFields() != detailFields_ || tb_.MasterFields() != masterFields_)
      setLink(tb_, detailFields_, masterFields_);
    if (tb_.Filtered() != filtered_) tb_.SetFiltered(filtered_);
    if (!key_.isNull()) tb_.Locate(tb_.KeyField(), key_);
  }

  TJTable& tb_;
  bool filtered_;
  QString detailFields_;
  QString masterFields_;
  QVariant key_;
  bool done_ = false;
};

std::vector<TJTable*> detailJTables(const TJTable& tb) {
  std::vector<TJTable*> out;
  for (plat::MemTable* d : tb.GetDetailDataSets())
    if (auto* j = dynamic_cast<TJTable*>(d)) out.push_back(j);
  return out;
}

}  // namespace

// ---- helpers ----

TDatasetListener* TDatasetListener::masterListener() const {
  if (auto* m = dynamic_cast<TJTable*>(fTb->MasterSource())) return &m->listener();
  return nullptr;
}

void TDatasetListener::guard(plat::MemTable& tb) const {
  if (&tb != fTb)
    throw EAbstractError(QStringLiteral(
        "TDatasetListener method has another dataset than dataset passed on TDatasetListener "
        "creation."));
}

void TDatasetListener::snapshot(TDLRecord& rec) const {
  rec.values.assign(size_t(fTb->FieldCount()), QVariant());
  for (int i = 0; i < fTb->FieldCount(); ++i) rec.values[size_t(i)] = fTb->FieldByIndex(i)->Value();
}

bool TDatasetListener::fits(const TDLRecord& rec) const {
  return !rec.empty() && rec.values.size() == size_t(fTb->FieldCount());
}

void TDatasetListener::emptyDetails(plat::MemTable& tb) {
  for (plat::MemTable* d : tb.GetDetailDataSets()) {
    if (!d->Active()) continue;
    while (d->RecordCount() > 0) {
      d->Last();
      d->Delete();
    }
  }
}

TDatasetListener::TrackedList::iterator TDatasetListener::findTracked(TrackedList& list,
                                                                      const QString& key) {
  return std::find_if(list.begin(), list.end(), [&](const auto& e) { return e.first == key; });
}

// ---- hooks ----

void TDatasetListener::beforeInsert(plat::MemTable& tb) {
  if (!active) return;
  guard(tb);
  plat::MemTable* master = fTb->MasterSource();
  if (isDetail() && !fTb->DetailFields().isEmpty() && master->RecordCount() == 0 &&
      master->State() == plat::dsBrowse)
    master->Append();
}

void TDatasetListener::afterInsert(plat::MemTable& tb) {
  if (!active) return;
  guard(tb);
  fDataChanged = true;
  ++fInsertedRecordCount;
  keyOf(*fTb)->SetAsInteger(-fInsertedRecordCount);
  if (TDatasetListener* ml = masterListener(); ml && !fTb->DetailFields().isEmpty())
    fTb->FieldByName(fTb->DetailFields())->SetAsInteger(keyOf(*ml->fTb)->AsInteger());
}

void TDatasetListener::afterEdit(plat::MemTable& tb) {
  if (!active) return;
  guard(tb);
  fDataChanged = true;
  plat::Field* key = keyOf(*fTb);
  if (key->AsInteger() <= 0) return;
  if (!fits(fTempEditedRecord) || fTempEditedRecord.values[size_t(key->Index())] != key->Value())
    snapshot(fTempEditedRecord);
}

void TDatasetListener::beforePost(plat::MemTable& tb) {
  if (!active || !isDetail()) return;
  guard(tb);
  plat::Field* key = keyOf(*fTb);
  if (key->AsInteger() <= 0) return;
  const QString text = key->AsString();
  if (findTracked(fEditedRecs, text) != fEditedRecs.end()) return;
  if (fTempEditedRecord.empty())
    throw EAbstractError(
        QStringLiteral("fTempEditedRecord not initialized. It is possible that some of data-aware "
                       "controls automatically calculates KEY FIELD value.\r"
                       "tb.fieldByName(fTb.fKeyField) = ") +
        text);
  fEditedRecs.emplace_back(text, std::move(fTempEditedRecord));
  fTempEditedRecord = TDLRecord();
}

void TDatasetListener::beforeDelete(plat::MemTable& tb) {
  if (!active) return;
  guard(tb);
  snapshot(fTempDeletedRecord);
  if (isDetail()) emptyDetails(*fTb);
}

void TDatasetListener::afterDelete(plat::MemTable& tb) {
  if (!active) return;
  guard(tb);
  if (!isDetail()) return;
  fDataChanged = true;
  plat::Field* key = keyOf(*fTb);
  const qint64 k =
      fits(fTempDeletedRecord) ? fTempDeletedRecord.values[size_t(key->Index())].toLongLong() : 0;
  if (k > 0) {
    const QString text = QString::number(k);
    if (auto it = findTracked(fEditedRecs, text); it != fEditedRecs.end()) {
      // The server row is deleted with the key it had; its edits are moot.
      fDeletedRecs.emplace_back(text, std::move(it->second));
      fEditedRecs.erase(it);
    } else {
      fDeletedRecs.emplace_back(text, std::move(fTempDeletedRecord));
      fTempDeletedRecord = TDLRecord();
    }
  }
  const QString self = fTb->SelfReferencedField();
  if (self.isEmpty()) return;
  const bool filtered = fTb->Filtered();
  fTb->DisableControls();
  struct Restore {
    TJTable* tb;
    bool filtered;
    ~Restore() {
      try {
        if (tb->Filtered() != filtered) tb->SetFiltered(filtered);
      } catch (...) {
      }
      tb->EnableControls();
    }
  } restore{fTb, filtered};
  fTb->SetFiltered(false);
  // Each delete runs these hooks again, so the whole subtree goes.
  while (fTb->Locate(self, QVariant(k))) fTb->Delete();
}

void TDatasetListener::beforeCancel(plat::MemTable& tb) {
  if (!active) return;
  if (keyOf(*fTb)->AsInteger() > 0) return;
  emptyDetails(tb);
}

void TDatasetListener::afterCancel(plat::MemTable&) {
  if (!active) return;
  if (!isDetail()) fDataChanged = false;
}

// ---- state ----

void TDatasetListener::clear() {
  fDataChanged = false;
  fInsertedRecordCount = 0;
  fEditedRecs.clear();
  fDeletedRecs.clear();
  fTempEditedRecord = TDLRecord();
  for (TJTable* d : detailJTables(*fTb)) d->listener().clear();
}

void TDatasetListener::forgetSnapshots() {
  fTempEditedRecord = TDLRecord();
  fTempDeletedRecord = TDLRecord();
}

bool TDatasetListener::dataChanged() const {
  if (fDataChanged) return true;
  for (TJTable* d : detailJTables(*fTb))
    if (d->listener().dataChanged()) return true;
  return false;
}

// ---- posting ----

void TDatasetListener::checkDetailLimit() const {
  if (fTb->GetDetailDataSets().size() > 99) throw EAbstractError(kLimitError);
}

void TDatasetListener::getPostArray(TRequest& r) {
  if (fTb->TableName().isEmpty()) return;
  if (fTb->KeyField().isEmpty())
    throw EAbstractError(
        QStringLiteral("Table key field not specified (TDatasetListener.getPostArray)."));
  if (isDetail())
    throw EAbstractError(
        QStringLiteral("Can not post attached datasetListener (TDatasetListener.getPostArray)."));
  // With 100 or more details the master's indices would coincide with those
  // of the second level, and keys would go to the wrong rows.
  checkDetailLimit();
  postDetailEdits();
  postDeletedRecords(r);
  if (fTb->State() == plat::dsBrowse && fTb->RecordCount() > 0) fTb->Edit();
  if (fTb->State() == plat::dsEdit || fTb->State() == plat::dsInsert) {
    writeBlockHead(r, 0, true, fTb->DetailFields());
    r.addParam(WireValue(1));
    const bool isNew = keyOf(*fTb)->AsInteger() <= 0;
    writeRecord(r, isNew || fTempEditedRecord.empty() ? nullptr : &fTempEditedRecord);
  }
  const auto& details = fTb->GetDetailDataSets();
  for (size_t p = 0; p < details.size(); ++p)
    if (auto* j = dynamic_cast<TJTable*>(details[p]))
      j->listener().postEditedRecords(r, int(p) + 1);
  for (size_t p = 0; p < details.size(); ++p)
    if (auto* j = dynamic_cast<TJTable*>(details[p]))
      j->listener().postInsertedRecords(r, int(p) + 1);
}

void TDatasetListener::postDetailEdits() {
  for (plat::MemTable* d : fTb->GetDetailDataSets()) {
    if (d->State() == plat::dsEdit || d->State() == plat::dsInsert) d->Post();
    if (auto* j = dynamic_cast<TJTable*>(d)) j->listener().postDetailEdits();
  }
}

void TDatasetListener::postDeletedRecords(TRequest& r) {
  if (fTb->TableName().isEmpty()) return;
  const auto details = detailJTables(*fTb);
  for (auto it = details.rbegin(); it != details.rend(); ++it)
    (*it)->listener().postDeletedRecords(r);
  if (fDeletedRecs.empty()) return;
  plat::Field* key = keyOf(*fTb);
  r.addParam(WireValue(2));
  r.addParam(WireValue(fTb->TableName()));
  r.addParam(WireValue(fTb->keyFieldSQLName()));
  r.addParam(WireValue(TJTransport::fieldTypeToJavaType(key->DataType())));
  r.addParam(WireValue(int(fDeletedRecs.size())));
  for (const auto& [text, rec] : fDeletedRecs)
    r.addParam(WireValue::fromQVariant(rec.values.at(size_t(key->Index()))));
}

void TDatasetListener::writeBlockHead(TRequest& r, int index, bool asMaster,
                                      const QString& detailFields) const {
  r.addParam(WireValue(1));
  r.addParam(WireValue(index));
  r.addParam(WireValue(fTb->TableName()));
  TDatasetListener* ml = masterListener();
  r.addParam(WireValue(asMaster || !ml ? QString() : ml->fTb->TableName()));
  r.addParam(WireValue(detailFields));
  r.addParam(WireValue(additionalParentTable));
  r.addParam(WireValue(additionalParentField));
  r.addParam(WireValue(fTb->SelfReferencedField()));
}

void TDatasetListener::writeRecord(TRequest& r, const TDLRecord* old) const {
  plat::Field* key = keyOf(*fTb);
  QStringList posted = fTb->PostedFields();
  if (posted == QStringList{QStringLiteral("*")}) {
    // Detail tables may ask for every field too; the key travels on its own.
    posted.clear();
    for (int i = 0; i < fTb->FieldCount(); ++i)
      if (fTb->FieldByIndex(i) != key) posted << fTb->FieldByIndex(i)->FieldName();
  }
  const WireValue keyValue = WireValue::fromQVariant(key->Value());
  r.addParam(WireValue(int(posted.size()) + 1));
  r.addParam(WireValue(fTb->keyFieldSQLName()));
  r.addParam(WireValue(TJTransport::fieldTypeToJavaType(key->DataType())));
  r.addParam(keyValue);
  r.addParam(keyValue);
  for (const QString& name : posted) {
    plat::Field* f = fTb->FieldByName(name);
    r.addParam(WireValue(name));
    r.addParam(WireValue(TJTransport::fieldTypeToJavaType(f->DataType())));
    r.addParam(WireValue::fromQVariant(f->Value()));
    r.addParam(old && size_t(f->Index()) < old->values.size()
                   ? WireValue::fromQVariant(old->values[size_t(f->Index())])
                   : WireValue::null());
  }
}

void TDatasetListener::postEditedRecords(TRequest& r, int index) {
  if (fTb->TableName().isEmpty()) return;
  if (!fEditedRecs.empty()) {
    const QString link = fTb->DetailFields();  // the block names it, unlinked or not
    Unlinked unlinked(*fTb);
    const int keyIndex = keyOf(*fTb)->Index();
    writeBlockHead(r, index, false, link);
    r.addParam(WireValue(int(fEditedRecs.size())));
    for (const auto& [text, rec] : fEditedRecs) {
      if (!fTb->Locate(fTb->KeyField(), rec.values.at(size_t(keyIndex))))
        throw EAbstractError(
            QStringLiteral("Can not locate on edited record (TDatasetListener.getTableArray)."));
      writeRecord(r, &rec);
    }
  }
  checkDetailLimit();
  const auto& details = fTb->GetDetailDataSets();
  for (size_t q = 0; q < details.size(); ++q)
    if (auto* j = dynamic_cast<TJTable*>(details[q]))
      j->listener().postEditedRecords(r, index * 100 + int(q) + 1);
}

void TDatasetListener::postInsertedRecords(TRequest& r, int index) {
  if (fTb->TableName().isEmpty()) return;
  {
    const QString link = fTb->DetailFields();  // the block names it, unlinked or not
    Unlinked unlinked(*fTb);
    plat::Field* key = keyOf(*fTb);
    std::vector<qint64> keys;
    for (fTb->First(); !fTb->Eof(); fTb->Next()) {
      const qint64 k = key->AsString().toLongLong();  // no number counts as 0
      if (k < 0) keys.push_back(k);
    }
    std::sort(keys.begin(), keys.end(), std::greater<>());  // -1, -2, ...: insertion order
    if (!keys.empty()) {
      writeBlockHead(r, index, false, link);
      r.addParam(WireValue::int64(qint64(keys.size())));
      for (qint64 k : keys) {
        if (!fTb->Locate(fTb->KeyField(), QVariant(k)))
          throw EAbstractError(QStringLiteral(
              "Can not locate on inserted record (TDatasetListener.getTableArray)."));
        writeRecord(r, nullptr);
      }
    }
  }
  checkDetailLimit();
  const auto& details = fTb->GetDetailDataSets();
  for (size_t q = 0; q < details.size(); ++q)
    if (auto* j = dynamic_cast<TJTable*>(details[q]))
      j->listener().postInsertedRecords(r, index * 100 + int(q) + 1);
}

void TDatasetListener::updateNegativeID(const TRequest& r, int dataSetIndex) {
  fNewKeys.clear();
  if (dataSetIndex > 0) {
    const QString linkField = fTb->DetailFields();  // still named while unlinked
    Unlinked unlinked(*fTb);
    const bool wasActive = active;
    active = false;
    struct Reactivate {
      bool& flag;
      bool value;
      ~Reactivate() { flag = value; }
    } reactivate{active, wasActive};
    const int results = r.resultParamCount();
    const int triples = results > 0 ? (results - 1) / 3 : 0;
    const qint64 masterKey = results > 0 ? r.resultParam(0).toInt64() : 0;
    // The first level hangs under the posted row, whose key is the reply's
    // first value; deeper levels follow their own master row's new key.
    TDatasetListener* ml = masterListener();
    const bool underPostedRow = dataSetIndex < 100;
    for (int t = 0; t < triples; ++t) {
      if (r.resultParam(1 + 3 * t).toInt() != dataSetIndex) continue;
      const qint64 tempKey = r.resultParam(2 + 3 * t).toInt64();
      const qint64 newKey = r.resultParam(3 + 3 * t).toInt64();
      // Only temporary keys are replaced: a reply naming a server row's key
      // must not move that row.
      if (tempKey >= 0 || !fTb->Locate(fTb->KeyField(), QVariant(tempKey)))
        throw EAbstractError(
            QStringLiteral("Record not found (TDatasetListener.updateNegativeID)."));
      fTb->Edit();
      keyOf(*fTb)->SetValue(QVariant(newKey));
      if (!linkField.isEmpty()) {
        plat::Field* link = fTb->FieldByName(linkField);
        if (underPostedRow || !ml) {
          link->SetValue(QVariant(masterKey));
        } else if (auto it = ml->fNewKeys.find(link->Value().toLongLong());
                   it != ml->fNewKeys.end()) {
          link->SetValue(QVariant(it->second));
        }
      }
      fTb->Post();
      fNewKeys[tempKey] = newKey;
      unlinked.rekeyed(QVariant(tempKey), QVariant(newKey));
    }
  }
  const auto& details = fTb->GetDetailDataSets();
  for (size_t q = 0; q < details.size(); ++q)
    if (auto* j = dynamic_cast<TJTable*>(details[q]))
      j->listener().updateNegativeID(r, dataSetIndex * 100 + int(q) + 1);
}

// ---- nested form ----

bool TDatasetListener::recordOfOtherMaster(const TDLRecord& rec) const {
  TDatasetListener* ml = masterListener();
  if (!ml || fTb->DetailFields().isEmpty()) return false;
  const plat::Field* link = fTb->FieldByName(fTb->DetailFields());
  const QVariant v =
      size_t(link->Index()) < rec.values.size() ? rec.values[size_t(link->Index())] : QVariant();
  return v.toLongLong() != keyOf(*ml->fTb)->AsLargeInt();
}

bool TDatasetListener::rowOfOtherMaster() const {
  TDatasetListener* ml = masterListener();
  if (!ml || fTb->DetailFields().isEmpty()) return false;
  return fTb->FieldByName(fTb->DetailFields())->AsLargeInt() != keyOf(*ml->fTb)->AsLargeInt();
}

void TDatasetListener::getRecordArray(TRequest& r) {
  plat::Field* key = keyOf(*fTb);
  const TDLRecord* old = nullptr;
  TDLRecord current;
  if (key->AsInteger() >= 1) {
    auto it = findTracked(fEditedRecs, key->AsString());
    if (it != fEditedRecs.end()) {
      old = &it->second;
    } else {
      snapshot(current);
      old = &current;
    }
  }
  writeRecord(r, old);
  const auto details = detailJTables(*fTb);
  r.addParam(WireValue(int(details.size())));
  for (TJTable* d : details) d->listener().getTableArray(r);
}

void TDatasetListener::getTableArray(TRequest& r) {
  const plat::Bookmark bk = fTb->GetBookmark();
  fTb->DisableControls();
  struct Back {
    TJTable& tb;
    const plat::Bookmark& bk;
    ~Back() {
      try {
        if (tb.BookmarkValid(bk)) tb.GotoBookmark(bk);
      } catch (...) {
      }
      tb.EnableControls();
    }
  } back{*fTb, bk};
  const int keyIndex = keyOf(*fTb)->Index();
  std::vector<const TDLRecord*> deleted, edited;
  for (const auto& [text, rec] : fDeletedRecs)
    if (!recordOfOtherMaster(rec)) deleted.push_back(&rec);
  for (const auto& [text, rec] : fEditedRecs)
    if (!recordOfOtherMaster(rec)) edited.push_back(&rec);
  std::vector<plat::Bookmark> fresh;
  for (fTb->First(); !fTb->Eof(); fTb->Next())
    if (keyOf(*fTb)->AsInteger() <= 0 && !rowOfOtherMaster()) fresh.push_back(fTb->GetBookmark());
  r.addParam(WireValue(int(deleted.size())));
  for (const TDLRecord* rec : deleted)
    r.addParam(WireValue::fromQVariant(rec->values.at(size_t(keyIndex))));
  r.addParam(WireValue(int(edited.size() + fresh.size())));
  for (const TDLRecord* rec : edited) {
    if (!fTb->Locate(fTb->KeyField(), rec->values.at(size_t(keyIndex))))
      throw EAbstractError(
          QStringLiteral("Can not locate on edited record (TDatasetListener.getTableArray)."));
    getRecordArray(r);
  }
  for (const plat::Bookmark& b : fresh) {
    fTb->GotoBookmark(b);
    getRecordArray(r);
  }
}
