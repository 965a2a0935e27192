#include "testbed/SimDatabase.h"

#include <sqlite3.h>

#include <QRegularExpression>
#include <QTimeZone>
#include <QXmlStreamReader>
#include <cmath>
#include <limits>
#include <optional>

namespace sim {
namespace {

// Dates are kept as text in this one form, so that they sort and compare.
const QString kDateTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");

QString dateTimeText(const QDateTime& dt) {
  return dt.toString(kDateTimeFormat);
}

QDateTime parseDateTime(const QString& text) {
  static const char* const formats[] = {"yyyy-MM-dd HH:mm:ss.zzz", "yyyy-MM-dd HH:mm:ss",
                                        "yyyy-MM-ddTHH:mm:ss.zzz", "yyyy-MM-ddTHH:mm:ss",
                                        "yyyy-MM-dd HH:mm",        "yyyy-MM-dd"};
  const QString t = text.trimmed();
  for (const char* f : formats) {
    QDateTime dt = QDateTime::fromString(t, QString::fromLatin1(f));
    if (dt.isValid()) return dt;
  }
  return {};
}

qint64 toKop(double roubles) {
  return std::llround(roubles * 100.0);
}
double fromKop(qint64 kop) {
  return double(kop) / 100.0;
}

QString moneyText(qint64 kop) {
  return QString::number(double(kop) / 100.0, 'f', 2);
}

bool isIdentifier(const QString& name) {
  static const QRegularExpression re(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
  return re.match(name).hasMatch();
}

QString identifier(const QString& name) {
  if (!isIdentifier(name)) throw ESimRefused(QStringLiteral("Недопустимое имя: \"%1\".").arg(name));
  return QLatin1Char('"') + name + QLatin1Char('"');
}

const char* const kSchema = R"sql(
create table if not exists tbUser(id integer primary key, login varchar(50) not null unique,
  password varchar(50), name varchar(100));
create table if not exists tbConst(constType integer primary key, value varchar(1000));
create table if not exists tbSimOption(name varchar(50) primary key, value bigint);
create table if not exists tbManufacturer(id integer primary key, name varchar(100), eva_code varchar(20));
create table if not exists tbVmModel(id integer primary key, name varchar(100), vmKind_id integer,
  manufacturer_id integer, isTrevalo smallint, eva_code varchar(20), eva_pricelist_card integer,
  eva_pricelist_price1 integer, drink_prefix varchar(10), snack_prefix varchar(10), snack_shelf integer,
  snack_spiral integer, min_snack_cell integer, drink_count integer, min_drink_cell integer);
create table if not exists tbTerminal(id integer primary key, imei varchar(50), software_version varchar(50),
  hardware_version varchar(50), os_version varchar(300), vekta_refresh_config_dt timestamp,
  isConnected smallint, connection_tm timestamp, pm_mdb_cshls1Fiscal smallint, pm_QRP_SBP smallint,
  yandex_badge smallint, cardProject_id integer);
create table if not exists tbVmSettings(id integer primary key, name varchar(100), timetable text,
  vekta_max_drinks_per_page integer, vekta_service_password varchar(50), vekta_drink_after_payment smallint,
  vekta_carimali_machine smallint, vekta_manual_barcodes smallint, vekta_support_phone varchar(50),
  vekta_qr_code_delay integer, vekta_recycle_warning_delay integer, vekta_recycle_reset_delay integer,
  vekta_bar_code_delay integer, vekta_wallpaper_period integer, vekta_wallpaper_delay integer,
  vekta_wallpaper_files varchar(4000), vekta_loyaltySystem_id integer);
create table if not exists tbVm(id integer primary key, name varchar(100), vmModel_id integer,
  protocolSerialNumber varchar(50), serialNumber varchar(50), vmProtocol_id integer, terminal_id integer,
  vmSettings_id integer, last_docVmService_id integer, eva_err_codes varchar(255), eva_err_codes_dt timestamp);
create table if not exists tbNomenclature(id integer primary key, name varchar(200), fullName varchar(500),
  barcode varchar(1000), price double precision, parent_id integer, isFolder smallint default 0,
  nomenclatureType_id integer, base_okei_id integer);
create table if not exists tbDocVmService(id integer primary key, docDt timestamp, vm_id integer,
  vmServiceKind_id integer, firm_id integer, new_currency_id integer, new_currencyRate double precision,
  xml text);
create table if not exists tbDocVmServiceSale(id integer primary key, docVmService_id integer not null,
  cell integer, isSnack smallint, new_nomenclature_id integer, new_normal_price double precision,
  new_card_price double precision, disconnected smallint);
create table if not exists tbLoyaltySystem(id integer primary key, name varchar(100), card_mask varchar(100));
create table if not exists tbCarimaliRecipe(id integer primary key, vm_id integer, cell integer,
  recipe varchar(255), recipe_descr varchar(1000), loaded_to_vm smallint);
create table if not exists tbTerminalLog(id integer primary key, vm_id integer, terminal_id integer,
  event_dt timestamp, event_id integer, event_no bigint, event_descr varchar(4000), creditSource_id integer,
  amount double precision, cell integer, nomenclature_id integer, cardProject_id integer, card_no varchar(50),
  loyaltySystem_id integer, loayalty_card_no varchar(50), discount double precision);
create unique index if not exists UNTBTERMINALLOG on tbTerminalLog(terminal_id, event_no);
create table if not exists tbVmAudit(id integer primary key, vm_id integer, terminal_id integer,
  prgName varchar(50), audit_dt timestamp, auditReason_id integer, audit_file text, status smallint);

create table if not exists tbFiscalCheck(id integer primary key, pmVmId varchar(20), firm_id bigint,
  sale_dt timestamp, sale_no bigint, isOnline smallint, cash_kop bigint, cashless_kop bigint,
  goods_key text, check_dt timestamp, shiftNo integer, checkNumberInShift integer, fdNumber bigint,
  fp bigint, fnSerialNumber varchar(20), asks integer);
create table if not exists tbFiscalCheckPosition(id integer primary key, check_id integer,
  nomenclature_id integer, name varchar(200), price_kop bigint, quantity integer);
create table if not exists tbSbpSession(id integer primary key, vm_id integer, amount double precision,
  qr_code varchar(500), created_dt timestamp, polls integer, polls_to_pay integer, result integer,
  status integer);
create table if not exists tbBadgePayment(id integer primary key, vm_id integer, payment_dt timestamp,
  amount double precision, positions text);
create table if not exists tbIdentityCard(id integer primary key, card_no varchar(50) not null unique,
  holder varchar(100), cardProject_id integer, balance double precision);
create table if not exists tbIdentityCardPayment(id integer primary key, card_id integer, vm_id integer,
  payment_dt timestamp, amount double precision, initial_balance double precision,
  final_balance double precision, payment_done smallint);
create table if not exists tbLoyaltyCard(id integer primary key, loyaltySystem_id integer,
  barcode varchar(50) not null unique, user_id bigint, first_name varchar(100), last_name varchar(100),
  phone varchar(50), template varchar(100), loyalty_level varchar(50), discount_percent double precision,
  cashback_percent double precision, writeoff_percent double precision, points double precision,
  isActive smallint);
create table if not exists tbLoyaltyOperation(id integer primary key, card_id integer, vm_id integer,
  operation_dt timestamp, amount double precision, positions text, allowed double precision,
  will_add double precision, discount_summ double precision, written_off double precision,
  submitted smallint);
create table if not exists tbVmStateLog(id integer primary key, vm_id integer, state_dt timestamp,
  eva_err_codes varchar(255));
create table if not exists tbPushChannel(id integer primary key, vm_id integer, connection_id bigint,
  registered_dt timestamp);
insert or ignore into tbConst(constType, value) values (1002, '1');
)sql";

// --- SQL dialect rewrite ----------------------------------------------------

struct Token {
  enum Kind { Word, Number, String, Quoted, Space, Param, Punct } kind;
  QString text;
};

bool isIdentChar(QChar c) {
  return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('$');
}

QList<Token> tokenize(const QString& s) {
  QList<Token> out;
  const int n = int(s.size());
  int i = 0;
  while (i < n) {
    const QChar c = s[i];
    int j = i + 1;
    Token::Kind kind = Token::Punct;
    if (c.isSpace()) {
      while (j < n && s[j].isSpace()) ++j;
      kind = Token::Space;
    } else if (c == QLatin1Char('-') && j < n && s[j] == QLatin1Char('-')) {
      while (j < n && s[j] != QLatin1Char('\n')) ++j;
      kind = Token::Space;
    } else if (c == QLatin1Char('/') && j < n && s[j] == QLatin1Char('*')) {
      const int end = int(s.indexOf(QLatin1String("*/"), j + 1));
      j = end < 0 ? n : end + 2;
      kind = Token::Space;
    } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
      // A doubled quote inside stays part of the literal.
      while (j < n) {
        if (s[j] == c) {
          if (j + 1 < n && s[j + 1] == c) {
            j += 2;
            continue;
          }
          ++j;
          break;
        }
        ++j;
      }
      kind = c == QLatin1Char('\'') ? Token::String : Token::Quoted;
    } else if (c == QLatin1Char('?')) {
      // Named markers ("?name", "?1") bind by position like a bare "?".
      while (j < n && isIdentChar(s[j])) ++j;
      out.append({Token::Param, QStringLiteral("?")});
      i = j;
      continue;
    } else if (c.isDigit()) {
      while (j < n && (s[j].isDigit() || s[j] == QLatin1Char('.'))) ++j;
      kind = Token::Number;
    } else if (c.isLetter() || c == QLatin1Char('_')) {
      while (j < n && isIdentChar(s[j])) ++j;
      kind = Token::Word;
    }
    out.append({kind, s.mid(i, j - i)});
    i = j;
  }
  return out;
}

bool isWord(const Token& t, const char* w) {
  return t.kind == Token::Word && t.text.compare(QLatin1String(w), Qt::CaseInsensitive) == 0;
}

int nextSolid(const QList<Token>& toks, int i) {
  while (i < toks.size() && toks[i].kind == Token::Space) ++i;
  return i;
}

}  // namespace

