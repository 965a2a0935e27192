#pragma once
// EVA-DTS audits: the back office collects the kiosk's sales counters as
// small EVA-DTS text files. The kiosk writes one at the times of its audit
// timetable, when the back office asks through the push channel and when a
// technician asks; each lands in "Audit/" of the data folder until a worker
// thread has uploaded it as a row of "tbVmAudit" and deleted it.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kiosk/ClientInterrupt.h"
#include "kiosk/Products.h"
#include "kiosk/SetAsidePolicy.h"

class QTimer;
class TJClient;
class TSettingsStorage;
struct TCountersState;
struct TVmConfig;

// Why an audit was made: the number in the file name and the row.
enum TAuditReason : int {
  arTimetable = 1,
  arRequested = 2,  // the back office or the service menu asked
  arAtLoading = 5,
};

// The file's lines: DXS, ID1, MAC, DA3, four lines per drink and per snack,
// DXE. Prices in kopecks are rounded to nearest, ties to even.
QStringList buildAuditLines(const QString& protocolSerialNumber, const QString& mac,
                            qint64 total_cashless_amount_kop, const std::vector<TProduct>& drinks,
                            const std::vector<TProduct>& snacks);
// The file's bytes: windows-1251, CR LF after every line.
QByteArray auditFileBytes(const QStringList& lines);
// "yyyymmdd_hhnnss_<reason>.dts" of a local time.
QString auditFileName(const QDateTime& t, int reason);
// The time and reason a file name carries; a second audit of the same second
// and reason has its number after the reason ("..._1_2.dts"). Raises
// EConvertError when the name does not follow the pattern.
void parseAuditFileName(const QString& fileName, QDateTime& dt, int& reason);
// The folder "Audit" of the data folder.
QString auditFolder(const QString& dataFolder);
// Writes one audit file in a single rename, creating the folder. An audit of
// a second and reason that a waiting file has already (two in one second, or
// a second the clock shows twice) gets a name of its own. Returns the path.
// Raises EFileError.
QString saveAuditFile(const QString& dataFolder, const QDateTime& t, int reason,
                      const QStringList& lines);

// The next audit of a timetable (times of day as fractions of a day, in
// timetable order): the first point of today later than the last audit,
// else the first point tomorrow. A point already passed but later than the
// last audit is due at once.
struct TAuditPlan {
  bool scheduled = false;  // false: empty timetable, no audit
  QDateTime next;
  bool dueNow = false;
  qint64 intervalMs = 0;  // until next, plus half a second; when not due
};
TAuditPlan planNextAudit(const std::vector<double>& auditTime, const QDateTime& last_audit_dt,
                         const QDateTime& now);

// The main form's side: writes audits and keeps the one-shot timer armed for
// the next timetable point. Main thread only.
struct TAuditContext {
  QString dataFolder;
  TSettingsStorage* SS = nullptr;  // last_audit_dt is stored and saved here
  const TVmConfig* config = nullptr;
  const TCountersState* counters = nullptr;
  const TProductCatalog* products = nullptr;
  QDateTime* last_audit_dt = nullptr;
  QTimer* tmAudit = nullptr;
  std::function<QString()> mac;       // null: GetMacAddress
  std::function<QDateTime()> now;     // null: the current local time
  std::function<void()> fileWritten;  // the upload thread looks at once
  std::function<void(const QString&)> log;
};

class TAuditScheduler {
 public:
  explicit TAuditScheduler(TAuditContext context) : ctx(std::move(context)) {}

  TAuditContext ctx;
  QDateTime next_audit_tm;  // invalid: none scheduled

  // Writes an audit now (a failure to write leaves no file and no message),
  // marks the time, stores it and schedules the next one.
  void makeAudit(int auditReason_id);
  // Arms the timer for the next point, or audits at once when it is due.
  void scheduleNextAudit();
  // The timer's tick: early ticks re-arm, otherwise the scheduled audit.
  void tmAuditTimer();

 private:
  QDateTime now() const;
  void arm(qint64 ms);
};

// What one pass of the upload worker takes from the main form.
struct TUploadPass {
  QVariant vm_id;
  QVariant terminal_id;
};

