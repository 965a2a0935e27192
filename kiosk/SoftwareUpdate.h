#pragma once
// The kiosk replaces its own program file with a newer one that the back
// office offers. A worker downloads the file beside the running program,
// has it show that it runs here (ProgramCheck.h) and swaps the two files;
// the home screen then restarts into the new program at a moment when no
// sale is under way, through a watcher that puts the old program back when
// the new one never shows its home screen (UpdateWatch.h).
//
// The file swap and the waiting for the single-instance lock are plain
// functions, so tests drive them on a temporary folder.

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "kiosk/ClientInterrupt.h"

class IKioskHooks;
class TJClient;

// The name under which the back office offers the kiosk program.
inline constexpr const char* kSoftwareUpdateRemoteName = "vekta_64.exe";
// Given to the restarted program: its predecessor may still be shutting down
// and holding the single-instance lock for a while.
inline constexpr const char* kAfterUpdateArgument = "--after-update";
// How long the restarted program waits for its predecessor to let the lock
// go comes from the close's budget (TCloseBudget::handOverWaitMs), which
// bounds the predecessor's close.

// The download target and the old program's file after the swap.
QString updateDownloadPath(const QString& program);  // program + ".new"
QString updateBackupPath(const QString& program);    // program + ".tmp"

// Renames from to to; false when it failed. Tests replace it to make each
// rename of the swap fail in turn.
using TRenameFile = std::function<bool(const QString& from, const QString& to)>;

// Gives file the executable bits, with the rest of program's permissions.
bool makeExecutableLike(const QString& program, const QString& file);

// Puts the downloaded program (program + ".new") in place of program, the
// old one kept as program + ".tmp", and marks the new one on trial
// (UpdateWatch.h). The new file must exist, be non-empty and get the
// executable bits before anything is moved. When the new file cannot take
// the program's place, the old one is moved back, so a kiosk is never left
// without its program. While the program in place is still on trial, the
// backup is the last good program: it stays, and the new file replaces the
// one on trial. True only when the new program is in place; otherwise error
// (when given) says why. The default rename replaces an existing target.
bool installProgramUpdate(const QString& program, QString* error = nullptr,
                          const TRenameFile& rename = {});

// The restart after an installed update: starts the old program, now
// program + ".tmp" beside the file the running program was started from
// (plat::programFilePath()), as the watcher of the new one, which it starts
// with kAfterUpdateArgument. False when it could not be started.
bool startInstalledProgram(IKioskHooks& hooks);

// The program's answers to the arguments of the update, before any window:
// its version (ProgramCheck.h) and the watcher's run. Nothing for any other
// start.
std::optional<int> runUpdateCommand(int argc, char** argv);

// Calls tryLock every 250 ms of plat::clock() until it succeeds or waitMs
// passed; true when it succeeded.
bool waitForInstanceLock(const std::function<bool()>& tryLock, int64_t waitMs);

struct TSoftwareUpdateContext {
  // The running program's file; empty: plat::programFilePath().
  QString programPath;
  // Runs on the main thread before every attempt: copies the main client's
  // connection settings into the worker's client (TJClient::Assign).
  std::function<void(TJClient& client)> synchronize;
  // Asks the server for the update into target; true when a complete file
  // came, false when none is offered, raises on failure. Empty: request 78
  // for kSoftwareUpdateRemoteName with a 30-second time-out. abort() is true
  // once the worker is asked to end.
  std::function<bool(TJClient& client, const QString& target, const std::function<bool()>& abort)>
      download;
  // Runs on the main thread once the new program is in place.
  std::function<void()> installed;
  std::function<void(const QString&)> log;  // the local text log, any thread
  // Queues event 1 with the text for the back office: a refused update, an
  // update put back. Required; any thread.
  std::function<void(const QString&)> report;
};

class TSoftwareUpdateThread {
 public:
  // After a failed attempt the next one comes this much later.
  static constexpr int64_t kRetryPauseMs = 600'000;

  explicit TSoftwareUpdateThread(TSoftwareUpdateContext context);
  // Stops the worker and waits for it; a download in flight is broken off.
  ~TSoftwareUpdateThread();
  TSoftwareUpdateThread(const TSoftwareUpdateThread&) = delete;
  TSoftwareUpdateThread& operator=(const TSoftwareUpdateThread&) = delete;

  void start();
  bool started() const { return worker_.joinable(); }
  // Asks the worker to end without waiting; a download or a wait for the
  // server in flight is broken off.
  void terminate();

  // Attempts made (downloads asked for); tests wait on it.
  int attempts() const { return attempts_.load(); }
  // Attempts that ended in the pause after a failure; tests wait on it.
  int failures() const { return failures_.load(); }
  // The worker has ended on its own: an update installed, or its swap failed.
  bool finished() const { return finished_.load(); }

 private:
  void run();
  // Waits on plat::clock() until untilMs; false when asked to end meanwhile.
  bool waitUntil(int64_t untilMs);
  void log(const QString& text) const;
  // A downloaded file that must not take the program's place; false when it
  // may. The reason goes to the back office once for each file.
  bool refuse(const QString& target);

  TSoftwareUpdateContext ctx_;
  std::atomic<bool> terminated_{false};
  TClientInterrupt stop_;
  std::atomic<bool> finished_{false};
  std::atomic<int> attempts_{0};
  std::atomic<int> failures_{0};
  // Digests of the files refused in this run, and of the one last put back.
  std::set<QByteArray> refused_;
  std::mutex m_;
  std::condition_variable wake_;
  std::thread worker_;
};
