#include "kiosk/LogThread.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "backoffice/JClient.h"
#include "backoffice/KernelAPI.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/Common.h"
#include "platform/Exception.h"
#include "platform/MainThread.h"
#include "platform/TextCodec.h"

namespace {

constexpr int kLines = 12;     // with discount
constexpr int kOldLines = 11;  // files written before discount had a line
constexpr int kTimeoutS = 30;  // every record write
constexpr int kVmStateTimeoutS = 180;
constexpr qint64 kPassIntervalMs = 60'000;

// The information event of a record set aside starts so; such a notice that
// is refused in turn is not announced again.
const char* const kRefusedNotice = "Событие не принято сервером";

const char* const kTerminalLogFields =
    "id,vm_id,terminal_id,event_dt,event_id,event_no,event_descr,creditSource_id,amount,cell,"
    "nomenclature_id,cardProject_id,card_no,loyaltySystem_id,loayalty_card_no,discount";

// The server's answer to a second row with the same terminal and number.
bool isDuplicateMessage(const QString& message) {
  return message.contains(QLatin1String("UNTBTERMINALLOG")) ||
         message.contains(QString::fromUtf8("уже содержит запись"));
}

// A record file holds one value per line, so a line break inside a value
// would shift every line after it.
QString oneLine(QString text) {
  text.replace(QLatin1String("\r\n"), QLatin1String(" "));
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return text;
}

QVariant oneLine(const QVariant& v) {
  if (v.isNull() || v.typeId() != QMetaType::QString) return v;
  return oneLine(v.toString());
}

// Ten digits that fit the 32-bit record number.
bool isRecordName(const QString& name) {
  if (name.size() != 10) return false;
  for (QChar c : name)
    if (c < u'0' || c > u'9') return false;
  return name.toULongLong() <= 0xFFFFFFFFull;
}

QString valueText(const QVariant& v) {
  if (v.isNull() || !v.isValid()) return QString();
  if (v.typeId() == QMetaType::Double || v.typeId() == QMetaType::Float)
    return FloatToStrRegional(v.toDouble());
  return oneLine(v.toString());
}

[[noreturn]] void badLine(const QString& file, int line, const QString& text) {
  throw EConvertError(QStringLiteral("Event record %1: line %2 \"%3\" is not valid.")
                          .arg(file)
                          .arg(line)
                          .arg(text));
}

QVariant intLine(const QString& file, int line, const QString& text) {
  if (text.isEmpty()) return QVariant();
  bool ok = false;
  const int v = text.trimmed().toInt(&ok);
  if (!ok) badLine(file, line, text);
  return v;
}

// The number as written in the regional format; "." is taken too.
QVariant numberLine(const QString& file, int line, const QString& text) {
  if (text.isEmpty()) return QVariant();
  bool ok = false;
  const double v =
      QString(text).trimmed().replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok);
  if (!ok) badLine(file, line, text);
  return v;
}

QVariant textLine(const QString& text) {
  return text.isEmpty() ? QVariant() : QVariant(text);
}

WireValue wireOf(const QVariant& v) {
  if (v.isNull() || !v.isValid()) return WireValue::null();
  return WireValue::fromQVariant(v);
}

bool isKnownId(const QVariant& v) {
  bool ok = false;
  return !v.isNull() && v.toLongLong(&ok) > 0 && ok;
}

// The plain files of a folder, unsorted: the queue can hold thousands, and
// a pass needs only the oldest hundred in order.
QStringList listFiles(const QString& dir) {
  return QDir(dir).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
}

// The first n names in name order, which is number order for record names.
QStringList firstInOrder(QStringList names, int n) {
  if (names.size() > n) {
    std::partial_sort(names.begin(), names.begin() + n, names.end());
    names.resize(n);
  } else {
    std::sort(names.begin(), names.end());
  }
  return names;
}

}  // namespace

// --- TLogRecord ---------------------------------------------------------------

QString TLogRecord::fileNameOf(quint32 no) {
  return QStringLiteral("%1").arg(no, 10, 10, QLatin1Char('0'));
}

QByteArray TLogRecord::toFileBytes() const {
  const QStringList lines{DateTimeToStrRegional(dt),
                          QString::number(event_id),
                          oneLine(descr),
                          valueText(amount),
                          valueText(cell),
                          valueText(nomenclature_id),
                          valueText(creditSource_id),
                          valueText(cardProject_id),
                          valueText(card_no),
                          valueText(loyaltySystem_id),
                          valueText(loayalty_card_no),
                          valueText(discount)};
  return plat::toAnsi(lines.join(QLatin1String("\r\n")) + QLatin1String("\r\n"));
}

