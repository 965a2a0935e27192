#include "testbed/D200Sim.h"

#include <QStringList>
#include <chrono>
#include <optional>

#include "devices/CRC16.h"

// The frame and message code here is written from the protocol's tables on
// its own; the checksum routine is shared, as it is checked against the
// standard's check values by itself.

using Steady = std::chrono::steady_clock;

namespace {

constexpr uint8_t kSTX = 0x02;
constexpr uint8_t kETX = 0x03;
constexpr uint8_t kEOT = 0x04;
constexpr uint8_t kACK = 0x06;
constexpr uint8_t kBEL = 0x07;
constexpr uint8_t kNAK = 0x15;

constexpr int kPieceBytes = 180;
constexpr int kHeaderBytes = 7;  // code, argument length (2), message number (4)
constexpr uint32_t kAnswerFlag = 1u << 23;

constexpr uint8_t kVersion = 0x50;
constexpr uint8_t kReadTag = 0xA5;
constexpr uint8_t kCardInserted = 0xEF;
constexpr uint8_t kAbort = 0x5B;
constexpr uint8_t kTransaction = 0x6D;
constexpr uint8_t kBankLink = 0xA0;
constexpr uint8_t kError = 0x0E;
constexpr int kTransactionAnswerBytes = 211;

// How long the pad waits for the kiosk's control byte before it gives a
// frame up.
constexpr int kSimAckWaitMs = 3000;
constexpr int kMaxSends = 3;
constexpr int kMaxNaks = 2;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now().time_since_epoch())
      .count();
}

QByteArray le(uint32_t v, int bytes) {
  QByteArray out;
  for (int i = 0; i < bytes; ++i) out += char((v >> (8 * i)) & 0xFF);
  return out;
}

uint32_t fromLe(const QByteArray& in, qsizetype at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | uint8_t(in[at + i]);
  return v;
}

QString controlName(uint8_t b) {
  switch (b) {
    case kEOT:
      return QStringLiteral("EOT");
    case kACK:
      return QStringLiteral("ACK");
    case kBEL:
      return QStringLiteral("BEL");
    case kNAK:
      return QStringLiteral("NAK");
    default:
      return QStringLiteral("0x%1").arg(b, 2, 16, QLatin1Char('0'));
  }
}

QByteArray bankRequest(uint8_t sub, const QByteArray& payload) {
  QByteArray a;
  a += char(sub);
  a += char(0x19);
  a += '\0';
  a += le(uint32_t(payload.size()), 2);
  return a + payload;
}

// The payload of one frame: piece number (bit 7 set when more follow), piece
// length, the piece, then its CRC-16/CCITT-FALSE low byte first.
QByteArray framePayload(int piece, bool more, const QByteArray& bytes) {
  QByteArray p;
  p += char((piece & 0x7F) | (more ? 0x80 : 0));
  p += char(bytes.size());
  p += bytes;
  const uint16_t crc = crc16Ccitt(p);
  p += char(crc & 0xFF);
  p += char(crc >> 8);
  return p;
}

QByteArray onLine(const QByteArray& payload) {
  return QByteArray(1, char(kSTX)) + '#' + payload.toBase64() + char(kETX);
}

struct InFrame {
  int piece = 0;
  bool last = true;
  QByteArray data;
};

// A frame from the kiosk without its ETX; nullopt when anything about it is
// wrong: the lead bytes, the Base64, the CRC or a length byte that does not
// match the piece.
std::optional<InFrame> parseFrame(const QByteArray& bytes) {
  if (bytes.size() < 2 || uint8_t(bytes[0]) != kSTX || bytes[1] != '#') return std::nullopt;
  const auto decoded =
      QByteArray::fromBase64Encoding(bytes.mid(2), QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded) return std::nullopt;
  const QByteArray& p = *decoded;
  if (p.size() < 4) return std::nullopt;
  const uint16_t crc = crc16Ccitt(p.left(p.size() - 2));
  if (uint8_t(p[p.size() - 2]) != (crc & 0xFF) || uint8_t(p[p.size() - 1]) != (crc >> 8))
    return std::nullopt;
  InFrame f;
  f.piece = uint8_t(p[0]) & 0x7F;
  f.last = (uint8_t(p[0]) & 0x80) == 0;
  f.data = p.mid(2, p.size() - 4);
  if (uint8_t(p[1]) != f.data.size()) return std::nullopt;
  return f;
}

}  // namespace

