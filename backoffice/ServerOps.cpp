// The server operations: one request each (a few send one request per
// table), run by the common pattern of runBatch.

#include "backoffice/JTransport.h"

TRequestBatchPtr TJTransport::runBatch(int timeout, TCustomAccessValidator* accessValidator) {
  TRequestBatchPtr reply;
  try {
    reply = execBatch(timeout, accessValidator);
  } catch (...) {
    try {
      clearBatch();
    } catch (...) {
    }
    throw;
  }
  if (reply->errorCode != 0) throw EServerError(reply->errorMessage);
  return reply;
}

namespace {

TRequestBatchPtr simpleRequest(TJTransport& t, uint16_t code,
                               std::initializer_list<WireValue> params, int timeout,
                               plat::MemTable* tb = nullptr,
                               TCustomAccessValidator* validator = nullptr) {
  t.clearBatch();
  TRequest& r = t.addRequest(code);
  if (tb) r.addTable(tb);
  for (const auto& p : params) r.addParam(p);
  return t.runBatch(timeout, validator);
}

const WireValue& result0(const TRequestBatchPtr& b) {
  return b->request(0).resultParam(0);
}

}  // namespace

// ---- SQL and values ----

void TJTransport::select(plat::MemTable* tb, const QString& sql, int timeout) {
  simpleRequest(*this, 1, {WireValue(sql), WireValue(0)}, timeout, tb);
}

WireValue TJTransport::selectValue(const QString& sql, int timeout) {
  plat::MemTable tmp;
  simpleRequest(*this, 1, {WireValue(sql), WireValue(0)}, timeout, &tmp);
  if (!tmp.Active() || tmp.FieldCount() == 0)
    throw EAbstractError(QStringLiteral("List index out of bounds (0)"));
  if (tmp.IsEmpty()) return WireValue::null();
  return WireValue::fromQVariant(tmp.FieldByIndex(0)->Value());
}

void TJTransport::execSQL(const QString& sql, int timeout) {
  simpleRequest(*this, 2, {WireValue(sql)}, timeout);
}

int TJTransport::getTableDataVersion(const QString& tableName, int timeout) {
  return result0(simpleRequest(*this, 56, {WireValue(tableName)}, timeout)).toInt();
}

std::vector<int> TJTransport::getTablesDataVersion(const QStringList& tableNames, int timeout) {
  clearBatch();
  TRequest& r = addRequest(56);
  for (const auto& n : tableNames) r.addParam(WireValue(n));
  TRequestBatchPtr b = runBatch(timeout);
  std::vector<int> out;
  for (const auto& v : b->request(0).results) out.push_back(v.toInt());
  return out;
}

QString TJTransport::getTablesDataVersionStr(const QStringList& tableNames, int timeout) {
  QString s;
  for (int v : getTablesDataVersion(tableNames, timeout))
    s += QString::number(v) + QStringLiteral("\r\n");
  return s;
}

// ---- database structure ----

void TJTransport::getDBTables(plat::MemTable* tb, const QString& catalog,
                              const QString& schemaPattern, const QString& tableNamePattern,
                              int timeout) {
  simpleRequest(*this, 11,
                {WireValue(catalog), WireValue(schemaPattern), WireValue(tableNamePattern)},
                timeout, tb);
}

void TJTransport::getDBPrimaryKeys(plat::MemTable* tb, const QString& catalog,
                                   const QString& schema, const QString& table, int timeout) {
  simpleRequest(*this, 18, {WireValue(catalog), WireValue(schema), WireValue(table)}, timeout, tb);
}

void TJTransport::getDBColumns(plat::MemTable* tb, const QString& catalog,
                               const QString& schemaPattern, const QString& tableNamePattern,
                               const QString& columnNamePattern, int timeout) {
  simpleRequest(*this, 19,
                {WireValue(catalog), WireValue(schemaPattern), WireValue(tableNamePattern),
                 WireValue(columnNamePattern)},
                timeout, tb);
}

void TJTransport::getDBFKImportedKeys(plat::MemTable* tb, const QString& catalog,
                                      const QString& schema, const QString& table, int timeout) {
  simpleRequest(*this, 50, {WireValue(catalog), WireValue(schema), WireValue(table)}, timeout, tb);
}