TLogRecord TLogRecord::fromFileBytes(const QString& fileName, const QByteArray& bytes) {
  if (!isRecordName(fileName))
    throw EConvertError(QStringLiteral("Event record %1: not a record number.").arg(fileName));
  QString text = plat::fromAnsi(bytes);
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QStringList lines = text.split(QLatin1Char('\n'));
  // Trailing empty lines carry nothing; anything else past the last line
  // means the lines are shifted and no value can be trusted.
  while (lines.size() > kOldLines && lines.last().isEmpty()) lines.removeLast();
  if (lines.size() > kLines)
    throw EConvertError(QStringLiteral("Event record %1: too many lines.").arg(fileName));
  while (lines.size() < kLines) lines << QString();

  TLogRecord r;
  r.no = fileName.toUInt();
  try {
    r.dt = StrToDateTimeRegional(lines[0]);
  } catch (const Exception&) {
    badLine(fileName, 1, lines[0]);
  }
  bool ok = false;
  r.event_id = lines[1].trimmed().toInt(&ok);
  if (!ok) badLine(fileName, 2, lines[1]);
  r.descr = lines[2];
  r.amount = numberLine(fileName, 4, lines[3]);
  r.cell = intLine(fileName, 5, lines[4]);
  r.nomenclature_id = intLine(fileName, 6, lines[5]);
  r.creditSource_id = intLine(fileName, 7, lines[6]);
  r.cardProject_id = intLine(fileName, 8, lines[7]);
  r.card_no = textLine(lines[8]);
  r.loyaltySystem_id = intLine(fileName, 10, lines[9]);
  r.loayalty_card_no = textLine(lines[10]);
  r.discount = numberLine(fileName, 12, lines[11]);
  return r;
}

void TLogRecord::saveToFile(const QString& logDir) const {
  // Written beside the queue and renamed in, so the worker never lists a
  // half-written record and a crash leaves no torn one.
  const QString tmpDir = logDir + QLatin1String("/.tmp");
  const QString name = fileNameOf(no);
  const QString tmp = tmpDir + QLatin1Char('/') + name;
  if (!QDir().mkpath(tmpDir))
    throw EFileError(QStringLiteral("Cannot create folder \"%1\".").arg(tmpDir));
  QFile f(tmp);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
    throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(tmp, f.errorString()));
  const QByteArray bytes = toFileBytes();
  const bool written = f.write(bytes) == bytes.size() && f.flush() && ::fsync(f.handle()) == 0;
  const QString reason = f.errorString();
  f.close();
  if (!written) {
    QFile::remove(tmp);
    throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(tmp, reason));
  }
  const QByteArray from = QFile::encodeName(tmp);
  const QByteArray to = QFile::encodeName(logDir + QLatin1Char('/') + name);
  if (std::rename(from.constData(), to.constData()) != 0) {
    QFile::remove(tmp);
    throw EFileError(QStringLiteral("Cannot write file \"%1\".").arg(QString::fromLocal8Bit(to)));
  }
}

// --- TVmState -----------------------------------------------------------------

QString TVmState::getEvaErrorCodes(const TCarimaliEvaState* carimali) const {
  QString s;
  if (no_pos_terminal) s += QLatin1String("ZM1\r");
  if (!carimali && no_coffee_vm) s += QLatin1String("ZM2\r");
  if (coffee_vm_err_code > 0) s += QLatin1String("ZM3_") + QString::number(coffee_vm_err_code);
  if (carimali) {
    if (carimali->msSinceStart > 15'000 && carimali->msSinceLastExchange > 5'000)
      s += QLatin1String("ZM2\r");
    if (carimali->noWater) s += QLatin1String("ZM4\r");
    if (carimali->noCoffee) s += QLatin1String("ZM5\r");
    if (carimali->trayFull) s += QLatin1String("ZM6\r");
    if (carimali->bunkerErrorCode != 0)
      s += QLatin1String("ZM7_") + QString::number(carimali->bunkerErrorCode);
  }
  // Trim every control character and blank at both ends, as the server expects.
  qsizetype b = 0, e = s.size();
  while (b < e && s[b] <= u' ') ++b;
  while (e > b && s[e - 1] <= u' ') --e;
  return s.mid(b, e - b);
}

// --- TLogThread ---------------------------------------------------------------

TLogThread::TLogThread(TLogThreadContext context)
    : ctx_(std::move(context)),
      log_dir(ctx_.dataFolder + QLatin1String("/Log")),
      last_sent_rec_no_file_name(ctx_.dataFolder + QLatin1String("/lsln")) {
  restore();
}

