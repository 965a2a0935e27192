#include "devices/D200_Sberbank.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>
#include <limits>

#include "devices/CRC16.h"
#include "platform/Clock.h"

using namespace D200;

namespace {

constexpr int kBankConnectTimeoutMs = 10000;
// A bank host that stops reading fails the pad's write request after this.
constexpr int kBankWriteTimeoutMs = 30000;
constexpr int kSocketReadTimeoutMs = 100;
constexpr int kSocketReadLimitMs = 6000;
constexpr int kSocketQuietMs = 500;
constexpr uint8_t kBankLinkMarker = 0x19;
constexpr uint8_t kBankLinkFailed = 99;
constexpr uint8_t kBankLinkUnknown = 0xFC;

void putLe(QByteArray& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += char((v >> (8 * i)) & 0xFF);
}

uint32_t getLe(const QByteArray& in, qsizetype pos, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint32_t(uint8_t(in[pos + i])) << (8 * i);
  return v;
}

QString hexByte(uint8_t b) {
  return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
}

[[noreturn]] void raise(const QString& text) {
  throw Exception(text);
}

}  // namespace

// ---- codec ----

QByteArray d200Message(uint8_t code, uint32_t msg_no, const QByteArray& args) {
  if (args.size() > kMaxArgs) raise(QStringLiteral("Сообщение D200 слишком длинное."));
  QByteArray m;
  m.reserve(kHeaderSize + args.size());
  m += char(code);
  putLe(m, uint64_t(args.size()), 2);
  putLe(m, msg_no, 4);
  m += args;
  return m;
}

QList<QByteArray> d200Pieces(const QByteArray& message) {
  QList<QByteArray> out;
  const qsizetype count = std::max<qsizetype>(1, (message.size() + kMaxPiece - 1) / kMaxPiece);
  if (count > kMaxPieces) raise(QStringLiteral("Сообщение D200 слишком длинное."));
  for (qsizetype i = 0; i < count; ++i) {
    const QByteArray piece = message.mid(i * kMaxPiece, kMaxPiece);
    QByteArray p;
    p += char(uint8_t(i) | (i + 1 < count ? 0x80 : 0));
    p += char(piece.size());
    p += piece;
    out.append(p);
  }
  return out;
}

QByteArray d200Frame(const QByteArray& payload) {
  QByteArray f;
  f += char(STX);
  f += '#';
  f += (payload + crc16CcittStr(payload)).toBase64();
  f += char(ETX);
  return f;
}

TFrame d200ParseFrame(const QByteArray& bytes) {
  if (bytes.isEmpty() || uint8_t(bytes[0]) != STX) {
    raise(QStringLiteral("Некорректный формат фрейма. Вместо STX получен символ 0x") +
          (bytes.isEmpty() ? QStringLiteral("03") : hexByte(uint8_t(bytes[0]))) +
          QStringLiteral("."));
  }
  if (bytes.size() < 2 || bytes[1] != '#') {
    raise(QStringLiteral("Некорректный формат фрейма. Вместо # получен символ 0x") +
          (bytes.size() < 2 ? QStringLiteral("03") : hexByte(uint8_t(bytes[1]))) +
          QStringLiteral("."));
  }
  const auto decoded =
      QByteArray::fromBase64Encoding(bytes.mid(2), QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded) raise(QStringLiteral("Некорректный формат фрейма."));
  const QByteArray& p = *decoded;
  // Piece number, piece length and the CRC at the least.
  if (p.size() < 4) raise(QStringLiteral("Некорректный формат фрейма."));
  const QByteArray body = p.left(p.size() - 2);
  if (crc16CcittStr(body) != p.right(2)) raise(QStringLiteral("Неверная контрольная сумма."));
  TFrame f;
  f.frame_no = uint8_t(body[0]) & 0x7F;
  f.is_last_frame = (uint8_t(body[0]) & 0x80) == 0;
  f.data = body.mid(2);
  return f;
}

TMsg d200ParseHeader(const QByteArray& firstPiece) {
  if (firstPiece.size() < kHeaderSize) raise(QStringLiteral("Некорректный формат сообщения."));
  TMsg m;
  m.code = uint8_t(firstPiece[0]);
  m.len = uint16_t(getLe(firstPiece, 1, 2));
  m.msg_no = getLe(firstPiece, 3, 4);
  m.args = firstPiece.mid(kHeaderSize);
  return m;
}

uint16_t d200ErrorCode(const TMsg& msg) {
  if (msg.code != codeError) return msg.code;
  if (msg.args.size() < 2) raise(QStringLiteral("Некорректный формат сообщения."));
  return uint16_t(getLe(msg.args, 0, 2));
}

