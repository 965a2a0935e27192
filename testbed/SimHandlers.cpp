#include "testbed/SimHandlers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "backoffice/FileTransfer.h"
#include "backoffice/WireCodec.h"
#include "platform/TextCodec.h"

namespace sim {
namespace {

// Reads a request's parameters in order; every failure names the request
// and the parameter, so a client fault is easy to find from its message.
class Params {
 public:
  explicit Params(const ServerRequest& r) : r_(r) {}

  const WireValue& next(const char* what) {
    if (i_ >= int(r_.params.size()))
      throw ESimRefused(
          QStringLiteral("Запрос %1: нет параметра %2.").arg(r_.code).arg(QLatin1String(what)));
    what_ = what;
    return r_.params[size_t(i_++)];
  }
  template <class F>
  auto convert(const char* what, F&& f) -> decltype(f(std::declval<const WireValue&>())) {
    const WireValue& v = next(what);
    try {
      return f(v);
    } catch (const EVariantError& e) {
      throw ESimRefused(QStringLiteral("Запрос %1, параметр %2: %3")
                            .arg(r_.code)
                            .arg(QLatin1String(what), e.message()));
    }
  }
  qint32 integer(const char* what) {
    return convert(what, [](const WireValue& v) { return v.toInt(); });
  }
  qint64 int64(const char* what) {
    return convert(what, [](const WireValue& v) { return v.toInt64(); });
  }
  double dbl(const char* what) {
    return convert(what, [](const WireValue& v) { return v.toDouble(); });
  }
  QString text(const char* what) {
    return convert(what, [](const WireValue& v) { return v.toString(); });
  }
  // A count that the rest of the request must be able to hold.
  int count(const char* what, int valuesEach) {
    const qint32 n = integer(what);
    if (n < 0 || qint64(n) * valuesEach > remaining())
      throw ESimRefused(QStringLiteral("Запрос %1: неверное число %2 (%3).")
                            .arg(r_.code)
                            .arg(QLatin1String(what))
                            .arg(n));
    return n;
  }
  int remaining() const { return int(r_.params.size()) - i_; }
  void end() const {
    if (remaining() > 0)
      throw ESimRefused(
          QStringLiteral("Запрос %1: лишние параметры (%2).").arg(r_.code).arg(remaining()));
  }

