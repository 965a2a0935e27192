#pragma once
// The serial transport every device driver builds its protocol on. It knows
// nothing of frames: the receive operations differ only in when they stop.
//
// A receive that completes never loses bytes: what it read beyond what it
// returns is pushed back and handed out first by the next receive of any
// kind. Deadlines are measured on plat::clock().

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>

#include "platform/Exception.h"
#include "platform/SerialPort.h"

// A read or a write on an open port failed: the device went away or the
// line broke. Drivers close the port on it rather than retry the same handle.
class EComPortError : public Exception {
 public:
  using Exception::Exception;
};

class TComDevice {
 public:
  TComDevice() = default;
  virtual ~TComDevice();
  TComDevice(const TComDevice&) = delete;
  TComDevice& operator=(const TComDevice&) = delete;

  // Opens the port named COMPort ("COM" and its number) and empties the
  // push-back buffer. parity 0 is none, stop 0 one stop bit.
  void connect(const QString& COMPort, int32_t bitrate, uint8_t bits, uint8_t parity, uint8_t stop,
               bool hardflow, bool softflow);
  void closeSocket();
  bool isOpen() const { return port_.isOpen(); }

  // One write of the whole buffer; an empty one writes nothing.
  void sendBuffer(const QByteArray& buf);
  // Exactly len bytes; bytes that arrive in time never fail, even when the
  // deadline passed meanwhile.
  QByteArray recvBuffer(int timeout, int len);
  uint8_t recvByte(int timeout);
  // The bytes before the first Terminator; the terminator is consumed.
  QByteArray recvTerminated(int timeout, const QByteArray& Terminator);
  // Everything that arrives within timeout; never fails on the time-out.
  QByteArray recvPacket(int timeout);
  // Drops everything pending, the push-back buffer included.
  void purge();
  // Raises "Operation was terminated." when terminated is set, and "Timeout
  // during operation." when more than timeout ms passed. Tick counts are the
  // low 32 bits of the millisecond clock; a current count below the initial
  // one has wrapped.
  void checkTimeout(uint32_t currentTickCount, uint32_t initialTickCount, int timeout) const;

  // The port names of the ports folder, "COM" and the number, in number order.
  static void getComPortList(QStringList& list);

  // Cancels every receive at its next deadline check; the transport never
  // clears it.
  std::atomic<bool> terminated{false};

  // Waits at most waitMs for bytes on the line, without reading them. Any
  // thread may call it while another owns the transport.
  bool waitForInput(int waitMs) const { return port_.waitReadable(waitMs); }

 protected:
  // The push-back buffer whole when it holds bytes, else one short read of
  // the port that waits at most until the deadline (and never longer than a
  // few tens of milliseconds).
  QByteArray readChunk(uint32_t initialTickCount, int timeout);
  static uint32_t tickCount();

 private:
  plat::SerialPort port_;
  QByteArray fBuffer;
};
