#pragma once
// A stand-in payment module of a vending machine on a pseudo-terminal, with
// its COM<n> link in a ports folder. It answers the status request with its
// serial number and status, records each product sold, tells whether a
// product can be sold, and sends requests of its own. Faults: silence, a
// number of requests left unanswered, a spoiled checksum, an answer split in
// two writes, raw bytes ahead of an answer.
//
// It builds and parses its packets with its own code, so that a fault in the
// driver's packet code cannot pass on both sides.
//
// It runs on its own thread; tests drive it in-process, the demo runs it as
// payment-module-sim.

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "testbed/VendotekSim.h"

// A packet as the simulator sees it on the line.
struct SimPacket {
  enum Type { Request = 1, Answer = 2 };  // "q" and "a" on the line
  int packetType = Request;
  int packetNum = 0;
  int code = 0;
  QList<QByteArray> params;
  QList<int> paramTypes;  // 1 unsigned, 2 signed, 5 text

  int paramCount() const { return int(params.size()); }
  // Appends an integer in the shortest of 1, 2, 4 or 8 bytes: unsigned for
  // 0 and above, two's complement below.
  void addInteger(int64_t value);
  // A parameter as an integer by its type; nullopt for another type or a
  // width the line does not use.
  std::optional<int64_t> integer(int index) const;
  // The bytes on the line.
  QByteArray encode() const;
};

class PaymentModuleSim {
 public:
  PaymentModuleSim(const QString& portsDir, int com, const QByteArray& serialNumber = "PM-0001");
  ~PaymentModuleSim();
  PaymentModuleSim(const PaymentModuleSim&) = delete;
  PaymentModuleSim& operator=(const PaymentModuleSim&) = delete;

  QString linkPath() const { return port_.linkPath(); }
  QString ttyPath() const { return port_.ttyPath(); }

  // Behaviour; each may change while the simulator runs.
  void setSerialNumber(const QByteArray& serial);
  // The machine's status in the status answer (0 or below: ready).
  void setStatus(int64_t status);
  // Products that testProduct is refused for (answered 01).
  void setUnavailable(const QSet<int64_t>& products);
  // Ignores the kiosk altogether (still records what it sends).
  void setSilent(bool on);
  // The next n requests get no answer.
  void dropNextRequests(int n);
  // The next answer goes out with a wrong header checksum / a wrong
  // checksum of its first parameter.
  void corruptNextHeader();
  void corruptNextParam();
  // The next answer goes out in two writes gapMs apart.
  void splitNextAnswer(int gapMs);
  // Bytes written in one go with the next answer, ahead of it.
  void prefixNextAnswer(const QByteArray& bytes);

  // A request of the module itself, sent now; returns its number.
  int sendRequest(int code, const QList<QByteArray>& params = {});
  // An answer sent now, unasked (a late answer to packet number num);
  // returns num.
  int sendAnswer(int num, int code, const QList<QByteArray>& params = {});
  void sendRaw(const QByteArray& bytes);
  // The request as it would be sent, with the next number (for prefixes).
  QByteArray makeRequest(int code);
  // An answer with that number, as it would be sent.
  static QByteArray makeAnswer(int num, int code, const QList<QByteArray>& params = {});

  // What the kiosk sent, in order: its requests, and its answers to the
  // module's requests.
  QList<SimPacket> requests() const;
  QList<SimPacket> answers() const;
  // The products reported sold, in order.
  QList<int64_t> productsSold() const;
  // Waits until at least n requests with code have come (n answers when code
  // is 0); false after timeoutMs.
  bool waitForRequests(int code, int n, int timeoutMs) const;
  bool waitForAnswers(int n, int timeoutMs) const;
  void clearReceived();
  // Packets from the kiosk that broke the packet rules (type byte, checksums),
  // as hexadecimal text, in order; empty when it kept them.
  QStringList violations() const;

 private:
  void run(std::stop_token st);
  void handle(const SimPacket& p);
  void answer(const SimPacket& req, SimPacket a);

  SimPort port_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  QByteArray serial_;
  int64_t status_ = 0;
  QSet<int64_t> unavailable_;
  bool silent_ = false;
  int dropRequests_ = 0;
  bool corruptHeader_ = false;
  bool corruptParam_ = false;
  int splitGapMs_ = -1;
  QByteArray prefix_;
  int ownNum_ = 0;
  // Vectors, not implicitly shared lists: callers get their own copy.
  std::vector<SimPacket> requests_;
  std::vector<SimPacket> answers_;
  std::vector<int64_t> sold_;
  QStringList violations_;
  std::jthread thread_;
};
