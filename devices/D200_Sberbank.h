#pragma once
// The Sberbank D200 PIN pad's own serial protocol. The kiosk uses it to
// recognise the pad and read its version, terminal and merchant numbers, and
// to send the abort command while the bank library runs a payment; payments
// and reconciliations themselves go through the bridge program.
//
// A message (code, argument length, message number, arguments; integers
// little-endian) travels cut into pieces of at most 180 bytes. Each piece is
// one frame: STX, "#", the Base64 of (piece number with bit 7 set on every
// piece but the last, piece length, piece, CRC-16/CCITT-FALSE low byte first),
// ETX. Every frame is acknowledged with a control byte. An answer carries the
// number of its request plus 2^23.
//
// While a command waits for its answer the pad may ask the kiosk to open,
// use and close a TCP connection to its bank host (message code 0xA0); the
// driver serves those requests with its own TCP client.
//
// No lock: one thread at a time drives it (discovery, later the card screen's
// abort worker).

#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>
#include <cstdint>

#include "devices/ComDevice.h"
#include "platform/TcpClient.h"

namespace D200 {
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t BEL = 0x07;
constexpr uint8_t NAK = 0x15;

constexpr int kMaxPiece = 180;
// Piece numbers have 7 bits, so a message has at most this many pieces.
constexpr int kMaxPieces = 128;
constexpr int kHeaderSize = 7;
// The largest argument block that fits the pieces of one message.
constexpr int kMaxArgs = kMaxPiece * kMaxPieces - kHeaderSize;
constexpr uint32_t kAnswerBit = 0x800000;
constexpr uint32_t kMaxMsgNo = 1000000;

constexpr uint8_t cmdVersion = 0x50;
constexpr uint8_t cmdReadTag = 0xA5;
constexpr uint8_t cmdCardInserted = 0xEF;
constexpr uint8_t cmdAbort = 0x5B;
constexpr uint8_t cmdTransaction = 0x6D;
constexpr uint8_t cmdBankLink = 0xA0;
constexpr uint8_t codeError = 0x0E;

constexpr int kCommandTimeoutMs = 2500;
constexpr int kTransactionTimeoutMs = 180000;
constexpr int kAckWaitMs = 1500;
constexpr int kSendAttempts = 3;
constexpr int kRecvAttempts = 3;
constexpr int kTransactionRequestSize = 69;
constexpr int kTransactionAnswerSize = 211;
}  // namespace D200

struct TFrame {
  uint8_t frame_no = 0;
  bool is_last_frame = true;
  QByteArray data;
};

struct TMsg {
  uint8_t code = 0;
  uint16_t errCode = 0;
  uint16_t len = 0;
  uint32_t msg_no = 0;
  QByteArray args;
};

struct TTransactionResult {
  uint16_t result_code = 0;
  QByteArray auth_code, rrn, operation_no, card_no, card_validity_period, err;
  uint32_t operation_dt = 0;
  uint32_t operation_tm = 0;
  uint8_t is_sber_card = 0;
  QByteArray terminal_no, card_name, card_no_hash, crypted_data;
  uint8_t card_type_id = 0;
  uint32_t RequestID = 0;
  uint8_t operation_type = 0;
  uint32_t amount_copeck = 0;
  uint32_t amount_without_discount_copeck = 0;
  uint16_t next_transaction_no = 0;
  uint32_t flags = 0;
  uint32_t loyalty_id = 0;
};

// ---- codec (shared with the simulator) ----

// Header and arguments. Raises when the arguments do not fit one message.
QByteArray d200Message(uint8_t code, uint32_t msg_no, const QByteArray& args);
// The frame payloads (without CRC) of a message, in order.
QList<QByteArray> d200Pieces(const QByteArray& message);
// STX "#" Base64(payload + CRC) ETX.
QByteArray d200Frame(const QByteArray& payload);
// Decodes the bytes of a frame without its ETX. Raises the protocol's
// messages for a missing STX or "#", a bad CRC or a frame too short to hold
// its header and CRC; checks nothing about the piece number.
TFrame d200ParseFrame(const QByteArray& bytes);
// The header fields of a message's first piece and the arguments it starts.
// Raises when the piece is shorter than the header.
TMsg d200ParseHeader(const QByteArray& firstPiece);
// The pad's error code of a message: the first two argument bytes for code
// 0x0E, else the code itself. Raises for an 0x0E message without them.
uint16_t d200ErrorCode(const TMsg& msg);
// The 69-byte transaction request.
QByteArray d200TransactionRequest(uint32_t amount_kop, uint8_t operation, int32_t request_id);
// Fills a result from a transaction answer; raises when it is shorter than
// its 211 bytes.
TTransactionResult d200ParseTransaction(const QByteArray& args);
// Amount in roubles as kopecks (rounded half to even); raises for a negative,
// non-finite or too large amount.
uint32_t d200Kopecks(double amount);

class TD200Sberbank {
 public:
  TD200Sberbank() = default;
  ~TD200Sberbank();
  TD200Sberbank(const TD200Sberbank&) = delete;
  TD200Sberbank& operator=(const TD200Sberbank&) = delete;

  void open();
  void close();
  bool isOpen() const { return fIsOpen; }
  int comPort() const { return fComPort; }
  // Closes the port handle; set it while the driver is closed.
  void setComPort(int port);

  void getVersion();
  void getTerminalNumber();
  void getMerchantNumber();
  bool cardInserted(uint8_t reader_no);
  // The pad's answer word. Every frame waits at most frameTimeoutMs, and the
  // whole exchange (the pad's bank-link requests included) ends with
  // "Timeout during operation." once totalLimitMs has passed.
  int16_t abort_operation(int totalLimitMs = D200::kTransactionTimeoutMs);
  TTransactionResult pay(double amount);
  TTransactionResult cancel_last_payment();
  TTransactionResult revise_totals();

  // Breaks off the exchange under way (from any thread), a wait on the bank
  // host included, and every later one until cleared.
  void setTerminated(bool on) {
    comDevice.terminated = on;
    if (on) {
      lan_socket.interrupt();
    } else {
      lan_socket.resetInterrupt();
    }
  }

  QString terminalNumber;
  QString version;
  QString merchantNumber;

  // Exposed for tests.
  uint32_t outgoingMsgNo() const { return outgoing_msg_no; }
  void setOutgoingMsgNo(uint32_t n) { outgoing_msg_no = n; }
  int32_t requestId() const { return request_id; }

  // One exchange; the answer message. deadlineMs (plat::clock()) bounds the
  // whole exchange; 0: only the per-frame time-out.
  TMsg transceive(uint8_t code, const QByteArray& args, bool raiseOnError, int timeoutMs,
                  int64_t deadlineMs = 0);

 private:
  void sendFrame(const QByteArray& frame);
  void sendMessage(uint8_t code, uint32_t msg_no, const QByteArray& args);
  TFrame recvFrame(uint8_t expected);
  TMsg recvMessage();
  void serveBankLink(const TMsg& request);
  QByteArray readSocket(int count, int limitMs);
  TTransactionResult transaction(double amount, uint8_t operation, bool raiseOnError);
  int frameTimeout() const;

  int fComPort = -1;
  bool fIsOpen = false;
  uint32_t outgoing_msg_no = 0;
  int32_t request_id = 0;
  int timeout = D200::kCommandTimeoutMs;
  int64_t deadline_ = 0;  // of the exchange under way; 0: none
  plat::TcpClient lan_socket;
  TComDevice comDevice;
};
