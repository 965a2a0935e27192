#pragma once
// Where the kiosk queues its events (start, stop, button presses, errors) for
// upload to the back office. The main form holds one once the event log runs;
// until then events have nowhere to go and are dropped.

#include <QString>

class IEventSink {
 public:
  virtual ~IEventSink() = default;
  virtual void add(int event_id, const QString& descr) = 0;
};
