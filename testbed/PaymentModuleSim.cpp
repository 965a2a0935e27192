#include "testbed/PaymentModuleSim.h"

#include <chrono>

#include "devices/CRC16.h"

// The packet code here is written from the protocol's tables on its own; the
// checksum routine is shared, as it is checked against the standard's check
// values by itself.

namespace {

constexpr char kRequestByte = 'q';
constexpr char kAnswerByte = 'a';

QByteArray littleEndian(uint64_t v, int bytes) {
  QByteArray out;
  for (int i = 0; i < bytes; ++i) out += char((v >> (8 * i)) & 0xFF);
  return out;
}

uint64_t fromLittleEndian(const QByteArray& b, qsizetype at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | uint8_t(b[at + i]);
  return v;
}

enum class Parse { Done, NeedMore, Bad };

// Takes one packet from the front of buf. A spoiled packet is Bad; a packet
// still arriving NeedMore.
Parse takePacket(const QByteArray& buf, qsizetype* used, SimPacket* out) {
  if (buf.size() < 7) return Parse::NeedMore;
  SimPacket p;
  if (buf[0] == kRequestByte) {
    p.packetType = SimPacket::Request;
  } else if (buf[0] == kAnswerByte) {
    p.packetType = SimPacket::Answer;
  } else {
    return Parse::Bad;
  }
  p.packetNum = uint8_t(buf[1]);
  p.code = int(fromLittleEndian(buf, 2, 2));
  if (crc16Arc(buf.left(4)) != buf.mid(4, 2)) return Parse::Bad;
  qsizetype at = 6;
  for (;;) {
    if (buf.size() < at + 1) return Parse::NeedMore;
    const uint8_t type = uint8_t(buf[at]);
    if (type == 0) break;
    if (type != 1 && type != 2 && type != 5) return Parse::Bad;
    if (buf.size() < at + 3) return Parse::NeedMore;
    const qsizetype len = qsizetype(fromLittleEndian(buf, at + 1, 2));
    if (buf.size() < at + 3 + len + 2) return Parse::NeedMore;
    const QByteArray whole = buf.mid(at, 3 + len);
    if (crc16Arc(whole) != buf.mid(at + 3 + len, 2)) return Parse::Bad;
    p.params.append(whole.mid(3));
    p.paramTypes.append(type);
    at += 3 + len + 2;
  }
  *used = at + 1;
  *out = p;
  return Parse::Done;
}

}  // namespace

void SimPacket::addInteger(int64_t value) {
  // The narrowest width that holds the value: as an unsigned number when it
  // is not negative, as a two's complement one when it is.
  for (int width : {1, 2, 4, 8}) {
    const int bits = 8 * width;
    const bool fits = width == 8 || (value >= 0 ? uint64_t(value) < (uint64_t(1) << bits)
                                                : value >= -(int64_t(1) << (bits - 1)));
    if (fits) {
      params.append(littleEndian(uint64_t(value), width));
      paramTypes.append(value >= 0 ? 1 : 2);
      return;
    }
  }
}

std::optional<int64_t> SimPacket::integer(int index) const {
  if (index < 0 || index >= params.size()) return std::nullopt;
  const QByteArray& v = params[index];
  const int type = paramTypes.value(index);
  if (type == 5) {
    bool ok = false;
    const qlonglong n = v.toLongLong(&ok);
    return ok ? std::optional<int64_t>(n) : std::nullopt;
  }
  const int width = int(v.size());
  if ((type != 1 && type != 2) || (width != 1 && width != 2 && width != 4 && width != 8))
    return std::nullopt;
  const uint64_t raw = fromLittleEndian(v, 0, width);
  if (type == 1 || width == 8) return int64_t(raw);
  const uint64_t sign = uint64_t(1) << (8 * width - 1);
  return (raw & sign) ? int64_t(raw) - int64_t(sign << 1) : int64_t(raw);
}

