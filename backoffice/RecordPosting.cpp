// Single records written field by field: request 3 or 7 with a flat list of
// (name, JDBC code, value) triples, the key field first; request 13 deletes;
// request 27 inserts many records of one table.

#include "backoffice/JTransport.h"

namespace {

// ";" and "," both separate; names are kept as written, an empty name
// between two separators included; a separator at the very end adds none.
QStringList splitFieldNames(const QString& fieldNames) {
  QString t = fieldNames;
  t.replace(u';', u'\n').replace(u',', u'\n');
  QStringList names = t.split(u'\n');
  if (!names.isEmpty() && names.last().isEmpty()) names.removeLast();
  return names;
}

const WireValue& element(const WireValue& values, int i) {
  return values.isArray() ? values.elements()[size_t(i)] : values;
}

WireValue fieldValue(const plat::Field& f) {
  return WireValue::fromQVariant(f.Value());
}

}  // namespace

int TJTransport::postRecord(plat::MemTable* tb, const QString& table, const QString& keyField,
                            const QString& postedFields, bool generateID, int timeout) {
  clearBatch();
  TRequest& r = addRequest(generateID ? 7 : 3);
  r.addParam(WireValue(table));
  r.addParam(WireValue(keyField));
  plat::Field* key = tb->FieldByName(keyField);
  r.addParam(WireValue(fieldTypeToJavaType(key->DataType())));
  r.addParam(fieldValue(*key));
  QString list = postedFields.trimmed();
  if (!list.isEmpty() && !list.endsWith(u';')) list += u';';
  int from = 0;
  for (int at = int(list.indexOf(u';')); at >= 0; at = int(list.indexOf(u';', from))) {
    QString name = list.mid(from, at - from).trimmed();
    from = at + 1;
    plat::Field* f = tb->FieldByName(name);
    r.addParam(WireValue(name));
    r.addParam(WireValue(fieldTypeToJavaType(f->DataType())));
    r.addParam(f->DataType() == ftBlob ? WireValue(f->AsString()) : fieldValue(*f));
  }
  TRequestBatchPtr b = runBatch(timeout);
  return b->request(0).resultParam(1).toInt();
}

int TJTransport::insertRec(const QString& tableName, const QString& fieldNames,
                           const WireValue& fieldValues, int timeout) {
  QStringList names = splitFieldNames(fieldNames);
  const int count = fieldValues.count();
  if (names.size() != count + 1)
    throw EAbstractError(
        QStringLiteral("Incorrect fields number in \"fieldNames\" or \"fieldValues\" param "
                       "(TJClient.insertRec)."));
  // Type codes first: a value the wire has no code for fails before anything
  // is queued.
  std::vector<int> codes;
  for (int i = 0; i < count; ++i) codes.push_back(valueTypeToJavaType(element(fieldValues, i)));
  clearBatch();
  TRequest& r = addRequest(7);
  r.addParam(WireValue(tableName));
  r.addParam(WireValue(names[0]));
  r.addParam(WireValue(fieldTypeToJavaType(ftInteger)));
  r.addParam(WireValue::null());
  for (int i = 1; i < names.size(); ++i) {
    r.addParam(WireValue(names[i]));
    r.addParam(WireValue(codes[size_t(i - 1)]));
    r.addParam(element(fieldValues, i - 1));
  }
  TRequestBatchPtr b = runBatch(timeout);
  TRequest& res = b->request(0);
  if (res.resultParam(0).toInt() != 1)
    throw EAbstractError(QStringLiteral("Record was not inserted (TJClient.insertRec)."));
  return res.resultParam(1).toInt();
}

