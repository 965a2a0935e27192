#pragma once
// Small helpers shared by the client library: text tests used when SQL text
// is rewritten or schema names are matched, and version arithmetic.

#include <QLocale>
#include <QString>
#include <QStringList>
#include <cstdint>

// text equals one of list, compared without regard to case.
bool textInList(const QString& text, const QStringList& list);
// Position pos (1-based) lies inside an SQL string literal: an odd number of
// single quotes stands before it.
bool isInsideQuotes(const QString& text, int pos);
// The run of 0-9, A-Z, _ and a-z starting at the 1-based pos; empty when none.
QString copyIdentifier(const QString& text, int pos);
// The part of value from startPos (1-based) up to the next limit, startPos
// moved past it; without a further limit the rest, startPos = length + 1.
QString GetWord(const QString& value, int& startPos, QChar limitSymbol);
// a.b.c as a * 100000000 + b * 10000 + c, in 64 bits (a 32-bit sum overflows
// from version 22 on). Fewer than two dots or a part that is no integer
// raises EConvertError.
int64_t versionToNumber(const QString& text);

// The folder where server-filled tables keep their cache files, ending in a
// separator; set once at start (not created here).
QString tablesCacheFolder();
void setTablesCacheFolder(const QString& folder);
// Numbers with "." as decimal separator, for cache files and receipt texts.
const QLocale& dotFormatSettings();
