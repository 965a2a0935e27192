#pragma once
// The owner of the workers of sales already paid: a sale's fiscal check and
// its loyalty submission. They outlive the screen that started them, and the
// program's close stops them and waits for every one of them to end before a
// new copy may take over; a worker still running then could queue an event
// numbered from this copy's counter, or reach objects of a main form that is
// gone.
//
// Their threads are joined here, never detached: once a wait says that every
// worker has ended, none of their threads runs any more, so the caller may
// free what they used and the program may end. A group destroyed with workers
// still running (a program ended without its close) stops them and joins them
// first, so that no thread outlives the group's own lock.

#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

class TSaleWorkers {
 public:
  // Why a worker of a paid sale broke its work off when the close stopped it;
  // the event that reports the work undone says so.
  static QString closingMessage() { return QStringLiteral("программа завершается"); }

  TSaleWorkers() = default;
  ~TSaleWorkers();
  TSaleWorkers(const TSaleWorkers&) = delete;
  TSaleWorkers& operator=(const TSaleWorkers&) = delete;

  // Runs work on a thread of its own. stop breaks the work off; it may be
  // called from any thread, before, while or after work runs, under the
  // group's lock, so it must return at once and must not call the group. What
  // work and stop hold is let go on the worker's thread before the worker
  // counts as ended.
  void start(std::function<void()> work, std::function<void()> stop);

  // Calls stop of every worker that has not ended, without waiting.
  void requestStopAll();
  // Waits until every worker has ended, at most timeoutMs of plat::clock();
  // the threads of those that ended are joined. True when none runs.
  bool waitForAll(int64_t timeoutMs);
  // Waits, with no bound, until every worker has ended, and joins them. The
  // close comes here when a stopped worker overruns its bound: the lock must
  // not go while it runs.
  void joinAll();

  // Workers started and not yet ended.
  int running();

 private:
  struct Worker {
    std::thread thread;
    std::function<void()> stop;
    bool ended = false;
  };
  // Joins the threads of the workers that ended and forgets them.
  void reapEnded(std::unique_lock<std::mutex>& lock);

  std::mutex m_;
  std::condition_variable cv_;  // notified, under m_, when a worker ends
  std::list<Worker> workers_;
};