int TJTransport::updateRec(const QString& tableName, const QString& fieldNames,
                           const WireValue& fieldValues, int timeout) {
  QStringList names = splitFieldNames(fieldNames);
  if (!fieldValues.isArray())
    throw EAbstractError(
        QStringLiteral("Param \"fieldValues\" should be a variant array (TJClient.updateRec)."));
  const int count = fieldValues.count();
  if (names.size() != count || count == 0)
    throw EAbstractError(
        QStringLiteral("Incorrect fields number inside \"fieldNames\" or \"fieldValues\" param "
                       "(TJClient.updateRec)."));
  std::vector<int> codes;
  for (int i = 1; i < count; ++i) codes.push_back(valueTypeToJavaType(element(fieldValues, i)));
  clearBatch();
  TRequest& r = addRequest(7);
  r.addParam(WireValue(tableName));
  r.addParam(WireValue(names[0]));
  r.addParam(WireValue(fieldTypeToJavaType(ftInteger)));
  r.addParam(element(fieldValues, 0));
  for (int i = 1; i < count; ++i) {
    r.addParam(WireValue(names[i]));
    r.addParam(WireValue(codes[size_t(i - 1)]));
    r.addParam(element(fieldValues, i));
  }
  TRequestBatchPtr b = runBatch(timeout);
  return b->request(0).resultParam(0).toInt();
}

int TJTransport::deleteRecord(plat::MemTable* tb, const QString& table, const QString& keyField,
                              const QString& keyFieldAlias, int timeout,
                              TCustomAccessValidator* accessValidator) {
  plat::Field* f = tb->FieldByName(keyFieldAlias);
  if (f->AsString().isEmpty()) return 1;
  clearBatch();
  TRequest& r = addRequest(13);
  r.addParam(WireValue(table));
  r.addParam(WireValue(keyField));
  r.addParam(WireValue(fieldTypeToJavaType(f->DataType())));
  r.addParam(WireValue(f->AsInteger()));
  TRequestBatchPtr b = runBatch(timeout, accessValidator);
  return b->request(0).resultParam(0).toInt();
}

int TJTransport::deleteRec(const QString& tableName, const QString& keyFieldName,
                           const WireValue& keyFieldValue, int timeout) {
  int code = valueTypeToJavaType(keyFieldValue);
  clearBatch();
  TRequest& r = addRequest(13);
  r.addParam(WireValue(tableName));
  r.addParam(WireValue(keyFieldName));
  r.addParam(WireValue(code));
  r.addParam(keyFieldValue);
  TRequestBatchPtr b = runBatch(timeout);
  return b->request(0).resultParam(0).toInt();
}

void TJTransport::batchInsertStart(const QString& tableName, const QString& fieldNames) {
  fBatchInsertRecords.clear();
  fBatchInsertRecordCount = 0;
  fBatchInsertTableName = tableName;
  fBatchInsertFieldNames = fieldNames;
}

void TJTransport::batchInsertAdd(const WireValue& fieldValues) {
  if (fBatchInsertRecords.size() == fBatchInsertRecords.capacity())
    fBatchInsertRecords.reserve(fBatchInsertRecords.size() + 1000);
  fBatchInsertRecords.push_back(fieldValues);
  ++fBatchInsertRecordCount;
}

void TJTransport::batchInsertApply(int timeout) {
  struct Empty {
    TJTransport* t;
    ~Empty() {
      try {
        t->clearBatch();
      } catch (...) {
      }
      t->fBatchInsertRecords.clear();
      t->fBatchInsertRecordCount = 0;
    }
  } empty{this};
  clearBatch();
  QStringList names = splitFieldNames(fBatchInsertFieldNames);
  TRequest& r = addRequest(27);
  r.addParam(WireValue(fBatchInsertTableName));
  r.addParam(WireValue(int(names.size())));
  r.addParam(WireValue(fBatchInsertRecordCount));
  for (const auto& n : names) r.addParam(WireValue(n));
  for (const auto& rec : fBatchInsertRecords) {
    const int count = rec.count();
    if (names.size() != count + 1)
      throw EAbstractError(QStringLiteral(
          "Incorrect fields number in \"fieldValues\" param (TJTransport.batchInsertAdd)."));
    for (int i = 1; i < names.size(); ++i) r.addParam(element(rec, i - 1));
  }
  runBatch(timeout);
}
