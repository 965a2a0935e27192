#pragma once
// The event log: a persistent queue of the kiosk's business and equipment
// events, uploaded oldest first as rows of the back office's "tbTerminalLog",
// and the machine's error codes, sent whenever they change.
//
// Each event is one small text file in "Log/" under the data folder, named by
// its 10-digit sequence number; "lsln" holds the number of the last event
// uploaded. Any thread may add events; one worker thread uploads them through
// a back-office client of its own. An event the server keeps refusing waits
// in "Log/refused/" and is sent again later (TSetAsidePolicy); one whose file
// cannot be written waits in memory for the same retries.

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kiosk/ClientInterrupt.h"
#include "kiosk/EventSink.h"
#include "kiosk/SetAsidePolicy.h"

class TJClient;

// Event kinds the kiosk queues.
enum TEventId : int {
  evInformation = 1,
  evProgramStarted = 32,
  evProgramStopped = 33,
  evUserAction = 42,
  evUnitSold = 46,  // one event per unit, with its payment source
  evPaymentError = 47,
  evEquipmentError = 51,
  evEquipmentErrorsCleared = 52,
  evBarcodeNotFound = 201,
};

// Payment sources of a sale event.
enum TCreditSource : int {
  csCard = 2,
  csIdentityCard = 4,
  csSBP = 7,
  csYandexBadge = 8,
};

// One queued event. The optional values are null QVariants when absent.
struct TLogRecord {
  quint32 no = 0;
  QDateTime dt;  // local time, whole seconds (what the file keeps)
  int event_id = 0;
  QString descr;
  QVariant creditSource_id;   // int
  QVariant amount;            // double, roubles
  QVariant cell;              // int
  QVariant nomenclature_id;   // int
  QVariant cardProject_id;    // int
  QVariant card_no;           // text
  QVariant loyaltySystem_id;  // int
  QVariant loayalty_card_no;  // text
  QVariant discount;          // double, roubles

  // The file's text: 12 lines, CR LF, in windows-1251, or in UTF-8 behind its
  // byte-order mark when windows-1251 lacks a character of the record. Older
  // files of 11 lines (no discount) still load.
  QByteArray toFileBytes() const;
  // Parses a record file. Raises EConvertError when the name is not a record
  // number or a line does not hold what its position requires.
  static TLogRecord fromFileBytes(const QString& fileName, const QByteArray& bytes);
  // Writes the record's file into the queue folder in one rename, so no
  // reader ever sees half of it. Raises EFileError.
  void saveToFile(const QString& logDir) const;
  // The file name of a number: 10 digits, zero-padded.
  static QString fileNameOf(quint32 no);
};

// What the coffee-machine supervision knows, for the error codes of a kiosk
// that drives its own coffee machine.
struct TCarimaliEvaState {
  qint64 msSinceStart = 0;
  qint64 msSinceLastExchange = 0;
  bool noWater = false;
  bool noCoffee = false;
  bool trayFull = false;
  int bunkerErrorCode = 0;
};

// The machine's error flags, as the main form keeps them.
struct TVmState {
  bool no_pos_terminal = false;
  bool no_coffee_vm = false;   // the payment module's machine does not answer
  int coffee_vm_err_code = 0;  // the payment module's error code

  // The error-code text sent to the back office ("ZM1\rZM3_5"); empty when all
  // is well. carimali is null unless the kiosk drives a coffee machine itself.
  QString getEvaErrorCodes(const TCarimaliEvaState* carimali = nullptr) const;
};

// What one pass of the worker takes from the main form.
struct TLogPass {
  QVariant vm_id;
  QVariant terminal_id;
  QString evaErrorCodes;
};

struct TLogThreadContext {
  QString dataFolder;
  // Runs on the main thread at the start of every pass: copies the main
  // client's connection settings into the worker's client (TJClient::Assign)
  // and fills the pass with the ids and the current error codes.
  std::function<void(TJClient& client, TLogPass& pass)> synchronize;
  // The local text log; called from the worker and from any adding thread.
  std::function<void(const QString&)> log;
};