TLogThread::~TLogThread() {
  stop();
}

void TLogThread::stop() {
  terminate();
  if (worker_.joinable()) worker_.join();
}

void TLogThread::start() {
  if (worker_.joinable() || terminated_) return;
  worker_ = std::thread([this] { run(); });
}

void TLogThread::terminate() {
  terminated_ = true;
  stop_.interrupt();
  { std::lock_guard lock(cs); }
  wake_.notify_all();
}

void TLogThread::logLine(const QString& text) const {
  if (!ctx_.log) return;
  try {
    ctx_.log(text);
  } catch (...) {
  }
}

void TLogThread::restore() {
  std::lock_guard lock(cs);
  QFile lsln(last_sent_rec_no_file_name);
  if (lsln.open(QIODevice::ReadOnly)) {
    bool ok = false;
    const quint32 n = QString::fromLatin1(lsln.readAll()).trimmed().toUInt(&ok);
    if (ok) rec_no = last_sent_ = n;
  }
  QDir().mkpath(log_dir);
  // Leftovers of writes a crash cut short; their events were never queued.
  QDir(log_dir + QLatin1String("/.tmp")).removeRecursively();
  // A number is never given out twice: not after an upload (lsln), not while
  // its file waits, not after its file was set aside.
  QStringList names = listFiles(log_dir);
  for (const QString& name : listFiles(log_dir + QLatin1String("/bad")))
    if (isRecordName(name)) names << name;
  for (const QString& name : listFiles(log_dir + QLatin1String("/refused")))
    if (isRecordName(name)) names << name;
  for (const QString& name : names)
    if (isRecordName(name)) rec_no = std::max(rec_no, name.toUInt());

  for (const QString& name : firstInOrder(listFiles(log_dir), kMaxRecords)) {
    if (int(records.size()) >= kMaxRecords) break;
    loadInto(name);
  }
}

bool TLogThread::loadInto(const QString& name) {
  if (!isRecordName(name)) {
    moveAside(name);
    return false;
  }
  const quint32 no = name.toUInt();
  if (records.count(no)) return true;
  QFile f(log_dir + QLatin1Char('/') + name);
  if (!f.open(QIODevice::ReadOnly)) {
    // Gone since the listing (uploaded meanwhile) or not readable now: try again later.
    return false;
  }
  const QByteArray bytes = f.readAll();
  f.close();
  try {
    records.emplace(no, TLogRecord::fromFileBytes(name, bytes));
    return true;
  } catch (const Exception& e) {
    logLine(QStringLiteral("TLogThread: ") + e.message());
    moveAside(name);
    return false;
  }
}

void TLogThread::moveAside(const QString& name) {
  const QString badDir = log_dir + QLatin1String("/bad");
  QDir().mkpath(badDir);
  QString target = badDir + QLatin1Char('/') + name;
  for (int i = 1; QFileInfo::exists(target) && i < 1000; ++i)
    target = badDir + QLatin1Char('/') + name + QLatin1Char('.') + QString::number(i);
  if (!QFile::rename(log_dir + QLatin1Char('/') + name, target))
    logLine(QStringLiteral("TLogThread: cannot move %1 aside").arg(name));
}

void TLogThread::add(int event_id, const QString& descr) {
  add(event_id, descr, {}, {}, {}, {}, {}, {}, {}, {}, {});
}

void TLogThread::add(int event_id, const QString& descr, const QVariant& creditSource_id,
                     const QVariant& amount, const QVariant& cell,
                     const QVariant& nomenclature_id) {
  add(event_id, descr, creditSource_id, amount, cell, nomenclature_id, {}, {}, {}, {}, {});
}

void TLogThread::add(int event_id, const QString& descr, const QVariant& creditSource_id,
                     const QVariant& amount, const QVariant& cell, const QVariant& nomenclature_id,
                     const QVariant& cardProject_id, const QVariant& card_no) {
  add(event_id, descr, creditSource_id, amount, cell, nomenclature_id, cardProject_id, card_no, {},
      {}, {});
}

