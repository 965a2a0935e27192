#include "platform/TextCodec.h"

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

QByteArray encode(QStringEncoder& e, const QString& text) {
  e.resetState();
  return e.isValid() ? QByteArray(e(text)) : text.toLatin1();
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