void TJTransport::getDBIndexes(plat::MemTable* tb, const QString& catalog, const QString& schema,
                               const QString& table, int timeout) {
  simpleRequest(*this, 51, {WireValue(catalog), WireValue(schema), WireValue(table)}, timeout, tb);
}

QString TJTransport::getDBStructure(int timeout) {
  return result0(simpleRequest(*this, 52, {}, timeout)).toString();
}

void TJTransport::setTableStructure(const QString& tableName, const QString& fieldsXML,
                                    int timeout) {
  simpleRequest(*this, 29, {WireValue(tableName), WireValue(fieldsXML)}, timeout);
}

void TJTransport::recreateOUT(int timeout) {
  simpleRequest(*this, 28, {}, timeout);
}

// ---- constants and exchange plans ----

QString TJTransport::getConst(int constType, int timeout) {
  return result0(simpleRequest(*this, 53, {WireValue(constType)}, timeout)).toStringNullEmpty();
}

QStringList TJTransport::getConsts(const std::vector<int>& constTypes, int timeout) {
  clearBatch();
  TRequest& r = addRequest(53);
  for (int t : constTypes) r.addParam(WireValue(t));
  TRequestBatchPtr b = runBatch(timeout);
  QStringList out;
  for (int i = 0; i < int(constTypes.size()); ++i)
    out << b->request(0).resultParam(i).toStringNullEmpty();
  return out;
}

void TJTransport::setConst(int constType, const QString& value, int timeout) {
  simpleRequest(*this, 54, {WireValue(constType), WireValue(value)}, timeout);
}

void TJTransport::setConsts(const std::vector<int>& constTypes, const QStringList& values,
                            int timeout) {
  if (int(constTypes.size()) != values.size())
    throw EAbstractError(
        QStringLiteral("length(constTypes) <> length(values) (TJTransport.setConsts)."));
  clearBatch();
  TRequest& r = addRequest(54);
  for (int i = 0; i < values.size(); ++i) {
    r.addParam(WireValue(constTypes[size_t(i)]));
    r.addParam(WireValue(values[i]));
  }
  runBatch(timeout);
}

QString TJTransport::getExchangePlan(int id, int timeout) {
  return result0(simpleRequest(*this, 48, {WireValue(id)}, timeout)).toString();
}

void TJTransport::putExchangePlan(int id, const QString& xml, int timeout) {
  simpleRequest(*this, 49, {WireValue(id), WireValue(xml)}, timeout);
}

// ---- files on the server ----

QString TJTransport::getFileList(const QString& path, const QString& mask, int timeout) {
  return result0(simpleRequest(*this, 6, {WireValue(path), WireValue(mask)}, timeout)).toString();
}

QString TJTransport::getFileString(const QString& fileName, const QString& delimiter, int start,
                                   int size, int timeout) {
  return result0(simpleRequest(
                     *this, 17,
                     {WireValue(fileName), WireValue(delimiter), WireValue(start), WireValue(size)},
                     timeout))
      .toString();
}

void TJTransport::createFolder(const QString& folder, int timeout) {
  simpleRequest(*this, 68, {WireValue(folder)}, timeout);
}

void TJTransport::copyFile(const QString& source, const QString& dest, bool overwrite,
                           int timeout) {
  simpleRequest(*this, 69, {WireValue(source), WireValue(dest), WireValue(overwrite)}, timeout);
}

void TJTransport::dbExport(const QString& fileName, int timeout) {
  simpleRequest(*this, 21, {WireValue(fileName)}, timeout);
}

void TJTransport::dbImport(const QString& fileName, int timeout) {
  simpleRequest(*this, 22, {WireValue(fileName)}, timeout);
}

void TJTransport::restoreFirebirdDatabase(const QString& source, const QString& dest, int timeout) {
  simpleRequest(*this, 63, {WireValue(source), WireValue(dest)}, timeout);
}

// ---- steps ----

void TJTransport::executeStep(int step_id, const QString& params, bool createNewThread,
                              int timeout) {
  simpleRequest(*this, 5,
                {WireValue(step_id), WireValue(0), WireValue::null(), WireValue::null(),
                 WireValue(params), WireValue(createNewThread)},
                timeout);
}

int TJTransport::executeStepXML(int stepType_id, const QString& xml, const QString& paramsMetadata,
                                const QString& params, bool createNewThread, int timeout) {
  return result0(simpleRequest(
                     *this, 5,
                     {WireValue(0), WireValue(stepType_id), WireValue(xml),
                      WireValue(paramsMetadata), WireValue(params), WireValue(createNewThread)},
                     timeout))
      .toInt();
}

