#pragma once
// One TCP connection to the back-office application server and what makes
// the byte stream travel over it: the per-direction scrambler, the send
// buffer, reads with time-outs, the reconnect decision before a batch, the
// transport errors and the batch exchange. Every server operation is a
// method here; they are declared together below and implemented in
// ServerOps.cpp, RecordPosting.cpp, TableLoading.cpp and FileTransfer.cpp.
//
// A transport belongs to one thread at a time. Every time-out runs on the
// replaceable monotonic clock (plat::clock()).

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "backoffice/FreeNotifier.h"
#include "backoffice/Request.h"
#include "backoffice/Scrambler.h"
#include "backoffice/ServerRecords.h"
#include "backoffice/WireCodec.h"
#include "backoffice/WireValue.h"
#include "platform/Exception.h"
#include "platform/MemTable.h"

namespace plat {
class TcpClient;
}
class TJTable;

// Progress of a transfer: percent done (upload, update downloads), or the
// bytes now in the local file (readFile). Empty: not reported.
using TProgressProc = std::function<void(double percent)>;
using TReadFileProc = std::function<void(int64_t downloaded)>;

// Transport error codes (fLastErrorCode).
enum TTransportError {
  teNone = 0,
  teTimeout = 1,
  teBadReply = 2,
  teRivalQuery = 3,
  teNoCachedQuery = 4,
  teNotConnected = 5,
  teCancelled = 6,
  teCannotSend = 7,
};

// A transport failure; the message is the error's text and a full stop.
class ETransportError : public Exception {
 public:
  ETransportError(int code, const QString& message) : Exception(message), code_(code) {}
  int code() const { return code_; }
  const char* className() const noexcept override { return "Exception"; }

 private:
  int code_;
};

// The server answered and refused the request (its reply batch carried an
// error): the message is the server's text. Unlike a transport failure, the
// same request is likely to be refused again.
class EServerError : public Exception {
 public:
  using Exception::Exception;
};

// The silent abort: the user cancelled; nothing is to be shown.
VEKTA_EXCEPTION_CLASS(EAbort, Exception)

// May veto a batch before it is written.
class TCustomAccessValidator {
 public:
  virtual ~TCustomAccessValidator() = default;
  virtual void check() = 0;  // raises to veto
  virtual std::unique_ptr<TCustomAccessValidator> getClone() = 0;
};

// What a progress overlay does while a batch runs. The transport calls it
// only when showProgress is on; the kiosk switches it off everywhere, so no
// form is built here. Called on the transport's thread.
class TExecutionProgress {
 public:
  virtual ~TExecutionProgress() = default;
  // A batch starts; connecting: a reconnection is due first.
  virtual void shown(bool connecting) = 0;
  virtual void connecting() = 0;  // "Подключение..."
  virtual void executing() = 0;   // "Выполнение запроса"
  // Every pass of a read (about every 100 ms). Returns true when the user
  // asked to cancel.
  virtual bool tick() = 0;
  virtual void closed() = 0;
};

class TJTransport {
 public:
  TJTransport();
  virtual ~TJTransport();
  TJTransport(const TJTransport&) = delete;
  TJTransport& operator=(const TJTransport&) = delete;

  // ---- connection settings ----
  int port() const { return port_; }
  void setPort(int port);  // a different port drops the connection
  QString version() const { return QStringLiteral("0.10"); }
  bool showProgress() const { return fShowProgress; }
  void setShowProgress(bool on) { fShowProgress = on; }
  void setProgress(TExecutionProgress* p) { progress_ = p; }  // not owned
  plat::TcpClient* socket() const { return fSocket; }
  // The socket's own read poll; only tests change it.
  void setReadPollMs(int ms) { readPollMs_ = ms; }
  int connectTimeoutMs() const { return connectTimeoutMs_; }
  void setConnectTimeoutMs(int ms) { connectTimeoutMs_ = ms; }
  // Copies the port.
  void Assign(const TJTransport& source);

  // ---- state ----
  virtual bool connected() const;
  // Connected, and bytes wait or arrive within 10 ms.
  bool hasData();
  // Whole seconds since the last byte came, rounded.
  int idleTime() const;
  int lastErrorCode() const { return fLastErrorCode; }
  bool executing() const { return fExecuting; }
  // The running or last batch's request went out whole on the connection.
  // After a failure, true means the server may have carried it out and only
  // its answer was lost, so its outcome is unknown; false means the server
  // never had all of it. Cleared when the next batch starts.
  bool requestSent() const { return fRequestSent; }
  // Closes the socket (the peer sees it) and drops any unread input.
  void disconnect();
  // Reconnects now, with the handshake and an empty exchange.
  void connect(int timeout);

