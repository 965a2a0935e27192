#include "backoffice/TableStream.h"

#include <QDateTime>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "backoffice/JTable.h"
#include "backoffice/JTransport.h"
#include "backoffice/WireCodec.h"
#include "platform/TcpClient.h"

namespace {

constexpr int kValueTimeout = 6;
constexpr int kRowValueTimeout = 30;

[[noreturn]] void unknownJavaType(int javaType) {
  throw EAbstractError(
      QStringLiteral("Unknown Java SQL Type %1 (TJTransport.javaTypeToFieldType).").arg(javaType));
}

}  // namespace

TFieldType TJTransport::javaTypeToFieldType(int javaType) {
  switch (javaType) {
    case 1:
    case 12:
    case -15:
    case -9:
      return ftString;
    case 2:
    case 3:
    case 6:
    case 7:
    case 8:
      return ftFloat;
    case 4:
      return ftInteger;
    case 5:
    case -7:
    case -6:
      return ftSmallint;
    case 16:
      return ftBoolean;
    case 91:
    case 93:
      return ftDateTime;
    case 92:
      return ftTime;
    case 2003:
      return ftArray;
    case 2004:
    case -4:
      return ftBlob;
    case 2005:
    case 2011:
    case -16:
    case -1:
      return ftMemo;
    case 2006:
      return ftReference;
    case -5:
      return ftLargeint;
    case -3:
    case -2:
      return ftBytes;
    default:
      unknownJavaType(javaType);
  }
}

QString TJTransport::javaTypeToFieldClass(int javaType) {
  return fieldTypeToFieldClass(javaTypeToFieldType(javaType));
}

int TJTransport::fieldTypeToJavaType(TFieldType fieldType) {
  switch (fieldType) {
    case ftUnknown:
      return 1111;
    case ftString:
    case ftWideString:
      return 12;
    case ftSmallint:
    case ftByte:
      return 5;
    case ftInteger:
      return 4;
    case ftBoolean:
      return 16;
    case ftFloat:
      return 6;
    case ftDate:
      return 91;
    case ftTime:
      return 92;
    case ftDateTime:
      return 93;
    case ftBytes:
      return -3;
    case ftBlob:
      return 2004;
    case ftMemo:
      return 2005;
    case ftLargeint:
    case ftLongWord:
      return -5;
    case ftArray:
      return 2003;
    case ftReference:
      return 2006;
    default:
      throw EAbstractError(
          QStringLiteral("Unknown Field Type %1 (TJTransport.fieldTypeToJavaType).")
              .arg(int(fieldType)));
  }
}

QString TJTransport::fieldTypeToFieldClass(TFieldType fieldType) {
  const char* name = nullptr;
  switch (fieldType) {
    case ftString:
      name = "TStringField";
      break;
    case ftSmallint:
      name = "TSmallintField";
      break;
    case ftInteger:
      name = "TIntegerField";
      break;
    case ftWord:
      name = "TWordField";
      break;
    case ftBoolean:
      name = "TBooleanField";
      break;
    case ftFloat:
      name = "TFloatField";
      break;
    case ftCurrency:
      name = "TCurrencyField";
      break;
    case ftBCD:
      name = "TBCDField";
      break;
    case ftDate:
      name = "TDateField";
      break;
    case ftTime:
      name = "TTimeField";
      break;
    case ftDateTime:
      name = "TDateTimeField";
      break;
    case ftBytes:
      name = "TBytesField";
      break;
    case ftVarBytes:
      name = "TVarBytesField";
      break;
    case ftAutoInc:
      name = "TAutoIncField";
      break;
    case ftBlob:
      name = "TBlobField";
      break;
    case ftMemo:
      name = "TMemoField";
      break;
    case ftGraphic:
      name = "TGraphicField";
      break;
    case ftWideString:
      name = "TWideStringField";
      break;
    case ftLargeint:
      name = "TLargeintField";
      break;
    case ftADT:
      name = "TADTField";
      break;
    case ftArray:
      name = "TArrayField";
      break;
    case ftReference:
      name = "TReferenceField";
      break;
    case ftVariant:
      name = "TVariantField";
      break;
    case ftIDispatch:
      name = "TIDispatchField";
      break;
    case ftGuid:
      name = "TGuidField";
      break;
    default:
      throw EAbstractError(
          QStringLiteral("Unknown field type %1 (TJTransport.fieldTypeToFieldClass).")
              .arg(int(fieldType)));
  }
  return QString::fromLatin1(name);
}

