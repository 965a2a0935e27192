#include "backoffice/SqlLiteral.h"

#include <cmath>
#include <limits>

namespace SqlLiteral {

namespace {

bool isAsciiDigit(QChar c) {
  return c >= u'0' && c <= u'9';
}

// Digits with an optional leading "-"; a fraction only when allowed.
bool hasNumberForm(const QString& t, bool allowFraction) {
  qsizetype i = 0;
  if (i < t.size() && t[i] == u'-') ++i;
  const qsizetype intStart = i;
  while (i < t.size() && isAsciiDigit(t[i])) ++i;
  if (i == intStart) return false;
  if (i == t.size()) return true;
  if (!allowFraction || t[i] != u'.') return false;
  const qsizetype fracStart = ++i;
  while (i < t.size() && isAsciiDigit(t[i])) ++i;
  return i > fracStart && i == t.size();
}

QString integerIn(const QString& text, qint64 lo, qint64 hi) {
  const QString t = text.trimmed();
  if (hasNumberForm(t, false)) {
    bool ok = false;
    const qint64 v = t.toLongLong(&ok);
    if (ok && v >= lo && v <= hi) return QString::number(v);
  }
  return quoted(text);
}

}  // namespace

QString quoted(const QString& text) {
  return u'\'' + inQuotes(text) + u'\'';
}

QString inQuotes(const QString& text) {
  QString t = text;
  t.replace(u'\'', QStringLiteral("''"));
  return t;
}

bool isNumber(const QString& text) {
  if (!hasNumberForm(text, true)) return false;
  bool ok = false;
  const double v = text.toDouble(&ok);
  return ok && std::isfinite(v);
}

QString number(const QString& text) {
  const QString t = text.trimmed();
  return isNumber(t) ? t : quoted(text);
}

QString integer(const QString& text) {
  return integerIn(text, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max());
}

QString largeInteger(const QString& text) {
  return integerIn(text, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max());
}

}  // namespace SqlLiteral
