#include "devices/PaymentModule.h"

#include <QStringList>

#include "platform/Clock.h"

QByteArray TPaymentModule::serialNumber() const {
  std::lock_guard lock(lock_);
  return serialNumber_;
}

void TPaymentModule::event(int id, const QString& text) const {
  if (!events_) return;
  try {
    events_(id, text);
  } catch (...) {
  }
}

int64_t TPaymentModule::getVmStatus() {
  std::lock_guard lock(lock_);
  checkIncomingRequest();
  TPacket req;
  req.code = kStatusCode;
  TPacket answer = executeOutgoingRequest(req);
  serialNumber_ = answer.getString(0);
  return answer.getLong(1);
}

void TPaymentModule::addProduct(int64_t product) {
  std::lock_guard lock(lock_);
  checkIncomingRequest();
  TPacket req;
  req.code = kAddProductCode;
  req.addLong(product);
  executeOutgoingRequest(req);
}

bool TPaymentModule::testProduct(int64_t product) {
  std::lock_guard lock(lock_);
  checkIncomingRequest();
  TPacket req;
  req.code = kTestProductCode;
  req.addLong(product);
  const TPacket answer = executeOutgoingRequest(req);
  if (answer.paramCount() == 0) return false;
  return answer.getString(0) == QByteArray(1, '\0');
}

void TPaymentModule::checkIncomingRequest() {
  std::lock_guard lock(lock_);
  if (!isOpen()) open();
  for (int i = 0; i < kMaxIncomingPerCall; ++i) {
    TPacket p;
    try {
      p = recvPacket(kIncomingTimeoutMs);
    } catch (const ETimeout&) {
      return;  // nothing more is pending
    } catch (const Exception&) {
      dropRestOfLine();
      return;
    }
    // Every packet is reported and answered, a late answer to a request that
    // already timed out included: the module expects each packet it sends to
    // be taken, and the event keeps a trace of what the kiosk gave up on.
    event(1, QStringLiteral("checkIncomingRequest, packet.code = %1").arg(p.code));
    TPacket answer;
    answer.packetType = tptAnswer;
    answer.packetNum = p.packetNum;
    answer.code = 0;
    try {
      sendPacket(answer);
    } catch (const Exception&) {
      return;
    }
  }
}

bool TPaymentModule::findComPort(const std::atomic<bool>* stop) {
  QStringList ports;
  TComDevice::getComPortList(ports);
  for (const QString& name : ports) {
    if (stop && *stop) return false;
    bool okNumber = false;
    const int port = QString(name).remove(QStringLiteral("COM")).toInt(&okNumber);
    // The lock per candidate, not for the whole scan: the main thread waits
    // at most one probe, and between probes it sees no port at all.
    std::lock_guard lock(lock_);
    try {
      if (!okNumber)
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(name));
      setComPort(port);
      getVmStatus();
      // A port that fails again later is a new outage, reported anew.
      portFailures_.erase(port);
      return true;
    } catch (const std::exception& e) {
      close();
      const QString text =
          QStringLiteral("findComPort. Port: %1. Error: %2").arg(port).arg(exceptionMessage(e));
      if (portFailureDue(port, text)) event(1, text);
      setComPort(-1);
    }
  }
  return false;
}

bool TPaymentModule::portFailureDue(int port, const QString& text) {
  const int64_t now = plat::clock().nowMs();
  auto it = portFailures_.find(port);
  if (it != portFailures_.end() && it->second.text == text &&
      now - it->second.reportedMs < kPortFailureRepeatMs)
    return false;
  portFailures_[port] = TPortFailure{text, now};
  return true;
}
