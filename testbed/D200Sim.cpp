#include "testbed/D200Sim.h"

#include <QStringList>
#include <chrono>

using namespace D200;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kSimAckWaitMs = 3000;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now().time_since_epoch())
      .count();
}

QByteArray le(uint32_t v, int bytes) {
  QByteArray out;
  for (int i = 0; i < bytes; ++i) out += char((v >> (8 * i)) & 0xFF);
  return out;
}

QByteArray bankRequest(uint8_t sub, const QByteArray& payload) {
  QByteArray a;
  a += char(sub);
  a += char(0x19);
  a += '\0';
  a += le(uint32_t(payload.size()), 2);
  return a + payload;
}

bool isControl(uint8_t b) {
  return b == EOT || b == ACK || b == BEL || b == NAK;
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
void D200Sim::corruptNextFrame() {
  std::lock_guard lock(mu_);
  corruptNext_ = true;
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

std::vector<TMsg> D200Sim::received() const {
  std::lock_guard lock(mu_);
  return received_;
}

std::vector<TMsg> D200Sim::bankReplies() const {
  std::lock_guard lock(mu_);
  return bankReplies_;
}

int D200Sim::count(uint8_t code) const {
  std::lock_guard lock(mu_);
  int n = 0;
  for (const TMsg& m : received_) n += m.code == code && (m.msg_no & kAnswerBit) == 0;
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

void D200Sim::run(std::stop_token st) {
  while (!st.stop_requested()) {
    const QByteArray bytes = port_.read(10);
    std::lock_guard lock(mu_);
    if (silent_) {
      // Gone quiet: nothing it sent is waited for any more either.
      awaitingAck_ = false;
      outFrames_.clear();
      in_.clear();
      continue;
    }
    if (!bytes.isEmpty()) onBytes(bytes);
    pump();
  }
}

// Sends the next queued frame once the kiosk has acknowledged the last one.
void D200Sim::pump() {
  if (awaitingAck_ && nowMs() > ackDeadline_) awaitingAck_ = false;  // given up on
  if (awaitingAck_ || outFrames_.empty()) return;
  lastSent_ = outFrames_.front();
  outFrames_.pop_front();
  QByteArray wire = lastSent_;
  if (corruptNext_) {
    corruptNext_ = false;
    // Another payload byte under the same CRC.
    QByteArray payload = QByteArray::fromBase64(wire.mid(2, wire.size() - 3));
    payload[0] = char(payload[0] ^ 0x01);
    wire = QByteArray(1, char(STX)) + '#' + payload.toBase64() + char(ETX);
  }
  port_.write(wire);
  awaitingAck_ = true;
  ackDeadline_ = nowMs() + kSimAckWaitMs;
}

void D200Sim::onBytes(const QByteArray& bytes) {
  in_ += bytes;
  for (;;) {
    if (in_.isEmpty()) return;
    const uint8_t first = uint8_t(in_[0]);
    if (first != STX) {
      in_.remove(0, 1);
      if (!isControl(first)) continue;
      if (first == NAK) {
        ++naks_;
        // The kiosk refused our last frame: the same frame once more, unspoilt.
        if (!lastSent_.isEmpty()) port_.write(lastSent_);
        ackDeadline_ = nowMs() + kSimAckWaitMs;
      } else {
        awaitingAck_ = false;
      }
      continue;
    }
    const qsizetype end = in_.indexOf(char(ETX));
    if (end < 0) return;
    const QByteArray frame = in_.left(end);
    in_.remove(0, end + 1);
    TFrame f;
    try {
      f = d200ParseFrame(frame);
    } catch (const std::exception&) {
      port_.write(QByteArray(1, char(NAK)));
      continue;
    }
    if (f.frame_no != expectedPiece_) {
      port_.write(QByteArray(1, char(NAK)));
      continue;
    }
    port_.write(QByteArray(1, char(f.is_last_frame ? EOT : (f.frame_no % 2 ? BEL : ACK))));
    if (expectedPiece_ == 0) {
      try {
        assembling_ = d200ParseHeader(f.data);
      } catch (const std::exception&) {
        continue;
      }
    } else {
      assembling_.args += f.data;
    }
    if (f.is_last_frame) {
      expectedPiece_ = 0;
      const TMsg m = assembling_;
      received_.push_back(m);
      onMessage(m);
    } else {
      ++expectedPiece_;
    }
  }
}

void D200Sim::queueMessage(uint8_t code, uint32_t msg_no, const QByteArray& args) {
  for (const QByteArray& piece : d200Pieces(d200Message(code, msg_no, args))) {
    outFrames_.push_back(d200Frame(piece));
  }
}

void D200Sim::onMessage(const TMsg& m) {
  if (m.msg_no & kAnswerBit) {
    // The kiosk's answer to the pad's bank-link request.
    if (!haveHeld_ || m.msg_no != ownMsgNo_ + kAnswerBit) return;
    bankReplies_.push_back(m);
    bankScript_.pop_front();
    if (!bankScript_.empty()) {
      queueMessage(cmdBankLink, ++ownMsgNo_, bankScript_.front());
      return;
    }
    haveHeld_ = false;
    answer(held_);
    return;
  }
  if (!bankScript_.empty()) {
    held_ = m;
    haveHeld_ = true;
    queueMessage(cmdBankLink, ++ownMsgNo_, bankScript_.front());
    return;
  }
  answer(m);
}

void D200Sim::answer(const TMsg& req) {
  uint32_t no = req.msg_no + kAnswerBit;
  if (wrongNumberOnce_) {
    wrongNumberOnce_ = false;
    no += 1;
  }
  if (errorCode_ != 0) {
    queueMessage(codeError, no, le(errorCode_, 2));
    return;
  }
  switch (req.code) {
    case cmdVersion:
      queueMessage(0, no, version_);
      return;
    case cmdReadTag: {
      const QByteArray head = req.args.left(3);
      const bool terminal = req.args.size() > 1 && uint8_t(req.args[1]) == 0x1C;
      queueMessage(0, no, head + (terminal ? terminalNumber_ : merchantNumber_));
      return;
    }
    case cmdCardInserted:
      queueMessage(0, no, {});
      return;
    case cmdAbort:
      queueMessage(0, no, le(uint16_t(abortAnswer_), 2));
      return;
    case cmdTransaction: {
      QByteArray a(kTransactionAnswerSize, '\0');
      const QByteArray rc = le(transactionResult_, 2);
      a.replace(0, 2, rc);
      a.replace(94, 8, "00123456");
      a.replace(188, 4, req.args.mid(47, 4));  // RequestID
      if (!req.args.isEmpty()) a[192] = req.args.size() > 6 ? req.args[6] : '\0';
      a.replace(193, 4, req.args.left(4));  // amount
      queueMessage(0, no, a);
      return;
    }
    default:
      queueMessage(codeError, no, le(0xFFFF, 2));
      return;
  }
}
