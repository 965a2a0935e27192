#pragma once
// Values written into SQL text. Every value that is pasted into a statement
// (a key, a filter value, a field of the current row) passes here, so that no
// text can end a literal early and add conditions of its own: a value is
// either a number in its plain written form or a quoted text literal, or it
// goes inside a literal with its own quotes doubled.

#include <QString>

namespace SqlLiteral {

// A text literal: single quotes around it, inner single quotes doubled.
QString quoted(const QString& text);

// The inside of a text literal: inner single quotes doubled, for a value that
// goes between quotes the statement writes itself.
QString inQuotes(const QString& text);

// An optional "-", ASCII digits, and optionally "." and more digits, with no
// blanks, exponent, sign "+" or words such as "nan" and "inf", and a finite
// value.
bool isNumber(const QString& text);

// The trimmed text when it is a number as above, else its quoted literal (the
// server then refuses the comparison rather than running a changed statement).
QString number(const QString& text);

// A whole number in the range of a 32-bit integer, in its plain decimal form;
// anything else as a quoted literal.
QString integer(const QString& text);
// The same for the range of a 64-bit integer.
QString largeInteger(const QString& text);

}  // namespace SqlLiteral
