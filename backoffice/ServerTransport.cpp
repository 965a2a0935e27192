#include "backoffice/ServerTransport.h"

#include "backoffice/TableStream.h"
#include "backoffice/WireCodec.h"
#include "platform/TcpClient.h"
#include "platform/TextCodec.h"

namespace {

constexpr int kReadTimeout = 6;
constexpr int kMaxMessageChars = 65535;

}  // namespace

QByteArray pushChannelKey() {
  // Three bytes from small constants; the same on the back office's side.
  const int seed[3] = {23, 41, 59};
  QByteArray key(3, Qt::Uninitialized);
  for (int i = 0; i < 3; ++i) key[i] = char((seed[i] * 7 + 0x31 * (i + 1)) & 0xFF);
  return key;
}

void TServerTransport::setCryptKey(const QByteArray& key) {
  sendCrypt_.setKey(key);
  recvCrypt_.setKey(key);
}

TRequestBatchPtr TServerTransport::recvRequestBatch() {
  auto batch = std::make_unique<TRequestBatch>();
  try {
    char h[4];
    _recv(h, 4, kReadTimeout);
    if (uint8_t(h[0]) != 0x51) raiseTransportError(teBadReply);
    blockNo = uint8_t(h[1]);
    const int n = getU16(h + 2);
    // Counts are u16, so a hostile header costs at most 65535 small objects.
    batch->requests.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
      _recv(h, 4, kReadTimeout);
      auto r = std::make_unique<TRequest>(this, getU16(h));
      const int params = getU16(h + 2);
      r->params.reserve(size_t(params));
      for (int k = 0; k < params; ++k) r->addParam(recvVariant(kReadTimeout));
      batch->requests.push_back(std::move(r));
    }
  } catch (...) {
    // Whatever stopped the read left the stream out of step.
    disconnect();
    throw;
  }
  return batch;
}

void TServerTransport::sendReplyBatch(TRequestBatch& batch) {
  const QString message = batch.errorMessage.left(kMaxMessageChars);
  QByteArray msg = plat::toAnsi(message);
  // One byte per character in the ANSI code page; the length counts both.
  if (msg.size() > kMaxMessageChars) msg.truncate(kMaxMessageChars);
  QByteArray h;
  putU8(h, 0x52);
  putU8(h, blockNo);
  putU16(h, batch.errorCode);
  putU16(h, batch.errorRequestNo);
  putU16(h, uint16_t(msg.size()));
  _send(h);
  _send(msg);
  h.resize(0);
  if (batch.errorCode != 0) {
    putU16(h, 0);
    _send(h);
  } else {
    putU16(h, uint16_t(batch.requests.size()));
    _send(h);
    for (const auto& r : batch.requests) {
      h.resize(0);
      putU16(h, uint16_t(r->results.size()));
      _send(h);
      for (const auto& v : r->results) sendVariant(v);
      h.resize(0);
      putU16(h, uint16_t(r->tables.size()));
      _send(h);
      for (plat::MemTable* t : r->tables) writeDataSet(t);
    }
  }
  flushSendBuffer();
}

void TServerTransport::writeDataSet(plat::MemTable* dataset) {
  QByteArray out;
  if (dataset) {
    writeTable(out, *dataset);
  } else {
    // A request that names a table it never filled still owes the reader a
    // well-formed stream: no columns, no rows.
    writeTableHeader(out, {});
    writeTableEnd(out);
  }
  _send(out);
  if (dataset) {
    try {
      dataset->Close();
    } catch (...) {
    }
  }
}
