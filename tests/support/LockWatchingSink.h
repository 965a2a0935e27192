#pragma once

#include <QString>
#include <functional>
#include <mutex>
#include <vector>

#include "kiosk/EventSink.h"
#include "kiosk/Main.h"
#include "platform/SingleInstance.h"

namespace testkit {

// The events that reach the kiosk's queue; each remembers whether the kiosk
// still held its one-copy lock when it came, so a test can tell an event
// numbered after the lock went. onEvent, when set, runs as each comes.
class LockWatchingSink : public IEventSink {
 public:
  struct Event {
    int id;
    QString text;
    bool underLock;
  };
  void add(int id, const QString& text) override {
    {
      std::lock_guard lock(m_);
      const bool free = probe_.tryLock();
      if (free) probe_.unlock();
      events_.push_back({id, text, !free});
    }
    if (onEvent) onEvent(id);
  }
  std::vector<Event> all() {
    std::lock_guard lock(m_);
    return events_;
  }
  std::function<void(int)> onEvent;

 private:
  std::mutex m_;
  plat::SingleInstanceLock probe_{QLatin1String(TfmMain::kInstanceName)};
  std::vector<Event> events_;
};

}  // namespace testkit
