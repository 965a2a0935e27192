#pragma once
// The event queue as workers hold it that may end after a call into the main
// form: they share the gate, never the queue itself, which goes with the
// form. The close shuts the gate before it lets the one-copy lock go, since a
// new copy may be numbering events in the same folder from then on, and an
// event of this copy numbered from its old counter could take a number
// twice. What comes later never reaches the queue: it is dropped, with a line
// in the local log.

#include <QString>
#include <functional>
#include <mutex>

#include "kiosk/EventSink.h"

class TEventGate : public IEventSink {
 public:
  // queue gives the queue at each event while the gate is open (null: the
  // event is dropped); it is called, and its answer used, under the gate's
  // lock, and never again once close() has returned. log is the local log.
  TEventGate(std::function<IEventSink*()> queue, std::function<void(const QString&)> log);

  // Any thread.
  void add(int event_id, const QString& descr) override;
  // Shuts the gate. An event being added meanwhile is in the queue when it
  // returns. Any thread; later calls do nothing.
  void close();
  bool isOpen() const;

 private:
  mutable std::mutex m_;
  std::function<IEventSink*()> queue_;  // empty once closed
  const std::function<void(const QString&)> log_;
};
