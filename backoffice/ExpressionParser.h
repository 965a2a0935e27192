#pragma once
// Splits SQL text (a from clause, say) into its top-level tokens: words,
// commas and parenthesised groups, each with its character positions. The
// query builder finds the main table and the tables of aliases with it.
// Quoted literals and parenthesised groups are never split, so a function
// call stays one token and a quoted text with blanks stays one token.

#include <QString>
#include <vector>

class TExpressionPosition {
 public:
  TExpressionPosition(int first, int last) : first_char(first), last_char(last) {}
  int first_char;  // from 1, in the trimmed text
  int last_char;
};

class TExpressionParser {
 public:
  TExpressionParser() = default;

  // Appends the top-level tokens of s; earlier tokens stay.
  void parse(const QString& s);
  int count() const { return int(fExpr.size()); }
  // First token equal to value under CaseSensitive, -1 when none.
  int indexOf(const QString& value) const;
  QString getExpression(int index) const;
  int getStartPos(int index) const;
  int getEndPos(int index) const;

  bool CaseSensitive() const { return fCaseSensitive; }
  void SetCaseSensitive(bool value) { fCaseSensitive = value; }

 private:
  struct Token {
    QString text;
    TExpressionPosition pos;
  };
  const Token& at(int index) const;

  std::vector<Token> fExpr;
  bool fCaseSensitive = false;
};
