#pragma once
// A vending machine's payment module: the machine's status, a product sold,
// whether a product can be sold. The module also sends requests of its own;
// each is answered with an empty answer and reported as an information event.
//
// The discovery worker and the main thread share one driver; every operation
// holds the driver's lock for its whole exchange.

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>

#include "devices/TervinDevice.h"

class TPaymentModule : public TTervinDevice {
 public:
  // Queues an event of the kiosk (id, text); may be called from any thread.
  using EventFn = std::function<void(int event_id, const QString& text)>;

  static constexpr int kStatusCode = 1;
  static constexpr int kAddProductCode = 2;
  static constexpr int kTestProductCode = 3;
  // Wait for each pending module request.
  static constexpr int kIncomingTimeoutMs = 10;
  // Requests answered by one call at most; the rest wait for the next call,
  // so that a chattering module cannot hold the main thread.
  static constexpr int kMaxIncomingPerCall = 32;

  explicit TPaymentModule(EventFn events = {}) : events_(std::move(events)) {}

  // The serial number from the last status answer.
  QByteArray serialNumber() const;

  // Each first answers the module's pending requests. Failures reach the
  // caller; the port stays open.
  int64_t getVmStatus();
  void addProduct(int64_t product);
  // True exactly when the first answer parameter is the single byte 00.
  bool testProduct(int64_t product);
  // Reports and answers every packet the module has sent meanwhile, late
  // answers included; nothing pending (or a bad packet) ends it quietly. Raises only when the port
  // cannot be opened.
  void checkIncomingRequest();
  // Tries every port of the ports folder with a status request; true when
  // one answered (it stays set and open). Ends early, false, when stop is set.
  // Discovery searches every 100 ms while no module answers, so a port's
  // failure is reported once, and again only when its text changes or
  // kPortFailureRepeatMs (plat::clock()) after the last report.
  bool findComPort(const std::atomic<bool>* stop = nullptr);
  static constexpr int64_t kPortFailureRepeatMs = 3'600'000;

 private:
  struct TPortFailure {
    QString text;
    int64_t reportedMs = 0;
  };

  void event(int id, const QString& text) const;
  // True when the failure of port with text is to be reported now.
  bool portFailureDue(int port, const QString& text);

  EventFn events_;
  QByteArray serialNumber_;
  std::map<int, TPortFailure> portFailures_;  // under lock_
};