void TJTransport::terminateStep(int id, int timeout) {
  simpleRequest(*this, 16, {WireValue(id)}, timeout);
}

void TJTransport::logStepError(int step_id, const QString& error, int timeout) {
  simpleRequest(*this, 24, {WireValue(step_id), WireValue(error)}, timeout);
}

QString TJTransport::getParamsMetadata(int step_id, int timeout) {
  return result0(simpleRequest(*this, 41, {WireValue(step_id)}, timeout)).toString();
}

WireValue TJTransport::calcJavaExpression(const QString& expression, int timeout) {
  return result0(simpleRequest(*this, 42, {WireValue(expression)}, timeout));
}

// ---- administration and information ----

void TJTransport::getAppServerInfo(TAppServerInfo& info, int timeout) {
  TRequestBatchPtr b = simpleRequest(*this, 4, {}, timeout);
  TRequest& r = b->request(0);
  info.dbType = r.resultParam(0).toInt();
  info.dbName = r.resultParam(1).toString();
  info.dbURL = r.resultParam(2).toString();
  info.dbProperties = r.resultParam(3).toString();
  info.appServerCount = r.resultParam(4).toInt();
  info.appServerNo = r.resultParam(5).toInt();
  info.workingFolder = r.resultParam(6).toString();
  info.separator = r.resultParam(7).toString();
}

QString TJTransport::getPrinters(int timeout) {
  return result0(simpleRequest(*this, 23, {}, timeout)).toString();
}

void TJTransport::setUserPassword(const QString& login, const QString& password, int timeout) {
  simpleRequest(*this, 10, {WireValue(login), WireValue(password)}, timeout);
}

void TJTransport::startDemoAppServer(int port, int timeout) {
  simpleRequest(*this, 34, {WireValue(port)}, timeout);
}

void TJTransport::stopDemoAppServer(int port, int timeout) {
  simpleRequest(*this, 33, {WireValue(port)}, timeout);
}

bool TJTransport::getReportServerTerminated(int timeout) {
  return result0(simpleRequest(*this, 35, {}, timeout)).toBool();
}

void TJTransport::setReportServerError(const QString& err, int timeout) {
  simpleRequest(*this, 20, {WireValue(err)}, timeout);
}

void TJTransport::getThreadInfo(plat::MemTable* tb, int timeout) {
  TRequestBatchPtr b = simpleRequest(*this, 47, {}, timeout);
  TRequest& r = b->request(0);
  tb->DisableControls();
  struct Enable {
    plat::MemTable* t;
    ~Enable() {
      try {
        t->EnableControls();
      } catch (...) {
      }
    }
  } enable{tb};
  int keepId = 1;
  try {
    plat::Field* f = tb->FieldByName(QStringLiteral("id"));
    keepId = f->IsNull() ? 0 : f->AsInteger();
  } catch (...) {
    keepId = 1;
  }
  tb->Close();
  tb->ClearFields();
  tb->AddField(QStringLiteral("id"), ftInteger);
  tb->AddField(QStringLiteral("class"), ftString, 100);
  tb->AddField(QStringLiteral("name"), ftString, 100);
  tb->AddField(QStringLiteral("priority"), ftInteger);
  tb->AddField(QStringLiteral("isCurrent"), ftInteger);
  tb->AddField(QStringLiteral("loading"), ftInteger);
  tb->Open();
  int n = r.nextResultParam().toInt();
  for (int i = 0; i < n; ++i) {
    tb->Append();
    tb->FieldByIndex(0)->SetAsInteger(r.nextResultParam().toInt());
    tb->FieldByIndex(1)->SetAsString(r.nextResultParam().toString());
    tb->FieldByIndex(2)->SetAsString(r.nextResultParam().toString());
    tb->FieldByIndex(3)->SetAsInteger(r.nextResultParam().toInt());
    tb->FieldByIndex(4)->SetAsInteger(r.nextResultParam().toBool() ? 1 : 0);
    tb->FieldByIndex(5)->SetAsInteger(r.nextResultParam().toInt());
    tb->Post();
  }
  tb->Locate(QStringLiteral("id"), keepId);
}

