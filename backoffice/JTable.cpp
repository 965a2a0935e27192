#include "backoffice/JTable.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <algorithm>

#include "backoffice/JTransport.h"
#include "backoffice/Selection.h"
#include "platform/Common.h"

// ---------------------------------------------------------------------------
// TJTable

namespace {

bool isIntegerType(TFieldType t) {
  return t == ftSmallint || t == ftInteger || t == ftWord || t == ftAutoInc || t == ftLargeint;
}
bool isFloatType(TFieldType t) {
  return t == ftFloat || t == ftCurrency || t == ftBCD;
}
bool isDateType(TFieldType t) {
  return t == ftDate || t == ftTime || t == ftDateTime || t == ftTimeStamp;
}

// The field type that matches a value's kind. Every kind maps to a type that
// has a JDBC code, so a parameter given without a type can always be sent.
TFieldType fieldTypeOfValue(const WireValue& v) {
  switch (v.type()) {
    case VarType::Smallint:
    case VarType::ShortInt:
    case VarType::Byte:
      return ftSmallint;
    case VarType::Integer:
    case VarType::Word:
      return ftInteger;
    case VarType::LongWord:
    case VarType::Int64:
    case VarType::UInt64:
      return ftLargeint;
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
      return ftFloat;
    case VarType::Date:
      return ftDateTime;
    case VarType::Boolean:
      return ftBoolean;
    case VarType::OleStr:
    case VarType::String:
    case VarType::UString:
      return ftString;
    case VarType::ByteArray:
      return ftBlob;
    case VarType::Array:
      return ftArray;
    default:
      return ftUnknown;
  }
}

QString historyValueText(const WireValue& v) {
  if (v.type() == VarType::Date)
    return v.toQDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss.zzz"));
  return v.toStringNullEmpty();
}

bool isIdentChar(QChar c) {
  const char16_t u = c.unicode();
  return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_';
}

}  // namespace

// ---------------------------------------------------------------------------
// TFreeNotifier

TFreeNotifier::~TFreeNotifier() {
  // The transport is destroyed only once no thread runs requests through it;
  // the lock covers tables of other threads that come and go meanwhile.
  std::lock_guard<std::mutex> lock(mutex_);
  for (TJTable* t : tables_) t->Notification(owner_);
  tables_.clear();
}

void TFreeNotifier::add(TJTable* table) {
  std::lock_guard<std::mutex> lock(mutex_);
  tables_.push_back(table);
}

void TFreeNotifier::remove(TJTable* table) {
  std::lock_guard<std::mutex> lock(mutex_);
  tables_.erase(std::remove(tables_.begin(), tables_.end(), table), tables_.end());
}

// ---------------------------------------------------------------------------

TJTable::TJTable() : fListener(std::make_unique<TDatasetListener>(this)) {}

TJTable::~TJTable() {
  SetJClient(nullptr);
  if (fSelection && fSelection->table() == this) fSelection->SetTable(nullptr);
}

void TJTable::SetJClient(TJTransport* client) {
  if (client == fJClient) return;
  if (fJClient) fJClient->freeNotifier.remove(this);
  fJClient = client;
  if (fJClient) fJClient->freeNotifier.add(this);
}

void TJTable::Notification(const void* AComponent) {
  if (!AComponent) return;
  if (AComponent == fJClient) fJClient = nullptr;
  if (AComponent == fSelection) fSelection = nullptr;
}

QString TJTable::keyFieldSQLName() const {
  if (!fSelection) return fKeyField;
  return TSelection::getColumnField(fSelection->getColumnValue(fKeyField));
}

void TJTable::SetSQLText(const QString& text) {
  QStringList lines = text.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")));
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  fSQL = lines;
}

QString TJTable::sqlText() const {
  QString s;
  for (const QString& line : fSQL) s += line + QStringLiteral("\r\n");
  return s;
}

void TJTable::SetSelected(bool value) {
  if (value) selectFromDB(30);
  fSelected = value;
}

