#include "backoffice/JTransport.h"

#include <cmath>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Common.h"
#include "platform/TcpClient.h"
#include "platform/TextCodec.h"

namespace {

constexpr int kPauseLimitMs = 6000;  // once data flows, it may pause this long
constexpr int kReconnectIdleSec = 900;
constexpr int kValueTimeout = 6;

int64_t nowMs() {
  return plat::clock().nowMs();
}

}  // namespace

// Feeds decodeValue from the transport's timed reads.
class TransportWireSource : public WireSource {
 public:
  explicit TransportWireSource(TJTransport& t) : t_(t) {}
  void recvExact(char* dst, int n, int timeoutSec) override { t_._recv(dst, n, timeoutSec); }
  [[noreturn]] void badLength() override {
    t_.raiseTransportError(teBadReply);
    throw ETransportError(teBadReply, TJTransport::transportErrorText(teBadReply));
  }
  [[noreturn]] void unknownTag(int tag) override {
    if (!t_.readingReply_) t_.disconnect();
    throw Exception(unknownVariantTypeMessage(tag));
  }

 private:
  TJTransport& t_;
};

TJTransport::TJTransport() : fLastRecvTime(nowMs()), send_buf(kSendBufSize, Qt::Uninitialized) {}

TJTransport::~TJTransport() = default;

void TJTransport::setPort(int port) {
  if (port != port_) disconnect();
  port_ = port;
}

void TJTransport::Assign(const TJTransport& source) {
  setPort(source.port_);
}

bool TJTransport::connected() const {
  try {
    return fSocket && fSocket->isConnected();
  } catch (...) {
    return false;
  }
}

bool TJTransport::hasData() {
  if (!connected()) return false;
  try {
    return fSocket->hasData(10);
  } catch (...) {
    return false;
  }
}

bool TJTransport::strayInput() {
  if (!connected()) return false;
  try {
    return fSocket->hasData(0);
  } catch (...) {
    return false;
  }
}

int TJTransport::idleTime() const {
  return int(std::lround(double(nowMs() - fLastRecvTime) / 1000.0));
}

void TJTransport::disconnect() {
  authorized = false;
  if (fSocket) fSocket->close();
  send_buf_pos = 0;
}

void TJTransport::interrupt() {
  if (plat::TcpClient* s = fSocket) s->interrupt();
}

void TJTransport::resetInterrupt() {
  if (plat::TcpClient* s = fSocket) s->resetInterrupt();
}

int64_t TJTransport::capped(int64_t ms) const {
  const int cap = timeoutCapMs_.load();
  return cap > 0 && (ms <= 0 || ms > cap) ? cap : ms;
}

bool TJTransport::reconnectDue() {
  return !connected() || idleTime() >= kReconnectIdleSec || strayInput();
}

void TJTransport::connect(int timeout) {
  disconnect();
  fExecuting = false;
  fBatch = std::make_unique<TRequestBatch>();
  (void)execBatch(timeout, nullptr);
}

// ---- transport errors ----

QString TJTransport::transportErrorText(int code, const QString& detail) {
  QString text;
  switch (code) {
    case teTimeout:
      text = Translate(QStringLiteral("Превышено время выполнения запроса"));
      break;
    case teBadReply:
      text = Translate(QStringLiteral("Неверный формат ответа"));
      break;
    case teRivalQuery:
      text = QStringLiteral("Rival query received");
      break;
    case teNoCachedQuery:
      text = QStringLiteral("No cached query");
      break;
    case teCancelled:
      text = Translate(QStringLiteral("Выполнение запроса отменено"));
      break;
    case teCannotSend:
      text = Translate(QStringLiteral("Не удается отправить запрос на сервер"));
      break;
    default:
      text = QStringLiteral("Unknown error");
      break;
  }
  if (!detail.isEmpty()) return text + QStringLiteral(" (") + detail + QStringLiteral(").");
  return text + u'.';
}

void TJTransport::raiseTransportError(int code, const QString& detail) {
  fLastErrorCode = code;
  if (code == teNone) return;
  // A reply that fails is dropped by its reader, after the abort byte.
  if (!readingReply_) disconnect();
  if (code == teCancelled) throw EAbort(transportErrorText(code, detail));
  throw ETransportError(code, transportErrorText(code, detail));
}

// ---- batches ----

void TJTransport::clearBatch() {
  if (fExecuting) throw Exception(QStringLiteral("Batch already executed."));
  fBatch.reset();
}