QByteArray d200TransactionRequest(uint32_t amount_kop, uint8_t operation, int32_t request_id) {
  QByteArray r;
  r.reserve(kTransactionRequestSize);
  putLe(r, amount_kop, 4);
  r += QByteArray(2, '\0');
  r += char(operation);
  r += QByteArray(40, '\0');
  putLe(r, uint32_t(request_id), 4);
  r += QByteArray(13, '\0');
  r += operation == 7 ? QByteArray(4, '\0') : QByteArray("\x00\x00\x04\x00", 4);
  r += '\0';
  return r;
}

TTransactionResult d200ParseTransaction(const QByteArray& a) {
  if (a.size() < kTransactionAnswerSize) {
    raise(QStringLiteral("Некорректная длина ответа D200 (%1 байт).").arg(a.size()));
  }
  TTransactionResult r;
  r.result_code = uint16_t(getLe(a, 0, 2));
  r.auth_code = a.mid(2, 7);
  r.rrn = a.mid(9, 13);
  r.operation_no = a.mid(22, 5);
  r.card_no = a.mid(27, 20);
  r.card_validity_period = a.mid(47, 6);
  r.err = a.mid(53, 32);
  r.operation_dt = getLe(a, 85, 4);
  r.operation_tm = getLe(a, 89, 4);
  r.is_sber_card = uint8_t(a[93]);
  r.terminal_no = a.mid(94, 9);
  r.card_name = a.mid(103, 32);
  r.card_no_hash = a.mid(135, 20);
  r.crypted_data = a.mid(155, 32);
  r.card_type_id = uint8_t(a[187]);
  r.RequestID = getLe(a, 188, 4);
  r.operation_type = uint8_t(a[192]);
  r.amount_copeck = getLe(a, 193, 4);
  r.amount_without_discount_copeck = getLe(a, 197, 4);
  r.next_transaction_no = uint16_t(getLe(a, 201, 2));
  r.flags = getLe(a, 203, 4);
  r.loyalty_id = getLe(a, 207, 4);
  return r;
}

uint32_t d200Kopecks(double amount) {
  const double k = std::nearbyint(amount * 100);
  if (!std::isfinite(k) || k < 0 || k > double(std::numeric_limits<uint32_t>::max())) {
    raise(QStringLiteral("Неверная сумма платежа."));
  }
  return uint32_t(k);
}

// ---- driver ----

TD200Sberbank::~TD200Sberbank() {
  close();
  lan_socket.close();
}

void TD200Sberbank::open() {
  close();
  if (fComPort <= 0) raise(QStringLiteral("Не указан номер COM-порта."));
  comDevice.connect(QStringLiteral("COM%1").arg(fComPort), 9600, 8, 0, 0, false, false);
  fIsOpen = true;
}

void TD200Sberbank::close() {
  comDevice.closeSocket();
  fIsOpen = false;
}

void TD200Sberbank::setComPort(int port) {
  comDevice.closeSocket();
  // Otherwise the next exchange would purge the closed handle instead of
  // opening the new port.
  fIsOpen = false;
  fComPort = port;
}

int TD200Sberbank::frameTimeout() const {
  if (deadline_ == 0) return timeout;
  const int64_t left = deadline_ - plat::clock().nowMs();
  if (left <= 0) throw ETimeout(QStringLiteral("Timeout during operation."));
  return int(std::min<int64_t>(timeout, left));
}

void TD200Sberbank::sendFrame(const QByteArray& frame) {
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    comDevice.sendBuffer(frame);
    try {
      const uint8_t b = comDevice.recvByte(std::min(kAckWaitMs, frameTimeout()));
      if (b == EOT || b == ACK || b == BEL) return;
    } catch (const ETerminated&) {
      throw;
    } catch (const Exception&) {
      if (deadline_ != 0 && plat::clock().nowMs() >= deadline_) throw;
    }
    comDevice.purge();
  }
  // Unanswered three times: the wait for the answer reports the failure.
}

void TD200Sberbank::sendMessage(uint8_t code, uint32_t msg_no, const QByteArray& args) {
  for (const QByteArray& piece : d200Pieces(d200Message(code, msg_no, args))) {
    sendFrame(d200Frame(piece));
  }
}

