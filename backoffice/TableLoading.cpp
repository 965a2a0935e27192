// Loading several server-filled tables in one batch (requests 1 and 64),
// with the optional SQL history.

#include <QDateTime>
#include <QElapsedTimer>
#include <QLocale>

#include "backoffice/JTable.h"
#include "backoffice/JTransport.h"

namespace {

constexpr int kHistoryLimit = 10000;

QString historyValue(const WireValue& v) {
  if (v.type() == VarType::Date)
    return v.toQDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss.zzz"));
  return v.toStringNullEmpty();
}

// Switches the trackers off during a load and clears them afterwards, also
// when the load fails, giving each its former state back.
struct ListenersOff {
  std::vector<std::pair<TJTable*, bool>> kept;
  explicit ListenersOff(const std::vector<TJTable*>& tables) {
    for (TJTable* t : tables) {
      kept.emplace_back(t, t->listener().active);
      t->listener().active = false;
    }
  }
  ~ListenersOff() {
    for (auto& [t, active] : kept) {
      try {
        t->listener().clear();
      } catch (...) {
      }
      t->listener().active = active;
    }
  }
};

void addTableParams(TRequest& r, const TJTable& t) {
  r.addParam(WireValue(t.paramCount()));
  for (int i = 0; i < t.paramCount(); ++i) {
    const TJParameter& p = t.getParam(i);
    r.addParam(WireValue(TJTransport::fieldTypeToJavaType(p.dataType)));
    r.addParam(p.value);
  }
}

}  // namespace

static void writeHistoryHeader(QStringList& h, const std::vector<TJTable*>& tables, bool refresh) {
  if (h.size() > kHistoryLimit) h.clear();
  h << QString()
    << QStringLiteral("----------------- ") +
           QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat) +
           QStringLiteral(" ----------------->");
  for (TJTable* t : tables) {
    h << QString() << t->sqlText();
    if (t->paramCount() > 0) h << QString();
    if (refresh) h << QStringLiteral("Data Version: ") + t->sourceTablesDataVersions;
    for (int i = 0; i < t->paramCount(); ++i)
      h << QStringLiteral("Parameter %1: ").arg(i) + historyValue(t->getParam(i).value);
  }
}

static QString elapsedText(qint64 ms) {
  return QStringLiteral("Execution time: %1:%2.%3")
      .arg(ms / 60000, 2, 10, QChar(u'0'))
      .arg((ms / 1000) % 60, 2, 10, QChar(u'0'))
      .arg(ms % 1000, 3, 10, QChar(u'0'));
}

void TJTransport::selectTables(const std::vector<TJTable*>& tables, int timeout,
                               TCustomAccessValidator* accessValidator) {
  QElapsedTimer timer;
  timer.start();
  if (logSQLRequestsHistory) writeHistoryHeader(sqlRequestsHistory, tables, false);
  ListenersOff off(tables);
  clearBatch();
  for (TJTable* t : tables) {
    TRequest& r = addRequest(1);
    r.addTable(t);
    r.addParam(WireValue(t->sqlText()));
    addTableParams(r, *t);
  }
  runBatch(timeout, accessValidator);
  if (logSQLRequestsHistory) sqlRequestsHistory << elapsedText(timer.elapsed());
}

void TJTransport::refreshTables(const std::vector<TJTable*>& tables, int timeout,
                                TCustomAccessValidator* accessValidator) {
  QElapsedTimer timer;
  timer.start();
  if (logSQLRequestsHistory) writeHistoryHeader(sqlRequestsHistory, tables, true);
  ListenersOff off(tables);
  clearBatch();
  for (TJTable* t : tables) {
    // A version only means something for the same statement with the same
    // parameters over rows we still hold.
    if (!t->Active()) t->sourceTablesDataVersions.clear();
    QString sql = t->sqlText();
    if (sql != t->lastRefreshSQL) {
      t->lastRefreshSQL = sql;
      t->sourceTablesDataVersions.clear();
    }
    QString params = t->paramsText();
    if (params != t->lastRefreshParams) {
      t->lastRefreshParams = params;
      t->sourceTablesDataVersions.clear();
    }
    TRequest& r = addRequest(64);
    r.addTable(t);
    r.addParam(WireValue(t->sourceTablesDataVersions));
    r.addParam(WireValue(sql));
    addTableParams(r, *t);
  }
  TRequestBatchPtr reply = runBatch(timeout, accessValidator);
  const double now = dateTimeToDays(QDateTime::currentDateTime());
  for (size_t i = 0; i < tables.size(); ++i) {
    TRequest& r = reply->request(int(i));
    QString version = r.resultParamCount() > 0 ? r.resultParam(0).toStringNullEmpty() : QString();
    if (!version.isEmpty()) tables[i]->sourceTablesDataVersions = version;
    tables[i]->last_refresh_tm = now;
  }
  if (logSQLRequestsHistory) sqlRequestsHistory << elapsedText(timer.elapsed());
}
