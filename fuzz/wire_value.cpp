// Tagged values as a server sends them: every tag, lengths up to the cap,
// values cut short. A value that decodes also converts and encodes again.
#include "backoffice/WireCodec.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the reader: client (no tag 13) or serving side.
  const bool allowUnicode = data[0] & 1;
  BufferSource src(fuzz::bytesOf(data + 1, size - 1));
  try {
    while (src.remaining() > 0) {
      const WireValue v = decodeValue(src, 1, allowUnicode);
      QByteArray again;
      encodeValue(again, v);
      (void)v.debugText();
      (void)v.toQVariant();
      try {
        (void)v.toString();
        (void)v.toInt64();
        (void)v.toDouble();
        (void)v.toBool();
      } catch (const Exception&) {
      }
    }
  } catch (const Exception&) {
  }
  return 0;
}