void TLogThread::add(int event_id, const QString& descr, const QVariant& creditSource_id,
                     const QVariant& amount, const QVariant& cell, const QVariant& nomenclature_id,
                     const QVariant& cardProject_id, const QVariant& card_no,
                     const QVariant& loyaltySystem_id, const QVariant& loayalty_card_no,
                     const QVariant& discount) {
  QString failure;
  try {
    TLogRecord r;
    QDateTime now = QDateTime::currentDateTime();
    now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
    r.dt = now;
    r.event_id = event_id;
    r.descr = oneLine(descr);
    r.creditSource_id = creditSource_id;
    r.amount = amount;
    r.cell = cell;
    r.nomenclature_id = nomenclature_id;
    r.cardProject_id = cardProject_id;
    r.card_no = oneLine(card_no);
    r.loyaltySystem_id = loyaltySystem_id;
    r.loayalty_card_no = oneLine(loayalty_card_no);
    r.discount = discount;
    std::lock_guard lock(cs);
    r.no = ++rec_no;
    try {
      r.saveToFile(log_dir);
    } catch (const Exception& e) {
      // Still worth sending while the program runs; only the restart loses it.
      failure = e.message();
    }
    if (int(records.size()) < kMaxRecords) {
      records.emplace(r.no, r);
      immediate_checking = true;
    }
  } catch (const std::exception& e) {
    failure = exceptionMessage(e);
  } catch (...) {
    failure = QStringLiteral("unknown error");
  }
  wake_.notify_all();
  if (!failure.isEmpty()) logLine(QStringLiteral("TLogThread: ") + failure);
}

quint32 TLogThread::recNo() const {
  std::lock_guard lock(cs);
  return rec_no;
}

int TLogThread::queuedCount() const {
  std::lock_guard lock(cs);
  return int(records.size());
}

std::vector<TLogRecord> TLogThread::queued() const {
  std::lock_guard lock(cs);
  std::vector<TLogRecord> out;
  for (const auto& [no, r] : records) out.push_back(r);
  return out;
}

void TLogThread::run() {
  auto client = std::make_unique<TJClient>();
  TClientInterrupt::Scope interruptible(stop_, client.get());
  while (!terminated_) {
    runPass(*client);
    if (terminated_) break;
    waitForWork();
  }
}

void TLogThread::runPass(TJClient& client) {
  pass(client, marker_);
}

bool TLogThread::refused(const TLogRecord& r, const QString& message) {
  if (r.no != refusedNo_) {
    refusedNo_ = r.no;
    refusals_ = 0;
  }
  if (++refusals_ < kRefusalLimit) return false;
  refusals_ = 0;
  const QString name = TLogRecord::fileNameOf(r.no);
  const QString dir = log_dir + QLatin1String("/refused");
  bool moved = false;
  {
    std::lock_guard lock(cs);
    QDir().mkpath(dir);
    QString target = dir + QLatin1Char('/') + name;
    for (int i = 1; QFileInfo::exists(target) && i < 1000; ++i)
      target = dir + QLatin1Char('/') + name + QLatin1Char('.') + QString::number(i);
    const QString source = log_dir + QLatin1Char('/') + name;
    // A record whose file could not be written lives only in memory.
    moved = !QFileInfo::exists(source) || QFile::rename(source, target);
    if (moved) records.erase(r.no);
  }
  if (!moved) {
    logLine(QStringLiteral("TLogThread: запись %1 не перенесена в Log/refused").arg(name));
    return false;
  }
  logLine(QStringLiteral("TLogThread: запись %1 (событие %2) отклонена сервером %3 раз подряд и "
                         "перенесена в Log/refused: %4")
              .arg(name)
              .arg(r.event_id)
              .arg(kRefusalLimit)
              .arg(message));
  if (!(r.event_id == evInformation && r.descr.startsWith(QString::fromUtf8(kRefusedNotice))))
    add(evInformation,
        QString::fromUtf8(kRefusedNotice) + QStringLiteral(" и отложено: № %1, код %2 (%3)")
                                                .arg(r.no)
                                                .arg(r.event_id)
                                                .arg(message));
  return true;
}