int TJTransport::valueTypeToJavaType(const WireValue& v) {
  switch (v.type()) {
    case VarType::Empty:
    case VarType::Null:
      return fieldTypeToJavaType(ftUnknown);
    case VarType::Smallint:
    case VarType::Byte:
      return fieldTypeToJavaType(ftSmallint);
    case VarType::Integer:
      return fieldTypeToJavaType(ftInteger);
    case VarType::LongWord:
    case VarType::Int64:
      return fieldTypeToJavaType(ftLargeint);
    case VarType::Double:
      return fieldTypeToJavaType(ftFloat);
    case VarType::Date:
      return fieldTypeToJavaType(ftDateTime);
    case VarType::OleStr:
    case VarType::String:
    case VarType::UString:
      return fieldTypeToJavaType(ftString);
    case VarType::Boolean:
      return fieldTypeToJavaType(ftBoolean);
    case VarType::ByteArray:
      return fieldTypeToJavaType(ftBlob);
    // Kinds the data-access mapping turns into types without a JDBC code.
    case VarType::Single:
      return fieldTypeToJavaType(ftSingle);
    case VarType::Currency:
      return fieldTypeToJavaType(ftCurrency);
    case VarType::ShortInt:
      return fieldTypeToJavaType(ftShortint);
    case VarType::Word:
      return fieldTypeToJavaType(ftWord);
    default:
      return fieldTypeToJavaType(ftUnknown);
  }
}

// ---- reading ----