  // ---- stopping (callable from any thread) ----
  // Ends the socket wait of the running operation at once, whatever its
  // time-out: connect, handshake, read or write. The operation fails as
  // cancelled (EAbort, lastErrorCode teCancelled) and the connection is
  // dropped. Every later wait fails the same way until resetInterrupt(), so
  // a stop that comes between two operations is not lost. The transport's
  // socket must not be replaced while another thread may call this.
  void interrupt();
  void resetInterrupt();
  // From now on no single wait of an operation lasts longer than ms: the
  // connect, the first byte and every pause of a read, every write. An
  // operation's own shorter time-out still holds; a wait cut short fails as
  // its own time-out would (teTimeout). 0 lifts the cap. A closing program
  // sets a short cap before it says goodbye (TJClient::close).
  void setTimeoutCapMs(int ms) { timeoutCapMs_.store(ms > 0 ? ms : 0); }
  int timeoutCapMs() const { return timeoutCapMs_.load(); }

  // ---- batches ----
  // Destroys the current batch. Raises "Batch already executed." while a
  // batch runs, so a re-entered operation cannot destroy the running batch.
  void clearBatch();
  TRequest& addRequest(uint16_t code);
  TRequestBatch* batch() const { return fBatch.get(); }
  // Sends the current batch and returns the reply; the caller owns it and
  // the transport has no current batch afterwards.
  TRequestBatchPtr execBatch(int timeout, TCustomAccessValidator* accessValidator = nullptr);
  void sendBatch(TCustomAccessValidator* accessValidator = nullptr);
  TRequestBatchPtr recvBatch(int timeout);
  // The common pattern of the operations: runs the current batch (dropping
  // it when the run fails), raises the server's refusal with its text
  // unchanged, and hands back the reply.
  TRequestBatchPtr runBatch(int timeout, TCustomAccessValidator* accessValidator = nullptr);

  // ---- transport errors ----
  static QString transportErrorText(int code, const QString& detail = QString());
  // Stores the code; for a non-zero code disconnects and raises.
  void raiseTransportError(int code, const QString& detail = QString());

  // ---- byte layer (used by file transfers and the serving side) ----
  // Exactly len plain bytes or raises; timeout (s) bounds the wait for the
  // first byte, later bytes may pause at most 6 s.
  void _recv(char* dst, int len, int timeout);
  void _sendPart(const char* data, int start, int count);
  void _send(const QByteArray& bytes) { _sendPart(bytes.constData(), 0, int(bytes.size())); }
  void flushSendBuffer();
  void sendVariant(const WireValue& v);
  WireValue recvVariant(int timeout);
  // The rest of a value whose tag byte was already read.
  WireValue recvTaggedVariant(int tag, int timeout);

  // ---- table streams ----
  // Reads one table stream into dataset (may be null: read and dropped).
  void recvTable(plat::MemTable* dataset, int timeout);
  static TFieldType javaTypeToFieldType(int javaType);
  static QString javaTypeToFieldClass(int javaType);
  static int fieldTypeToJavaType(TFieldType fieldType);
  static QString fieldTypeToFieldClass(TFieldType fieldType);
  // The JDBC code of a value's kind, for operations that only have a value.
  static int valueTypeToJavaType(const WireValue& v);

  // ---- SQL and values ----
  void select(plat::MemTable* tb, const QString& sql, int timeout);
  void selectTables(const std::vector<TJTable*>& tables, int timeout,
                    TCustomAccessValidator* accessValidator = nullptr);
  void refreshTables(const std::vector<TJTable*>& tables, int timeout,
                     TCustomAccessValidator* accessValidator = nullptr);
  WireValue selectValue(const QString& sql, int timeout);
  void execSQL(const QString& sql, int timeout);
  int getTableDataVersion(const QString& tableName, int timeout);
  std::vector<int> getTablesDataVersion(const QStringList& tableNames, int timeout);
  QString getTablesDataVersionStr(const QStringList& tableNames, int timeout);