void TJTable::writeHistoryHead() {
  QStringList& h = fJClient->sqlRequestsHistory;
  if (h.size() > 10000) h.clear();
  h << QString()
    << QStringLiteral("----------------- %1 ----------------->")
           .arg(QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")))
    << QString() << sqlText();
  if (!fParameters.empty()) h << QString();
  for (size_t i = 0; i < fParameters.size(); ++i)
    h << QStringLiteral("Parameter %1: %2").arg(i).arg(historyValueText(fParameters[i].value));
}

void TJTable::selectFromDB(int timeout, TCustomAccessValidator* accessValidator) {
  if (!fJClient)
    throw EAbstractError(QStringLiteral("Property JClient is not defined (TJTable.selectFromDB)."));
  QElapsedTimer started;
  started.start();
  const bool history = fJClient->logSQLRequestsHistory;
  if (history) writeHistoryHead();

  // Loaded rows are never tracked as edits.
  struct ListenerOff {
    TDatasetListener& l;
    bool saved;
    ~ListenerOff() {
      l.clear();
      l.active = saved;
    }
  } off{*fListener, fListener->active};
  fListener->active = false;

  fJClient->clearBatch();
  TRequest& r = fJClient->addRequest(1);
  r.addTable(this);
  r.addParam(WireValue(sqlText()));
  r.addParam(WireValue(paramCount()));
  for (const TJParameter& p : fParameters) {
    r.addParam(WireValue(TJTransport::fieldTypeToJavaType(p.dataType)));
    r.addParam(p.value);
  }
  // runBatch drops the batch when the run fails and raises a refusal's text.
  fJClient->runBatch(timeout, accessValidator);
  last_refresh_tm = dateTimeToDays(QDateTime::currentDateTime());
  if (history) {
    const qint64 ms = started.elapsed();
    fJClient->sqlRequestsHistory << QStringLiteral("Execution time: %1:%2.%3")
                                        .arg(ms / 60000 % 100, 2, 10, QLatin1Char('0'))
                                        .arg(ms / 1000 % 60, 2, 10, QLatin1Char('0'))
                                        .arg(ms % 1000, 3, 10, QLatin1Char('0'));
  }
}

void TJTable::prepare(int timeout) {
  if (!fJClient)
    throw EAbstractError(QStringLiteral("Property JClient is not defined (TJTable.prepare)."));
  auto dropFields = [this] {
    Close();
    ClearFields();
  };
  const QString sql = sqlText();
  if (sql.trimmed().isEmpty()) {
    dropFields();
    return;
  }
  // The server knows only bare "?" markers: a named marker keeps its "?" and
  // its name turns into blanks, so the text keeps its length.
  QString text = sql;
  bool inQuote = false;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == QLatin1Char('\'')) {
      inQuote = !inQuote;
    } else if (c == QLatin1Char('?') && !inQuote) {
      for (qsizetype k = i + 1; k < text.size() && isIdentChar(text[k]); ++k)
        text[k] = QLatin1Char(' ');
    }
  }
  fJClient->clearBatch();
  TRequest& r = fJClient->addRequest(12);
  r.addParam(WireValue(text));
  TRequestBatchPtr reply = fJClient->runBatch(timeout);
  dropFields();
  TRequest& res = reply->request(0);
  const int n = res.nextResultParam().toInt();
  for (int i = 0; i < n; ++i) {
    QString name = res.nextResultParam().toStringNullEmpty();
    const int code = res.nextResultParam().toInt();
    const int size = res.nextResultParam().toInt();
    (void)res.nextResultParam();
    if (name.isEmpty()) name = QStringLiteral("fld_%1").arg(i + 1);
    const TFieldType ft = TJTransport::javaTypeToFieldType(code);
    int fieldSize = 0, precision = 0;
    if (ft == ftString || ft == ftBytes || ft == ftVarBytes || ft == ftArray) fieldSize = size;
    if (ft == ftFloat) precision = size;
    AddField(name, ft, std::max(fieldSize, 0), std::max(precision, 0));
  }
  const int pc = res.nextResultParam().toInt();
  if (pc != paramCount()) {
    clearParams();
    for (int i = 0; i < pc; ++i)
      addParam(WireValue::null(), TJTransport::javaTypeToFieldType(res.nextResultParam().toInt()));
  } else {
    for (int i = 0; i < pc; ++i) (void)res.nextResultParam();
  }
}

// ---- parameters ----

void TJTable::addParam(const WireValue& value, TFieldType dataType) {
  if (dataType == ftUnknown) dataType = fieldTypeOfValue(value);
  WireValue v = value;
  if (!value.isNullOrEmpty()) {
    if (isIntegerType(dataType))
      v = WireValue(value.toInt());
    else if (dataType == ftBoolean)
      v = WireValue(value.toBool());
    else if (isFloatType(dataType))
      v = WireValue(value.toDouble());
    else if (isDateType(dataType))
      v = WireValue::dateTime(value.toDateTime());
  }
  fParameters.push_back(TJParameter{v, dataType});
}

