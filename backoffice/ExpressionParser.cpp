#include "backoffice/ExpressionParser.h"

#include "platform/Exception.h"

namespace {

// Blanks beside separators are marked rather than removed so that token
// positions keep pointing into the trimmed text.
const QChar kMark(0);

QString trimControls(const QString& s) {
  int b = 0;
  int e = int(s.size());
  while (b < e && s[b].unicode() <= 0x20) ++b;
  while (e > b && s[e - 1].unicode() <= 0x20) --e;
  return s.mid(b, e - b);
}

bool isLineBlank(QChar c) {
  return c == u'\t' || c == u'\n' || c == u'\r';
}

}  // namespace

void TExpressionParser::parse(const QString& s) {
  QString t = trimControls(s);
  const int n = int(t.size());
  if (n == 0) return;

  // Pass 1: runs of blanks become one separator; blanks beside "," and "."
  // separate nothing.
  {
    bool inLiteral = false;
    int depth = 0;
    QChar prev = u' ';
    for (int i = 0; i < n; ++i) {
      QChar c = t[i];
      if (c == u'\'') inLiteral = !inLiteral;
      if (!inLiteral) {
        if (c == u'(') ++depth;
        if (c == u')') --depth;
      }
      if (!inLiteral && depth == 0) {
        if (isLineBlank(c)) c = u' ';
        if (c == u' ' && i + 1 < n) {
          const QChar next = t[i + 1];
          if (isLineBlank(next) || next == u' ' || next == u',' || next == u'.') c = kMark;
        }
        if (c == u' ' && (prev == u',' || prev == u'.')) c = kMark;
        t[i] = c;
      }
      if (c != kMark) prev = c;
    }
  }

  auto emitToken = [&](int first, int last, bool always) {  // 1-based positions
    QString text = t.mid(first - 1, last - first + 1);
    text.remove(kMark);
    if (always || !text.isEmpty()) fExpr.push_back({text, TExpressionPosition(first, last)});
  };

  // Pass 2: split at top-level blanks and commas; a closing parenthesis ends
  // the token it belongs to.
  bool inLiteral = false;
  int depth = 0;
  int start = 1;
  for (int k = 0; k < n; ++k) {
    const int i = k + 1;
    const QChar c = t[k];
    if (c == u'\'') inLiteral = !inLiteral;
    if (!inLiteral) {
      if (c == u'(') ++depth;
      if (c == u')') --depth;
    }
    if (!inLiteral && c == u'(' && depth == 0) {
      emitToken(start, i - 1, false);
      start = i;
    }
    if (inLiteral || depth != 0) continue;
    if (c == u' ') {
      emitToken(start, i - 1, false);
      start = i + 1;
    } else if (c == u')') {
      emitToken(start, i, false);
      start = i + 1;
    } else if (c == u',') {
      emitToken(start, i - 1, false);
      fExpr.push_back({QStringLiteral(","), TExpressionPosition(i, i)});
      start = i + 1;
    }
  }
  if (start <= n) emitToken(start, n, true);
}

int TExpressionParser::indexOf(const QString& value) const {
  const Qt::CaseSensitivity cs = fCaseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive;
  for (size_t i = 0; i < fExpr.size(); ++i)
    if (QString::compare(fExpr[i].text, value, cs) == 0) return int(i);
  return -1;
}

const TExpressionParser::Token& TExpressionParser::at(int index) const {
  if (index < 0 || index >= count())
    throw EAbstractError(QStringLiteral("List index out of bounds (%1)").arg(index));
  return fExpr[size_t(index)];
}

QString TExpressionParser::getExpression(int index) const {
  return at(index).text;
}

int TExpressionParser::getStartPos(int index) const {
  return at(index).pos.first_char;
}

int TExpressionParser::getEndPos(int index) const {
  return at(index).pos.last_char;
}
