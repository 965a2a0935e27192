#pragma once
// The one owner of the main form's worker threads. The form creates the
// workers into it and, before it frees anything that they use (the drivers,
// the settings, the product lists, itself), stops them here in one stated
// order. No worker outlives the form by accident of member order.

#include <functional>
#include <memory>

class TCarimaliInitializationThread;
class TCharmBarThread;
class TDevicesDiscoveryThread;
class TLogThread;
class TTrevaloThread;
class TUploadingThread;
class TWallpaperThread;

class TMainWorkers {
 public:
  TMainWorkers();
  // Stops whatever still runs, then frees the rest, the event log last.
  ~TMainWorkers();
  TMainWorkers(const TMainWorkers&) = delete;
  TMainWorkers& operator=(const TMainWorkers&) = delete;

  std::unique_ptr<TDevicesDiscoveryThread> devicesDiscoveryThread;
  std::unique_ptr<TCarimaliInitializationThread> carimaliInitializationThread;
  std::unique_ptr<TLogThread> eventLog;
  std::unique_ptr<TUploadingThread> uploadingThread;
  std::unique_ptr<TTrevaloThread> trevaloThread;
  std::unique_ptr<TWallpaperThread> wallpaperThread;
  std::unique_ptr<TCharmBarThread> charmBarThread;

  // Asks every back-office worker and the shell guard to end, without
  // waiting: their hand-overs to the main thread are refused from here on
  // and a socket wait in flight is broken off, so they all wind down at once.
  void requestStop();

  // Stops every worker and waits for it, in this order:
  //  1. all are asked to end at once (requestStop);
  //  2. device discovery, which probes the card-terminal drivers and the
  //     payment module, and the coffee-machine supervision, which polls its
  //     driver: both are broken off and waited for;
  //  3. the push, audit-upload and wallpaper workers and the shell guard,
  //     which are freed;
  //  4. the event log last, because every other worker queues events into it.
  // The event log, discovery and coffee objects stay (stopped): screens still
  // unwinding may queue a sale event, which then waits on disk for the next
  // run, and read their last state. Safe on the main thread: no worker waits
  // for it once asked to end. Later calls do nothing more.
  void stopAll();
};
