#pragma once
// Table streams: how a result set travels inside a reply. Reading lives in
// TJTransport::recvTable; writing is here, as plain bytes, for the serving
// side and the stand-in server.
//
// Layout (tagged values): column count n (-1: an error text follows and the
// stream ends); n descriptors of name, JDBC code, size, precision; rows of a
// marker 0 and n values; marker 1 ends, marker 2 and an error text fail.

#include <QByteArray>
#include <QString>
#include <vector>

#include "backoffice/WireValue.h"
#include "platform/MemTable.h"

// The largest column size a stream may declare.
constexpr int kMaxFieldSize = 8191;
// More columns than this is a broken stream, not a table.
constexpr int kMaxTableColumns = 4096;

struct TableColumn {
  QString name;
  int javaType = 12;
  int size = 0;
  int precision = 0;
};

// Appends the descriptor part (count and columns).
void writeTableHeader(QByteArray& out, const std::vector<TableColumn>& columns);
// Appends one row: marker 0, then the values.
void writeTableRow(QByteArray& out, const TVariantArray& values);
// Appends marker 1.
void writeTableEnd(QByteArray& out);
// Appends a whole open table: its fields (JDBC codes from the field types;
// a type without a code raises), every shown row from the first, marker 1.
void writeTable(QByteArray& out, plat::MemTable& table);