namespace {

qint64 readCount(TJTransport& tr, int timeout) {
  WireValue v = tr.recvVariant(timeout);
  if (!v.isIntegral()) tr.raiseTransportError(teBadReply);
  return v.rawInt();
}

QString readErrorText(TJTransport& tr) {
  return tr.recvVariant(kValueTimeout).toStringNullEmpty();
}

// The column count of a stream; -1 brings the server's error text instead.
qint64 readColumnCount(TJTransport& tr) {
  const qint64 n = readCount(tr, kValueTimeout);
  if (n == -1) throw Exception(readErrorText(tr));
  if (n < 0 || n > kMaxTableColumns) tr.raiseTransportError(teBadReply);
  return n;
}

void checkFieldSize(qint64 size) {
  if (size > kMaxFieldSize)
    throw Exception(
        QStringLiteral(
            "Field size (%1) is too big (maximum size is 8191). Cast column to BLOB data type.")
            .arg(size));
}

// A stream with no table to take it: read whole and dropped.
void dropTable(TJTransport& tr) {
  const qint64 n = readColumnCount(tr);
  for (qint64 c = 0; c < n; ++c) {
    (void)tr.recvVariant(kValueTimeout);
    (void)tr.recvVariant(kValueTimeout);
    const qint64 size = readCount(tr, kValueTimeout);
    (void)tr.recvVariant(kValueTimeout);
    checkFieldSize(size);
  }
  for (;;) {
    const qint64 marker = readCount(tr, kValueTimeout);
    if (marker == 1) return;
    if (marker == 2) throw Exception(readErrorText(tr));
    for (qint64 c = 0; c < n; ++c) (void)tr.recvVariant(kValueTimeout);
  }
}

// The header: each column descriptor becomes a field of t as soon as it is
// read, so a bad one fails before the next is read. Gives the field types in
// column order.
std::vector<TFieldType> readTableHeader(TJTransport& tr, plat::MemTable& t) {
  const qint64 n = readColumnCount(tr);
  std::vector<TFieldType> types;
  types.reserve(size_t(n));
  for (qint64 c = 0; c < n; ++c) {
    QString name = tr.recvVariant(kValueTimeout).toStringNullEmpty();
    const int javaType = int(readCount(tr, kValueTimeout));
    const qint64 size = readCount(tr, kValueTimeout);
    checkFieldSize(size);
    (void)tr.recvVariant(kValueTimeout);
    if (name.isEmpty()) name = QStringLiteral("fld_%1").arg(c + 1);
    const TFieldType ft = TJTransport::javaTypeToFieldType(javaType);
    int fieldSize = 0, precision = 0;
    if (ft == ftString || ft == ftBytes || ft == ftVarBytes || ft == ftArray)
      fieldSize = int(std::max<qint64>(size, 0));
    if (ft == ftFloat) precision = int(std::max<qint64>(size, 0));
    t.AddField(name, ft, fieldSize, precision);
    types.push_back(ft);
  }
  return types;
}

// Keeps the table's handlers aside while it is filled and gives them back,
// whatever happens.
struct QuietTable {
  plat::MemTable& t;
  plat::DataSetNotifyEvent beforeOpen, afterOpen, beforeClose, beforeInsert, afterInsert,
      beforePost, afterPost, beforeScroll, afterScroll, beforeRefresh, afterRefresh;
  explicit QuietTable(plat::MemTable& table) : t(table) {
    beforeOpen = std::exchange(t.BeforeOpen, nullptr);
    afterOpen = std::exchange(t.AfterOpen, nullptr);
    beforeClose = std::exchange(t.BeforeClose, nullptr);
    beforeInsert = std::exchange(t.BeforeInsert, nullptr);
    afterInsert = std::exchange(t.AfterInsert, nullptr);
    beforePost = std::exchange(t.BeforePost, nullptr);
    afterPost = std::exchange(t.AfterPost, nullptr);
    beforeScroll = std::exchange(t.BeforeScroll, nullptr);
    afterScroll = std::exchange(t.AfterScroll, nullptr);
    beforeRefresh = std::exchange(t.BeforeRefresh, nullptr);
    afterRefresh = std::exchange(t.AfterRefresh, nullptr);
    t.DisableControls();
  }
  ~QuietTable() {
    t.BeforeOpen = std::move(beforeOpen);
    t.AfterOpen = std::move(afterOpen);
    t.BeforeClose = std::move(beforeClose);
    t.BeforeInsert = std::move(beforeInsert);
    t.AfterInsert = std::move(afterInsert);
    t.BeforePost = std::move(beforePost);
    t.AfterPost = std::move(afterPost);
    t.BeforeScroll = std::move(beforeScroll);
    t.AfterScroll = std::move(afterScroll);
    t.BeforeRefresh = std::move(beforeRefresh);
    t.AfterRefresh = std::move(afterRefresh);
    if (auto* j = dynamic_cast<TJTable*>(&t))
      j->last_refresh_tm = dateTimeToDays(QDateTime::currentDateTime());
    try {
      t.EnableControls();
    } catch (...) {
    }
  }
};

// The current row's "id" of an open table that has one, to find the row
// again once the table is filled.
std::optional<QString> currentId(plat::MemTable& t) {
  if (t.Active())
    if (plat::Field* f = t.FindField(QStringLiteral("id"))) return f->AsString();
  return std::nullopt;
}

// Keeps the fields' OnChange handlers aside while the rows come. Afterwards,
// whatever happens, gives them back and returns an open table to the row
// whose "id" was kept, or to its first row.
class QuietFields {
 public:
  QuietFields(plat::MemTable& t, size_t count, std::optional<QString> keptId)
      : t_(t), fields_(count), onChange_(count), keptId_(std::move(keptId)) {
    for (size_t c = 0; c < count; ++c) {
      fields_[c] = t.FieldByIndex(int(c));
      onChange_[c] = std::exchange(fields_[c]->OnChange, nullptr);
    }
  }
  ~QuietFields() {
    for (size_t i = 0; i < fields_.size(); ++i) fields_[i]->OnChange = std::move(onChange_[i]);
    try {
      if (!t_.Active()) return;
      bool found = false;
      if (keptId_) {
        try {
          found = t_.Locate(QStringLiteral("id"), *keptId_);
        } catch (...) {
          found = false;
        }
      }
      if (!found) t_.First();
    } catch (...) {
    }
  }
  QuietFields(const QuietFields&) = delete;
  QuietFields& operator=(const QuietFields&) = delete;

  plat::Field* field(size_t c) const { return fields_[c]; }

