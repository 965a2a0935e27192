#pragma once

// Shared by the sale-screen tests: a client signed in to the stand-in back
// office, and an event sink the screens' worker threads may write to.

#include <QString>
#include <mutex>
#include <utility>
#include <vector>

#include "backoffice/JClient.h"
#include "kiosk/EventSink.h"
#include "testbed/SimHandlers.h"

namespace testkit {

inline void connectToSim(TJClient& client, sim::BackofficeSim& office) {
  client.setHost("127.0.0.1");
  client.setPort(office.port());
  client.setLogin("demo");
  client.setPassword("demo");
  client.setServerType("DR");
  client.setApplicationID("vekta");
  client.setConnectTimeoutMs(2000);
}

struct RecordingSink : IEventSink {
  void add(int id, const QString& descr) override {
    std::lock_guard lock(m);
    events.push_back({id, descr});
  }
  std::vector<std::pair<int, QString>> all() {
    std::lock_guard lock(m);
    return events;
  }
  // A std::mutex, not a QMutex: ThreadSanitizer cannot see a contended
  // QMutex, whose slow path lives inside the uninstrumented Qt library.
  std::mutex m;
  std::vector<std::pair<int, QString>> events;
};

}  // namespace testkit
