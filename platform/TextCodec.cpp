#include "platform/TextCodec.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace plat {
namespace {

// Decoders are stateful, so each call gets its own; they are cheap to make.
QString decode(const char* codec, const QByteArray& bytes) {
  QStringDecoder d(codec);
  return d.isValid() ? QString(d(bytes)) : QString::fromLatin1(bytes);
}

QByteArray encode(const char* codec, const QString& text) {
  QStringEncoder e(codec, QStringConverter::Flag::Stateless);
  return e.isValid() ? QByteArray(e(text)) : text.toLatin1();
}

}  // namespace

QString fromAnsi(const QByteArray& bytes) { return decode("windows-1251", bytes); }
QByteArray toAnsi(const QString& text) { return encode("windows-1251", text); }
QString fromOem(const QByteArray& bytes) { return decode("IBM866", bytes); }
QByteArray toOem(const QString& text) { return encode("IBM866", text); }

}  // namespace plat