D200Sim::D200Sim(const QString& portsDir, int com)
    : port_(portsDir, com), thread_([this](std::stop_token st) { run(st); }) {}

D200Sim::~D200Sim() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void D200Sim::setVersion(const QByteArray& v) {
  std::lock_guard lock(mu_);
  version_ = v;
}
void D200Sim::setTerminalNumber(const QByteArray& v) {
  std::lock_guard lock(mu_);
  terminalNumber_ = v;
}
void D200Sim::setMerchantNumber(const QByteArray& v) {
  std::lock_guard lock(mu_);
  merchantNumber_ = v;
}
void D200Sim::setAbortAnswer(int16_t word) {
  std::lock_guard lock(mu_);
  abortAnswer_ = word;
}
void D200Sim::setTransactionResult(uint16_t result_code) {
  std::lock_guard lock(mu_);
  transactionResult_ = result_code;
}
void D200Sim::setErrorCode(uint16_t code) {
  std::lock_guard lock(mu_);
  errorCode_ = code;
}
void D200Sim::setSilent(bool on) {
  std::lock_guard lock(mu_);
  silent_ = on;
}
void D200Sim::answerWithWrongNumberOnce() {
  std::lock_guard lock(mu_);
  wrongNumberOnce_ = true;
}
void D200Sim::corruptNextFrames(int n) {
  std::lock_guard lock(mu_);
  corruptFrames_ = n;
}
void D200Sim::withholdAcks(int n) {
  std::lock_guard lock(mu_);
  withholdAcks_ = n;
}

void D200Sim::bankLinkBeforeNextAnswer(const QString& host, int port, const QByteArray& send,
                                       int readCount) {
  QByteArray open(2, '\0');
  for (const QString& part : host.split(u'.')) open += char(part.toInt());
  open += le(uint32_t(port), 2);
  std::lock_guard lock(mu_);
  bankScript_.push_back(bankRequest(1, open));
  bankScript_.push_back(bankRequest(3, send));
  bankScript_.push_back(bankRequest(2, le(uint32_t(readCount), 2)));
  bankScript_.push_back(bankRequest(4, {}));
}

void D200Sim::rawBankRequestBeforeNextAnswer(const QByteArray& args) {
  std::lock_guard lock(mu_);
  bankScript_.push_back(args);
}

std::vector<D200Sim::Message> D200Sim::received() const {
  std::lock_guard lock(mu_);
  return received_;
}

std::vector<D200Sim::Message> D200Sim::bankReplies() const {
  std::lock_guard lock(mu_);
  return bankReplies_;
}

int D200Sim::count(uint8_t code) const {
  std::lock_guard lock(mu_);
  int n = 0;
  for (const Message& m : received_) n += m.code == code && (m.msg_no & kAnswerFlag) == 0;
  return n;
}