void TJTransport::interruptThread(int threadId, const QString& threadName, int timeout) {
  simpleRequest(*this, 71, {WireValue(threadId), WireValue(threadName)}, timeout);
}

// ---- messages, cards, document jobs ----

int TJTransport::sendSMS(const QString& phone, const QString& text, bool statusReportRequired,
                         bool doNotUseSmsGate, bool checkBalance, int timeout,
                         TCustomAccessValidator* accessValidator) {
  return result0(simpleRequest(*this, 55,
                               {WireValue(phone), WireValue(text), WireValue(statusReportRequired),
                                WireValue(doNotUseSmsGate), WireValue(checkBalance)},
                               timeout, nullptr, accessValidator))
      .toInt();
}

QString TJTransport::sendUSSD(const QString& request, int timeout) {
  return result0(simpleRequest(*this, 62, {WireValue(request)}, timeout)).toString();
}

void TJTransport::generateCards(int cardGroup_id, int cardNumberLength, bool cardNumberIsRandom,
                                int pinLength, int timeout) {
  simpleRequest(*this, 43,
                {WireValue(cardGroup_id), WireValue(cardNumberLength),
                 WireValue(cardNumberIsRandom ? 1 : 0), WireValue(pinLength)},
                timeout);
}

int TJTransport::docReactualizationStart(TReactulizationStartDateType startDateType,
                                         double startDate, TReactulizationEndDateType endDateType,
                                         double endDate, TReactulizationDocType docType,
                                         const QString& filter, int timeout) {
  return result0(simpleRequest(*this, 59,
                               {WireValue(int(startDateType)), WireValue::dateTime(startDate),
                                WireValue(int(endDateType)), WireValue::dateTime(endDate),
                                WireValue(int(docType)), WireValue(filter)},
                               timeout))
      .toInt();
}

namespace {

TReactulizationInfo reactualization(TJTransport& t, uint16_t code, int id) {
  constexpr int kFixedTimeout = 30;
  TRequestBatchPtr b = simpleRequest(t, code, {WireValue(id)}, kFixedTimeout);
  TRequest& r = b->request(0);
  TReactulizationInfo info;
  info.reactulization_id = id;
  info.total_doc_count = r.nextResultParam().toInt();
  info.done_doc_count = r.nextResultParam().toInt();
  info.last_table_id = r.nextResultParam().toInt();
  info.last_doc_id = r.nextResultParam().toInt();
  info.last_docNo = r.nextResultParam().toString();
  info.last_docDt = r.nextResultParam().toDateTime();
  info.started = r.nextResultParam().toDateTime();
  info.finished = r.nextResultParam().toDateTime();
  info.error = r.nextResultParam().toString();
  return info;
}

TMergeInfo merge(TJTransport& t, uint16_t code, int id, int timeout) {
  TRequestBatchPtr b = simpleRequest(t, code, {WireValue(id)}, timeout);
  TRequest& r = b->request(0);
  TMergeInfo info;
  info.process_id = id;
  info.status = r.nextResultParam().toStringNullEmpty();
  info.ref_count = r.nextResultParam().toInt();
  info.done_ref_count = r.nextResultParam().toInt();
  info.last_table_id = r.nextResultParam().toInt();
  info.last_name = r.nextResultParam().toStringNullEmpty();
  info.last_docDt = r.nextResultParam().toDateTime();
  info.started = r.nextResultParam().toDateTime();
  info.finished = r.nextResultParam().toDateTime();
  info.error = r.nextResultParam().toStringNullEmpty();
  return info;
}

}  // namespace

TReactulizationInfo TJTransport::docReactualizationStop(int reactulization_id) {
  return reactualization(*this, 60, reactulization_id);
}

TReactulizationInfo TJTransport::docReactualizationInfo(int reactulization_id) {
  return reactualization(*this, 61, reactulization_id);
}

int TJTransport::mergeStart(int table_id, int first_id, int second_id, int timeout) {
  return result0(simpleRequest(*this, 65,
                               {WireValue(table_id), WireValue(first_id), WireValue(second_id)},
                               timeout))
      .toInt();
}

TMergeInfo TJTransport::mergeInfo(int process_id, int timeout) {
  return merge(*this, 66, process_id, timeout);
}

TMergeInfo TJTransport::mergeStop(int process_id, int timeout) {
  return merge(*this, 67, process_id, timeout);
}