struct TUploadingContext {
  QString dataFolder;
  // Runs on the main thread at the start of every pass: copies the main
  // client's settings into the worker's client (TJClient::Assign) and the ids.
  std::function<void(TJClient& client, TUploadPass& pass)> synchronize;
  std::function<void(const QString&)> log;  // the local text log
  // Queues an event (id, text) for the back office; any thread. May be empty.
  std::function<void(int, const QString&)> event;
};

// Uploads the audit files oldest first, one row of "tbVmAudit" each, and
// deletes each file once the server has it. A file the server keeps refusing
// waits in "Audit/refused/" and is sent again later (TSetAsidePolicy).
//
// The server does not refuse a second row of the same audit, so an insert
// whose answer was lost (a time-out or a broken link after the request went
// out) may have stored the row. Before each insert the server counts the rows
// of the audit's machine, second, reason and text, and a mark on disk keeps
// that number until the file is gone. An audit whose answer was lost, or that
// a restart finds marked, counts as sent when the server holds more such rows
// than before; another audit of a second shown twice never hides it.
class TUploadingThread {
 public:
  static constexpr int kTimeoutS = 30;
  static constexpr int64_t kPassIntervalMs = 60000;

  explicit TUploadingThread(TUploadingContext context);
  // Stops the worker and waits for it (at most the upload in flight).
  ~TUploadingThread();
  TUploadingThread(const TUploadingThread&) = delete;
  TUploadingThread& operator=(const TUploadingThread&) = delete;

  void start();
  bool started() const { return worker_.joinable(); }
  // Asks the worker to end without waiting: it refuses hand-overs from then
  // on and an upload in flight is broken off.
  void terminate();
  // A new file was written: the worker lists the folder again at once.
  void checkNow();

  // One pass's upload work, on the calling thread (the worker's body).
  void uploadPending(TJClient& client, const TUploadPass& pass);
  // The names still waiting from the last listing.
  QStringList pending() const { return pending_; }

 private:
  void run();
  void waitForWork();
  void log(const QString& text) const;
  // Counts a server's refusal of the file at the head; once the policy says
  // so, it is set aside into "Audit/refused/" and true is returned.
  bool refused(const QString& dir, const QString& name, const QString& message);
  // Sends the row of the audit file at path, unless it is in doubt and the
  // server has it already. True when the server has it now, false when it
  // refused (its answer in refusal). Raises on a transport failure.
  bool sendAudit(TJClient& client, const TUploadPass& pass, const QString& path,
                 const QString& name, const QByteArray& bytes, QString& refusal);
  // Rows of this machine's audits of that second, reason and text.
  qint64 storedCount(TJClient& client, const TUploadPass& pass, const QDateTime& dt, int reason,
                     const QString& text);
  // Other audits in doubt with the same second, reason and text: counts that
  // include this audit's row could not tell them apart, so each is found on
  // the server (and deleted) or cleared before this one goes out.
  void settleTwinsInDoubt(TJClient& client, const TUploadPass& pass, const QString& path,
                          const QDateTime& dt, int reason, const QString& text);
  // The insert of the file at path goes out now; before: the count above.
  void markInDoubt(const QString& path, qint64 before);
  // The file at path is no longer in doubt: gone, stored or refused.
  void forget(const QString& path);
  // Sends the files set aside again, oldest first; what the server takes
  // goes. A round stops when a new audit waits or its time in the pass is up,
  // and goes on in the next pass. Raises on a transport failure; the round
  // then goes on with the file it failed on.
  void retrySetAside(TJClient& client, const TUploadPass& pass, const QString& dir);

  TUploadingContext ctx_;
  QStringList pending_;  // worker only
  // Audit files whose insert may be stored without the server's answer, by
  // path, with the rows of the same machine, second, reason and text that the
  // server held before. Worker only, after the constructor.
  std::map<QString, qint64> inDoubt_;
  TSetAsidePolicy setAside_;  // worker only
  std::atomic<bool> immediate_audit_checking{false};
  std::atomic<bool> terminated_{false};
  TClientInterrupt stop_;
  std::mutex m_;
  std::condition_variable wake_;
  std::thread worker_;
};
