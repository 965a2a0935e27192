#include "devices/TervinDevice.h"

#include "devices/CRC16.h"
#include "platform/Clock.h"
#include "platform/Common.h"
#include "platform/TextCodec.h"

namespace {

constexpr char kRequestByte = 'q';
constexpr char kAnswerByte = 'a';
constexpr int kBitrate = 9600;
constexpr qsizetype kMaxValue = 0xFFFF;

QByteArray le(uint64_t v, int n) {
  QByteArray out(n, '\0');
  for (int i = 0; i < n; ++i) out[i] = char((v >> (8 * i)) & 0xFF);
  return out;
}

uint16_t le16(const QByteArray& b, int at) {
  return uint16_t(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8));
}

Exception outOfBounds() {
  return Exception(QStringLiteral("Index is out of bounds."));
}

}  // namespace

// ---- TPacket ----------------------------------------------------------------

void TPacket::clearParams() {
  params.clear();
  paramTypes.clear();
}

void TPacket::addParam(const QByteArray& param, int32_t paramType) {
  params.append(param);
  paramTypes.append(paramType);
}

void TPacket::addString(const QByteArray& param) {
  addParam(param, tpText);
}

void TPacket::addLong(int64_t value) {
  uint64_t number;
  int len;
  if (value >= 0) {
    number = uint64_t(value);
    len = number < 0x100 ? 1 : number < 0x10000 ? 2 : number < 0x100000000ULL ? 4 : 8;
  } else {
    // The magnitude in unsigned arithmetic, so that the smallest int64 works too.
    const uint64_t m = 0 - uint64_t(value);
    if (m <= 0x80) {
      number = 0x100 - m;
      len = 1;
    } else if (m <= 0x8000) {
      number = 0x10000 - m;
      len = 2;
    } else if (m <= 0x80000000ULL) {
      number = 0x100000000ULL - m;
      len = 4;
    } else {
      number = uint64_t(value);
      len = 8;
    }
  }
  addParam(le(number, len), value >= 0 ? tpUnsigned : tpSigned);
}

int64_t TPacket::getLong(int index) const {
  if (index < 0 || index >= paramCount()) throw outOfBounds();
  const QByteArray& v = params[index];
  const int32_t type = paramTypes.value(index);
  switch (type) {
    case tpUnsigned:
    case tpSigned: {
      // A module's integer is at most 8 bytes; a longer one cannot be a number.
      if (v.size() > 8) throw Exception(QStringLiteral("Incorrect answer format."));
      uint64_t u = 0;
      for (qsizetype i = v.size(); i-- > 0;) u = (u << 8) | uint8_t(v[i]);
      if (type == tpSigned && !v.isEmpty() && v.size() < 8 && (uint8_t(v.back()) & 0x80))
        u -= uint64_t(1) << (8 * v.size());
      return int64_t(u);
    }
    case tpText: {
      bool ok = false;
      const QString text = plat::fromAnsi(v);
      const qint64 n = text.trimmed().toLongLong(&ok);
      if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
      return n;
    }
    default:
      throw Exception(QStringLiteral("Unknown parameter type %1.").arg(type));
  }
}

QByteArray TPacket::getString(int index) const {
  if (index < 0 || index >= paramCount()) throw outOfBounds();
  return params[index];
}

int64_t TPacket::nextLong() {
  const int64_t v = getLong(current_param_index);
  ++current_param_index;
  return v;
}

QByteArray TPacket::nextString() {
  QByteArray v = getString(current_param_index);
  ++current_param_index;
  return v;
}

// ---- codec ------------------------------------------------------------------

QByteArray tervinHeader(const TPacket& packet) {
  QByteArray h;
  h += packet.packetType == tptAnswer ? kAnswerByte : kRequestByte;
  h += char(packet.packetNum & 0xFF);
  h += le(uint16_t(packet.code), 2);
  return h + crc16Arc(h);
}

QByteArray tervinParam(const QByteArray& value, int32_t paramType) {
  // Type 0 ends a packet and the length field has 16 bits: either would make
  // the module read a different packet than the one meant.
  if ((paramType & 0xFF) == 0) throw Exception(QStringLiteral("Parameter type 0 is not allowed."));
  if (value.size() > kMaxValue) throw Exception(QStringLiteral("Parameter is too long."));
  QByteArray p;
  p += char(paramType & 0xFF);
  p += le(uint64_t(value.size()), 2);
  p += value;
  return p + crc16Arc(p);
}

QByteArray encodeTervinPacket(const TPacket& packet) {
  QByteArray out = tervinHeader(packet);
  for (int i = 0; i < packet.paramCount(); ++i)
    out += tervinParam(packet.params[i], packet.paramTypes.value(i));
  out += '\0';
  return out;
}

