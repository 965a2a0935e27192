#pragma once
// The checksums of the device protocols. Each routine fixes only what it
// returns; the byte order a frame carries belongs to that frame's protocol.

#include <QByteArray>
#include <cstddef>
#include <cstdint>

// CRC-16/ARC (reflected 0xA001, start 0, no final XOR): payment-module packets.
// Two bytes, low byte first.
QByteArray crc16Arc(const QByteArray& data);
// One table-driven pass over count bytes, updating the running value.
void updateCrc16Arc(const uint8_t* buf, size_t count, uint16_t& crc);

// CRC-16/CCITT-FALSE (0x1021, start 0xFFFF, not reflected, no final XOR):
// Vendotek and D200 frames.
uint16_t crc16Ccitt(const QByteArray& data);
// The same value as two bytes, low byte first.
QByteArray crc16CcittStr(const QByteArray& data);
uint16_t crc16CcittBytes(const uint8_t* data, size_t count);

// CRC-16/MODBUS (reflected 0xA001, start 0xFFFF, no final XOR): Carimali frames.
uint16_t crc16ModbusStep(uint16_t crc, uint8_t byte);
uint16_t crc16Modbus(const QByteArray& data);
// A received frame whose last two bytes carry the checksum of the bytes
// before them, high byte first. A frame shorter than two bytes fails.
bool checkCrc16Modbus(const QByteArray& frame);