void TLogThread::pass(TJClient& client, QString& marker) {
  // Cleared before the hand-over, so an event added from here on always
  // earns the next pass instead of being lost between the two.
  immediate_checking = false;
  TLogPass info;
  if (ctx_.synchronize) {
    const bool ran = plat::runOnMain([&] { ctx_.synchronize(client, info); }, &terminated_);
    if (!ran) return;
  }
  if (!info.evaErrorCodes.isEmpty()) cleared_event_queued_ = false;
  // Rows and codes belong to a machine: until the ids are known nothing goes
  // out, and nothing is lost, since the records wait on disk.
  const bool idsKnown = isKnownId(info.vm_id) && isKnownId(info.terminal_id);
  std::vector<quint32> sent;  // uploaded; lsln and their files not yet updated
  try {
    if (isKnownId(info.vm_id) && info.evaErrorCodes != prev_eva_error_codes) {
      if (info.evaErrorCodes.isEmpty() && !cleared_event_queued_) {
        add(evEquipmentErrorsCleared, QString());
        cleared_event_queued_ = true;
      }
      TKernelAPI(&client).vekta_vm_state(info.vm_id.toInt(), info.evaErrorCodes, kVmStateTimeoutS);
      prev_eva_error_codes = info.evaErrorCodes;
    }

    marker = QStringLiteral("1");
    while (idsKnown && !terminated_) {
      marker = QStringLiteral("2");
      TLogRecord r;
      {
        std::lock_guard lock(cs);
        if (records.empty()) break;
        r = records.begin()->second;
      }
      marker = QStringLiteral("3");
      const TVariantArray values{WireValue(info.vm_id.toInt()),
                                 WireValue(info.terminal_id.toInt()),
                                 WireValue::dateTime(r.dt),
                                 WireValue(r.event_id),
                                 WireValue::longWord(r.no),
                                 WireValue(r.descr),
                                 wireOf(r.creditSource_id),
                                 wireOf(r.amount),
                                 wireOf(r.cell),
                                 wireOf(r.nomenclature_id),
                                 wireOf(r.cardProject_id),
                                 wireOf(r.card_no),
                                 wireOf(r.loyaltySystem_id),
                                 wireOf(r.loayalty_card_no),
                                 wireOf(r.discount)};
      try {
        client.insertRec(QStringLiteral("tbTerminalLog"), QLatin1String(kTerminalLogFields),
                         WireValue(values), kTimeoutS);
      } catch (const EServerError& e) {
        if (!isDuplicateMessage(e.message())) {
          // Only the server's own answer counts against the record; a
          // transport failure says nothing about it.
          if (!refused(r, e.message())) throw;
          continue;
        }
      } catch (const Exception& e) {
        if (!isDuplicateMessage(e.message())) throw;
      }
      sent.push_back(r.no);
      marker = QStringLiteral("6");
      {
        std::lock_guard lock(cs);
        records.erase(r.no);
      }
      if (int(sent.size()) >= kMaxRecords) settle(sent, marker);
    }
    settle(sent, marker);
    reloadFromDisk(marker, idsKnown);
  } catch (const std::exception& e) {
    logLine(QStringLiteral("TLogThread: ") + exceptionMessage(e) + QStringLiteral(" (") + marker +
            QStringLiteral(")"));
    // What went out before the failure is done with all the same.
    QString settleMarker;
    try {
      settle(sent, settleMarker);
    } catch (const std::exception& e2) {
      logLine(QStringLiteral("TLogThread: ") + exceptionMessage(e2) + QStringLiteral(" (") +
              settleMarker + QStringLiteral(")"));
    }
  }
}

void TLogThread::settle(std::vector<quint32>& sent, QString& marker) {
  if (sent.empty()) return;
  // lsln before the files: a crash between the two re-sends a few records
  // (the server absorbs them), where the other order could hand their
  // numbers out again after a restart and lose new events as "duplicates".
  // Once per batch rather than per record, since each write is a disk sync.
  // Never backwards: a stale older record sent late must not lower it.
  const quint32 last = std::max(last_sent_, *std::max_element(sent.begin(), sent.end()));
  marker = QStringLiteral("4");
  plat::writeFileAtomic(last_sent_rec_no_file_name, QByteArray::number(last));
  last_sent_ = last;
  marker = QStringLiteral("5");
  for (quint32 no : sent) QFile::remove(log_dir + QLatin1Char('/') + TLogRecord::fileNameOf(no));
  sent.clear();
}

void TLogThread::reloadFromDisk(QString& marker, bool uploading) {
  marker = QStringLiteral("7");
  QDir().mkpath(log_dir);
  marker = QStringLiteral("8");
  const QStringList names = listFiles(log_dir);
  marker = QStringLiteral("9");
  // More waiting than fits in memory: the next pass follows at once, unless
  // nothing can be uploaded yet, which would only spin.
  if (uploading && names.size() > kMaxRecords) immediate_checking = true;
  marker = QStringLiteral("10");
  for (const QString& name : firstInOrder(names, kMaxRecords)) {
    std::lock_guard lock(cs);
    if (int(records.size()) >= kMaxRecords) break;
    marker = QStringLiteral("11");
    loadInto(name);
  }
  marker = QStringLiteral("12");
}

void TLogThread::waitForWork() {
  const qint64 deadline = plat::clock().nowMs() + kPassIntervalMs;
  std::unique_lock lock(cs);
  plat::waitUntilMs(wake_, lock, deadline, [this] { return terminated_ || immediate_checking; });
}
