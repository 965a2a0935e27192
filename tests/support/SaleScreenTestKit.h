#pragma once

// Shared by the sale-screen tests: a client signed in to the stand-in back
// office, an event sink the screens' worker threads may write to, the
// folders a whole kiosk form runs in, and a paid drink to check out.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <mutex>
#include <utility>
#include <vector>

#include "backoffice/JClient.h"
#include "kiosk/EventSink.h"
#include "screens/Checkout.h"
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

// A kiosk's data, runtime and ports folders, named in the environment for
// the object's life, as the kiosk program finds them.
struct KioskEnvironment {
  KioskEnvironment() {
    qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    qputenv("VEKTA_PORTS_DIR", ports.path().toUtf8());
  }
  ~KioskEnvironment() {
    for (const char* name : {"VEKTA_DATA_DIR", "XDG_RUNTIME_DIR", "VEKTA_PORTS_DIR"})
      qunsetenv(name);
  }
  KioskEnvironment(const KioskEnvironment&) = delete;
  KioskEnvironment& operator=(const KioskEnvironment&) = delete;
  QTemporaryDir data, runtime, ports;
};

// One cappuccino for 120 roubles, from cell 4 of the coffee machine.
inline TCheckoutSale cappuccinoSale() {
  TSelectedGood unit;
  unit.product.cell = 4;
  unit.product.name = QStringLiteral("Капучино");
  unit.product.price = 120;
  unit.product.nomenclature_id = 1;
  unit.quantity = 1;
  TCheckoutSale sale;
  sale.lines = {unit};
  sale.total_amount = sale.payment_amount = 120;
  return sale;
}

}  // namespace testkit
