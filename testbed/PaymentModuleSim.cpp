#include "testbed/PaymentModuleSim.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// Raised by the buffer reader when a packet has not fully arrived yet.
struct Incomplete {};

}  // namespace

PaymentModuleSim::PaymentModuleSim(const QString& portsDir, int com, const QByteArray& serialNumber)
    : port_(portsDir, com),
      serial_(serialNumber),
      thread_([this](std::stop_token st) { run(st); }) {}

PaymentModuleSim::~PaymentModuleSim() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void PaymentModuleSim::setSerialNumber(const QByteArray& serial) {
  std::lock_guard lock(mu_);
  serial_ = serial;
}
void PaymentModuleSim::setStatus(int64_t status) {
  std::lock_guard lock(mu_);
  status_ = status;
}
void PaymentModuleSim::setUnavailable(const QSet<int64_t>& products) {
  std::lock_guard lock(mu_);
  unavailable_ = products;
}
void PaymentModuleSim::setSilent(bool on) {
  std::lock_guard lock(mu_);
  silent_ = on;
}
void PaymentModuleSim::dropNextRequests(int n) {
  std::lock_guard lock(mu_);
  dropRequests_ = n;
}
void PaymentModuleSim::corruptNextHeader() {
  std::lock_guard lock(mu_);
  corruptHeader_ = true;
}
void PaymentModuleSim::corruptNextParam() {
  std::lock_guard lock(mu_);
  corruptParam_ = true;
}
void PaymentModuleSim::splitNextAnswer(int gapMs) {
  std::lock_guard lock(mu_);
  splitGapMs_ = gapMs;
}
void PaymentModuleSim::prefixNextAnswer(const QByteArray& bytes) {
  std::lock_guard lock(mu_);
  prefix_ += bytes;
}

QByteArray PaymentModuleSim::makeRequest(int code) {
  TPacket p;
  p.packetType = tptRequest;
  p.code = code;
  std::lock_guard lock(mu_);
  ownNum_ = (ownNum_ + 1) % 256;
  p.packetNum = ownNum_;
  return encodeTervinPacket(p);
}

int PaymentModuleSim::sendRequest(int code, const QList<QByteArray>& params) {
  TPacket p;
  p.packetType = tptRequest;
  p.code = code;
  for (const QByteArray& v : params) p.addString(v);
  {
    std::lock_guard lock(mu_);
    ownNum_ = (ownNum_ + 1) % 256;
    p.packetNum = ownNum_;
  }
  port_.write(encodeTervinPacket(p));
  return p.packetNum;
}

void PaymentModuleSim::sendRaw(const QByteArray& bytes) {
  port_.write(bytes);
}

QList<TPacket> PaymentModuleSim::requests() const {
  std::lock_guard lock(mu_);
  return QList<TPacket>(requests_.begin(), requests_.end());
}
QList<TPacket> PaymentModuleSim::answers() const {
  std::lock_guard lock(mu_);
  return QList<TPacket>(answers_.begin(), answers_.end());
}
QList<int64_t> PaymentModuleSim::productsSold() const {
  std::lock_guard lock(mu_);
  return QList<int64_t>(sold_.begin(), sold_.end());
}

bool PaymentModuleSim::waitForRequests(int code, int n, int timeoutMs) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    int count = 0;
    for (const TPacket& p : requests_)
      if (p.code == code) ++count;
    return count >= n;
  });
}

bool PaymentModuleSim::waitForAnswers(int n, int timeoutMs) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return int(answers_.size()) >= n; });
}

void PaymentModuleSim::clearReceived() {
  std::lock_guard lock(mu_);
  requests_.clear();
  answers_.clear();
  sold_.clear();
}

void PaymentModuleSim::run(std::stop_token st) {
  QByteArray buf;
  while (!st.stop_requested()) {
    buf += port_.read(20);
    while (!buf.isEmpty()) {
      qsizetype pos = 0;
      const TTervinReader reader = [&](int, int len) {
        if (buf.size() - pos < len) throw Incomplete{};
        QByteArray out = buf.mid(pos, len);
        pos += len;
        return out;
      };
      TPacket p;
      try {
        p = readTervinPacket(reader, 0);
      } catch (const Incomplete&) {
        break;  // the rest of the packet is still on its way
      } catch (const Exception&) {
        // A spoiled packet: start again with what arrives next.
        buf.clear();
        break;
      }
      buf.remove(0, pos);
      handle(p);
    }
  }
}

void PaymentModuleSim::handle(const TPacket& p) {
  TPacket a;
  {
    std::lock_guard lock(mu_);
    if (p.packetType == tptAnswer) {
      answers_.push_back(p);
      cv_.notify_all();
      return;
    }
    requests_.push_back(p);
    cv_.notify_all();
    if (silent_) return;
    if (dropRequests_ > 0) {
      --dropRequests_;
      return;
    }
    a.code = p.code;
    switch (p.code) {
      case 1:
        a.addString(serial_);
        a.addLong(status_);
        break;
      case 2:
        try {
          sold_.push_back(p.getLong(0));
        } catch (const Exception&) {
        }
        break;
      case 3: {
        bool available = false;
        try {
          available = !unavailable_.contains(p.getLong(0));
        } catch (const Exception&) {
        }
        a.addParam(QByteArray(1, available ? '\0' : '\1'), tpUnsigned);
        break;
      }
      default:
        break;
    }
  }
  answer(p, a);
}

void PaymentModuleSim::answer(const TPacket& req, TPacket a) {
  a.packetType = tptAnswer;
  a.packetNum = req.packetNum;
  QByteArray bytes = encodeTervinPacket(a);
  int gap = -1;
  {
    std::lock_guard lock(mu_);
    if (corruptHeader_) {
      corruptHeader_ = false;
      bytes[4] = char(bytes[4] ^ 0x5A);
    }
    if (corruptParam_ && a.paramCount() > 0) {
      corruptParam_ = false;
      // The first parameter's checksum sits after type, length and value.
      const qsizetype at = 6 + 3 + a.params[0].size();
      bytes[at] = char(bytes[at] ^ 0x5A);
    }
    bytes.prepend(prefix_);
    prefix_.clear();
    gap = splitGapMs_;
    splitGapMs_ = -1;
  }
  if (gap < 0) {
    port_.write(bytes);
    return;
  }
  const qsizetype half = bytes.size() / 2;
  port_.write(bytes.left(half));
  std::this_thread::sleep_for(std::chrono::milliseconds(gap));
  port_.write(bytes.mid(half));
}