QString SimDatabase::rewriteSql(const QString& sql) {
  QList<Token> toks = tokenize(sql);
  for (int i = 0; i < toks.size(); ++i) {
    Token& t = toks[i];
    if (isWord(t, "current_timestamp")) {
      // Local time with milliseconds, the form every stored date has.
      t.text = QStringLiteral("strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime')");
      continue;
    }
    if (isWord(t, "current_date")) {
      t.text = QStringLiteral("date('now', 'localtime')");
      continue;
    }
    if (!isWord(t, "select")) continue;
    const int f = nextSolid(toks, i + 1);
    if (f >= toks.size() || !isWord(toks[f], "first")) continue;
    const int n = nextSolid(toks, f + 1);
    if (n >= toks.size() || toks[n].kind != Token::Number) continue;
    QString limit = QStringLiteral(" limit ") + toks[n].text;
    int last = n;
    const int s = nextSolid(toks, n + 1);
    if (s < toks.size() && isWord(toks[s], "skip")) {
      const int m = nextSolid(toks, s + 1);
      if (m < toks.size() && toks[m].kind == Token::Number) {
        limit += QStringLiteral(" offset ") + toks[m].text;
        last = m;
      }
    }
    for (int k = f; k <= last; ++k) toks[k] = {Token::Space, QString()};
    if (last + 1 < toks.size() && toks[last + 1].kind == Token::Space) toks[last + 1].text.clear();
    // The clause goes where this select ends: its closing parenthesis, a
    // semicolon at its own level, or the end of the text.
    int depth = 0, end = int(toks.size());
    for (int k = last + 1; k < toks.size(); ++k) {
      const QString& x = toks[k].text;
      if (toks[k].kind != Token::Punct) continue;
      if (x == QLatin1String("(")) {
        ++depth;
      } else if (x == QLatin1String(")")) {
        if (depth == 0) {
          end = k;
          break;
        }
        --depth;
      } else if (x == QLatin1String(";") && depth == 0) {
        end = k;
        break;
      }
    }
    while (end > last + 1 && toks[end - 1].kind == Token::Space) --end;
    toks.insert(end, {Token::Space, limit});
  }
  QString out;
  for (const Token& t : toks) out += t.text;
  return out;
}

// --- statements -------------------------------------------------------------

