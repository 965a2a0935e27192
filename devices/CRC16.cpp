#include "devices/CRC16.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> makeArcTable() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t v = uint16_t(i);
    for (int b = 0; b < 8; ++b) v = (v & 1) ? uint16_t((v >> 1) ^ 0xA001) : uint16_t(v >> 1);
    t[i] = v;
  }
  return t;
}

constexpr auto kArcTable = makeArcTable();

const uint8_t* bytesOf(const QByteArray& a) {
  return reinterpret_cast<const uint8_t*>(a.constData());
}

}  // namespace

void updateCrc16Arc(const uint8_t* buf, size_t count, uint16_t& crc) {
  for (size_t i = 0; i < count; ++i) crc = uint16_t((crc >> 8) ^ kArcTable[(buf[i] ^ crc) & 0xFF]);
}

QByteArray crc16Arc(const QByteArray& data) {
  uint16_t crc = 0;
  updateCrc16Arc(bytesOf(data), size_t(data.size()), crc);
  QByteArray out(2, '\0');
  out[0] = char(crc & 0xFF);
  out[1] = char(crc >> 8);
  return out;
}

uint16_t crc16CcittBytes(const uint8_t* data, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    crc ^= uint16_t(data[i]) << 8;
    for (int b = 0; b < 8; ++b)
      crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
  }
  return crc;
}

uint16_t crc16Ccitt(const QByteArray& data) {
  return crc16CcittBytes(bytesOf(data), size_t(data.size()));
}

QByteArray crc16CcittStr(const QByteArray& data) {
  const uint16_t crc = crc16Ccitt(data);
  QByteArray out(2, '\0');
  out[0] = char(crc & 0xFF);
  out[1] = char(crc >> 8);
  return out;
}

uint16_t crc16ModbusStep(uint16_t crc, uint8_t byte) {
  crc ^= byte;
  for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
  return crc;
}

uint16_t crc16Modbus(const QByteArray& data) {
  uint16_t crc = 0xFFFF;
  for (char c : data) crc = crc16ModbusStep(crc, uint8_t(c));
  return crc;
}

bool checkCrc16Modbus(const QByteArray& frame) {
  if (frame.size() < 2) return false;
  const uint16_t crc = crc16Modbus(frame.left(frame.size() - 2));
  return uint8_t(frame[frame.size() - 2]) == (crc >> 8) &&
         uint8_t(frame[frame.size() - 1]) == (crc & 0xFF);
}