bool D200Sim::waitFor(uint8_t code, int n, int timeoutMs) const {
  const auto end = Steady::now() + std::chrono::milliseconds(timeoutMs);
  while (count(code) < n) {
    if (Steady::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int D200Sim::naksReceived() const {
  std::lock_guard lock(mu_);
  return naks_;
}

int D200Sim::framesReceived() const {
  std::lock_guard lock(mu_);
  return framesIn_;
}

QStringList D200Sim::violations() const {
  std::lock_guard lock(mu_);
  return violations_;
}

void D200Sim::violation(const QString& what) {
  violations_ << what;
}

void D200Sim::run(std::stop_token st) {
  while (!st.stop_requested()) {
    const QByteArray bytes = port_.read(10);
    std::lock_guard lock(mu_);
    if (silent_) {
      // Gone quiet: nothing it sent is waited for any more either.
      inFlight_ = false;
      outFrames_.clear();
      in_.clear();
      continue;
    }
    if (!bytes.isEmpty()) onBytes(bytes);
    pump();
  }
}

// Writes the frame in flight, spoilt while spoiling was asked for.
void D200Sim::transmit() {
  QByteArray wire = flying_.frame;
  flyingSpoilt_ = corruptFrames_ > 0;
  if (flyingSpoilt_) {
    --corruptFrames_;
    // Another piece number under the same CRC.
    QByteArray payload = QByteArray::fromBase64(wire.mid(2, wire.size() - 3));
    payload[0] = char(payload[0] ^ 0x01);
    wire = onLine(payload);
  }
  port_.write(wire);
  ackDeadline_ = nowMs() + kSimAckWaitMs;
}

// Sends the next queued frame once the kiosk has answered the last one.
void D200Sim::pump() {
  // No answer at all is no breach: the kiosk gives up on a frame after its
  // third failed attempt, and whenever its own deadline has passed.
  if (inFlight_ && nowMs() > ackDeadline_) inFlight_ = false;
  if (inFlight_ || outFrames_.empty()) return;
  flying_ = outFrames_.front();
  outFrames_.pop_front();
  inFlight_ = true;
  flyingNaks_ = 0;
  transmit();
}

void D200Sim::onControl(uint8_t b) {
  if (b == kNAK) ++naks_;
  if (!inFlight_) {
    // A NAK with nothing in flight is the kiosk giving up on a frame that
    // did not come in time; any other control byte answers nothing.
    if (b != kNAK) violation(QStringLiteral("%1 with no frame to answer").arg(controlName(b)));
    return;
  }
  if (b == kNAK) {
    if (!flyingSpoilt_)
      violation(QStringLiteral("piece %1: NAK for a sound frame").arg(flying_.piece));
    if (++flyingNaks_ > kMaxNaks) {
      violation(QStringLiteral("piece %1: more than %2 NAKs").arg(flying_.piece).arg(kMaxNaks));
    }
    transmit();
    return;
  }
  const uint8_t want = flying_.last ? kEOT : (flying_.piece % 2 ? kBEL : kACK);
  if (b != want) {
    violation(QStringLiteral("piece %1: %2 instead of %3")
                  .arg(flying_.piece)
                  .arg(controlName(b), controlName(want)));
  }
  if (flyingSpoilt_) violation(QStringLiteral("piece %1: a spoilt frame taken").arg(flying_.piece));
  inFlight_ = false;
}

void D200Sim::onBytes(const QByteArray& bytes) {
  in_ += bytes;
  for (;;) {
    if (in_.isEmpty()) return;
    const uint8_t first = uint8_t(in_[0]);
    if (first != kSTX) {
      in_.remove(0, 1);
      if (first == kEOT || first == kACK || first == kBEL || first == kNAK) {
        onControl(first);
      } else {
        violation(QStringLiteral("stray byte %1").arg(controlName(first)));
      }
      continue;
    }
    const qsizetype end = in_.indexOf(char(kETX));
    if (end < 0) return;
    const QByteArray frame = in_.left(end);
    in_.remove(0, end + 1);
    onFrame(frame);
  }
}

void D200Sim::onFrame(const QByteArray& frame) {
  ++framesIn_;
  if (frame == lastFrameIn_ && !lastFrameInAcked_) {
    if (++lastFrameInSends_ > kMaxSends)
      violation(QStringLiteral("a frame sent more than 3 times"));
  } else {
    if (frame == lastFrameIn_)
      violation(QStringLiteral("a frame sent again after its acknowledgement"));
    lastFrameIn_ = frame;
    lastFrameInSends_ = 1;
  }
  lastFrameInAcked_ = false;
  if (withholdAcks_ > 0) {
    --withholdAcks_;
    return;  // as if it never arrived
  }
  const std::optional<InFrame> f = parseFrame(frame);
  if (!f || f->piece != expectedPiece_) {
    port_.write(QByteArray(1, char(kNAK)));
    return;
  }
  lastFrameInAcked_ = true;
  port_.write(QByteArray(1, char(f->last ? kEOT : (f->piece % 2 ? kBEL : kACK))));
  if (expectedPiece_ == 0) {
    if (f->data.size() < kHeaderBytes) {
      violation(QStringLiteral("a message shorter than its header"));
      return;
    }
    assembling_ = Message{};
    assembling_.code = uint8_t(f->data[0]);
    assembling_.len = uint16_t(fromLe(f->data, 1, 2));
    assembling_.msg_no = fromLe(f->data, 3, 4);
    assembling_.args = f->data.mid(kHeaderBytes);
  } else {
    assembling_.args += f->data;
  }
  if (!f->last) {
    ++expectedPiece_;
    return;
  }
  expectedPiece_ = 0;
  if (assembling_.args.size() != assembling_.len) {
    violation(QStringLiteral("a message of %1 argument bytes whose header says %2")
                  .arg(assembling_.args.size())
                  .arg(assembling_.len));
  }
  received_.push_back(assembling_);
  onMessage(assembling_);
}

void D200Sim::queueMessage(uint8_t code, uint32_t msg_no, const QByteArray& args) {
  QByteArray m;
  m += char(code);
  m += le(uint32_t(args.size()), 2);
  m += le(msg_no, 4);
  m += args;
  const int pieces = int((m.size() + kPieceBytes - 1) / kPieceBytes);
  for (int i = 0; i < pieces; ++i) {
    const bool more = i + 1 < pieces;
    outFrames_.push_back(
        {onLine(framePayload(i, more, m.mid(i * kPieceBytes, kPieceBytes))), i, !more});
  }
}

void D200Sim::onMessage(const Message& m) {
  if (m.msg_no & kAnswerFlag) {
    // The kiosk's answer to the pad's bank-link request.
    if (!haveHeld_ || m.msg_no != ownMsgNo_ + kAnswerFlag) return;
    bankReplies_.push_back(m);
    bankScript_.pop_front();
    if (!bankScript_.empty()) {
      queueMessage(kBankLink, ++ownMsgNo_, bankScript_.front());
      return;
    }
    haveHeld_ = false;
    answer(held_);
    return;
  }
  if (!bankScript_.empty()) {
    held_ = m;
    haveHeld_ = true;
    queueMessage(kBankLink, ++ownMsgNo_, bankScript_.front());
    return;
  }
  answer(m);
}

void D200Sim::answer(const Message& req) {
  uint32_t no = req.msg_no + kAnswerFlag;
  if (wrongNumberOnce_) {
    wrongNumberOnce_ = false;
    no += 1;
  }
  if (errorCode_ != 0) {
    queueMessage(kError, no, le(errorCode_, 2));
    return;
  }
  switch (req.code) {
    case kVersion:
      queueMessage(0, no, version_);
      return;
    case kReadTag: {
      const QByteArray head = req.args.left(3);
      const bool terminal = req.args.size() > 1 && uint8_t(req.args[1]) == 0x1C;
      queueMessage(0, no, head + (terminal ? terminalNumber_ : merchantNumber_));
      return;
    }
    case kCardInserted:
      queueMessage(0, no, {});
      return;
    case kAbort:
      queueMessage(0, no, le(uint16_t(abortAnswer_), 2));
      return;
    case kTransaction: {
      QByteArray a(kTransactionAnswerBytes, '\0');
      a.replace(0, 2, le(transactionResult_, 2));
      a.replace(94, 8, "00123456");
      a.replace(188, 4, req.args.mid(47, 4));  // RequestID
      if (!req.args.isEmpty()) a[192] = req.args.size() > 6 ? req.args[6] : '\0';
      a.replace(193, 4, req.args.left(4));  // amount
      queueMessage(0, no, a);
      return;
    }
    default:
      queueMessage(kError, no, le(0xFFFF, 2));
      return;
  }
}
