#pragma once
// The Vendotek card terminal on a serial line: keeps the link alive, runs one
// card payment at a time and carries the terminal's own connection to its
// bank host over a TCP socket of the kiosk (the terminal asks the kiosk to
// connect, send and disconnect, and the kiosk forwards bytes both ways).
//
// Frame: 0x1F, length L (body + 2, high byte first), direction marker, body
// of TLV entries, CRC-16/CCITT-FALSE of everything before it, high byte
// first. A TLV length is one byte up to 127, 0x81 n up to 255, 0x82 n n up to
// 65535.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "devices/ComDevice.h"
#include "devices/LogLimiter.h"
#include "platform/TcpClient.h"

enum VendotekTag : uint8_t {
  vtMessageName = 1,
  vtPinCode = 2,
  vtOperationNumber = 3,
  vtAmountMinorCurrency = 4,
  vtKeepaliveIntervalS = 5,
  vtOperationTimeoutS = 6,
  vtEventName = 7,
  vtEventNumber = 8,
  vtProductId = 9,
  vtQRCode = 10,
  vtTcpIpDestination = 11,
  vtOutgoingByteCounter = 12,
  vtSimpleDataBlock = 13,
  vtConfirmableDataBlock = 14,
  vtProductName = 15,
  vtPosManagementData = 16,
  vtLocalTime = 17,
  vtSystemInformation = 18,
  vtBankingReceipt = 19,
  vtDisplayTimeMs = 20,
  vtImageName = 21,
  vtImageFlags = 22,
  vtDisplayText = 23,
  vtCoordinatesAndColor = 24,
  vtHostId = 25,
  vtLoyaltyCode = 26,
  vtCardUID = 27,
  vtStageID = 28,
  vtHMAC = 29,
};

struct TVendotekTag {
  uint8_t tag = 0;
  QByteArray value;
};

struct TVendotekMessage {
  QList<TVendotekTag> tags;  // in wire order; a tag may occur more than once

  void clear() { tags.clear(); }
  void add(uint8_t tag, const QByteArray& value) { tags.append({tag, value}); }
  // The first entry with that tag; empty when none.
  QByteArray getValue(uint8_t tag) const;
  // The body: tag, encoded length, value, for each entry. Raises "Length is
  // too small." for an empty value.
  QByteArray toString() const;
  // Refills the message from a body. Raises "Zero length" and "Length is too
  // big" for length bytes it cannot take; a value cut short by the end of the
  // body is kept as far as it goes, a trailing entry without its length dropped.
  void parse(const QByteArray& msg);
  static QString getTagDescr(int tag);
  // One line per entry, "Name: value", bytes other than ASCII letters and
  // digits shown as ".", each line ended by CR LF.
  QString getDescription() const;
};

QByteArray encodeTlvLength(qsizetype n);
// Reads the length at pos (advancing it); false when the body ends inside the
// length bytes.
bool readTlvLength(const QByteArray& body, qsizetype& pos, qsizetype& len);

// Direction markers of a frame.
inline const QByteArray kVendotekToTerminal = QByteArray("\x96\xFB", 2);
inline const QByteArray kVendotekFromTerminal = QByteArray("\x97\xFB", 2);
// The largest body a frame's 16-bit length can carry.
constexpr qsizetype kVendotekMaxBody = 0xFFFF - 2;

// A whole frame around body. Raises when the body does not fit a frame.
QByteArray vendotekFrame(const QByteArray& body, const QByteArray& marker);
// Takes the first frame from the front of a receive buffer: bytes before a
// 0x1F and frames with another marker, a length of 3 or less or a bad CRC are
// dropped. Returns true with the body; false when more bytes are needed.
bool takeVendotekFrame(QByteArray& buf, const QByteArray& marker, QByteArray* body);
// Reads one frame from a serial line: waits timeoutMs for each byte until a
// 0x1F, then 8000 ms for each further part, and drops frames as above, going
// on with the same time-out. onByte runs for every byte received.
QByteArray readVendotekFrame(TComDevice& dev, int timeoutMs, const QByteArray& marker,
                             const std::function<void()>& onByte = {});