 private:
  plat::MemTable& t_;
  std::vector<plat::Field*> fields_;
  std::vector<plat::FieldNotifyEvent> onChange_;
  std::optional<QString> keptId_;
};

// Reads the rows of a stream, after its header, into the table the header
// made. The first row marker waits up to the caller's time-out, every later
// one 6 s; a value waits up to 30 s.
class RowReader {
 public:
  RowReader(TJTransport& tr, Scrambler& crypt, const std::vector<TFieldType>& types,
            int firstMarkerTimeout)
      : tr_(tr), crypt_(crypt), markerTimeout_(firstMarkerTimeout) {
    cols_.reserve(types.size());
    for (TFieldType ft : types)
      cols_.push_back(Column{ft, plat::storageTypeOf(ft), false, 0, {}, {}});
  }

  // Nothing runs per row in t: the values go straight into its store.
  void appendRows(plat::MemTable& t) {
    plat::MemTable::RowAppender rows(t);
    for (;;) {
      QVariant* added = nullptr;
      switch (rowInPlace(rows, added)) {
        case InPlace::Appended:
          continue;
        case InPlace::End:
          return;
        case InPlace::Fallback:
          break;
      }
      if (!rowOrdinary(rows, added)) return;
    }
  }

  // Row by row with Append and Post, for a table that runs something per row.
  void postRows(plat::MemTable& t, const QuietFields& fields) {
    FromSocket src{*this};
    while (nextRow()) {
      t.Append();
      for (size_t c = 0; c < cols_.size(); ++c) fields.field(c)->SetValue(readValue(src, cols_[c]));
      t.Post();
    }
  }

 private:
  // What a row value becomes in its column: the storage kind, and the last
  // date-time read there (a column often repeats one, and each new one costs
  // a local-time conversion), and the zone's offset near its dates.
  struct Column {
    TFieldType type;
    int storage;
    bool haveDate = false;
    qint64 dateMs = 0;
    QDateTime date;
    plat::LocalTimes zone;
  };

  // Where a row's bytes come from: the socket, or the bytes it has already
  // buffered, read in place (see rowInPlace).
  struct FromSocket {
    RowReader& reader;
    void take(char* dst, int len) { reader.recv(dst, len, kRowValueTimeout); }
  };
  struct PastBuffer {};  // a row runs past the buffered bytes
  struct FromBuffer {
    const char* at;
    const char* end;
    Scrambler& crypt;
    bool scrambled;
    // Inlined, so that the common fixed-size reads become plain moves.
    Q_ALWAYS_INLINE void take(char* dst, int len) {
      if (end - at < len) throw PastBuffer{};
      std::memcpy(dst, at, size_t(len));
      at += len;
      if (scrambled) crypt.decode(dst, size_t(len));
    }
  };

  enum class InPlace { Appended, End, Fallback };

  // Nearly every read finds its bytes buffered: take them without the clock
  // and the waits of _recv, which reads the same bytes when they are not.
  void recv(char* dst, int len, int timeout) {
    plat::TcpClient* socket = tr_.socket();
    if (socket && socket->takeBuffered(dst, len))
      crypt_.decode(dst, size_t(len));
    else
      tr_._recv(dst, len, timeout);
  }

  // The row marker is a one-byte integer; any other integer kind still
  // counts. False at the end; a failure brings the server's error text.
  bool nextRow() {
    char b[2];
    recv(b, 1, markerTimeout_);
    qint64 marker;
    if (uint8_t(b[0]) == wtInt8) {
      recv(b, 1, markerTimeout_);
      marker = int8_t(b[0]);
    } else {
      const WireValue v = tr_.recvTaggedVariant(uint8_t(b[0]), markerTimeout_);
      if (!v.isIntegral()) tr_.raiseTransportError(teBadReply);
      marker = v.rawInt();
    }
    markerTimeout_ = kValueTimeout;
    if (marker == 1) return false;
    if (marker == 2) throw Exception(readErrorText(tr_));
    return true;
  }

