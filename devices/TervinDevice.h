#pragma once
// The packet link of a vending machine's payment module: requests and answers
// that carry typed parameters, on a serial line at 9600 bit/s, 8N1.
//
// Packet: type ("q" request, "a" answer), number, code (2 bytes), then the
// CRC-16/ARC of those 4 bytes; each parameter as type (1 unsigned, 2 signed,
// 5 text; never 0), length (2 bytes), value, then the CRC-16/ARC of type,
// length and value; finally 0x00. Integers on the line are little-endian.
//
// A packet is read from whatever supplies bytes (TTervinReader), so that the
// driver and the simulator parse alike.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "devices/ComDevice.h"

enum TTervinPacketType : int32_t { tptRequest = 1, tptAnswer = 2 };
enum TTervinParamType : int32_t { tpUnsigned = 1, tpSigned = 2, tpText = 5 };

struct TPacket {
  int32_t packetType = 0;  // TTervinPacketType
  int32_t packetNum = 0;   // 0..255; an answer carries its request's number
  int32_t code = 0;        // 16 bits on the line
  QList<QByteArray> params;
  QList<int32_t> paramTypes;
  int32_t current_param_index = 0;

  void init() { current_param_index = 0; }
  void clearParams();
  int paramCount() const { return int(params.size()); }
  void addParam(const QByteArray& param, int32_t paramType);
  void addString(const QByteArray& param);
  // In the shortest of 1, 2, 4 or 8 bytes; type 1 for 0 and above, 2 below.
  void addLong(int64_t value);
  // By the parameter's type: 1 unsigned, 2 two's complement, 5 decimal text.
  // Raises "Index is out of bounds." and "Unknown parameter type N.".
  int64_t getLong(int index) const;
  // The raw value; raises "Index is out of bounds.".
  QByteArray getString(int index) const;
  int64_t nextLong();
  QByteArray nextString();
};

// Reads exactly len bytes within timeoutMs, or raises.
using TTervinReader = std::function<QByteArray(int timeoutMs, int len)>;

// Time-outs of the parts after the header.
inline constexpr int kTervinPartTimeoutMs = 500;

// The header: type byte, number, code, CRC. Raises for a value over 65535
// bytes and a parameter of type 0, which the line cannot carry.
QByteArray tervinHeader(const TPacket& packet);
// One parameter: type, length, value, CRC.
QByteArray tervinParam(const QByteArray& value, int32_t paramType);
// The whole packet as it goes on the line.
QByteArray encodeTervinPacket(const TPacket& packet);

// Reads one packet: the first 7 bytes within timeoutMs, each later part
// within kTervinPartTimeoutMs. Raises "Unknown packet type "x"." and
// "Incorrect checksum. header=..." / "Incorrect checksum. Param=... CRC=...".
TPacket readTervinPacket(const TTervinReader& read, int timeoutMs);

class TTervinDevice {
 public:
  TTervinDevice() = default;
  virtual ~TTervinDevice();
  TTervinDevice(const TTervinDevice&) = delete;
  TTervinDevice& operator=(const TTervinDevice&) = delete;

  int comPort() const { return fComPort; }
  // A different number closes the port first.
  void setComPort(int port);
  bool isOpen() const { return fIsOpen; }

  // Nothing when open; else connects "COM" + number and purges the input.
  // Raises "Не указан номер COM-порта." without a port number.
  void open();
  void close();

  // Opens when closed; writes the packet, pausing delay ms after each
  // parameter when delay > 0.
  void sendPacket(const TPacket& packet);
  TPacket recvPacket(int timeout);
  // Sends req as the next request and waits for the answer with its number;
  // module requests and other answers that arrive meanwhile are dropped.
  TPacket executeOutgoingRequest(TPacket req);

  uint32_t outgoingPacketNum = 0;  // number of the last request sent
  int delay = 0;                   // ms after each parameter sent; 0 none
  QDateTime lastRecvTime;          // last complete packet received
  TComDevice comDevice;

  // Per-packet time-out of the answer wait, and the bound of the whole wait:
  // a module that keeps sending its own requests cannot hold the caller.
  static constexpr int kAnswerTimeoutMs = 1000;
  int exchangeLimitMs = 5000;

 protected:
  // Every public operation of a derived driver takes it: the discovery
  // worker and the main thread share one driver.
  mutable std::recursive_mutex lock_;
  // A bad packet leaves the line mid-frame; what follows it is dropped so
  // that the next exchange starts on a packet boundary.
  void dropRestOfLine();

 private:
  std::atomic<int> fComPort{-1};
  std::atomic<bool> fIsOpen{false};
};
