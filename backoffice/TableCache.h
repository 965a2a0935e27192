#pragma once
// Cache files of server-filled tables: the whole table (our checksummed table
// format, ".dat") beside a version file (".dv") holding the data versions,
// the time, the statement and the parameters of its load, so that a later run
// takes the table from disk when nothing changed on the server.

#include <QString>

#include "backoffice/Utils.h"  // tablesCacheFolder, setTablesCacheFolder

// The parts of a version file's text.
struct TCachedVersion {
  QString dataVersions;
  double refreshTime = 0;
  QString sql;
  QString params;
};
// Reads the text written by the table's saveToCache; false when it is damaged
// (a number that does not read, a statement longer than the text).
bool parseCachedVersion(const QString& text, TCachedVersion& out);
QString formatCachedVersion(const TCachedVersion& v);
