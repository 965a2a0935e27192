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

// Both code pages take one byte per character, so the n-th byte out is the
// n-th code point in. A character the code page lacks becomes "?", as the
// original platform's conversion gave it: ICU writes a control character in
// its place (SUB in windows-1251, DEL in IBM866), which would reach the back
// office's logs and the receipts as an invisible control. A byte that does not
// decode to the character it came from is such a substitute.
QByteArray encode(QStringEncoder& e, QStringDecoder& d, const QString& text) {
  e.resetState();
  if (!e.isValid()) return text.toLatin1();
  QByteArray out = e(text);
  const QList<uint> in = text.toUcs4();
  if (in.size() == out.size()) {
    const QList<uint> back = decode(d, out).toUcs4();
    if (back.size() == out.size()) {
      for (qsizetype i = 0; i < out.size(); ++i)
        if (back[i] != in[i]) out[i] = '?';
      return out;
    }
  }
  // Not one byte per code point after all: convert one character at a time.
  out.clear();
  for (const uint cp : in) {
    e.resetState();
    const char32_t c = cp;
    const QString one = QString::fromUcs4(&c, 1);
    const QByteArray bytes = e(one);
    out += bytes.size() == 1 && decode(d, bytes) == one ? bytes : QByteArray("?");
  }
  return out;
}

constexpr auto kStateless = QStringConverter::Flag::Stateless;

QStringDecoder& ansiDecoder() {
  thread_local QStringDecoder d("windows-1251", kStateless);
  return d;
}
QStringDecoder& oemDecoder() {
  thread_local QStringDecoder d("IBM866", kStateless);
  return d;
}

}  // namespace

QString fromAnsi(const QByteArray& bytes) {
  return decode(ansiDecoder(), bytes);
}
QByteArray toAnsi(const QString& text) {
  thread_local QStringEncoder e("windows-1251", kStateless);
  return encode(e, ansiDecoder(), text);
}
QString fromOem(const QByteArray& bytes) {
  return decode(oemDecoder(), bytes);
}
QByteArray toOem(const QString& text) {
  thread_local QStringEncoder e("IBM866", kStateless);
  return encode(e, oemDecoder(), text);
}

}  // namespace plat
