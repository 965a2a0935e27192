#pragma once
// Tagged values on the wire: one tag byte, then a big-endian payload.
// Pure functions over bytes, shared by the client transport, the serving
// transport and the stand-in server.

#include <QByteArray>
#include <cstdint>

#include "backoffice/WireValue.h"

// The largest value, table or message a peer may announce. Anything larger
// is a broken or hostile stream, refused before allocating.
constexpr int64_t kMaxWireBlock = 64 * 1024 * 1024;

// Big-endian integers.
inline void putU8(QByteArray& out, uint8_t v) {
  out.append(char(v));
}
void putU16(QByteArray& out, uint16_t v);
void putU32(QByteArray& out, uint32_t v);
void putU64(QByteArray& out, uint64_t v);
uint16_t getU16(const char* p);
uint32_t getU32(const char* p);
uint64_t getU64(const char* p);

// Appends the tagged form of v. A kind the wire cannot carry raises
// "Unknown varType N(TJTransport.sendVariant)." and appends nothing.
void encodeValue(QByteArray& out, const WireValue& v);
inline QByteArray encodeValue(const WireValue& v) {
  QByteArray b;
  encodeValue(b, v);
  return b;
}

// Where decodeValue gets its bytes. The client transport reads its socket
// with time-outs; a test or the stand-in server may read a buffer.
class WireSource {
 public:
  virtual ~WireSource() = default;
  // Exactly n plain bytes, or raises. timeoutSec bounds the wait for the first.
  virtual void recvExact(char* dst, int n, int timeoutSec) = 0;
  // A length the reader will not accept (transport error 2 on a client).
  [[noreturn]] virtual void badLength() = 0;
  // A tag the reader does not know: the stream cannot be resynchronised.
  [[noreturn]] virtual void unknownTag(int tag) = 0;
};

// Reads one tagged value. Tag 12 reads as bytes like tag 2; tag 13 and above
// are refused through unknownTag, even though the client writes tag 13: the
// client never reads it. A server reads what clients write, so it passes
// allowUnicode to accept tag 13.
WireValue decodeValue(WireSource& src, int timeoutSec, bool allowUnicode = false);
// The same, for a reader that has already taken the tag byte.
WireValue decodeTaggedValue(WireSource& src, int tag, int timeoutSec, bool allowUnicode = false);

// A source over a byte array, for tests and for already received frames.
// Running short or a bad length raises EAbstractError.
class BufferSource : public WireSource {
 public:
  explicit BufferSource(QByteArray data) : data_(std::move(data)) {}
  void recvExact(char* dst, int n, int timeoutSec) override;
  [[noreturn]] void badLength() override;
  [[noreturn]] void unknownTag(int tag) override;
  int remaining() const { return int(data_.size() - pos_); }

 private:
  QByteArray data_;
  qsizetype pos_ = 0;
};

// windows-1251 bytes as text (what the platform conversion gives, faster).
QString ansiToString(const char* p, qsizetype n);

// "Unknown variant type N(TJTransport.recvVariant)."
QString unknownVariantTypeMessage(int tag);
