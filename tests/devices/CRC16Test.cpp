#include <gtest/gtest.h>

#include "devices/CRC16.h"

namespace {

const QByteArray kCheck = "123456789";

QByteArray bytes(std::initializer_list<uint8_t> b) {
  QByteArray out;
  for (uint8_t x : b) out += char(x);
  return out;
}

}  // namespace

// The standard check values; any slip in polynomial, start value or
// reflection changes them.
TEST(Crc16, CheckValuesAndTheByteOrderEachRoutineReturns) {
  EXPECT_EQ(crc16Arc(kCheck), bytes({0x3D, 0xBB}));  // 0xBB3D, low byte first
  EXPECT_EQ(crc16Arc(QByteArray()), bytes({0x00, 0x00}));
  EXPECT_EQ(crc16Ccitt(kCheck), 0x29B1);
  EXPECT_EQ(crc16CcittStr(kCheck), bytes({0xB1, 0x29}));  // low byte first
  EXPECT_EQ(crc16CcittBytes(reinterpret_cast<const uint8_t*>(kCheck.constData()), 9), 0x29B1);
  EXPECT_EQ(crc16Ccitt(QByteArray()), 0xFFFF);
  EXPECT_EQ(crc16Modbus(kCheck), 0x4B37);
}

// The coffee machine carries its checksum high byte first.
TEST(Crc16, ModbusFrameCheckWantsTheHighByteFirst) {
  EXPECT_TRUE(checkCrc16Modbus(kCheck + bytes({0x4B, 0x37})));
  EXPECT_FALSE(checkCrc16Modbus(kCheck + bytes({0x37, 0x4B})));
  EXPECT_FALSE(checkCrc16Modbus(kCheck + bytes({0x4B, 0x36})));
  EXPECT_FALSE(checkCrc16Modbus(bytes({0x4B})));
  EXPECT_TRUE(checkCrc16Modbus(bytes({0xFF, 0xFF})));  // empty payload: start value
}

// Inputs beyond 65535 bytes are checked whole, not cut at a 16-bit count.
TEST(Crc16, ArcRunsOverLongInputs) {
  QByteArray big(70000, '\x5A');
  big[69999] = 1;
  uint16_t head = 0;
  updateCrc16Arc(reinterpret_cast<const uint8_t*>(big.constData()), 40000, head);
  uint16_t split = head;
  updateCrc16Arc(reinterpret_cast<const uint8_t*>(big.constData()) + 40000, 30000, split);
  const QByteArray whole = crc16Arc(big);
  EXPECT_EQ(whole, bytes({uint8_t(split & 0xFF), uint8_t(split >> 8)}));
  EXPECT_NE(whole, crc16Arc(big.left(70000 - 65536)));
}