 private:
  const ServerRequest& r_;
  int i_ = 0;
  const char* what_ = "";
};

// A value the client sent, as the database binds it; date-times may come as
// day counts when the type code says so.
QVariant bindValue(const WireValue& v, int jdbc) {
  if ((jdbc == jdbcTimestamp || jdbc == jdbcDate) &&
      (v.type() == VarType::Double || v.isIntegral()))
    return daysToDateTime(v.toDouble());
  if (v.type() == VarType::String || v.type() == VarType::OleStr) return v.toString();
  return v.toQVariant();
}

// Texts go back as ANSI: the client refuses the wide-text tag.
WireValue wire(const QVariant& v) {
  if (v.typeId() == QMetaType::QString) return WireValue::ansi(v.toString());
  return WireValue::fromQVariant(v);
}

WireValue text(const QString& s) {
  return WireValue::ansi(s);
}

ServerTable toServerTable(const ResultSet& rs) {
  ServerTable t;
  for (const Column& c : rs.columns)
    t.columns.push_back({c.name, c.jdbcType, c.size, c.jdbcType == jdbcDouble ? c.size : 0});
  t.rows.reserve(size_t(rs.rows.size()));
  for (const QVariantList& row : rs.rows) {
    TVariantArray out;
    out.reserve(size_t(row.size()));
    for (const QVariant& v : row) out.push_back(wire(v));
    t.rows.push_back(std::move(out));
  }
  return t;
}

QList<FieldValue> readTriples(Params& p) {
  QList<FieldValue> fields;
  while (p.remaining() > 0) {
    FieldValue f;
    f.name = p.text("field name");
    f.jdbcType = p.integer("type code");
    f.value = bindValue(p.next("field value"), f.jdbcType);
    fields.append(f);
  }
  return fields;
}

QList<ProductPosition> readPositions(Params& p) {
  QList<ProductPosition> out;
  const int n = p.count("positions", 3);
  for (int i = 0; i < n; ++i) {
    ProductPosition pos;
    pos.product = p.text("product");
    pos.quantity = p.integer("quantity");
    pos.price = p.dbl("price");
    out.append(pos);
  }
  return out;
}

void putLoyalty(ServerReply& reply, const LoyaltyCard& c) {
  reply.results = {WireValue::int64(c.userId),
                   WireValue::int64(c.operationId),
                   text(c.firstName),
                   text(c.lastName),
                   text(c.phone),
                   text(c.barcode),
                   text(c.templateName),
                   WireValue(c.existedSumm),
                   WireValue(c.allowedSumm),
                   WireValue(c.cashbackPercent),
                   WireValue(c.willAdd),
                   text(c.cashbackLevel),
                   WireValue(c.discountSumm),
                   WireValue(c.discountPercent),
                   text(c.discountLevel)};
}

LoyaltyCard readCardRecord(Params& p) {
  LoyaltyCard c;
  c.userId = p.int64("user_id");
  c.operationId = p.int64("operation_id");
  c.firstName = p.text("first_name");
  c.lastName = p.text("last_name");
  c.phone = p.text("phone");
  c.barcode = p.text("barcode");
  c.templateName = p.text("template");
  return c;
}

// A good of a sale report: four bytes of the product id, least significant
// first, then the name in the OEM code page.
SaleGood readGood(Params& p) {
  SaleGood g;
  const QByteArray head = p.convert("good", [](const WireValue& v) { return v.ansiPayload(); });
  if (head.size() < 4)
    throw ESimRefused(QStringLiteral("Запрос 1068: позиция короче четырёх байт."));
  const auto* b = reinterpret_cast<const unsigned char*>(head.constData());
  g.nomenclatureId =
      qint32(quint32(b[0]) | quint32(b[1]) << 8 | quint32(b[2]) << 16 | quint32(b[3]) << 24);
  g.name = plat::fromOem(head.mid(4));
  g.priceKop = p.int64("price");
  g.quantity = p.integer("quantity");
  return g;
}

}  // namespace

SimHandlers::SimHandlers(SimDatabase& db, QString filesDir)
    : db_(db), filesDir_(QDir::cleanPath(QDir(filesDir).absolutePath())) {}

namespace {
QString filesFolder(const QString& dbPath, const QString& filesDir) {
  const QString dir = filesDir.isEmpty()
                          ? QFileInfo(dbPath).absoluteDir().filePath(QStringLiteral("files"))
                          : filesDir;
  QDir().mkpath(dir);
  return dir;
}
SimDatabase& seeded(SimDatabase& db, bool seed) {
  if (seed) db.seedDemo();
  return db;
}
}  // namespace

BackofficeSim::BackofficeSim(const QString& dbPath, bool seedDemo, const QString& filesDir,
                             ProtocolServerOptions options)
    : db_(dbPath),
      handlers_(seeded(db_, seedDemo), filesFolder(dbPath, filesDir)),
      server_(std::move(options)) {
  handlers_.install(server_);
  server_.setRequestHandler([this](const ServerRequest& r, ServerReply& reply) {
    waitWhileStalled(r.code);
    handlers_.handle(r, reply);
  });
}

BackofficeSim::~BackofficeSim() {
  setStalled(false);
}

void BackofficeSim::stop() {
  setStalled(false);
  server_.stop();
}

void BackofficeSim::setStalled(bool on) {
  {
    std::lock_guard lock(stallMutex_);
    stalled_ = on;
  }
  stallCv_.notify_all();
}

std::vector<uint16_t> BackofficeSim::stalledRequests() const {
  std::lock_guard lock(stallMutex_);
  return held_;
}

void BackofficeSim::waitWhileStalled(uint16_t code) {
  std::unique_lock lock(stallMutex_);
  if (!stalled_) return;
  held_.push_back(code);
  stallCv_.wait(lock, [this] { return !stalled_; });
  held_.erase(std::find(held_.begin(), held_.end(), code));
}

PushResult BackofficeSim::pushToVm(qint32 vmId, const std::vector<PushRequest>& requests,
                                   int timeoutMs) {
  const std::vector<int> open = server_.pushConnections();
  for (qint64 id : db_.pushChannels(vmId))
    if (std::find(open.begin(), open.end(), int(id)) != open.end())
      return server_.push(int(id), requests, timeoutMs);
  return {};
}

LoginDecision SimHandlers::login(const LoginAttempt& attempt) {
  LoginDecision d;
  qint32 id = 0;
  QString name;
  if (db_.checkLogin(attempt.login, attempt.password, &id, &name)) {
    d.status = 0;
    d.userId = id;
    d.userName = name;
  } else {
    d.status = 1;
    d.failureText = QStringLiteral("Неверное имя пользователя или пароль.");
  }
  return d;
}

void SimHandlers::install(ProtocolServer& server) {
  server.setLoginHandler([this](const LoginAttempt& a) { return login(a); });
  server.setRequestHandler(
      [this](const ServerRequest& r, ServerReply& reply) { handle(r, reply); });
}

QString SimHandlers::resolveFile(const QString& name) const {
  QString n = name;
  n.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (n.isEmpty()) return {};
  QString full;
  if (n.startsWith(filesDir_ + QLatin1Char('/'))) {
    full = n;
  } else if (n.startsWith(QLatin1Char('/')) || (n.size() > 1 && n[1] == QLatin1Char(':'))) {
    return {};
  } else {
    full = filesDir_ + QLatin1Char('/') + n;
  }
  full = QDir::cleanPath(full);
  if (!full.startsWith(filesDir_ + QLatin1Char('/'))) return {};
  // A link inside the folder must not lead out of it either.
  const QString real = QFileInfo(full).canonicalFilePath();
  const QString root = QFileInfo(filesDir_).canonicalFilePath();
  if (!real.isEmpty() && !real.startsWith(root + QLatin1Char('/'))) return {};
  return full;
}

QByteArray SimHandlers::readFileStream(const QString& source, qint64 position,
                                       QString* error) const {
  QByteArray out;
  const QString path = resolveFile(source);
  QFile f(path);
  if (path.isEmpty() || !QFileInfo(path).isFile() || !f.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("Файл не найден: %1").arg(source);
    encodeValue(out, WireValue(0));
    return out;
  }
  error->clear();
  if (position > 0) f.seek(std::min(position, f.size()));
  constexpr int kChunk = 64 * 1024;
  while (true) {
    const QByteArray piece = f.read(kChunk);
    if (piece.isEmpty()) break;
    encodeValue(out, WireValue(int(piece.size())));
    out.append(piece);
  }
  encodeValue(out, WireValue(0));
  return out;
}

QByteArray SimHandlers::updateStream(const QString& source, qint64 position, QString* error) const {
  QByteArray out;
  error->clear();
  const QString path = resolveFile(source);
  QFile f(path);
  // No file means no update on offer: size 0 and a good reply.
  if (path.isEmpty() || !QFileInfo(path).isFile() || !f.open(QIODevice::ReadOnly)) {
    encodeValue(out, WireValue::int64(0));
    return out;
  }
  encodeValue(out, WireValue::int64(f.size()));
  if (position > 0) f.seek(std::min(position, f.size()));
  out.append(f.readAll());
  return out;
}

void SimHandlers::handle(const ServerRequest& r, ServerReply& reply) {
  Params p(r);
  switch (r.code) {
    case 0:   // the client says goodbye
    case 36:  // user test
      return;

    case 1: {  // select with parameters
      const QString sql = p.text("sql");
      const int n = p.count("parameters", 2);
      QVariantList params;
      for (int i = 0; i < n; ++i) {
        const int jdbc = p.integer("type code");
        params << bindValue(p.next("value"), jdbc);
      }
      p.end();
      reply.tables.push_back(toServerTable(db_.select(sql, params)));
      return;
    }
    case 2: {  // statement
      const QString sql = p.text("sql");
      p.end();
      db_.exec(sql);
      return;
    }
    case 3:
    case 7: {  // record post; request 7 without a key inserts and returns it
      const QString table = p.text("table");
      FieldValue key;
      key.name = p.text("key field");
      key.jdbcType = p.integer("key type code");
      key.value = bindValue(p.next("key value"), key.jdbcType);
      const QList<FieldValue> fields = readTriples(p);
      const bool noKey = !key.value.isValid() || key.value.isNull();
      if (r.code == 7 && noKey) {
        reply.results = {WireValue(1), WireValue::int64(db_.insertRecord(table, key.name, fields))};
      } else if (r.code == 7) {
        reply.results = {WireValue(int(db_.updateRecord(table, key.name, key.value, fields)))};
      } else {
        reply.results = {WireValue(1),
                         WireValue::int64(db_.postRecord(table, key.name, key, fields))};
      }
      return;
    }
    case 13: {  // delete by key
      const QString table = p.text("table");
      const QString keyField = p.text("key field");
      const int jdbc = p.integer("key type code");
      const QVariant key = bindValue(p.next("key value"), jdbc);
      p.end();
      reply.results = {WireValue(int(db_.deleteRecord(table, keyField, key)))};
      return;
    }
    case 27: {  // batch insert
      const QString table = p.text("table");
      const int fieldCount = p.integer("field count");
      const int recordCount = p.integer("record count");
      if (fieldCount < 1 || recordCount < 0 ||
          qint64(fieldCount) + qint64(recordCount) * (fieldCount - 1) != p.remaining())
        throw ESimRefused(QStringLiteral("Запрос 27: неверное число полей или записей."));
      QStringList names;
      for (int i = 0; i < fieldCount; ++i) names << p.text("field name");
      QList<QVariantList> records;
      for (int k = 0; k < recordCount; ++k) {
        QVariantList rec;
        for (int i = 1; i < fieldCount; ++i) rec << bindValue(p.next("value"), jdbcOther);
        records << rec;
      }
      db_.batchInsert(table, names.mid(1), records);
      return;
    }
    case 4: {  // server information
      p.end();
      reply.results = {WireValue(3),
                       text(QStringLiteral("vekta-sim")),
                       text(QStringLiteral("sqlite:") + db_.path()),
                       text(QString()),
                       WireValue(1),
                       WireValue(1),
                       text(filesDir_),
                       text(QStringLiteral("/"))};
      return;
    }
    case 53: {  // constants
      while (p.remaining() > 0) {
        const QString v = db_.constValue(p.integer("const type"));
        reply.results.push_back(v.isNull() ? WireValue::null() : text(v));
      }
      return;
    }
    case 54: {
      while (p.remaining() > 0) {
        const int type = p.integer("const type");
        db_.setConstValue(type, p.text("value"));
      }
      return;
    }

    case 1068: {  // sale report: the fiscal check
      SaleReport s;
      s.online = p.integer("isOnline") != 0;
      s.dt = daysToDateTime(p.dbl("dt"));
      s.saleNo = p.int64("sale_no");
      s.pmVmId = p.text("pmVmId");
      s.firmId = p.int64("firmID");
      s.cashKop = p.int64("cash_amount");
      s.cashlessKop = p.int64("cashless_amount");
      const int n = p.count("goods", 3);
      for (int i = 0; i < n; ++i) s.goods.append(readGood(p));
      p.end();
      const FiscalCheck c = db_.saleReport(s);
      reply.results = {WireValue(c.id),           WireValue::int64(c.fdNumber),
                       WireValue::int64(c.fp),    WireValue::dateTime(c.dt),
                       WireValue(int(c.shiftNo)), WireValue(int(c.checkNumberInShift)),
                       text(c.fnSerialNumber)};
      return;
    }
    case 1081: {  // the machine's error codes
      const qint32 vm = p.integer("vm_id");
      const QString codes = p.text("eva_err_codes");
      p.end();
      db_.vmState(vm, codes);
      return;
    }
    case 1082: {  // push channel registration
      // The kiosk reads only pushed requests on this connection from now on.
      reply.noReply = true;
      reply.pushChannel = true;
      const qint32 vm = p.integer("vm_id");
      p.end();
      db_.registerPushChannel(vm, r.connectionId);
      return;
    }
    case 1086: {
      const QString table = p.text("tableName");
      const QString xml = p.text("xml");
      p.end();
      reply.results = {WireValue(db_.sendDocument(table, xml))};
      return;
    }
    case 1088: {
      const qint32 vm = p.integer("vm_id");
      const double amount = p.dbl("amount");
      p.end();
      const SbpSession s = db_.sbpCreateSession(vm, amount);
      reply.results = {text(s.qrCode), WireValue::int64(s.sessionId)};
      return;
    }
    case 1089: {
      const qint64 session = p.int64("sessionID");
      p.end();
      reply.results = {WireValue(db_.sbpSessionStatus(session))};
      return;
    }
    case 1097: {
      const qint32 vm = p.integer("vm_id");
      const QList<ProductPosition> positions = readPositions(p);
      p.end();
      db_.badgePayment(vm, positions);
      return;
    }
    case 1100: {
      const qint32 vm = p.integer("vm_id");
      const QString card = p.text("card_no");
      const double amount = p.dbl("amount");
      p.end();
      const IdentityCardResult res = db_.identityCardPayment(vm, card, amount);
      reply.results = {WireValue(res.initialBalance), WireValue(res.paymentDone),
                       WireValue(res.finalBalance)};
      return;
    }
    case 1101: {
      const qint32 vm = p.integer("vm_id");
      const QString barcode = p.text("user_barcode");
      p.end();
      putLoyalty(reply, db_.loyaltyCardInfo(vm, barcode));
      return;
    }
    case 1102: {
      const qint32 vm = p.integer("vm_id");
      const QString barcode = p.text("user_barcode");
      const double amount = p.dbl("amount");
      const QList<ProductPosition> positions = readPositions(p);
      p.end();
      putLoyalty(reply, db_.loyaltyCardOperation(vm, barcode, amount, positions));
      return;
    }
    case 1103: {
      const qint32 vm = p.integer("vm_id");
      const LoyaltyCard c = readCardRecord(p);
      p.end();
      db_.loyaltyCardSubmit(vm, c);
      return;
    }
    case 1104: {
      const qint32 vm = p.integer("vm_id");
      const LoyaltyCard c = readCardRecord(p);
      const double amount = p.dbl("bonus_write_off_amount");
      p.end();
      db_.loyaltyCardWriteOff(vm, c, amount);
      return;
    }
    case 30: {  // upload into the files folder
      const QString dest = p.text("destFileName");
      p.int64("size");
      const bool fitUniqueName =
          p.convert("fitUniqueName", [](const WireValue& v) { return v.toBool(); });
      p.end();
      QString path = resolveFile(dest);
      if (path.isEmpty()) throw ESimRefused(QStringLiteral("Недопустимое имя файла: %1").arg(dest));
      if (fitUniqueName) path = fitUniqueFileName(path);
      QDir().mkpath(QFileInfo(path).absolutePath());
      QFile f(path);
      if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
          f.write(r.upload) != r.upload.size())
        throw ESimRefused(
            QStringLiteral("Не удалось записать файл %1: %2").arg(dest, f.errorString()));
      reply.results = {text(path)};
      return;
    }
    case 46:
    case 57:
    case 78: {
      // The data come before the reply, and the client reads them first
      // whatever happens: a refusal still ends its stream properly.
      const bool chunked = r.code == 46;
      QString error;
      try {
        // 57 names no file: the stand-in offers the kiosk's program update.
        const QString source =
            r.code == 57 ? QStringLiteral("vekta_64.exe") : p.text("sourceFileName");
        const qint64 position = p.remaining() > 0 ? p.int64("position") : 0;
        p.end();
        reply.dataBeforeReply = chunked ? readFileStream(source, position, &error)
                                        : updateStream(source, position, &error);
      } catch (const Exception& e) {
        error = e.message();
        encodeValue(reply.dataBeforeReply, chunked ? WireValue(0) : WireValue::int64(0));
      }
      if (!error.isEmpty()) reply.refuse(error);
      return;
    }
    default:
      reply.refuse(QStringLiteral("Unknown request %1.").arg(r.code));
  }
}

}  // namespace sim