// "yyyyMMddTHHmmss" and the zone as "+HHMM" or "-HHMM" from the standard
// (not summer) offset east of UTC.
QByteArray vendotekLocalTime(const QDateTime& local, int standardOffsetSecs);
// An amount in roubles as decimal kopecks, rounded half to even.
QByteArray vendotekKopecks(double amount);

class TVendotek {
 public:
  // Queues an event of the kiosk (id, text); called from any thread.
  using EventFn = std::function<void(int event_id, const QString& text)>;

  // log receives failures that the driver's own thread swallows (never
  // time-outs, which are its normal rhythm) and a "DIS" given up, a repeated
  // line at most once a minute. events receives the loss of a terminal that had answered. Either
  // may be empty.
  explicit TVendotek(std::function<void(const QString&)> log = {}, EventFn events = {});
  ~TVendotek();
  TVendotek(const TVendotek&) = delete;
  TVendotek& operator=(const TVendotek&) = delete;

  void open();
  void close();
  // False again once the terminal went away: a read or a write on its port
  // failed, and the driver closed the port rather than keep failing on it.
  // Discovery then looks for the terminal again.
  bool isOpen() const { return fIsOpen; }
  int comPort() const { return fComPort; }
  // Closes the link; set it while the driver is closed.
  void setComPort(int port);

  // Sends "IDL" with the local time and waits for the terminal's "IDL".
  void idleHandshake();
  // Sends "DIS" and waits for nothing. The driver's own thread holds the
  // line while it serves the terminal's bank link (a host connect of up to
  // 25 s, a write of up to 30 s); the close does not sit that out. When the
  // line is not free within kDisableLockWaitMs, nothing is sent: the driver
  // logs why and raises ETimeout. The frame, when sent, is a short write.
  void disableHandshake();
  static constexpr int kDisableLockWaitMs = 1'500;
  // The longest disableHandshake takes: the wait above and the frame's write.
  static constexpr int kDisableHandshakeBoundMs = kDisableLockWaitMs + 300;
  // Starts a payment of amount roubles; the outcome shows in the two flags.
  void startPayment(double amount);
  bool paymentIsInProgress() const { return payment_in_progress; }
  bool paymentDone() const { return payment_done; }

  std::atomic<bool> keepalive{false};

  // What the terminal told the driver last (read under the lock).
  int32_t operationNumber() const;
  int32_t keepaliveInterval() const;
  int32_t operationTimeout() const;
  int64_t outgoingByteCounter() const;

 private:
  TVendotekMessage recvMessage(int timeout);
  void sendMessage(const TVendotekMessage& msg);
  void finishPayment();
  void drainInput();
  void handleConnect(const TVendotekMessage& msg);
  void handleData(const TVendotekMessage& msg);
  void handleDisconnect();
  void forwardBankData();
  void sendBankData(const QByteArray& data);
  void execute(std::stop_token st);
  // Closes the port of a terminal that went away; reports it once when the
  // terminal had answered since the port was opened.
  void linkLost(const QString& reason);
  int64_t now() const;

  std::atomic<bool> fIsOpen{false};
  std::atomic<int> fComPort{0};
  int64_t last_recv_dt = 0;  // monotonic ms; 0: nothing since opening
  int64_t last_send_dt = 0;
  double payment_amount = 0;
  std::atomic<bool> payment_in_progress{false};
  int64_t payment_start_dt = 0;
  std::atomic<bool> payment_done{false};
  mutable std::recursive_mutex cs;
  int32_t operationNumber_ = 0;
  int32_t keepaliveInterval_ = 10;
  int32_t operationTimeout_ = 60;
  int64_t outgoingByteCounter_ = 0;
  bool finishing_ = false;  // a duplicate approval during the FIN exchange is ignored
  plat::TcpClient tcpSocket;
  TComDevice comDevice;
  TLogLimiter log_;
  EventFn events_;
  bool heardSinceOpen_ = false;  // a frame came since the port was opened
  std::mutex sleepMutex_;
  std::condition_variable_any sleepCv_;
  std::jthread thread_;  // last: starts once every field above exists
};