  // One value as the table holds it: what WireValue::toQVariant gives for
  // the value read (a bytes column keeps the bytes of a text as they were
  // sent), without building the WireValue for the common kinds.
  template <class Source>
  QVariant readValue(Source& src, Column& col) {
    char b[256];
    src.take(b, 1);
    const int tag = uint8_t(b[0]);
    switch (tag) {
      case wtNull:
        return QVariant();
      case wtFalse:
        return QVariant(false);
      case wtTrue:
        return QVariant(true);
      case wtInt8:
        src.take(b, 1);
        return QVariant(int(int8_t(b[0])));
      case wtInt16:
        src.take(b, 2);
        return QVariant(int(int16_t(getU16(b))));
      case wtInt32:
        src.take(b, 4);
        return QVariant(int(int32_t(getU32(b))));
      case wtInt64:
        src.take(b, 8);
        return QVariant(qint64(getU64(b)));
      case wtDouble: {
        src.take(b, 8);
        const uint64_t bits = getU64(b);
        double d;
        std::memcpy(&d, &bits, 8);
        return QVariant(d);
      }
      case wtSingle: {
        src.take(b, 4);
        const uint32_t bits = getU32(b);
        float f;
        std::memcpy(&f, &bits, 4);
        return QVariant(double(f));
      }
      case wtDateTime: {
        src.take(b, 8);
        const auto ms = int64_t(getU64(b));
        if (!col.haveDate || col.dateMs != ms) {
          col.date = daysToDateTime(double(ms) / 86400000.0 + 25569.0, col.zone);
          col.dateMs = ms;
          col.haveDate = true;
        }
        return QVariant(col.date);
      }
      case wtShortString:
        if (col.type == ftBytes) break;
        src.take(b, 1);
        {
          const int len = uint8_t(b[0]);
          src.take(b, len);
          return QVariant(ansiToString(b, len));
        }
      default:
        break;
    }
    if constexpr (std::is_same_v<Source, FromBuffer>) {
      throw PastBuffer{};  // rare kinds are read from the socket
    } else {
      const WireValue v = tr_.recvTaggedVariant(tag, kRowValueTimeout);
      return col.type == ftBytes && !v.isNull() ? QVariant(v.ansiPayload()) : v.toQVariant();
    }
  }

  // A value into its column's storage kind.
  static void convert(Column& col, QVariant& v) {
    if (col.storage != QMetaType::UnknownType && v.typeId() != col.storage && v.isValid()) {
      try {
        v = plat::convertToFieldType(col.type, v);
      } catch (...) {
        v = QVariant();  // as a refused assignment leaves the field
        throw;
      }
    }
  }

  // One row read in place, where it lies whole in the bytes the socket has
  // buffered: its values are built straight in their places (a new row's
  // places hold Nulls, which need no destructor). Where it runs past those
  // bytes, or holds a rare kind of value or a failure, the result is
  // Fallback: what it changed is put back, and `added` is the emptied row it
  // added, if any, for the ordinary read to fill.
  InPlace rowInPlace(plat::MemTable::RowAppender& rows, QVariant*& added) {
    plat::TcpClient* socket = tr_.socket();
    const std::string_view buf = socket ? socket->buffered() : std::string_view();
    if (buf.empty()) return InPlace::Fallback;
    FromBuffer src{buf.data(), buf.data() + buf.size(), crypt_, !crypt_.key().isEmpty()};
    const int cryptIndex = crypt_.index();
    const uint8_t cryptLast = crypt_.last();
    try {
      char m[2];
      src.take(m, 2);
      if (uint8_t(m[0]) != wtInt8 || m[1] == 2) throw PastBuffer{};
      if (m[1] == 1) {
        socket->skipBuffered(int(src.at - buf.data()));
        return InPlace::End;
      }
      added = rows.AddRow();
      for (size_t c = 0; c < cols_.size(); ++c) {
        QVariant* slot = added + c;
        try {
          new (slot) QVariant(readValue(src, cols_[c]));
        } catch (...) {
          new (slot) QVariant();
          throw;
        }
        convert(cols_[c], *slot);
      }
      socket->skipBuffered(int(src.at - buf.data()));
      markerTimeout_ = kValueTimeout;
      return InPlace::Appended;
    } catch (...) {
      restoreForFallback(cryptIndex, cryptLast, added);
      return InPlace::Fallback;
    }
  }