TRequest& TJTransport::addRequest(uint16_t code) {
  if (fExecuting) throw Exception(QStringLiteral("Batch already executed."));
  if (!fBatch) fBatch = std::make_unique<TRequestBatch>();
  if (fBatch->requests.size() >= size_t(kMaxBatchItems))
    throw Exception(QStringLiteral("Number of requests in the batch exceeds maximal value (%1).")
                        .arg(kMaxBatchItems));
  fBatch->requests.push_back(std::make_unique<TRequest>(this, code));
  return *fBatch->requests.back();
}

TRequestBatchPtr TJTransport::execBatch(int timeout, TCustomAccessValidator* accessValidator) {
  if (fExecuting) throw Exception(QStringLiteral("Batch already executed."));
  fExecuting = true;
  fRequestSent = false;
  executionFormError = 0;
  struct Done {
    TJTransport* t;
    ~Done() {
      t->fExecuting = false;
      t->writeTimeoutSec_ = writeTimeoutSec;
      if (t->fShowProgress && t->progress_) t->progress_->closed();
    }
    int writeTimeoutSec;
  } done{this, writeTimeoutSec_};
  if (timeout > 0) writeTimeoutSec_ = timeout;
  if (fShowProgress && progress_) progress_->shown(reconnectDue());
  sendBatch(accessValidator);
  return recvBatch(timeout);
}

void TJTransport::sendBatch(TCustomAccessValidator* accessValidator) {
  writeBatch(accessValidator);
}

void TJTransport::writeBatch(TCustomAccessValidator* accessValidator) {
  fLastErrorCode = 0;
  if (!fBatch) throw Exception(QStringLiteral("There is no requests in the batch."));
  std::unique_ptr<TCustomAccessValidator> clone;
  if (accessValidator) clone = accessValidator->getClone();
  // Stray bytes from an earlier exchange arrived long ago, so the test for
  // them looks at what is there now instead of waiting 10 ms per batch.
  if (reconnectDue()) {
    disconnect();
    sendCrypt_.reset();
    recvCrypt_.reset();
    if (fShowProgress && progress_) progress_->connecting();
    if (!fSocket) raiseTransportError(teNotConnected);
    try {
      fSocket->connect(host_, port_, int(capped(connectTimeoutMs_)));
    } catch (const plat::ETcpInterrupted&) {
      raiseTransportError(teCancelled);
    }
    fLastRecvTime = nowMs();
    if (fShowProgress && progress_) progress_->executing();
    try {
      afterConnect();
    } catch (...) {
      disconnect();
      throw;
    }
  }
  if (clone) clone->check();
  clone.reset();
  // Here rather than at the start: the login of a new connection may run
  // batches of its own before this one.
  fRequestSent = false;
  try {
    writeBatchBody();
  } catch (...) {
    // A half-written batch would put the peer out of step: start afresh.
    disconnect();
    throw;
  }
  fRequestSent = true;
}

void TJTransport::writeBatchBody() {
  fRequestNo = uint8_t(fRequestNo + 1);
  QByteArray h;
  h.reserve(8);
  putU8(h, 0x51);
  putU8(h, fRequestNo);
  putU16(h, uint16_t(fBatch->requests.size()));
  _send(h);
  for (const auto& r : fBatch->requests) {
    h.resize(0);
    putU16(h, r->requestCode);
    putU16(h, uint16_t(r->params.size()));
    _send(h);
    for (const auto& p : r->params) sendVariant(p);
  }
  flushSendBuffer();
}

TRequestBatchPtr TJTransport::recvBatch(int timeout) {
  fTablesChanged = false;
  try {
    readReplyBatch(timeout);
    readingReply_ = false;
    return std::move(fBatch);
  } catch (...) {
    readingReply_ = false;
    try {
      if (fSocket && fSocket->isConnected()) fSocket->writeByte(0x66, int(capped(1000)));
    } catch (...) {
    }
    try {
      disconnect();
    } catch (...) {
    }
    if (fTablesChanged && fBatch) {
      for (const auto& r : fBatch->requests)
        for (plat::MemTable* t : r->tables) {
          try {
            if (t) t->Close();
          } catch (...) {
          }
        }
    }
    fBatch.reset();
    throw;
  }
}

