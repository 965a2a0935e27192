#include "platform/TextCodec.h"

#include <QList>
#include <QStringDecoder>
#include <QStringEncoder>

namespace plat {
namespace {

// Making a converter looks the codec up in ICU, which costs far more than
// converting a short text; each thread keeps its own stateless pair.
QString decode(QStringDecoder& d, const QByteArray& bytes) {
  d.resetState();
  return d.isValid() ? QString(d(bytes)) : QString::fromLatin1(bytes);
}

constexpr char kSubstitute = 0x1A;  // what ICU writes for a character the code page lacks

// Both code pages take one byte per character, so the n-th byte out is the
// n-th code point in. A character the code page lacks becomes "?", as the
// original platform's conversion gave it: ICU's SUB control character would
// reach the back office's logs and the receipts as an invisible control.
QByteArray encode(QStringEncoder& e, const QString& text) {
  e.resetState();
  if (!e.isValid()) return text.toLatin1();
  QByteArray out = e(text);
  if (!out.contains(kSubstitute)) return out;
  const QList<uint> codePoints = text.toUcs4();
  if (codePoints.size() == out.size()) {
    for (qsizetype i = 0; i < out.size(); ++i)
      if (out[i] == kSubstitute && codePoints[i] != uint(kSubstitute)) out[i] = '?';
    return out;
  }
  // Not one byte per code point after all: convert one character at a time.
  out.clear();
  for (const uint cp : codePoints) {
    e.resetState();
    const char32_t c = cp;
    const QByteArray one = e(QString::fromUcs4(&c, 1));
    out += (one.size() == 1 && (one[0] != kSubstitute || cp == uint(kSubstitute)))
               ? one
               : QByteArray("?");
  }
  return out;
}

constexpr auto kStateless = QStringConverter::Flag::Stateless;

}  // namespace

QString fromAnsi(const QByteArray& bytes) {
  thread_local QStringDecoder d("windows-1251", kStateless);
  return decode(d, bytes);
}
QByteArray toAnsi(const QString& text) {
  thread_local QStringEncoder e("windows-1251", kStateless);
  return encode(e, text);
}
QString fromOem(const QByteArray& bytes) {
  thread_local QStringDecoder d("IBM866", kStateless);
  return decode(d, bytes);
}
QByteArray toOem(const QString& text) {
  thread_local QStringEncoder e("IBM866", kStateless);
  return encode(e, text);
}

}  // namespace plat
