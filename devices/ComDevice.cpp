#include "devices/ComDevice.h"

#include <algorithm>

#include "platform/Clock.h"

namespace {

// Reads are short so that every loop looks at its deadline often; a read
// returns as soon as bytes are there, so the cap costs no latency.
constexpr int kChunkBytes = 256;
constexpr int kMaxWaitMs = 20;
// purge stops at the first read that stays empty this long: a device may
// pause inside an answer for longer than a byte time, and a tail left behind
// would spoil the next exchange.
constexpr int kPurgeQuietMs = 22;

int writeTimeoutMs(qsizetype len) {
  return int(std::min<qsizetype>(len, 1'000'000) * 10 + 10);
}

}  // namespace

TComDevice::~TComDevice() {
  closeSocket();
}

uint32_t TComDevice::tickCount() {
  return uint32_t(plat::clock().nowMs());
}

void TComDevice::connect(const QString& COMPort, int32_t bitrate, uint8_t bits, uint8_t parity,
                         uint8_t stop, bool hardflow, bool softflow) {
  switch (port_.open(plat::comPortPath(COMPort), bitrate, bits, parity, stop, hardflow, softflow)) {
    case plat::SerialPort::OpenResult::Ok:
      break;
    case plat::SerialPort::OpenResult::NotFound:
      throw Exception(QStringLiteral("COM port not found."));
    case plat::SerialPort::OpenResult::NoState:
      throw Exception(QStringLiteral("Can not read COM-port state."));
  }
  fBuffer.clear();
}

void TComDevice::closeSocket() {
  port_.close();
}

void TComDevice::sendBuffer(const QByteArray& buf) {
  if (buf.isEmpty()) return;
  const int n = port_.write(buf.constData(), int(buf.size()), writeTimeoutMs(buf.size()));
  if (n < 0) {
    throw EComPortError(
        QStringLiteral("Can not send data to COM port (error + %1).").arg(port_.lastError()));
  }
  if (n != buf.size()) throw EComPortError(QStringLiteral("Can not send data to COM port."));
}

QByteArray TComDevice::readChunk(uint32_t initialTickCount, int timeout) {
  if (!fBuffer.isEmpty()) {
    QByteArray out;
    out.swap(fBuffer);
    return out;
  }
  // Wait until just past the deadline, so that the check after this read
  // sees it passed; never less than 1 ms, so that a spent deadline cannot spin.
  const int64_t left = int64_t(initialTickCount) + timeout - int64_t(tickCount()) + 1;
  const int waitMs = int(std::clamp<int64_t>(left, 1, kMaxWaitMs));
  char buf[kChunkBytes];
  const int n = port_.read(buf, kChunkBytes, waitMs);
  if (n < 0) {
    throw EComPortError(
        QStringLiteral("Can not read data from COM port (error + %1).").arg(port_.lastError()));
  }
  return QByteArray(buf, n);
}

void TComDevice::checkTimeout(uint32_t currentTickCount, uint32_t initialTickCount,
                              int timeout) const {
  if (terminated) throw ETerminated(QStringLiteral("Operation was terminated."));
  int64_t current = currentTickCount;
  if (currentTickCount < initialTickCount) current += int64_t(1) << 32;
  if (current > int64_t(initialTickCount) + timeout) {
    throw ETimeout(QStringLiteral("Timeout during operation."));
  }
}

QByteArray TComDevice::recvBuffer(int timeout, int len) {
  const uint32_t start = tickCount();
  QByteArray result;
  for (;;) {
    result += readChunk(start, timeout);
    if (result.size() >= len) break;
    checkTimeout(tickCount(), start, timeout);
  }
  if (result.size() > len) {
    fBuffer = result.mid(len);
    result.truncate(len);
  }
  return result;
}

uint8_t TComDevice::recvByte(int timeout) {
  return uint8_t(recvBuffer(timeout, 1).at(0));
}

QByteArray TComDevice::recvTerminated(int timeout, const QByteArray& Terminator) {
  const uint32_t start = tickCount();
  QByteArray result;
  qsizetype pos = -1;
  for (;;) {
    // Search only where a terminator could newly complete.
    const qsizetype from = std::max<qsizetype>(0, result.size() - Terminator.size() + 1);
    result += readChunk(start, timeout);
    pos = result.indexOf(Terminator, from);
    if (pos >= 0) break;
    checkTimeout(tickCount(), start, timeout);
  }
  fBuffer = result.mid(pos + Terminator.size());
  result.truncate(pos);
  return result;
}

QByteArray TComDevice::recvPacket(int timeout) {
  const uint32_t start = tickCount();
  QByteArray result;
  for (;;) {
    result += readChunk(start, timeout);
    try {
      checkTimeout(tickCount(), start, timeout);
    } catch (const ETimeout&) {
      break;
    } catch (const ETerminated&) {
      break;
    }
  }
  return result;
}

void TComDevice::purge() {
  fBuffer.clear();
  char buf[kChunkBytes];
  for (;;) {
    const int n = port_.read(buf, kChunkBytes, kPurgeQuietMs);
    if (n < 0) {
      throw EComPortError(
          QStringLiteral("Can not read data from COM port (error + %1).").arg(port_.lastError()));
    }
    if (n == 0) break;
  }
}

void TComDevice::getComPortList(QStringList& list) {
  list.clear();
  for (int n : plat::listComPorts()) list.append(QStringLiteral("COM%1").arg(n));
}