  // ---- records ----
  int postRecord(plat::MemTable* tb, const QString& table, const QString& keyField,
                 const QString& postedFields, bool generateID, int timeout);
  int insertRec(const QString& tableName, const QString& fieldNames, const WireValue& fieldValues,
                int timeout);
  int updateRec(const QString& tableName, const QString& fieldNames, const WireValue& fieldValues,
                int timeout);
  int deleteRecord(plat::MemTable* tb, const QString& table, const QString& keyField,
                   const QString& keyFieldAlias, int timeout,
                   TCustomAccessValidator* accessValidator = nullptr);
  int deleteRec(const QString& tableName, const QString& keyFieldName,
                const WireValue& keyFieldValue, int timeout);
  void batchInsertStart(const QString& tableName, const QString& fieldNames);
  void batchInsertAdd(const WireValue& fieldValues);
  void batchInsertApply(int timeout);
  int batchInsertRecordCount() const { return fBatchInsertRecordCount; }

  // ---- database structure ----
  void getDBTables(plat::MemTable* tb, const QString& catalog, const QString& schemaPattern,
                   const QString& tableNamePattern, int timeout);
  void getDBPrimaryKeys(plat::MemTable* tb, const QString& catalog, const QString& schema,
                        const QString& table, int timeout);
  void getDBColumns(plat::MemTable* tb, const QString& catalog, const QString& schemaPattern,
                    const QString& tableNamePattern, const QString& columnNamePattern, int timeout);
  void getDBFKImportedKeys(plat::MemTable* tb, const QString& catalog, const QString& schema,
                           const QString& table, int timeout);
  void getDBIndexes(plat::MemTable* tb, const QString& catalog, const QString& schema,
                    const QString& table, int timeout);
  QString getDBStructure(int timeout);
  void setTableStructure(const QString& tableName, const QString& fieldsXML, int timeout);
  void recreateOUT(int timeout);

  // ---- constants and exchange plans ----
  QString getConst(int constType, int timeout);
  QStringList getConsts(const std::vector<int>& constTypes, int timeout);
  void setConst(int constType, const QString& value, int timeout);
  void setConsts(const std::vector<int>& constTypes, const QStringList& values, int timeout);
  QString getExchangePlan(int id, int timeout);
  void putExchangePlan(int id, const QString& xml, int timeout);

  // ---- file transfers (FileTransfer.cpp) ----
  // The file's bytes travel outside the value encoding, after the request
  // (upload) or before the reply (downloads), so these write the batch,
  // move the bytes and read the reply themselves instead of execBatch.
  QString writeFile(const QString& sourceFileName, const QString& destFileName, bool fitUniqueName,
                    const TProgressProc& progress, int timeout);
  // Resumes a non-empty destination; retries a broken transfer from where it
  // stopped, 3 s apart, until maxErrorCount failures in a row. Returns the
  // local name used.
  QString readFile(const QString& sourceFileName, const QString& destFileName, int maxErrorCount,
                   bool fitUniqueName, const TReadFileProc& progress, int timeout);
  // True when a file came and is complete on disk; false when the server
  // offers none (no local file is touched then).
  bool getSoftwareUpdate(const QString& fileName, const TProgressProc& progress, int timeout);
  bool getSoftwareUpdateII(const QString& destFileName, const QString& sourceFileName,
                           const TProgressProc& progress, int timeout);

  // ---- files on the server (listing and copying) ----
  QString getFileList(const QString& path, const QString& mask, int timeout);
  QString getFileString(const QString& fileName, const QString& delimiter, int start, int size,
                        int timeout);
  void createFolder(const QString& folder, int timeout);
  void copyFile(const QString& source, const QString& dest, bool overwrite, int timeout);
  void dbExport(const QString& fileName, int timeout);
  void dbImport(const QString& fileName, int timeout);
  void restoreFirebirdDatabase(const QString& source, const QString& dest, int timeout);

  // ---- steps ----
  void executeStep(int step_id, const QString& params, bool createNewThread, int timeout);
  int executeStepXML(int stepType_id, const QString& xml, const QString& paramsMetadata,
                     const QString& params, bool createNewThread, int timeout);
  void terminateStep(int id, int timeout);
  void logStepError(int step_id, const QString& error, int timeout);
  QString getParamsMetadata(int step_id, int timeout);
  WireValue calcJavaExpression(const QString& expression, int timeout);