void TJTransport::readReplyBatch(int timeout) {
  if (!fBatch) throw Exception(QStringLiteral("There is no requests in the batch."));
  readingReply_ = true;
  char h[8];
  _recv(h, 8, timeout);
  if (uint8_t(h[0]) != 0x52 || uint8_t(h[1]) != fRequestNo) raiseTransportError(teBadReply);
  fBatch->errorCode = getU16(h + 2);
  fBatch->errorRequestNo = getU16(h + 4);
  int len = getU16(h + 6);
  QByteArray msg(len, Qt::Uninitialized);
  _recv(msg.data(), len, kValueTimeout);
  fBatch->errorMessage = plat::fromAnsi(msg);
  _recv(h, 2, kValueTimeout);
  const int entries = getU16(h);
  // Entries are matched by position; more than were asked for is garbage.
  if (entries > fBatch->count()) raiseTransportError(teBadReply);
  for (int i = 0; i < entries; ++i) {
    TRequest& r = fBatch->request(i);
    _recv(h, 2, kValueTimeout);
    const int nResults = getU16(h);
    r.results.clear();
    r.results.reserve(size_t(nResults));
    r.resultParamIndex = 0;
    for (int k = 0; k < nResults; ++k) r.results.push_back(recvVariant(kValueTimeout));
    _recv(h, 2, kValueTimeout);
    const int nTables = getU16(h);
    for (int j = 0; j < nTables; ++j)
      recvTable(j < int(r.tables.size()) ? r.tables[size_t(j)] : nullptr, timeout);
  }
  readingReply_ = false;
  for (const auto& r : fBatch->requests)
    for (plat::MemTable* t : r->tables)
      if (t && t->Active() && t->AfterOpen) t->AfterOpen(*t);
}

// ---- byte layer ----

void TJTransport::_recv(char* dst, int len, int timeout) {
  if (len <= 0) return;
  // Bytes already buffered were stamped when they arrived: no clock, no wait.
  if (fSocket && fSocket->pending() >= len && fSocket->isConnected()) {
    fSocket->read(dst, len, 0);
    recvCrypt_.decode(dst, size_t(len));
    return;
  }
  const int64_t start = nowMs();
  const int64_t firstByteMs = capped(timeout > 0 ? int64_t(timeout) * 1000 : 0);
  const int64_t pauseMs = capped(kPauseLimitMs);
  int got = 0;
  for (;;) {
    if (!fSocket || !fSocket->isConnected()) raiseTransportError(teNotConnected);
    int n = 0;
    try {
      n = fSocket->read(dst + got, len - got, readPollMs_);
    } catch (const plat::ETcpInterrupted&) {
      raiseTransportError(teCancelled);
    }
    if (n > 0) {
      got += n;
      fLastRecvTime = nowMs();
    }
    if (got == len) break;
    if (fShowProgress && progress_ && progress_->tick()) executionFormError = teCancelled;
    if (executionFormError != 0) raiseTransportError(executionFormError);
    if (got == 0) {
      if (firstByteMs > 0 && nowMs() - start > firstByteMs) raiseTransportError(teTimeout);
    } else if (n == 0 && nowMs() - fLastRecvTime > pauseMs) {
      raiseTransportError(teTimeout);
    }
  }
  recvCrypt_.decode(dst, size_t(len));
}

void TJTransport::_sendPart(const char* data, int start, int count) {
  if (count <= 0) return;
  // The scrambler moves on now, whatever later happens to these bytes.
  if (scratch_.size() < count) scratch_.resize(count);
  std::memcpy(scratch_.data(), data + start, size_t(count));
  sendCrypt_.encode(scratch_.data(), size_t(count));
  if (send_buf_pos + count >= kSendBufSize) flushSendBuffer();
  if (send_buf_pos + count < kSendBufSize) {
    std::memcpy(send_buf.data() + send_buf_pos, scratch_.constData(), size_t(count));
    send_buf_pos += count;
  } else {
    if (!fSocket || !fSocket->isConnected()) raiseTransportError(teNotConnected);
    writeSocket(scratch_.constData(), count);
  }
}

void TJTransport::writeSocket(const char* data, int len) {
  try {
    fSocket->write(data, len, int(capped(int64_t(writeTimeoutSec_) * 1000)));
  } catch (const plat::ETcpTimeout&) {
    raiseTransportError(teTimeout);
  } catch (const plat::ETcpInterrupted&) {
    raiseTransportError(teCancelled);
  }
}

void TJTransport::flushSendBuffer() {
  if (send_buf_pos == 0) return;
  if (!fSocket || !fSocket->isConnected()) raiseTransportError(teNotConnected);
  int n = send_buf_pos;
  send_buf_pos = 0;
  writeSocket(send_buf.constData(), n);
}

void TJTransport::sendVariant(const WireValue& v) {
  QByteArray b;
  encodeValue(b, v);
  _send(b);
}

WireValue TJTransport::recvVariant(int timeout) {
  TransportWireSource src(*this);
  return decodeValue(src, timeout);
}

WireValue TJTransport::recvTaggedVariant(int tag, int timeout) {
  TransportWireSource src(*this);
  return decodeTaggedValue(src, tag, timeout);
}