TFrame TD200Sberbank::recvFrame(uint8_t expected) {
  const QByteArray bytes = comDevice.recvTerminated(frameTimeout(), QByteArray(1, char(ETX)));
  const TFrame f = d200ParseFrame(bytes);
  if (f.frame_no != expected) {
    raise(QStringLiteral("Не совпадают номера фреймов (ожидался фрйм %1, получен фрейм %2).")
              .arg(expected)
              .arg(f.frame_no));
  }
  const uint8_t answer = f.is_last_frame ? EOT : (expected % 2 ? BEL : ACK);
  comDevice.sendBuffer(QByteArray(1, char(answer)));
  return f;
}

TMsg TD200Sberbank::recvMessage() {
  TMsg msg;
  for (int expected = 0;; ++expected) {
    // Piece numbers have 7 bits: a longer message cannot be told apart.
    if (expected >= kMaxPieces) raise(QStringLiteral("Некорректный формат сообщения."));
    TFrame f;
    for (int attempt = 1;; ++attempt) {
      try {
        f = recvFrame(uint8_t(expected));
        break;
      } catch (const ETerminated&) {
        throw;
      } catch (const Exception&) {
        if (attempt >= kRecvAttempts || comDevice.terminated) throw;
        comDevice.sendBuffer(QByteArray(1, char(NAK)));
      }
    }
    if (expected == 0) {
      msg = d200ParseHeader(f.data);
    } else {
      msg.args += f.data;
    }
    if (f.is_last_frame) return msg;
  }
}

TMsg TD200Sberbank::transceive(uint8_t code, const QByteArray& args, bool raiseOnError,
                               int timeoutMs, int64_t deadlineMs) {
  if (fIsOpen) {
    comDevice.purge();
  } else {
    open();
  }
  timeout = timeoutMs;
  deadline_ = deadlineMs;
  struct ClearDeadline {
    int64_t& d;
    ~ClearDeadline() { d = 0; }
  } clear{deadline_};
  outgoing_msg_no += 1;
  if (outgoing_msg_no > kMaxMsgNo) outgoing_msg_no = 1;
  sendMessage(code, outgoing_msg_no, args);

  TMsg answer = recvMessage();
  while (answer.code == cmdBankLink) {
    serveBankLink(answer);
    answer = recvMessage();
  }
  const uint32_t want = outgoing_msg_no + kAnswerBit;
  if (answer.msg_no != want) {
    raise(QStringLiteral("Номер ответа (%1) не соответствует номеру исходящего сообщения (%2).")
              .arg(answer.msg_no)
              .arg(want));
  }
  answer.errCode = d200ErrorCode(answer);
  if (raiseOnError && answer.errCode != 0) {
    raise(QStringLiteral("Ошибка D200 (код %1).").arg(answer.errCode));
  }
  return answer;
}

// ---- the pad's bank link ----

void TD200Sberbank::serveBankLink(const TMsg& req) {
  const uint32_t no = req.msg_no + kAnswerBit;
  const QByteArray& a = req.args;
  auto answer = [&](uint8_t code, const QByteArray& args) { sendMessage(code, no, args); };
  // Sub-command, marker, one byte, payload length; a request too short for
  // them, or whose payload is cut, is not one the driver knows.
  if (a.size() < 5 || uint8_t(a[1]) != kBankLinkMarker ||
      a.size() - 5 < qsizetype(getLe(a, 3, 2))) {
    answer(kBankLinkUnknown, {});
    return;
  }
  const QByteArray payload = a.mid(5, getLe(a, 3, 2));
  const uint8_t sub = uint8_t(a[0]);
  try {
    switch (sub) {
      case 1: {
        if (payload.size() < 8) throw Exception(QStringLiteral("Некорректный адрес."));
        const QString host = QStringLiteral("%1.%2.%3.%4")
                                 .arg(uint8_t(payload[2]))
                                 .arg(uint8_t(payload[3]))
                                 .arg(uint8_t(payload[4]))
                                 .arg(uint8_t(payload[5]));
        const int port = int(getLe(payload, 6, 2));
        lan_socket.close();
        lan_socket.connect(host, port, kBankConnectTimeoutMs);
        answer(0, QByteArray("\x01\x19\x00\x00\x00", 5));
        return;
      }
      case 2: {
        if (payload.size() < 2) throw Exception(QStringLiteral("Некорректная длина."));
        // The answer must fit one message besides its two leading bytes.
        const int count = std::min<int>(int(getLe(payload, 0, 2)), kMaxArgs - 2);
        int limit = kSocketReadLimitMs;
        if (deadline_ != 0) {
          limit = int(std::clamp<int64_t>(deadline_ - plat::clock().nowMs(), 0, limit));
        }
        answer(0, QByteArray("\x02\x19", 2) + readSocket(count, limit));
        return;
      }
      case 3: {
        lan_socket.write(payload, kBankWriteTimeoutMs);
        QByteArray r("\x03\x19", 2);
        putLe(r, uint64_t(payload.size()), 2);
        answer(0, r);
        return;
      }
      case 4:
        lan_socket.close();
        answer(0, QByteArray("\x04\x19", 2));
        return;
      default:
        return;
    }
  } catch (const ETerminated&) {
    throw;
  } catch (const std::exception&) {
  }
  answer(kBankLinkFailed, {});
}