const TJParameter& TJTable::getParam(int index) const {
  if (index < 0 || index >= paramCount())
    throw EAbstractError(QStringLiteral("Index is out of bounds (TJTable.getParam)."));
  return fParameters[size_t(index)];
}

QString TJTable::paramsText() const {
  QStringList parts;
  for (const TJParameter& p : fParameters) parts << p.value.toStringNullEmpty();
  return parts.join(QChar(0));
}

// ---- previous values ----

void TJTable::fieldChanged(plat::Field& field) {
  if (OnFieldChange) OnFieldChange(field);
  const size_t i = size_t(field.Index());
  if (i < fCurValues.size()) fCurValues[i] = field.Value();
}

QVariant TJTable::prevValue(const plat::Field* field) const {
  if (!field || fCurValues.empty()) return QVariant();
  const size_t i = size_t(field->Index());
  return i < fCurValues.size() ? fCurValues[i] : QVariant();
}

QVariant TJTable::prevValue(const QString& fieldName) const {
  return prevValue(FieldByName(fieldName));
}

// ---- bulk work and copies ----

void TJTable::updateRecords(const QString& fieldNames, const QVariant& values) {
  if (State() == plat::dsEdit || State() == plat::dsInsert) Post();
  QString names = fieldNames;
  names.replace(QLatin1Char(';'), QLatin1Char(','));
  if (!names.endsWith(QLatin1Char(','))) names += QLatin1Char(',');
  QStringList list = names.split(QLatin1Char(','));
  list.removeLast();
  std::vector<plat::Field*> fields;
  for (const QString& n : list) fields.push_back(FieldByName(n.trimmed()));
  const QVariantList many = fields.size() > 1 ? values.toList() : QVariantList();
  if (fields.size() > 1 && many.size() < qsizetype(fields.size()))
    throw EAbstractError(QStringLiteral("Variant array index out of bounds"));

  const plat::Bookmark back = GetBookmark();
  DisableControls();
  try {
    // The rows are visited by their bookmarks, so rows that move in a sorted
    // view while they are written are neither skipped nor visited twice.
    std::vector<plat::Bookmark> rows;
    for (First(); !Eof(); Next()) rows.push_back(GetBookmark());
    for (const plat::Bookmark& bm : rows) {
      if (!BookmarkValid(bm)) continue;
      GotoBookmark(bm);
      Edit();
      if (fields.size() == 1)
        fields[0]->SetValue(values);
      else
        for (size_t i = 0; i < fields.size(); ++i) fields[i]->SetValue(many[qsizetype(i)]);
      Post();
    }
    if (!back.isEmpty() && BookmarkValid(back)) GotoBookmark(back);
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

void TJTable::savePositionAndSorting() {
  DisableControls();
  fSavedBookmarks.push_back(GetBookmark());
  fSavedSortings.push_back(IndexFieldNames());
  SetIndexFieldNames(QString());
}

void TJTable::restorePositionAndSorting() {
  if (fSavedBookmarks.empty()) return;
  const plat::Bookmark bm = fSavedBookmarks.back();
  const QString sorting = fSavedSortings.back();
  fSavedBookmarks.pop_back();
  fSavedSortings.removeLast();
  try {
    SetIndexFieldNames(sorting);
    if (!bm.isEmpty()) {
      try {
        GotoBookmark(bm);
      } catch (const EDatabaseError&) {
        // The row is gone; the position is simply not restored.
      }
    }
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

void TJTable::loadFromDataSet(TJTable& source) {
  if (&source == this) return;
  LoadFromBytes(source.SaveToBytes());
  sourceTablesDataVersions = source.sourceTablesDataVersions;
  last_refresh_tm = source.last_refresh_tm;
  lastRefreshSQL = source.lastRefreshSQL;
  lastRefreshParams = source.lastRefreshParams;
}

void TJTable::loadFromDataSetCurrentRecord(TJTable& source) {
  if (&source == this) return;
  CopyStructure(source);
  Append();
  for (int i = 0; i < FieldCount(); ++i) {
    plat::Field* f = FieldByIndex(i);
    if (f->Kind() == plat::fkData) f->SetValue(source.FieldByIndex(i)->Value());
  }
  Post();
  sourceTablesDataVersions = source.sourceTablesDataVersions;
  last_refresh_tm = source.last_refresh_tm;
}

// ---- detail positions ----

void TJTable::saveDetailBookmarks() {
  fDetailBookmarks.clear();
  for (plat::MemTable* d : GetDetailDataSets())
    fDetailBookmarks.push_back(TDetailBookmark{d, d->GetBookmark()});
}

void TJTable::restoreDetailBookmarks() {
  for (const TDetailBookmark& b : fDetailBookmarks) {
    if (b.bk.isEmpty() || !b.dataSet->Active()) continue;
    if (b.dataSet->BookmarkValid(b.bk)) b.dataSet->GotoBookmark(b.bk);
  }
  freeDetailBookmarks();
}

// ---- hooks ----

void TJTable::DoAfterCancel() {
  plat::MemTable::DoAfterCancel();
  fCurValues.clear();
  fListener->afterCancel(*this);
}

void TJTable::DoAfterClose() {
  fCurValues.clear();
  fListener->forgetSnapshots();
  for (TTableSummary& sm : fSummaries) sm.Value = 0;
  plat::MemTable::DoAfterClose();
}

// Summaries are brought up to date before the user's after-delete and
// after-post handlers run, so that a handler reads the new sums.
void TJTable::DoAfterDelete() {
  fListener->afterDelete(*this);
  if (IndexesActive())
    RecalcSummaries();
  else
    fNeedRecalcSummaries = true;
  plat::MemTable::DoAfterDelete();
}

void TJTable::DoAfterEdit() {
  if (fInfillCurValues) {
    fCurValues.assign(size_t(FieldCount()), QVariant());
    for (int i = 0; i < FieldCount(); ++i) fCurValues[size_t(i)] = FieldByIndex(i)->Value();
  }
  restoreDetailBookmarks();
  fListener->afterEdit(*this);
  plat::MemTable::DoAfterEdit();
}

void TJTable::DoAfterInsert() {
  if (fInfillCurValues) fCurValues.assign(size_t(FieldCount()), QVariant());
  fListener->afterInsert(*this);
  setDefaultValues();
  plat::MemTable::DoAfterInsert();
}

// A new row takes the default values of the bound selection's columns, but
// not while a load or a key update has the tracker switched off.
void TJTable::setDefaultValues() {
  if (!fSelection || !fListener->active) return;
  for (int i = 0; i < fSelection->columnCount(); ++i) {
    const TSelectionColumn* c = fSelection->getColumn(i);
    if (c->defaultValue.isEmpty()) continue;
    plat::Field* f = FieldByName(c->alias);
    const QString word = c->defaultValue.toUpper();
    if (word == QLatin1String("DATE"))
      f->SetAsDateTime(QDateTime(QDate::currentDate(), QTime(0, 0)));
    else if (word == QLatin1String("TIME"))  // a time alone lies on day 0
      f->SetAsDateTime(QDateTime(QDate(1899, 12, 30), QTime::currentTime()));
    else if (word == QLatin1String("NOW"))
      f->SetAsDateTime(QDateTime::currentDateTime());
    else
      f->SetAsString(c->defaultValue);
  }
}

void TJTable::DoOnCalcFields() {
  setDocumentDescriptions();
  plat::MemTable::DoOnCalcFields();
}

// The description fields of journal and document columns: "% №% от %" (the
// document's table, number and date) and "№% от %". A table without such a
// calculated field has nothing to fill.
void TJTable::setDocumentDescriptions() {
  if (!fSelection) return;
  for (const TCalcField& c : fSelection->calcs()) {
    plat::Field* target = FindField(c.fieldName);
    if (!target || target->Kind() != plat::fkCalculated) continue;
    auto text = [this, &c](const char* suffix) {
      return FieldByName(c.fieldName + QLatin1String(suffix))->AsString();
    };
    auto put = [target](const QString& d) {
      if (target->AsString() != d) target->SetAsString(d);
    };
    if (c.isJournDescr) {
      const QString no = text("_docNo");
      put(no.isEmpty() ? QString()
                       : SafeFormat(QStringLiteral("% №% от %"),
                                    {text("_table_caption"), no, text("_docDt")}));
    }
    if (c.isDocDescr) {
      const QString no = text("_docNo");
      put(no.isEmpty() ? QString() : SafeFormat(QStringLiteral("№% от %"), {no, text("_docDt")}));
    }
  }
}

void TJTable::DoAfterOpen() {
  for (int i = 0; i < FieldCount(); ++i)
    FieldByIndex(i)->OnChange = [this](plat::Field& f) { fieldChanged(f); };
  plat::MemTable::DoAfterOpen();
}

void TJTable::DoAfterPost() {
  fCurValues.clear();
  if (IndexesActive())
    RecalcSummaries();
  else
    fNeedRecalcSummaries = true;
  plat::MemTable::DoAfterPost();
  restoreDetailBookmarks();
}

void TJTable::DoAfterScroll() {
  plat::MemTable::DoAfterScroll();
  for (plat::MemTable* d : GetDetailDataSets())
    if (d->State() == plat::dsEdit || d->State() == plat::dsInsert) d->Post();
  for (plat::MemTable* d : GetDetailDataSets())
    if (auto* j = dynamic_cast<TJTable*>(d)) j->RecalcSummaries();
}

void TJTable::DoBeforeCancel() {
  plat::MemTable::DoBeforeCancel();
  fListener->beforeCancel(*this);
}

void TJTable::DoBeforeDelete() {
  plat::MemTable::DoBeforeDelete();
  fListener->beforeDelete(*this);
}

void TJTable::DoBeforeEdit() {
  plat::MemTable::DoBeforeEdit();
  saveDetailBookmarks();
}

void TJTable::DoBeforeInsert() {
  plat::MemTable::DoBeforeInsert();
  fListener->beforeInsert(*this);
}

void TJTable::DoBeforePost() {
  plat::MemTable::DoBeforePost();
  saveDetailBookmarks();
  fListener->beforePost(*this);
}

// ---- changes on the server ----

int TJTable::applyToDB(TCustomAccessValidator* accessValidator) {
  if (!fJClient)
    throw EAbstractError(QStringLiteral("Property JClient is not defined (TJTable.applyToDB)."));
  fJClient->clearBatch();
  TRequest& r = fJClient->addRequest(8);
  const QStringList keptPosted = fPostedFields;
  struct PutBack {
    TJTable& tb;
    const QStringList& posted;
    ~PutBack() { tb.fPostedFields = posted; }
  } putBack{*this, keptPosted};
  if (fPostedFields == QStringList{QStringLiteral("*")}) {
    QStringList all;
    for (int i = 0; i < FieldCount(); ++i) {
      const QString name = FieldByIndex(i)->FieldName();
      if (name.compare(fKeyField, Qt::CaseInsensitive) != 0) all << name;
    }
    fPostedFields = all;
  }
  try {
    fListener->getPostArray(r);
  } catch (...) {
    fJClient->clearBatch();  // nothing half-written is left for the next request
    throw;
  }
  TRequestBatchPtr reply = fJClient->runBatch(30, accessValidator);
  const TRequest& answer = reply->request(0);
  const int result = answer.resultParamCount() > 0 ? answer.resultParam(0).toInt() : 0;
  fListener->updateNegativeID(answer, 0);
  if (State() == plat::dsInsert) FieldByName(fKeyField)->SetAsInteger(result);
  fListener->clear();
  return result;
}

void TJTable::deleteFromDB(TCustomAccessValidator* accessValidator) {
  if (!fJClient)
    throw EAbstractError(QStringLiteral("Property JClient is not defined (TJTable.deleteFromDB)."));
  fJClient->deleteRecord(this, fTableName, keyFieldSQLName(), fKeyField, 30, accessValidator);
}

void TJTable::checkServerChange() const {
  if (!fJClient)
    throw EAbstractError(QStringLiteral("Property JClient is not defined (TJTable.prepare)."));
  if (fTableName.isEmpty())
    throw EAbstractError(QStringLiteral("TableName is not defined (TJTable.prepare)."));
}

void TJTable::runServerChange(uint16_t code, const WireValue& a, const WireValue& b,
                              const WireValue& c, int timeout) {
  fJClient->clearBatch();
  TRequest& r = fJClient->addRequest(code);
  r.addParam(a);
  r.addParam(b);
  r.addParam(c);
  fJClient->runBatch(timeout);
}

void TJTable::setIsDeleted(bool isDeleted, int timeout) {
  checkServerChange();  // before the key: a table without rows gets the real reason
  const int key = FieldByName(fKeyField)->AsInteger();
  runServerChange(44, WireValue(isDeleted ? 1 : 0), WireValue(key), WireValue(fTableName), timeout);
}

void TJTable::setParent(int parent_id, int timeout) {
  checkServerChange();
  const int key = FieldByName(fKeyField)->AsInteger();
  runServerChange(45, WireValue(fTableName), WireValue(key), WireValue(parent_id), timeout);
}