  // The scrambler back where the row began, and the row's values back to
  // Nulls, so that the ordinary read takes the same bytes into the same row.
  void restoreForFallback(int cryptIndex, uint8_t cryptLast, QVariant* added) {
    crypt_.restore(cryptIndex, cryptLast);
    if (added)
      for (size_t c = 0; c < cols_.size(); ++c) added[c] = QVariant();
  }

  // One row the ordinary way: the marker and each value from the socket with
  // their waits, every failure as it always was. Fills `added` when the
  // in-place read left one. False at the end.
  bool rowOrdinary(plat::MemTable::RowAppender& rows, QVariant* added) {
    try {
      if (!nextRow()) {
        if (added) rows.DropLastRow();
        return false;
      }
    } catch (...) {
      if (added) rows.DropLastRow();
      throw;
    }
    QVariant* row = added ? added : rows.AddRow();
    FromSocket src{*this};
    size_t done = 0;
    try {
      for (; done < cols_.size(); ++done) {
        row[done] = readValue(src, cols_[done]);
        convert(cols_[done], row[done]);
      }
    } catch (...) {
      // As a failed row by Append and Post: kept with what it got, unless
      // it got nothing.
      if (done == 0) rows.DropLastRow();
      throw;
    }
    return true;
  }

  TJTransport& tr_;
  Scrambler& crypt_;
  std::vector<Column> cols_;
  int markerTimeout_;
};

}  // namespace

void TJTransport::recvTable(plat::MemTable* D, int timeout) {
  if (!D) {
    dropTable(*this);
    return;
  }
  fTablesChanged = true;
  plat::MemTable& t = *D;
  QuietTable quiet(t);
  std::optional<QString> keptId = currentId(t);
  t.Close();
  t.ClearFields();
  const std::vector<TFieldType> types = readTableHeader(*this, t);
  t.Open();
  // Declared after `quiet`, so the fields and the row are back before the
  // table's own handlers.
  QuietFields fields(t, types.size(), std::move(keptId));
  RowReader rows(*this, recvCrypt_, types, timeout);
  if (t.CanAppendRowsInPlace())
    rows.appendRows(t);
  else
    rows.postRows(t, fields);
}

// ---- writing ----

void writeTableHeader(QByteArray& out, const std::vector<TableColumn>& columns) {
  encodeValue(out, WireValue(int(columns.size())));
  for (const auto& c : columns) {
    encodeValue(out, WireValue(c.name));
    encodeValue(out, WireValue(c.javaType));
    encodeValue(out, WireValue(c.size));
    encodeValue(out, WireValue(c.precision));
  }
}

void writeTableRow(QByteArray& out, const TVariantArray& values) {
  encodeValue(out, WireValue::byte(0));
  for (const auto& v : values) encodeValue(out, v);
}

void writeTableEnd(QByteArray& out) {
  encodeValue(out, WireValue::byte(1));
}

void writeTable(QByteArray& out, plat::MemTable& table) {
  std::vector<TableColumn> cols;
  for (int i = 0; i < table.FieldCount(); ++i) {
    plat::Field* f = table.FieldByIndex(i);
    TableColumn c;
    c.name = f->FieldName();
    c.javaType = TJTransport::fieldTypeToJavaType(f->DataType());
    c.size = f->Size();
    c.precision = (f->DataType() == ftFloat || f->DataType() == ftBCD) ? f->Precision() : 0;
    cols.push_back(c);
  }
  encodeValue(out, WireValue(int(cols.size())));
  for (int i = 0; i < int(cols.size()); ++i) {
    encodeValue(out, WireValue(cols[size_t(i)].name));
    encodeValue(out, WireValue(cols[size_t(i)].javaType));
    encodeValue(out, WireValue(cols[size_t(i)].size));
    plat::Field* f = table.FieldByIndex(i);
    if (f->DataType() == ftFloat || f->DataType() == ftBCD)
      encodeValue(out, WireValue(f->Precision()));
    else
      encodeValue(out, WireValue::byte(0));
  }
  table.First();
  while (!table.Eof()) {
    encodeValue(out, WireValue::byte(0));
    for (int i = 0; i < table.FieldCount(); ++i)
      encodeValue(out, WireValue::fromQVariant(table.FieldByIndex(i)->Value()));
    table.Next();
  }
  writeTableEnd(out);
}