// Where the worker's time went, summed since it was made. A long queue is
// drained in batches; these say which part of a batch costs what.
struct TLogDrainStats {
  qint64 passes = 0;
  qint64 handOverUs = 0;  // waiting for the main thread's part of a pass
  qint64 batches = 0;     // batches uploaded as one request
  qint64 rowByRow = 0;    // batches the server refused, then sent row by row
  qint64 rows = 0;        // records that reached the server
  qint64 uploadUs = 0;    // requests to the server, its work included
  qint64 lastSentUs = 0;  // writing lsln, with its disk sync
  qint64 removeUs = 0;    // removing the files of uploaded records
  qint64 loadUs = 0;      // reading record files into memory
  qint64 listings = 0;    // listings of the queue folder
  qint64 listUs = 0;
};

class TLogThread : public IEventSink {
 public:
  // The in-memory queue's size; the rest waits on disk for a later pass.
  static constexpr int kMaxRecords = 100;
  // A pass drains a long queue batch after batch for at most this long, then
  // ends so that the next one copies fresh settings and error codes.
  static constexpr qint64 kDrainSliceMs = 5'000;

  // Restores the queue from disk; the worker does not run until start().
  explicit TLogThread(TLogThreadContext context);
  // Stops the worker and waits for it (at most the exchange in flight).
  ~TLogThread() override;
  TLogThread(const TLogThread&) = delete;
  TLogThread& operator=(const TLogThread&) = delete;

  void start();
  bool started() const { return worker_.joinable(); }
  // Asks the worker to end without waiting: it refuses hand-overs from then
  // on and an exchange in flight is broken off.
  void terminate();
  // Asks the worker to end and waits for it. Events added afterwards still
  // land on disk and go out with the next run.
  void stop();

  // Queue an event from any thread. Never raises; the number is used even
  // when the file cannot be written.
  void add(int event_id, const QString& descr) override;
  void add(int event_id, const QString& descr, const QVariant& creditSource_id,
           const QVariant& amount, const QVariant& cell, const QVariant& nomenclature_id);
  void add(int event_id, const QString& descr, const QVariant& creditSource_id,
           const QVariant& amount, const QVariant& cell, const QVariant& nomenclature_id,
           const QVariant& cardProject_id, const QVariant& card_no);
  void add(int event_id, const QString& descr, const QVariant& creditSource_id,
           const QVariant& amount, const QVariant& cell, const QVariant& nomenclature_id,
           const QVariant& cardProject_id, const QVariant& card_no,
           const QVariant& loyaltySystem_id, const QVariant& loayalty_card_no,
           const QVariant& discount);

  // Queues several events as one step, for the unit events of one sale.
  // Their files are written and synced aside first; then commit runs with
  // their numbers, where the caller makes its own part of the step durable;
  // only then do they enter the queue, with no other event numbered between
  // them. A crash before commit leaves none of them (the next start drops
  // the staged files); a crash after it leaves staged files that
  // adoptStaged brings in. Never raises: a failed commit is logged, and a
  // record whose file cannot be written is still uploaded while the program
  // runs, as with add. Commit runs under the queue's lock, so it must not
  // add events. Returns the numbers given out.
  std::vector<quint32> addAll(std::vector<TLogRecord> records,
                              const std::function<void(const std::vector<quint32>&)>& commit);
  // A record built as add builds it, without its number.
  static TLogRecord newRecord(int event_id, const QString& descr, const QVariant& creditSource_id,
                              const QVariant& amount, const QVariant& cell,
                              const QVariant& nomenclature_id, const QVariant& cardProject_id = {},
                              const QVariant& card_no = {}, const QVariant& loyaltySystem_id = {},
                              const QVariant& loayalty_card_no = {}, const QVariant& discount = {});
  // Staged files of these numbers that never entered the queue of the data
  // folder enter it now. For the start, before any TLogThread of the folder
  // exists: its restore drops staged files. Returns the numbers brought in.
  static std::vector<quint32> adoptStaged(const QString& dataFolder,
                                          const std::vector<quint32>& numbers);

