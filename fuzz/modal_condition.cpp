// A modal condition filled from a row whose text the back office sent: the
// condition, then a zero byte, then the value. Whatever both hold, the value
// stays where the condition put it: the statement's literals begin and end
// where they do with a harmless value in its place.
#include "backoffice/Selection.h"
#include "fuzz/FuzzSupport.h"
#include "platform/MemTable.h"

namespace {

// The text outside literals, with each literal reduced to its two quotes
// (an open literal at the end shows as one quote).
QString outline(const QString& sql) {
  QString out;
  bool inside = false;
  for (qsizetype i = 0; i < sql.size(); ++i) {
    if (!inside) {
      out += sql[i];
      inside = sql[i] == u'\'';
    } else if (sql[i] == u'\'') {
      if (i + 1 < sql.size() && sql[i + 1] == u'\'') {
        ++i;
      } else {
        out += sql[i];
        inside = false;
      }
    }
  }
  return out;
}

QString decoded(const QString& condition, const QString& value) {
  plat::MemTable t;
  t.AddField(QStringLiteral("name"), ftWideMemo);
  t.AddField(QStringLiteral("qty"), ftInteger);
  t.Open();
  t.Append();
  t.FieldByName(QStringLiteral("name"))->SetAsString(value);
  t.FieldByName(QStringLiteral("qty"))->SetAsInteger(3);
  t.Post();
  return TSelection::decodeModalWhere(condition, &t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray bytes = fuzz::bytesOf(data, size);
  const qsizetype zero = bytes.indexOf('\0');
  const QString condition = QString::fromUtf8(zero < 0 ? bytes : bytes.left(zero));
  const QString value = zero < 0 ? QString() : QString::fromUtf8(bytes.mid(zero + 1));
  try {
    const QString sql = decoded(condition, value);
    // An empty value is null outside literals, so only a filled one is
    // compared with the harmless value.
    if (!value.isEmpty() && outline(sql) != outline(decoded(condition, QStringLiteral("x"))))
      __builtin_trap();
  } catch (const Exception&) {
  }
  return 0;
}