class SimDatabase::Statement {
 public:
  Statement(const SimDatabase& owner, const QString& sql, QString* tail = nullptr) : owner_(owner) {
    const QByteArray utf8 = sql.toUtf8();
    const char* rest = nullptr;
    const int rc = sqlite3_prepare_v2(owner.db_, utf8.constData(), int(utf8.size()), &st_, &rest);
    if (rc != SQLITE_OK) owner.fail(rc);
    if (tail) *tail = QString::fromUtf8(rest ? rest : "");
  }
  ~Statement() { sqlite3_finalize(st_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  sqlite3_stmt* get() const { return st_; }
  bool empty() const { return st_ == nullptr; }

  void bindAll(const QVariantList& params, const QList<int>& jdbc = {}) {
    const int want = sqlite3_bind_parameter_count(st_);
    if (want != params.size())
      throw ESimRefused(
          QStringLiteral("Число параметров запроса (%1) не совпадает с числом маркеров (%2).")
              .arg(params.size())
              .arg(want));
    for (int i = 0; i < params.size(); ++i)
      bind(i + 1, params[i], i < jdbc.size() ? jdbc[i] : jdbcOther);
  }

  void bind(int index, const QVariant& v, int jdbc = jdbcOther) {
    int rc = SQLITE_OK;
    if (!v.isValid() || v.isNull()) {
      rc = sqlite3_bind_null(st_, index);
    } else {
      switch (v.typeId()) {
        case QMetaType::Bool:
          rc = sqlite3_bind_int64(st_, index, v.toBool() ? 1 : 0);
          break;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
        case QMetaType::Long:
        case QMetaType::ULong:
          rc = sqlite3_bind_int64(st_, index, v.toLongLong());
          break;
        case QMetaType::Double:
        case QMetaType::Float:
          rc = sqlite3_bind_double(st_, index, v.toDouble());
          break;
        case QMetaType::QDateTime:
          rc = bindText(index, dateTimeText(v.toDateTime()));
          break;
        case QMetaType::QDate:
          rc = bindText(index, v.toDate().toString(QStringLiteral("yyyy-MM-dd")));
          break;
        case QMetaType::QByteArray: {
          const QByteArray b = v.toByteArray();
          if (jdbc == jdbcVarchar || jdbc == jdbcChar || jdbc == jdbcClob)
            rc = sqlite3_bind_text(st_, index, b.constData(), int(b.size()), SQLITE_TRANSIENT);
          else
            rc = sqlite3_bind_blob(st_, index, b.constData(), int(b.size()), SQLITE_TRANSIENT);
          break;
        }
        default:
          rc = bindText(index, v.toString());
      }
    }
    if (rc != SQLITE_OK) owner_.fail(rc);
  }

  // Steps once; true while a row is there.
  bool step() {
    const int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    owner_.fail(rc);
  }

 private:
  int bindText(int index, const QString& s) {
    const QByteArray b = s.toUtf8();
    return sqlite3_bind_text(st_, index, b.constData(), int(b.size()), SQLITE_TRANSIENT);
  }

  const SimDatabase& owner_;
  sqlite3_stmt* st_ = nullptr;
};

namespace {

// A value as SQLite holds it, before the column's type is settled.
QVariant rawValue(sqlite3_stmt* st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
      return QVariant::fromValue<qint64>(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT:
      return sqlite3_column_double(st, i);
    case SQLITE_BLOB: {
      const void* p = sqlite3_column_blob(st, i);
      return QByteArray(static_cast<const char*>(p), sqlite3_column_bytes(st, i));
    }
    case SQLITE_TEXT: {
      const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
      return QString::fromUtf8(p, sqlite3_column_bytes(st, i));
    }
    default:
      return {};
  }
}

bool fitsInt32(qint64 v) {
  return v >= std::numeric_limits<qint32>::min() && v <= std::numeric_limits<qint32>::max();
}

// Column type from its declaration; 0 when the declaration says nothing.
Column declaredColumn(const QString& decl) {
  Column c;
  const QString d = decl.trimmed().toUpper();
  c.jdbcType = 0;
  if (d.isEmpty()) return c;
  static const QRegularExpression sized(QStringLiteral("\\((\\d+)"));
  if (d.contains(QLatin1String("BIGINT"))) {
    c.jdbcType = jdbcBigint;
  } else if (d.contains(QLatin1String("SMALLINT"))) {
    c.jdbcType = jdbcSmallint;
  } else if (d.contains(QLatin1String("BOOL"))) {
    c.jdbcType = jdbcBoolean;
  } else if (d.contains(QLatin1String("INT"))) {
    c.jdbcType = jdbcInteger;
  } else if (d.contains(QLatin1String("CHAR"))) {
    c.jdbcType = jdbcVarchar;
    const auto m = sized.match(d);
    c.size = m.hasMatch() ? m.captured(1).toInt() : 255;
  } else if (d.contains(QLatin1String("TEXT")) || d.contains(QLatin1String("CLOB")) ||
             d.contains(QLatin1String("MEMO"))) {
    c.jdbcType = jdbcClob;
  } else if (d.contains(QLatin1String("BLOB"))) {
    c.jdbcType = jdbcBlob;
  } else if (d.contains(QLatin1String("DOUB")) || d.contains(QLatin1String("FLOA")) ||
             d.contains(QLatin1String("REAL")) || d.contains(QLatin1String("NUMERIC")) ||
             d.contains(QLatin1String("DECIMAL"))) {
    c.jdbcType = jdbcDouble;
    c.size = 15;
  } else if (d.contains(QLatin1String("TIMESTAMP")) || d.contains(QLatin1String("DATETIME")) ||
             d == QLatin1String("DATE")) {
    c.jdbcType = jdbcTimestamp;
  }
  return c;
}

// Settles a column's type from its declaration and the values it holds.
void settleColumn(Column& c, const QList<QVariantList>& rows, int i) {
  bool anyInt = false, anyDouble = false, anyText = false, anyBlob = false, wide = false;
  int maxLen = 0;
  for (const QVariantList& r : rows) {
    const QVariant& v = r[i];
    switch (v.typeId()) {
      case QMetaType::LongLong:
        anyInt = true;
        wide = wide || !fitsInt32(v.toLongLong());
        maxLen = std::max(maxLen, int(v.toString().size()));
        break;
      case QMetaType::Double:
        anyDouble = true;
        break;
      case QMetaType::QString:
        anyText = true;
        maxLen = std::max(maxLen, int(v.toString().size()));
        break;
      case QMetaType::QByteArray:
        anyBlob = true;
        break;
      default:
        break;
    }
  }
  if (c.jdbcType == jdbcInteger && wide) c.jdbcType = jdbcBigint;
  if (c.jdbcType == jdbcVarchar) c.size = std::max({c.size, maxLen, 1});
  if (c.jdbcType == jdbcVarchar && c.size > kMaxStringSize) {
    c.jdbcType = jdbcClob;
    c.size = 0;
  }
  if (c.jdbcType != 0) return;
  if (anyBlob) {
    c.jdbcType = jdbcBlob;
  } else if (anyText) {
    c.jdbcType = maxLen > kMaxStringSize ? jdbcClob : jdbcVarchar;
    c.size = c.jdbcType == jdbcVarchar ? std::max(maxLen, 1) : 0;
  } else if (anyDouble) {
    c.jdbcType = jdbcDouble;
    c.size = 15;
  } else if (anyInt) {
    c.jdbcType = wide ? jdbcBigint : jdbcInteger;
  } else {
    c.jdbcType = jdbcVarchar;
    c.size = 1;
  }
}

QVariant typedValue(const QVariant& raw, int jdbc) {
  if (!raw.isValid()) return {};
  switch (jdbc) {
    case jdbcInteger:
    case jdbcSmallint:
      return QVariant::fromValue<qint32>(qint32(raw.toLongLong()));
    case jdbcBigint:
      return QVariant::fromValue<qint64>(raw.toLongLong());
    case jdbcDouble:
    case jdbcFloat:
      return raw.toDouble();
    case jdbcBoolean:
      return raw.typeId() == QMetaType::QString
                 ? QVariant(raw.toString() == QLatin1String("1") ||
                            raw.toString().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
                 : QVariant(raw.toLongLong() != 0);
    case jdbcTimestamp: {
      const QDateTime dt = parseDateTime(raw.toString());
      return dt.isValid() ? QVariant(dt) : QVariant();
    }
    case jdbcBlob:
      return raw.typeId() == QMetaType::QByteArray ? raw : QVariant(raw.toString().toUtf8());
    default:
      return raw.typeId() == QMetaType::QByteArray ? QVariant(QString::fromUtf8(raw.toByteArray()))
                                                   : QVariant(raw.toString());
  }
}

}  // namespace

// --- database ---------------------------------------------------------------

SimDatabase::SimDatabase(const QString& path) : path_(path) {
  const QByteArray p = path.toUtf8();
  const int rc =
      sqlite3_open_v2(p.constData(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const QString msg =
        db_ ? QString::fromUtf8(sqlite3_errmsg(db_)) : QStringLiteral("out of memory");
    sqlite3_close(db_);
    db_ = nullptr;
    throw Exception(QStringLiteral("Cannot open database %1: %2").arg(path, msg));
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, 5000);
  try {
    execLocked(QStringLiteral("pragma journal_mode = wal"), {});
    execLocked(QStringLiteral("pragma synchronous = normal"), {});
    createSchema();
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

SimDatabase::~SimDatabase() {
  sqlite3_close(db_);
}

void SimDatabase::createSchema() {
  char* err = nullptr;
  if (sqlite3_exec(db_, kSchema, nullptr, nullptr, &err) != SQLITE_OK) {
    const QString msg = QString::fromUtf8(err ? err : "?");
    sqlite3_free(err);
    throw Exception(QStringLiteral("Cannot create the tables: ") + msg);
  }
}

QString SimDatabase::sqliteMessage(int rc) const {
  const QString msg = QString::fromUtf8(sqlite3_errmsg(db_));
  if (rc != SQLITE_CONSTRAINT_UNIQUE && rc != SQLITE_CONSTRAINT_PRIMARYKEY) return msg;
  // Callers look for the violated constraint's name, as a server database
  // reports it; SQLite names only the columns, so find the index they form.
  static const QRegularExpression re(QStringLiteral("failed: (\\w+)\\.(.*)$"));
  const auto m = re.match(msg);
  if (!m.hasMatch()) return msg;
  const QString table = m.captured(1);
  QStringList cols;
  for (const QString& part : (table + QLatin1Char('.') + m.captured(2)).split(QLatin1Char(',')))
    cols << part.trimmed().section(QLatin1Char('.'), 1);
  QString name;
  sqlite3_stmt* list = nullptr;
  const QByteArray tb = table.toUtf8();
  if (sqlite3_prepare_v2(db_, "select name from pragma_index_list(?1) where \"unique\" = 1", -1,
                         &list, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(list, 1, tb.constData(), int(tb.size()), SQLITE_TRANSIENT);
    while (name.isEmpty() && sqlite3_step(list) == SQLITE_ROW) {
      const QString index =
          QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)));
      sqlite3_stmt* info = nullptr;
      const QByteArray ix = index.toUtf8();
      QStringList have;
      if (sqlite3_prepare_v2(db_, "select name from pragma_index_info(?1) order by seqno", -1,
                             &info, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(info, 1, ix.constData(), int(ix.size()), SQLITE_TRANSIENT);
        while (sqlite3_step(info) == SQLITE_ROW)
          have << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(info, 0)));
      }
      sqlite3_finalize(info);
      if (have.join(QLatin1Char(',')).compare(cols.join(QLatin1Char(',')), Qt::CaseInsensitive) ==
          0)
        name = index;
    }
  }
  sqlite3_finalize(list);
  if (name.isEmpty() || name.startsWith(QLatin1String("sqlite_autoindex")))
    name = QStringLiteral("PK_") + table;
  return QStringLiteral("violation of PRIMARY or UNIQUE KEY constraint \"%1\" on table \"%2\" (%3)")
      .arg(name.toUpper(), table.toUpper(), msg);
}

void SimDatabase::fail(int rc) const {
  throw ESimRefused(sqliteMessage(rc));
}

void SimDatabase::inTransaction(const std::function<void()>& body) {
  std::lock_guard lock(mutex_);
  execLocked(QStringLiteral("savepoint sim"), {});
  try {
    body();
    execLocked(QStringLiteral("release sim"), {});
  } catch (...) {
    sqlite3_exec(db_, "rollback to sim; release sim", nullptr, nullptr, nullptr);
    throw;
  }
}

template <class F>
auto SimDatabase::transaction(F&& body) -> decltype(body()) {
  if constexpr (std::is_void_v<decltype(body())>) {
    inTransaction(body);
  } else {
    std::optional<decltype(body())> result;
    inTransaction([&] { result.emplace(body()); });
    return std::move(*result);
  }
}

ResultSet SimDatabase::selectLocked(const QString& sqliteSql, const QVariantList& params) {
  QString tail;
  Statement st(*this, sqliteSql, &tail);
  if (st.empty()) throw ESimRefused(QStringLiteral("Пустой текст запроса."));
  static const QRegularExpression blankTail(QStringLiteral("^[\\s;]*$"));
  if (!blankTail.match(tail).hasMatch())
    throw ESimRefused(QStringLiteral("Запрос должен быть одним оператором."));
  st.bindAll(params);
  ResultSet rs;
  const int n = sqlite3_column_count(st.get());
  for (int i = 0; i < n; ++i) {
    Column c = declaredColumn(QString::fromUtf8(sqlite3_column_decltype(st.get(), i)));
    c.name = QString::fromUtf8(sqlite3_column_name(st.get(), i));
    rs.columns.append(c);
  }
  while (st.step()) {
    QVariantList row;
    row.reserve(n);
    for (int i = 0; i < n; ++i) row.append(rawValue(st.get(), i));
    rs.rows.append(std::move(row));
  }
  for (int i = 0; i < n; ++i) settleColumn(rs.columns[i], rs.rows, i);
  for (QVariantList& row : rs.rows)
    for (int i = 0; i < n; ++i) row[i] = typedValue(row[i], rs.columns[i].jdbcType);
  return rs;
}

qint64 SimDatabase::execLocked(const QString& sqliteSql, const QVariantList& params) {
  QString rest = sqliteSql;
  qint64 changes = 0;
  int used = 0;
  // Several statements may come in one text; parameters are taken in order.
  while (!rest.trimmed().isEmpty()) {
    QString tail;
    Statement st(*this, rest, &tail);
    rest = tail;
    if (st.empty()) continue;
    const int want = sqlite3_bind_parameter_count(st.get());
    if (used + want > params.size())
      throw ESimRefused(QStringLiteral("Число параметров запроса (%1) меньше числа маркеров.")
                            .arg(params.size()));
    st.bindAll(params.mid(used, want));
    used += want;
    while (st.step()) {
    }
    changes += sqlite3_changes(db_);
  }
  if (used != params.size())
    throw ESimRefused(QStringLiteral("Число параметров запроса (%1) больше числа маркеров (%2).")
                          .arg(params.size())
                          .arg(used));
  return changes;
}

QVariant SimDatabase::scalar(const QString& sqliteSql, const QVariantList& params) {
  Statement st(*this, sqliteSql);
  st.bindAll(params);
  return st.step() ? rawValue(st.get(), 0) : QVariant();
}

ResultSet SimDatabase::select(const QString& sql, const QVariantList& params) {
  std::lock_guard lock(mutex_);
  return selectLocked(rewriteSql(sql), params);
}

qint64 SimDatabase::exec(const QString& sql, const QVariantList& params) {
  return transaction([&] { return execLocked(rewriteSql(sql), params); });
}

// --- records ----------------------------------------------------------------

qint64 SimDatabase::insertRecord(const QString& table, const QString& keyField,
                                 const QList<FieldValue>& fields) {
  QStringList names, marks;
  QVariantList values;
  QList<int> types;
  for (const FieldValue& f : fields) {
    names << identifier(f.name);
    marks << QStringLiteral("?");
    values << f.value;
    types << f.jdbcType;
  }
  const QString sql = names.isEmpty()
                          ? QStringLiteral("insert into %1 default values returning %2")
                                .arg(identifier(table), identifier(keyField))
                          : QStringLiteral("insert into %1 (%2) values (%3) returning %4")
                                .arg(identifier(table), names.join(QLatin1Char(',')),
                                     marks.join(QLatin1Char(',')), identifier(keyField));
  return transaction([&] {
    Statement st(*this, sql);
    st.bindAll(values, types);
    if (!st.step()) throw ESimRefused(QStringLiteral("Запись не добавлена."));
    const qint64 key = sqlite3_column_int64(st.get(), 0);
    while (st.step()) {
    }
    return key;
  });
}

qint64 SimDatabase::updateRecord(const QString& table, const QString& keyField, const QVariant& key,
                                 const QList<FieldValue>& fields) {
  if (fields.isEmpty()) return 0;
  QStringList sets;
  QVariantList values;
  QList<int> types;
  for (const FieldValue& f : fields) {
    sets << identifier(f.name) + QStringLiteral(" = ?");
    values << f.value;
    types << f.jdbcType;
  }
  values << key;
  types << jdbcOther;
  const QString sql =
      QStringLiteral("update %1 set %2 where %3 = ?")
          .arg(identifier(table), sets.join(QStringLiteral(", ")), identifier(keyField));
  return transaction([&] {
    Statement st(*this, sql);
    st.bindAll(values, types);
    while (st.step()) {
    }
    return qint64(sqlite3_changes(db_));
  });
}

qint64 SimDatabase::postRecord(const QString& table, const QString& keyField, const FieldValue& key,
                               const QList<FieldValue>& fields) {
  return transaction([&] {
    if (key.value.isValid() && !key.value.isNull() &&
        scalar(QStringLiteral("select 1 from %1 where %2 = ?")
                   .arg(identifier(table), identifier(keyField)),
               {key.value})
            .isValid()) {
      updateRecord(table, keyField, key.value, fields);
      return key.value.toLongLong();
    }
    QList<FieldValue> all = fields;
    if (key.value.isValid() && !key.value.isNull())
      all.prepend({keyField, key.jdbcType, key.value});
    return insertRecord(table, keyField, all);
  });
}

qint64 SimDatabase::deleteRecord(const QString& table, const QString& keyField,
                                 const QVariant& key) {
  return transaction([&] {
    return execLocked(
        QStringLiteral("delete from %1 where %2 = ?").arg(identifier(table), identifier(keyField)),
        {key});
  });
}

void SimDatabase::batchInsert(const QString& table, const QStringList& fields,
                              const QList<QVariantList>& records) {
  transaction([&] {
    for (const QVariantList& r : records) {
      if (r.size() != fields.size())
        throw ESimRefused(QStringLiteral("Неверное число значений записи (%1 при %2 полях).")
                              .arg(r.size())
                              .arg(fields.size()));
      QList<FieldValue> fv;
      for (int i = 0; i < fields.size(); ++i) fv.append({fields[i], jdbcOther, r[i]});
      QStringList names, marks;
      QVariantList values;
      for (const FieldValue& f : fv) {
        names << identifier(f.name);
        marks << QStringLiteral("?");
        values << f.value;
      }
      execLocked(
          QStringLiteral("insert into %1 (%2) values (%3)")
              .arg(identifier(table), names.join(QLatin1Char(',')), marks.join(QLatin1Char(','))),
          values);
    }
  });
}

// --- users, constants, options ----------------------------------------------

bool SimDatabase::checkLogin(const QString& login, const QString& password, qint32* userId,
                             QString* userName) {
  std::lock_guard lock(mutex_);
  Statement st(*this, QStringLiteral("select id, name, password from tbUser where login = ?"));
  st.bindAll({login});
  if (!st.step()) return false;
  if (rawValue(st.get(), 2).toString() != password) return false;
  if (userId) *userId = qint32(sqlite3_column_int64(st.get(), 0));
  if (userName) *userName = rawValue(st.get(), 1).toString();
  return true;
}

QString SimDatabase::constValue(int constType) {
  std::lock_guard lock(mutex_);
  return scalar(QStringLiteral("select value from tbConst where constType = ?"), {constType})
      .toString();
}

void SimDatabase::setConstValue(int constType, const QString& value) {
  transaction([&] {
    execLocked(QStringLiteral("insert or replace into tbConst(constType, value) values (?, ?)"),
               {constType, value});
  });
}

qint64 SimDatabase::option(const QString& name, qint64 fallback) {
  std::lock_guard lock(mutex_);
  const QVariant v = scalar(QStringLiteral("select value from tbSimOption where name = ?"), {name});
  return v.isValid() ? v.toLongLong() : fallback;
}

void SimDatabase::setOption(const QString& name, qint64 value) {
  transaction([&] {
    execLocked(QStringLiteral("insert or replace into tbSimOption(name, value) values (?, ?)"),
               {name, value});
  });
}

// --- fiscal checks ----------------------------------------------------------

FiscalCheck SimDatabase::saleReport(const SaleReport& r) {
  if (r.goods.isEmpty()) throw ESimRefused(QStringLiteral("Чек без позиций."));
  qint64 sum = 0;
  QStringList key;
  for (const SaleGood& g : r.goods) {
    if (g.quantity <= 0 || g.priceKop < 0)
      throw ESimRefused(QStringLiteral("Неверная позиция чека: %1, цена %2, количество %3.")
                            .arg(g.name, moneyText(g.priceKop))
                            .arg(g.quantity));
    sum += g.priceKop * g.quantity;
    key << QStringLiteral("%1:%2:%3").arg(g.nomenclatureId).arg(g.priceKop).arg(g.quantity);
  }
  // A register refuses a check whose positions do not add up to the payment.
  if (sum != r.cashKop + r.cashlessKop)
    throw ESimRefused(QStringLiteral("Сумма позиций чека (%1) не совпадает с суммой оплаты (%2).")
                          .arg(moneyText(sum), moneyText(r.cashKop + r.cashlessKop)));
  const QString goodsKey = key.join(QLatin1Char(';'));
  const QString saleDt = dateTimeText(r.dt);
  const qint64 fdDelay = option(QStringLiteral("fiscal_fd_delay"), 0);

  return transaction([&] {
    // The kiosk resends an identical report while it waits for the fiscal
    // data; the same sale must not become a second check.
    QVariant id =
        scalar(QStringLiteral(
                   "select id from tbFiscalCheck where pmVmId = ? and sale_dt = ? and sale_no = ? "
                   "and cash_kop = ? and cashless_kop = ? and goods_key = ?"),
               {r.pmVmId, saleDt, r.saleNo, r.cashKop, r.cashlessKop, goodsKey});
    if (id.isValid()) {
      execLocked(QStringLiteral("update tbFiscalCheck set asks = asks + 1 where id = ?"), {id});
    } else {
      const QDateTime now = QDateTime::currentDateTime();
      const QDateTime checkDt = now.addMSecs(-now.time().msec());
      qint64 shift = 1, number = 1;
      ResultSet last = selectLocked(
          QStringLiteral("select check_dt, shiftNo, checkNumberInShift from tbFiscalCheck "
                         "where pmVmId = ? order by id desc limit 1"),
          {r.pmVmId});
      if (!last.rows.isEmpty()) {
        const QDateTime lastDt = last.rows[0][0].toDateTime();
        shift = last.rows[0][1].toLongLong();
        number = last.rows[0][2].toLongLong() + 1;
        // A new day opens a new shift.
        if (lastDt.date() != checkDt.date()) {
          ++shift;
          number = 1;
        }
      }
      id = insertRecord(
          QStringLiteral("tbFiscalCheck"), QStringLiteral("id"),
          {{QStringLiteral("pmVmId"), jdbcVarchar, r.pmVmId},
           {QStringLiteral("firm_id"), jdbcBigint, r.firmId},
           {QStringLiteral("sale_dt"), jdbcVarchar, saleDt},
           {QStringLiteral("sale_no"), jdbcBigint, r.saleNo},
           {QStringLiteral("isOnline"), jdbcSmallint, r.online ? 1 : 0},
           {QStringLiteral("cash_kop"), jdbcBigint, r.cashKop},
           {QStringLiteral("cashless_kop"), jdbcBigint, r.cashlessKop},
           {QStringLiteral("goods_key"), jdbcVarchar, goodsKey},
           {QStringLiteral("check_dt"), jdbcTimestamp, checkDt},
           {QStringLiteral("shiftNo"), jdbcInteger, shift},
           {QStringLiteral("checkNumberInShift"), jdbcInteger, number},
           {QStringLiteral("fdNumber"), jdbcBigint, 0},
           {QStringLiteral("fp"), jdbcBigint, 0},
           {QStringLiteral("fnSerialNumber"), jdbcVarchar, QStringLiteral("9999078902004821")},
           {QStringLiteral("asks"), jdbcInteger, 1}});
      for (const SaleGood& g : r.goods)
        execLocked(
            QStringLiteral(
                "insert into tbFiscalCheckPosition(check_id, nomenclature_id, name, price_kop, "
                "quantity) values (?, ?, ?, ?, ?)"),
            {id, g.nomenclatureId, g.name, g.priceKop, g.quantity});
    }
    // Fiscal data come once the report has been asked for more often than
    // the configured delay.
    execLocked(
        QStringLiteral(
            "update tbFiscalCheck set fdNumber = (select coalesce(max(fdNumber), 0) + 1 from "
            "tbFiscalCheck), fp = ((id * 2654435761 + 97531) % 4294967291) + 1 "
            "where id = ? and fdNumber = 0 and asks > ?"),
        {id, fdDelay});
    ResultSet rs = selectLocked(
        QStringLiteral("select id, fdNumber, fp, check_dt, shiftNo, checkNumberInShift, "
                       "fnSerialNumber from tbFiscalCheck where id = ?"),
        {id});
    const QVariantList& row = rs.rows.at(0);
    FiscalCheck c;
    c.id = row[0].toInt();
    c.fdNumber = quint32(row[1].toLongLong());
    c.fp = quint32(row[2].toLongLong());
    c.dt = row[3].toDateTime();
    c.shiftNo = quint16(row[4].toInt());
    c.checkNumberInShift = quint16(row[5].toInt());
    c.fnSerialNumber = row[6].toString();
    return c;
  });
}

// --- SBP --------------------------------------------------------------------

SbpSession SimDatabase::sbpCreateSession(qint32 vmId, double amount) {
  const qint64 kop = toKop(amount);
  if (!(amount > 0) || kop <= 0)
    throw ESimRefused(QStringLiteral("Неверная сумма платежа: %1.").arg(amount));
  const qint64 polls = option(QStringLiteral("sbp_polls"), 3);
  const qint64 result = option(QStringLiteral("sbp_result"), 1);
  return transaction([&] {
    // Session ids beyond 32 bits, as the payment system hands them out.
    const qint64 id =
        scalar(QStringLiteral("select max(coalesce(max(id), 0), 7000000000) + 1 from tbSbpSession"))
            .toLongLong();
    SbpSession s;
    s.sessionId = id;
    s.qrCode = QStringLiteral(
                   "https://qr.nspk.ru/AS1000%1?type=02&bank=100000000111&sum=%2&cur=RUB&crc=%3")
                   .arg(id)
                   .arg(kop)
                   .arg(QString::number(quint16(id * 40503u), 16)
                            .toUpper()
                            .rightJustified(4, QLatin1Char('0')));
    execLocked(
        QStringLiteral(
            "insert into tbSbpSession(id, vm_id, amount, qr_code, created_dt, polls, polls_to_pay, "
            "result, status) values (?, ?, ?, ?, ?, 0, ?, ?, 0)"),
        {id, vmId, fromKop(kop), s.qrCode, dateTimeText(QDateTime::currentDateTime()), polls,
         result});
    return s;
  });
}

qint32 SimDatabase::sbpSessionStatus(qint64 sessionId) {
  return transaction([&] {
    ResultSet rs = selectLocked(
        QStringLiteral("select polls, polls_to_pay, result, status from tbSbpSession where id = ?"),
        {sessionId});
    if (rs.rows.isEmpty())
      throw ESimRefused(QStringLiteral("Платёжная сессия %1 не найдена.").arg(sessionId));
    const qint64 polls = rs.rows[0][0].toLongLong() + 1;
    qint64 status = rs.rows[0][3].toLongLong();
    // The first polls_to_pay polls find the session still open.
    if (status == 0 && polls > rs.rows[0][1].toLongLong()) status = rs.rows[0][2].toLongLong();
    execLocked(QStringLiteral("update tbSbpSession set polls = ?, status = ? where id = ?"),
               {polls, status, sessionId});
    return qint32(status);
  });
}

// --- machine state, documents ----------------------------------------------

void SimDatabase::vmState(qint32 vmId, const QString& evaErrorCodes) {
  transaction([&] {
    const QString now = dateTimeText(QDateTime::currentDateTime());
    execLocked(
        QStringLiteral("insert into tbVmStateLog(vm_id, state_dt, eva_err_codes) values (?, ?, ?)"),
        {vmId, now, evaErrorCodes});
    execLocked(
        QStringLiteral("update tbVm set eva_err_codes = ?, eva_err_codes_dt = ? where id = ?"),
        {evaErrorCodes, now, vmId});
  });
}

qint32 SimDatabase::sendDocument(const QString& tableName, const QString& xml) {
  if (tableName.compare(QLatin1String("tbDocVmService"), Qt::CaseInsensitive) != 0)
    throw ESimRefused(QStringLiteral("Документы таблицы %1 не принимаются.").arg(tableName));
  struct Row {
    QString cell, isSnack, nomenclature;
  };
  QMap<QString, QString> head;
  QList<Row> rows;
  QXmlStreamReader rd(xml);
  QStringList path;
  Row row;
  while (!rd.atEnd()) {
    const auto tok = rd.readNext();
    if (tok == QXmlStreamReader::StartElement) {
      path << rd.name().toString();
      if (path.size() == 3 && path[1] == QLatin1String("tbDocVmServiceSale")) row = {};
    } else if (tok == QXmlStreamReader::EndElement) {
      if (path.size() == 3 && path[1] == QLatin1String("tbDocVmServiceSale")) rows.append(row);
      path.removeLast();
    } else if (tok == QXmlStreamReader::Characters && !rd.isWhitespace()) {
      const QString text = rd.text().toString().trimmed();
      if (path.size() == 2) {
        head[path[1]] = text;
      } else if (path.size() == 4 && path[1] == QLatin1String("tbDocVmServiceSale")) {
        if (path[3] == QLatin1String("cell")) row.cell = text;
        if (path[3] == QLatin1String("isSnack")) row.isSnack = text;
        if (path[3] == QLatin1String("new_nomenclature_id")) row.nomenclature = text;
      }
    }
  }
  if (rd.hasError())
    throw ESimRefused(QStringLiteral("Документ не разобран: %1.").arg(rd.errorString()));
  bool ok = false;
  const qint32 vmId = head.value(QStringLiteral("vm_id")).toInt(&ok);
  if (!ok) throw ESimRefused(QStringLiteral("В документе нет автомата (vm_id)."));
  QDateTime docDt = QDateTime::fromString(head.value(QStringLiteral("docDt")),
                                          QStringLiteral("dd.MM.yyyy HH:mm:ss"));
  if (!docDt.isValid()) docDt = QDateTime::currentDateTime();

  return transaction([&] {
    if (!scalar(QStringLiteral("select 1 from tbVm where id = ?"), {vmId}).isValid())
      throw ESimRefused(QStringLiteral("Автомат %1 не найден.").arg(vmId));
    const qint64 doc = insertRecord(
        QStringLiteral("tbDocVmService"), QStringLiteral("id"),
        {{QStringLiteral("docDt"), jdbcTimestamp, docDt},
         {QStringLiteral("vm_id"), jdbcInteger, vmId},
         {QStringLiteral("vmServiceKind_id"), jdbcInteger,
          head.value(QStringLiteral("vmServiceKind_id"))},
         {QStringLiteral("firm_id"), jdbcInteger, head.value(QStringLiteral("firm_id"))},
         {QStringLiteral("new_currency_id"), jdbcInteger,
          head.value(QStringLiteral("new_currency_id"))},
         {QStringLiteral("new_currencyRate"), jdbcDouble,
          head.value(QStringLiteral("new_currencyRate"))},
         {QStringLiteral("xml"), jdbcClob, xml}});
    for (const Row& r : rows) {
      bool okCell = false, okNom = false;
      const int cell = r.cell.toInt(&okCell);
      const int nom = r.nomenclature.toInt(&okNom);
      if (!okCell || !okNom)
        throw ESimRefused(QStringLiteral("Неверная строка документа: ячейка %1.").arg(r.cell));
      // Prices come from the product's list price.
      execLocked(
          QStringLiteral(
              "insert into tbDocVmServiceSale(docVmService_id, cell, isSnack, new_nomenclature_id, "
              "new_normal_price, disconnected) values (?, ?, ?, ?, (select price from "
              "tbNomenclature where id = ?), 0)"),
          {doc, cell, r.isSnack.toInt(), nom, nom});
    }
    execLocked(QStringLiteral("update tbVm set last_docVmService_id = ? where id = ?"),
               {doc, vmId});
    return qint32(doc);
  });
}

// --- badge and identity card ----------------------------------------------

void SimDatabase::badgePayment(qint32 vmId, const QList<ProductPosition>& positions) {
  if (positions.isEmpty()) throw ESimRefused(QStringLiteral("Нет позиций для оплаты."));
  qint64 kop = 0;
  QStringList lines;
  for (const ProductPosition& p : positions) {
    if (p.quantity <= 0)
      throw ESimRefused(QStringLiteral("Неверное количество товара %1.").arg(p.product));
    kop += toKop(p.price) * p.quantity;
    lines << QStringLiteral("%1 x%2 %3").arg(p.product).arg(p.quantity).arg(p.price, 0, 'f', 2);
  }
  // The card time-outs a test asked for come first, one per payment.
  const bool timedOut = transaction([&] {
    const QVariant left =
        scalar(QStringLiteral("select value from tbSimOption where name = 'badge_timeouts'"));
    if (!left.isValid() || left.toLongLong() <= 0) return false;
    execLocked(
        QStringLiteral("update tbSimOption set value = value - 1 where name = 'badge_timeouts'"),
        {});
    return true;
  });
  if (timedOut)
    throw ESimRefused(QStringLiteral("Истекло время ожидания платежной карты. Повторите попытку."));
  transaction([&] {
    execLocked(
        QStringLiteral(
            "insert into tbBadgePayment(vm_id, payment_dt, amount, positions) values (?, ?, ?, ?)"),
        {vmId, dateTimeText(QDateTime::currentDateTime()), fromKop(kop),
         lines.join(QLatin1Char('\n'))});
  });
}

IdentityCardResult SimDatabase::identityCardPayment(qint32 vmId, const QString& cardNo,
                                                    double amount) {
  const qint64 kop = toKop(amount);
  if (!(amount > 0) || kop <= 0)
    throw ESimRefused(QStringLiteral("Неверная сумма платежа: %1.").arg(amount));
  return transaction([&] {
    ResultSet rs = selectLocked(
        QStringLiteral("select id, balance from tbIdentityCard where card_no = ?"), {cardNo});
    if (rs.rows.isEmpty()) throw ESimRefused(QStringLiteral("Карта %1 не найдена.").arg(cardNo));
    const qint64 cardId = rs.rows[0][0].toLongLong();
    const qint64 before = toKop(rs.rows[0][1].toDouble());
    IdentityCardResult r;
    r.paymentDone = before >= kop;
    const qint64 after = r.paymentDone ? before - kop : before;
    r.initialBalance = fromKop(before);
    r.finalBalance = fromKop(after);
    execLocked(QStringLiteral("update tbIdentityCard set balance = ? where id = ?"),
               {r.finalBalance, cardId});
    execLocked(QStringLiteral("insert into tbIdentityCardPayment(card_id, vm_id, payment_dt, "
                              "amount, initial_balance, "
                              "final_balance, payment_done) values (?, ?, ?, ?, ?, ?, ?)"),
               {cardId, vmId, dateTimeText(QDateTime::currentDateTime()), fromKop(kop),
                r.initialBalance, r.finalBalance, r.paymentDone ? 1 : 0});
    return r;
  });
}

// --- loyalty ----------------------------------------------------------------

namespace {

const char* const kCardColumns =
    "select id, user_id, first_name, last_name, phone, barcode, template, points, "
    "cashback_percent, loyalty_level, "
    "discount_percent, writeoff_percent from tbLoyaltyCard";

LoyaltyCard cardFromRow(const QVariantList& r) {
  LoyaltyCard c;
  c.userId = r[1].toLongLong();
  c.firstName = r[2].toString();
  c.lastName = r[3].toString();
  c.phone = r[4].toString();
  c.barcode = r[5].toString();
  c.templateName = r[6].toString();
  c.existedSumm = r[7].toDouble();
  c.cashbackPercent = r[8].toDouble();
  c.cashbackLevel = r[9].toString();
  c.discountPercent = r[10].toDouble();
  c.discountLevel = r[9].toString();
  return c;
}

}  // namespace

LoyaltyCard SimDatabase::loyaltyCardInfo(qint32 vmId, const QString& barcode) {
  Q_UNUSED(vmId);
  std::lock_guard lock(mutex_);
  ResultSet rs = selectLocked(
      QString::fromLatin1(kCardColumns) + QStringLiteral(" where barcode = ? and isActive = 1"),
      {barcode});
  if (rs.rows.isEmpty())
    throw ESimRefused(QStringLiteral("Карта лояльности %1 не найдена.").arg(barcode));
  return cardFromRow(rs.rows[0]);
}

LoyaltyCard SimDatabase::loyaltyCardOperation(qint32 vmId, const QString& barcode, double amount,
                                              const QList<ProductPosition>& positions) {
  const qint64 kop = toKop(amount);
  if (amount < 0) throw ESimRefused(QStringLiteral("Неверная сумма покупки: %1.").arg(amount));
  QStringList lines;
  for (const ProductPosition& p : positions)
    lines << QStringLiteral("%1 x%2 %3").arg(p.product).arg(p.quantity).arg(p.price, 0, 'f', 2);
  return transaction([&] {
    ResultSet rs = selectLocked(
        QString::fromLatin1(kCardColumns) + QStringLiteral(" where barcode = ? and isActive = 1"),
        {barcode});
    if (rs.rows.isEmpty())
      throw ESimRefused(QStringLiteral("Карта лояльности %1 не найдена.").arg(barcode));
    LoyaltyCard c = cardFromRow(rs.rows[0]);
    const qint64 cardId = rs.rows[0][0].toLongLong();
    const double writeoffPercent = rs.rows[0][11].toDouble();
    // Points may pay a share of the purchase, never more than the card holds;
    // cut to whole kopecks so the offer never exceeds either bound.
    const qint64 byShare = qint64(std::floor(double(kop) * writeoffPercent / 100.0));
    c.allowedSumm = fromKop(std::max<qint64>(0, std::min(byShare, toKop(c.existedSumm))));
    c.willAdd = fromKop(std::llround(double(kop) * c.cashbackPercent / 100.0));
    c.discountSumm = fromKop(std::llround(double(kop) * c.discountPercent / 100.0));
    c.operationId =
        insertRecord(QStringLiteral("tbLoyaltyOperation"), QStringLiteral("id"),
                     {{QStringLiteral("card_id"), jdbcInteger, cardId},
                      {QStringLiteral("vm_id"), jdbcInteger, vmId},
                      {QStringLiteral("operation_dt"), jdbcTimestamp, QDateTime::currentDateTime()},
                      {QStringLiteral("amount"), jdbcDouble, fromKop(kop)},
                      {QStringLiteral("positions"), jdbcClob, lines.join(QLatin1Char('\n'))},
                      {QStringLiteral("allowed"), jdbcDouble, c.allowedSumm},
                      {QStringLiteral("will_add"), jdbcDouble, c.willAdd},
                      {QStringLiteral("discount_summ"), jdbcDouble, c.discountSumm},
                      {QStringLiteral("written_off"), jdbcDouble, 0.0},
                      {QStringLiteral("submitted"), jdbcSmallint, 0}});
    return c;
  });
}

namespace {
struct OperationRow {
  qint64 cardId = 0;
  double allowed = 0, willAdd = 0, writtenOff = 0, points = 0;
  bool submitted = false;
};
}  // namespace

void SimDatabase::loyaltyCardSubmit(qint32 vmId, const LoyaltyCard& card) {
  Q_UNUSED(vmId);
  transaction([&] {
    ResultSet rs = selectLocked(
        QStringLiteral("select O.card_id, O.will_add, O.submitted, C.user_id from "
                       "tbLoyaltyOperation O inner join tbLoyaltyCard C on C.id = O.card_id "
                       "where O.id = ?"),
        {card.operationId});
    if (rs.rows.isEmpty() || rs.rows[0][3].toLongLong() != card.userId)
      throw ESimRefused(QStringLiteral("Операция лояльности %1 не найдена.").arg(card.operationId));
    if (rs.rows[0][2].toLongLong() != 0)
      throw ESimRefused(
          QStringLiteral("Операция лояльности %1 уже проведена.").arg(card.operationId));
    execLocked(QStringLiteral("update tbLoyaltyOperation set submitted = 1 where id = ?"),
               {card.operationId});
    execLocked(
        QStringLiteral("update tbLoyaltyCard set points = round(points + ?, 2) where id = ?"),
        {rs.rows[0][1].toDouble(), rs.rows[0][0]});
  });
}

void SimDatabase::loyaltyCardWriteOff(qint32 vmId, const LoyaltyCard& card, double amount) {
  Q_UNUSED(vmId);
  const qint64 kop = toKop(amount);
  if (!(amount > 0) || kop <= 0)
    throw ESimRefused(QStringLiteral("Неверная сумма списания: %1.").arg(amount));
  transaction([&] {
    ResultSet rs = selectLocked(
        QStringLiteral(
            "select O.card_id, O.allowed, O.written_off, O.submitted, C.user_id, C.points from "
            "tbLoyaltyOperation O inner join tbLoyaltyCard C on C.id = O.card_id where O.id = ?"),
        {card.operationId});
    if (rs.rows.isEmpty() || rs.rows[0][4].toLongLong() != card.userId)
      throw ESimRefused(QStringLiteral("Операция лояльности %1 не найдена.").arg(card.operationId));
    if (rs.rows[0][3].toLongLong() != 0)
      throw ESimRefused(
          QStringLiteral("Операция лояльности %1 уже проведена.").arg(card.operationId));
    const qint64 allowedLeft = toKop(rs.rows[0][1].toDouble()) - toKop(rs.rows[0][2].toDouble());
    const qint64 points = toKop(rs.rows[0][5].toDouble());
    if (kop > allowedLeft || kop > points)
      throw ESimRefused(QStringLiteral("Недостаточно баллов для списания %1 (доступно %2).")
                            .arg(moneyText(kop), moneyText(std::min(allowedLeft, points))));
    execLocked(QStringLiteral("update tbLoyaltyOperation set written_off = ? where id = ?"),
               {fromKop(toKop(rs.rows[0][2].toDouble()) + kop), card.operationId});
    execLocked(QStringLiteral("update tbLoyaltyCard set points = ? where id = ?"),
               {fromKop(points - kop), rs.rows[0][0]});
  });
}

// --- push channels ------------------------------------------------------------

void SimDatabase::registerPushChannel(qint32 vmId, qint64 connectionId) {
  transaction([&] {
    execLocked(QStringLiteral("delete from tbPushChannel where connection_id = ?"), {connectionId});
    execLocked(
        QStringLiteral(
            "insert into tbPushChannel(vm_id, connection_id, registered_dt) values (?, ?, ?)"),
        {vmId, connectionId, dateTimeText(QDateTime::currentDateTime())});
  });
}

QList<qint64> SimDatabase::pushChannels(qint32 vmId) {
  std::lock_guard lock(mutex_);
  QList<qint64> out;
  ResultSet rs = selectLocked(
      QStringLiteral("select connection_id from tbPushChannel where vm_id = ? order by id desc"),
      {vmId});
  for (const QVariantList& r : rs.rows) out << r[0].toLongLong();
  return out;
}

}  // namespace sim