  // The last number given out.
  quint32 recNo() const;
  // Events waiting in memory.
  int queuedCount() const;
  // Snapshot of the in-memory queue, oldest first.
  std::vector<TLogRecord> queued() const;
  // Events known to wait on disk and not yet loaded.
  int waitingOnDiskCount() const;
  TLogDrainStats drainStats() const;

  QString logDir() const { return log_dir; }
  QString dataFolder() const { return ctx_.dataFolder; }

  // One pass of the worker on the calling thread: the hand-over, the error
  // codes, the upload of the queue and the reload from disk. The worker runs
  // it in its loop; tests drive it directly.
  void runPass(TJClient& client);

 private:
  void restore();
  void run();
  void pass(TJClient& client, QString& marker);
  // Uploads the batch, oldest first, adding to sent what the server took;
  // raises on a failure that ends the pass.
  void upload(TJClient& client, const TLogPass& info, const std::vector<TLogRecord>& batch,
              std::vector<quint32>& sent);
  void uploadRowByRow(TJClient& client, const TLogPass& info, const std::vector<TLogRecord>& batch,
                      std::vector<quint32>& sent);
  void forget(quint32 no);
  void loadWaiting();
  void reloadFromDisk(QString& marker, bool uploading);
  void settle(std::vector<quint32>& sent, QString& marker);
  void waitForWork();
  bool loadInto(const QString& name);  // under cs
  void moveAside(const QString& name);
  // The record names of the queue folder, oldest first; other plain files
  // are set aside, since they can never be loaded.
  std::vector<quint32> listQueue();
  // Counts a server's refusal of r at the head of the queue; once the policy
  // says so, the record is set aside into "Log/refused/" and true is returned.
  bool refused(const TLogRecord& r, const QString& message);
  // Sends one row. True when the server has it now (taken, or there
  // already); false when it refused, with its answer in refusal. Raises on
  // a transport failure.
  bool sendRow(TJClient& client, const TLogPass& info, const TLogRecord& r, QString& refusal);
  // Sends the records set aside again, oldest first; what the server takes
  // goes. A round stops when new events wait or its time in the pass is up,
  // and goes on in the next pass. Raises on a transport failure; the round
  // then goes on with the record it failed on.
  void retrySetAside(TJClient& client, const TLogPass& info, QString& marker);
  // One record of a round, by its file name in dir or, when it lives in
  // memory, by its number's name.
  void retryOne(TJClient& client, const TLogPass& info, const QString& dir, const QString& item);
  // Writes r's file into dir, the folder of records set aside. Under cs.
  bool writeSetAside(const TLogRecord& r, const QString& dir);
  // Set aside in memory: given a file in dir once one can be written.
  void keepSetAsideOnDisk(const QString& dir);
  // lsln := newest, unless it holds a later number already.
  void writeLastSent(quint32 newest);
  void logLine(const QString& text) const;

  TLogThreadContext ctx_;
  const QString log_dir;
  const QString last_sent_rec_no_file_name;

  mutable std::mutex cs;
  std::condition_variable wake_;
  quint32 rec_no = 0;
  std::map<quint32, TLogRecord> records;  // by number, so a reloaded event is never queued twice
  // Numbers whose files wait on disk and are not in records, oldest first.
  // Kept between passes, so a long queue is listed once rather than once per
  // batch; add() appends what does not fit in memory, and the folder is
  // listed again only when this runs empty.
  std::deque<quint32> waiting_;
  // Records set aside whose files could not be written, by number. They are
  // retried with those in "Log/refused/" and written there when they can be.
  std::map<quint32, TLogRecord> setAsideInMemory_;

  std::atomic<bool> immediate_checking{false};
  std::atomic<bool> terminated_{false};
  TClientInterrupt stop_;
  quint32 last_sent_ = 0;  // what lsln holds
  QString prev_eva_error_codes = QStringLiteral("-");
  bool cleared_event_queued_ = false;  // event 52 already queued for the current clear state
  QString marker_;                     // the step reached; kept between passes for the log line
  TSetAsidePolicy setAside_;           // worker only

  mutable std::mutex statsMutex_;
  TLogDrainStats stats_;
  std::thread worker_;
};