QByteArray TD200Sberbank::readSocket(int count, int limitMs) {
  QByteArray out;
  if (count <= 0) return out;
  plat::Clock& clock = plat::clock();
  const int64_t start = clock.nowMs();
  int64_t lastData = start;
  while (out.size() < count) {
    if (!lan_socket.isConnected()) {
      if (!out.isEmpty()) return out;
      raise(QStringLiteral("Unknown error."));
    }
    QByteArray chunk;
    try {
      chunk = lan_socket.read(count - int(out.size()), kSocketReadTimeoutMs);
    } catch (const plat::ETcpError&) {
      // The bank closed the link: what came is the answer, nothing is a failure.
      if (!out.isEmpty()) return out;
      raise(QStringLiteral("Unknown error."));
    }
    const int64_t now = clock.nowMs();
    if (!chunk.isEmpty()) {
      out += chunk;
      lastData = now;
      continue;
    }
    if (!out.isEmpty() && now - lastData >= kSocketQuietMs) return out;
    if (out.isEmpty() && now - start >= limitMs) throw ETimeout(QStringLiteral("Timeout error."));
  }
  return out;
}

// ---- commands ----

void TD200Sberbank::getVersion() {
  const TMsg m = transceive(cmdVersion, {}, true, kCommandTimeoutMs);
  version = QString::fromLatin1(m.args);
}

void TD200Sberbank::getTerminalNumber() {
  const TMsg m =
      transceive(cmdReadTag, QByteArray("\x00\x1C\x9F\x00\x00", 5), true, kCommandTimeoutMs);
  terminalNumber = QString::fromLatin1(m.args.mid(3));
}

void TD200Sberbank::getMerchantNumber() {
  const TMsg m =
      transceive(cmdReadTag, QByteArray("\x00\x16\x9F\x00\x00", 5), true, kCommandTimeoutMs);
  merchantNumber = QString::fromLatin1(m.args.mid(3)).trimmed();
}

bool TD200Sberbank::cardInserted(uint8_t reader_no) {
  const TMsg m =
      transceive(cmdCardInserted, QByteArray(1, char(reader_no)), false, kCommandTimeoutMs);
  return m.code == 0;
}

int16_t TD200Sberbank::abort_operation(int totalLimitMs) {
  const int64_t deadline = plat::clock().nowMs() + std::max(1, totalLimitMs);
  const TMsg m = transceive(cmdAbort, {}, true, kTransactionTimeoutMs, deadline);
  if (m.args.size() < 2) raise(QStringLiteral("Некорректный формат сообщения."));
  return int16_t(getLe(m.args, 0, 2));
}

TTransactionResult TD200Sberbank::transaction(double amount, uint8_t operation, bool raiseOnError) {
  const uint32_t kop = d200Kopecks(amount);
  if (request_id != 0) {
    request_id -= 1;
  } else {
    const QDateTime epoch(QDate(1999, 12, 6), QTime(0, 0));
    request_id = -int32_t(std::llround(epoch.msecsTo(QDateTime::currentDateTime()) / 1000.0));
  }
  const TMsg m = transceive(cmdTransaction, d200TransactionRequest(kop, operation, request_id),
                            false, kTransactionTimeoutMs);
  if (raiseOnError && m.errCode != 0) {
    raise(QStringLiteral("Ошибка D200 (код %1).").arg(m.errCode));
  }
  // An error answer carries only its code; it is still the result of a
  // reconciliation, which leaves the judging to its caller.
  if (m.errCode != 0 && m.args.size() < kTransactionAnswerSize) {
    TTransactionResult r;
    r.result_code = m.errCode;
    return r;
  }
  return d200ParseTransaction(m.args);
}

TTransactionResult TD200Sberbank::pay(double amount) {
  return transaction(amount, 1, true);
}

TTransactionResult TD200Sberbank::cancel_last_payment() {
  return transaction(0, 13, true);
}

TTransactionResult TD200Sberbank::revise_totals() {
  return transaction(0, 7, false);
}