QByteArray SimPacket::encode() const {
  QByteArray head;
  head += packetType == Answer ? kAnswerByte : kRequestByte;
  head += char(packetNum & 0xFF);
  head += littleEndian(uint64_t(code), 2);
  QByteArray out = head + crc16Arc(head);
  for (int i = 0; i < params.size(); ++i) {
    QByteArray part;
    part += char(paramTypes.value(i, 5));
    part += littleEndian(uint64_t(params[i].size()), 2);
    part += params[i];
    out += part + crc16Arc(part);
  }
  out += '\0';
  return out;
}

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
  // A copy of the bytes, not a share of the caller's buffer: the simulator's
  // thread frees it, and the count that would order that free after the
  // caller's last use lives inside Qt, where ThreadSanitizer cannot see it.
  prefix_.append(bytes.constData(), bytes.size());
}

QByteArray PaymentModuleSim::makeRequest(int code) {
  SimPacket p;
  p.code = code;
  std::lock_guard lock(mu_);
  ownNum_ = (ownNum_ + 1) % 256;
  p.packetNum = ownNum_;
  return p.encode();
}

QByteArray PaymentModuleSim::makeAnswer(int num, int code, const QList<QByteArray>& params) {
  SimPacket p;
  p.packetType = SimPacket::Answer;
  p.packetNum = num;
  p.code = code;
  for (const QByteArray& v : params) {
    p.params.append(v);
    p.paramTypes.append(5);
  }
  return p.encode();
}

int PaymentModuleSim::sendRequest(int code, const QList<QByteArray>& params) {
  SimPacket p;
  p.code = code;
  for (const QByteArray& v : params) {
    p.params.append(v);
    p.paramTypes.append(5);
  }
  {
    std::lock_guard lock(mu_);
    ownNum_ = (ownNum_ + 1) % 256;
    p.packetNum = ownNum_;
  }
  port_.write(p.encode());
  return p.packetNum;
}

int PaymentModuleSim::sendAnswer(int num, int code, const QList<QByteArray>& params) {
  port_.write(makeAnswer(num, code, params));
  return num;
}

void PaymentModuleSim::sendRaw(const QByteArray& bytes) {
  port_.write(bytes);
}

QList<SimPacket> PaymentModuleSim::requests() const {
  std::lock_guard lock(mu_);
  return QList<SimPacket>(requests_.begin(), requests_.end());
}
QList<SimPacket> PaymentModuleSim::answers() const {
  std::lock_guard lock(mu_);
  return QList<SimPacket>(answers_.begin(), answers_.end());
}
QList<int64_t> PaymentModuleSim::productsSold() const {
  std::lock_guard lock(mu_);
  return QList<int64_t>(sold_.begin(), sold_.end());
}

bool PaymentModuleSim::waitForRequests(int code, int n, int timeoutMs) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    int count = 0;
    for (const SimPacket& p : requests_)
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

QStringList PaymentModuleSim::violations() const {
  std::lock_guard lock(mu_);
  return violations_;
}

void PaymentModuleSim::run(std::stop_token st) {
  QByteArray buf;
  while (!st.stop_requested()) {
    buf += port_.read(20);
    while (!buf.isEmpty()) {
      qsizetype used = 0;
      SimPacket p;
      const Parse r = takePacket(buf, &used, &p);
      if (r == Parse::NeedMore) break;  // the rest is still on its way
      if (r == Parse::Bad) {
        // A spoiled packet: start again with what arrives next.
        {
          std::lock_guard lock(mu_);
          violations_ << QString::fromLatin1(buf.toHex(' '));
        }
        buf.clear();
        break;
      }
      buf.remove(0, used);
      handle(p);
    }
  }
}

void PaymentModuleSim::handle(const SimPacket& p) {
  SimPacket a;
  {
    std::lock_guard lock(mu_);
    if (p.packetType == SimPacket::Answer) {
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
        a.params.append(serial_);
        a.paramTypes.append(5);
        a.addInteger(status_);
        break;
      case 2:
        if (auto product = p.integer(0)) sold_.push_back(*product);
        break;
      case 3: {
        const auto product = p.integer(0);
        const bool available = product && !unavailable_.contains(*product);
        a.params.append(QByteArray(1, available ? '\0' : '\1'));
        a.paramTypes.append(1);
        break;
      }
      default:
        break;
    }
  }
  answer(p, a);
}

void PaymentModuleSim::answer(const SimPacket& req, SimPacket a) {
  a.packetType = SimPacket::Answer;
  a.packetNum = req.packetNum;
  QByteArray bytes = a.encode();
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