  // ---- administration and information ----
  void getAppServerInfo(TAppServerInfo& info, int timeout);
  QString getPrinters(int timeout);
  void setUserPassword(const QString& login, const QString& password, int timeout);
  void startDemoAppServer(int port, int timeout);
  void stopDemoAppServer(int port, int timeout);
  bool getReportServerTerminated(int timeout);
  void setReportServerError(const QString& err, int timeout);
  void getThreadInfo(plat::MemTable* tb, int timeout);
  void interruptThread(int threadId, const QString& threadName, int timeout);

  // ---- messages, cards, document jobs ----
  int sendSMS(const QString& phone, const QString& text, bool statusReportRequired,
              bool doNotUseSmsGate, bool checkBalance, int timeout,
              TCustomAccessValidator* accessValidator = nullptr);
  QString sendUSSD(const QString& request, int timeout);
  void generateCards(int cardGroup_id, int cardNumberLength, bool cardNumberIsRandom, int pinLength,
                     int timeout);
  int docReactualizationStart(TReactulizationStartDateType startDateType, double startDate,
                              TReactulizationEndDateType endDateType, double endDate,
                              TReactulizationDocType docType, const QString& filter, int timeout);
  TReactulizationInfo docReactualizationStop(int reactulization_id);
  TReactulizationInfo docReactualizationInfo(int reactulization_id);
  int mergeStart(int table_id, int first_id, int second_id, int timeout);
  TMergeInfo mergeInfo(int process_id, int timeout);
  TMergeInfo mergeStop(int process_id, int timeout);

  // ---- SQL history of table loads ----
  bool logSQLRequestsHistory = false;
  QStringList sqlRequestsHistory;

  // ---- tables that hold this transport ----
  // They drop their pointer to it when it is destroyed.
  TFreeNotifier freeNotifier{this};

 protected:
  // Runs after the socket connected in the batch writer (the handshake).
  virtual void afterConnect() {}
  // Writes the current batch on the connection as it is, without the
  // reconnect decision.
  void writeBatchBody();

  uint8_t fRequestNo = 0;
  bool fExecuting = false;
  bool fRequestSent = false;
  bool authorized = false;
  std::unique_ptr<TRequestBatch> fBatch;
  int fLastErrorCode = 0;
  bool fTablesChanged = false;
  plat::TcpClient* fSocket = nullptr;
  int64_t fLastRecvTime = 0;  // plat::clock() milliseconds
  Scrambler sendCrypt_;
  Scrambler recvCrypt_;
  int executionFormError = 0;
  bool fShowProgress = true;
  TExecutionProgress* progress_ = nullptr;
  QString host_ = QStringLiteral("127.0.0.1");
  int port_ = 0;
  int connectTimeoutMs_ = 10000;
  int readPollMs_ = 100;
  // Deadline of each socket write: the running operation's time-out, or the
  // default when no operation names one.
  int writeTimeoutSec_ = 30;

  // Batch insert buffer.
  QString fBatchInsertTableName;
  QString fBatchInsertFieldNames;
  std::vector<WireValue> fBatchInsertRecords;
  int fBatchInsertRecordCount = 0;

  // The session key, in both directions, once the login agreed on it.
  void setKeyBoth(const QByteArray& key) {
    sendCrypt_.setKey(key);
    recvCrypt_.setKey(key);
  }

 private:
  friend class TransportWireSource;
  void writeBatch(TCustomAccessValidator* accessValidator);
  // The one rule for dropping the connection before a batch: it is gone
  // (also when the server closed it since), idle for too long, or out of
  // step (unread bytes wait).
  bool reconnectDue();
  // Unread bytes are waiting right now.
  bool strayInput();
  // ms, shortened to the stop cap when one is set.
  int64_t capped(int64_t ms) const;
  // Writes raw bytes with the write deadline; a missed deadline is a
  // time-out, an interrupt a cancellation, both as transport errors.
  void writeSocket(const char* data, int len);
  void readReplyBatch(int timeout);
  friend class TJClient;

  static constexpr int kSendBufSize = 4096;
  QByteArray send_buf;
  int send_buf_pos = 0;
  QByteArray scratch_;
  // While a reply is read, a failure leaves the connection open so that the
  // reader can send the abort byte before dropping it.
  bool readingReply_ = false;
  std::atomic<int> timeoutCapMs_{0};
};
