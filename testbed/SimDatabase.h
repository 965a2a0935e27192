#pragma once
// The stand-in back office's state: one SQLite file holding the tables the
// kiosk reads and writes, and the business state behind the kiosk's payment,
// fiscal and loyalty requests. Every public call is atomic and may come from
// any connection thread.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <functional>
#include <mutex>

#include "platform/Exception.h"

struct sqlite3;

namespace sim {

// JDBC type codes that columns and request-7 fields travel with.
enum JdbcType : int {
  jdbcBigint = -5,
  jdbcChar = 1,
  jdbcInteger = 4,
  jdbcSmallint = 5,
  jdbcFloat = 6,
  jdbcDouble = 8,
  jdbcVarchar = 12,
  jdbcBoolean = 16,
  jdbcDate = 91,
  jdbcTime = 92,
  jdbcTimestamp = 93,
  jdbcOther = 1111,
  jdbcBlob = 2004,
  jdbcClob = 2005,
};

// The largest text column the client accepts as a string field; longer
// texts go out as memo columns.
constexpr int kMaxStringSize = 8191;

struct Column {
  QString name;
  int jdbcType = jdbcVarchar;
  int size = 0;
};

// A select's result. Values are null, qint32/qint64, double, bool, QString,
// QByteArray or QDateTime (local time), matching each column's type.
struct ResultSet {
  QList<Column> columns;
  QList<QVariantList> rows;
};

// One field of a record write: name, the JDBC type code the client sent, value.
struct FieldValue {
  QString name;
  int jdbcType = jdbcOther;
  QVariant value;
};

// --- business records -------------------------------------------------------

struct SaleGood {
  qint32 nomenclatureId = 0;
  QString name;
  qint64 priceKop = 0;
  qint32 quantity = 0;
};

struct SaleReport {
  bool online = true;
  QDateTime dt;
  qint64 saleNo = 0;
  QString pmVmId;
  qint64 firmId = 0;
  qint64 cashKop = 0;
  qint64 cashlessKop = 0;
  QList<SaleGood> goods;
};

struct FiscalCheck {
  qint32 id = 0;
  quint32 fdNumber = 0;
  quint32 fp = 0;
  QDateTime dt;
  quint16 shiftNo = 0;
  quint16 checkNumberInShift = 0;
  QString fnSerialNumber;
};

struct SbpSession {
  qint64 sessionId = 0;
  QString qrCode;
};

struct ProductPosition {
  QString product;
  qint32 quantity = 0;
  double price = 0;
};

struct IdentityCardResult {
  double initialBalance = 0;
  bool paymentDone = false;
  double finalBalance = 0;
};

// The 15 loyalty values of a card, in their wire order.
struct LoyaltyCard {
  qint64 userId = 0;
  qint64 operationId = 0;
  QString firstName, lastName, phone, barcode, templateName;
  double existedSumm = 0, allowedSumm = 0, cashbackPercent = 0, willAdd = 0;
  QString cashbackLevel;
  double discountSumm = 0, discountPercent = 0;
  QString discountLevel;
};

// A refusal whose text goes back to the client unchanged.
VEKTA_EXCEPTION_CLASS(ESimRefused, Exception)

class SimDatabase {
 public:
  // Opens FILE (created when missing) and creates the missing tables.
  explicit SimDatabase(const QString& path);
  ~SimDatabase();
  SimDatabase(const SimDatabase&) = delete;
  SimDatabase& operator=(const SimDatabase&) = delete;

  QString path() const { return path_; }

  // Fills the demo back office; a second call on the same file does nothing.
  void seedDemo();

  // The kiosk's SQL dialect to SQLite: "select first N [skip M]" becomes a
  // limit clause, "?name" markers become "?", current_timestamp local time.
  static QString rewriteSql(const QString& sql);

  // Runs a select (after the rewrite) with positional parameters.
  ResultSet select(const QString& sql, const QVariantList& params = {});
  // Runs any statement (after the rewrite); returns the rows changed.
  qint64 exec(const QString& sql, const QVariantList& params = {});

  // Record writes of requests 7, 3, 13 and 27. Names must be plain
  // identifiers; the key field comes first, as the client sends it.
  qint64 insertRecord(const QString& table, const QString& keyField,
                      const QList<FieldValue>& fields);
  qint64 updateRecord(const QString& table, const QString& keyField, const QVariant& key,
                      const QList<FieldValue>& fields);
  // Update when the key exists, else insert with that key; returns the key.
  qint64 postRecord(const QString& table, const QString& keyField, const FieldValue& key,
                    const QList<FieldValue>& fields);
  qint64 deleteRecord(const QString& table, const QString& keyField, const QVariant& key);
  void batchInsert(const QString& table, const QStringList& fields,
                   const QList<QVariantList>& records);

  // Users and constants.
  // True and the user's id and name when login and password match.
  bool checkLogin(const QString& login, const QString& password, qint32* userId, QString* userName);
  QString constValue(int constType);
  void setConstValue(int constType, const QString& value);

  // Tunables kept in the database, so a running server can be scripted with
  // plain SQL too: "sbp_polls" (status polls before a session is paid),
  // "sbp_result" (1 paid, 2 refused), "fiscal_fd_delay" (reports answered
  // without a fiscal document number before one is given),
  // "badge_timeouts" (badge payments refused with the card time-out first).
  qint64 option(const QString& name, qint64 fallback);
  void setOption(const QString& name, qint64 value);

  // Business requests.
  FiscalCheck saleReport(const SaleReport& report);
  SbpSession sbpCreateSession(qint32 vmId, double amount);
  qint32 sbpSessionStatus(qint64 sessionId);
  void vmState(qint32 vmId, const QString& evaErrorCodes);
  qint32 sendDocument(const QString& tableName, const QString& xml);
  void badgePayment(qint32 vmId, const QList<ProductPosition>& positions);
  IdentityCardResult identityCardPayment(qint32 vmId, const QString& cardNo, double amount);
  LoyaltyCard loyaltyCardInfo(qint32 vmId, const QString& barcode);
  LoyaltyCard loyaltyCardOperation(qint32 vmId, const QString& barcode, double amount,
                                   const QList<ProductPosition>& positions);
  void loyaltyCardSubmit(qint32 vmId, const LoyaltyCard& card);
  void loyaltyCardWriteOff(qint32 vmId, const LoyaltyCard& card, double amount);
  // Push channels: the connection that registered itself for a machine.
  void registerPushChannel(qint32 vmId, qint64 connectionId);
  QList<qint64> pushChannels(qint32 vmId);

 private:
  class Statement;
  void createSchema();
  [[noreturn]] void fail(int rc) const;
  QString sqliteMessage(int rc) const;
  ResultSet selectLocked(const QString& sqliteSql, const QVariantList& params);
  qint64 execLocked(const QString& sqliteSql, const QVariantList& params);
  QVariant scalar(const QString& sqliteSql, const QVariantList& params = {});
  // Runs body inside a savepoint under the lock; rolls back when it raises.
  void inTransaction(const std::function<void()>& body);
  template <class F>
  auto transaction(F&& body) -> decltype(body());  // inTransaction with a result

  QString path_;
  sqlite3* db_ = nullptr;
  std::recursive_mutex mutex_;
};

}  // namespace sim
