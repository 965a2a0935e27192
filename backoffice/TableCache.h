#pragma once
// Cache files of server-filled tables: the whole table (our checksummed table
// format, ".dat") beside a version file (".dv") holding the data versions and
// the time of its load and the table's statement and parameters, so that a
// later run takes the table from disk when nothing changed on the server.

#include <QByteArray>
#include <QString>

#include "backoffice/Utils.h"  // tablesCacheFolder, setTablesCacheFolder

// The parts of a version file's text.
struct TCachedVersion {
  QString dataVersions;
  double refreshTime = 0;
  QString sql;
  QString params;
};

// The version text: five parts, each followed by a CR. The statement is
// counted, so CRs inside it are its own. In the text that formatCachedVersion
// writes, a CR or "\" inside the data versions or the parameters is escaped
// ("\r", "\\"), because those parts end at the next CR; parseCachedVersion
// reads such text with escaped true, and the text of an older file (which had
// no escapes) with escaped false.
QString formatCachedVersion(const TCachedVersion& v);
// False when the text is damaged (a number that does not read, a statement
// longer than the text).
bool parseCachedVersion(const QString& text, TCachedVersion& out, bool escaped = true);

// The version file's bytes: a UTF-8 byte-order mark, then the text in UTF-8,
// so that every text (any alphabet, emoji) reads back as it was written.
QByteArray encodeCachedVersion(const TCachedVersion& v);
// Reads both that form and the older one: windows-1251 text without a mark
// and without escapes. False when damaged.
bool decodeCachedVersion(const QByteArray& bytes, TCachedVersion& out);