TPacket readTervinPacket(const TTervinReader& read, int timeoutMs) {
  TPacket p;
  const QByteArray head = read(timeoutMs, 7);
  if (head.size() != 7) throw ETimeout(QStringLiteral("Timeout during operation."));
  if (head[0] == kAnswerByte) {
    p.packetType = tptAnswer;
  } else if (head[0] == kRequestByte) {
    p.packetType = tptRequest;
  } else {
    throw Exception(QStringLiteral("Unknown packet type \"%1.").arg(plat::fromAnsi(head.left(1))));
  }
  p.packetNum = uint8_t(head[1]);
  p.code = le16(head, 2);
  if (crc16Arc(head.left(4)) != head.mid(4, 2))
    throw Exception(QStringLiteral("Incorrect checksum. header=") + BytesToHex(head));

  uint8_t type = uint8_t(head[6]);
  while (type != 0) {
    const QByteArray lenBytes = read(kTervinPartTimeoutMs, 2);
    if (lenBytes.size() != 2) throw ETimeout(QStringLiteral("Timeout during operation."));
    const int len = le16(lenBytes, 0);
    const QByteArray value = len > 0 ? read(kTervinPartTimeoutMs, len) : QByteArray();
    if (value.size() != len) throw ETimeout(QStringLiteral("Timeout during operation."));
    p.addParam(value, type);
    const QByteArray tail = read(kTervinPartTimeoutMs, 3);
    if (tail.size() != 3) throw ETimeout(QStringLiteral("Timeout during operation."));
    if (crc16Arc(QByteArray(1, char(type)) + lenBytes + value) != tail.left(2)) {
      throw Exception(QStringLiteral("Incorrect checksum. Param=") + BytesToHex(value) +
                      QStringLiteral(". CRC=") + BytesToHex(tail));
    }
    type = uint8_t(tail[2]);
  }
  return p;
}

// ---- TTervinDevice ----------------------------------------------------------

TTervinDevice::~TTervinDevice() {
  close();
}

void TTervinDevice::setComPort(int port) {
  std::lock_guard lock(lock_);
  if (port == fComPort) return;
  comDevice.closeSocket();
  fComPort = port;
  fIsOpen = false;
}

void TTervinDevice::open() {
  std::lock_guard lock(lock_);
  if (fIsOpen) return;
  comDevice.closeSocket();
  if (fComPort <= 0) throw Exception(QStringLiteral("Не указан номер COM-порта."));
  comDevice.connect(QStringLiteral("COM%1").arg(int(fComPort)), kBitrate, 8, 0, 0, false, false);
  comDevice.purge();
  fIsOpen = true;
}

void TTervinDevice::close() {
  std::lock_guard lock(lock_);
  comDevice.closeSocket();
  fIsOpen = false;
}

void TTervinDevice::dropRestOfLine() {
  try {
    comDevice.purge();
  } catch (...) {
  }
}

void TTervinDevice::sendPacket(const TPacket& packet) {
  std::lock_guard lock(lock_);
  // Encoded whole first, so that a parameter the line cannot carry raises
  // before any byte of the packet went out.
  QList<QByteArray> parts;
  for (int i = 0; i < packet.paramCount(); ++i)
    parts.append(tervinParam(packet.params[i], packet.paramTypes.value(i)));
  const QByteArray header = tervinHeader(packet);
  if (!fIsOpen) open();
  if (delay <= 0) {
    comDevice.sendBuffer(header + parts.join() + QByteArray(1, '\0'));
    return;
  }
  comDevice.sendBuffer(header);
  for (const QByteArray& part : parts) {
    comDevice.sendBuffer(part);
    plat::clock().sleepMs(delay);
  }
  comDevice.sendBuffer(QByteArray(1, '\0'));
}

TPacket TTervinDevice::recvPacket(int timeout) {
  std::lock_guard lock(lock_);
  TPacket p =
      readTervinPacket([this](int ms, int len) { return comDevice.recvBuffer(ms, len); }, timeout);
  lastRecvTime = QDateTime::currentDateTime();
  return p;
}

TPacket TTervinDevice::executeOutgoingRequest(TPacket req) {
  std::lock_guard lock(lock_);
  outgoingPacketNum = (outgoingPacketNum + 1) % 256;
  req.packetType = tptRequest;
  req.packetNum = int32_t(outgoingPacketNum);
  sendPacket(req);
  const int64_t start = plat::clock().nowMs();
  for (;;) {
    TPacket p;
    try {
      p = recvPacket(kAnswerTimeoutMs);
    } catch (const ETimeout&) {
      throw;
    } catch (const Exception&) {
      dropRestOfLine();
      throw;
    }
    if (p.packetType == tptAnswer && uint32_t(p.packetNum) == outgoingPacketNum) return p;
    if (plat::clock().nowMs() - start > exchangeLimitMs)
      throw ETimeout(QStringLiteral("Timeout during operation."));
  }
}
