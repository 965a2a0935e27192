#include "kiosk/LogThread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
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

constexpr int kLines = 12;  // with discount
const char kUtf8Mark[] = "\xEF\xBB\xBF";
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

// Two digits at text[at], or -1.
int twoDigits(const QString& text, qsizetype at) {
  const QChar a = text[at], b = text[at + 1];
  if (a < u'0' || a > u'9' || b < u'0' || b > u'9') return -1;
  return (a.unicode() - u'0') * 10 + (b.unicode() - u'0');
}

// The time as the record files write it, "dd.MM.yyyy hh:mm:ss", read without
// the general parser, which costs more than the rest of a record's load.
// Anything else, or a value that is no date, is left to the general parser.
QDateTime recordTime(const QString& text) {
  if (text.size() == 19 && text[2] == u'.' && text[5] == u'.' && text[10] == u' ' &&
      text[13] == u':' && text[16] == u':') {
    const int day = twoDigits(text, 0), month = twoDigits(text, 3);
    const int century = twoDigits(text, 6), year = twoDigits(text, 8);
    const int hour = twoDigits(text, 11), minute = twoDigits(text, 14);
    const int second = twoDigits(text, 17);
    if (std::min({day, month, century, year, hour, minute, second}) >= 0) {
      const QDate date(century * 100 + year, month, day);
      const QTime time(hour, minute, second);
      if (date.isValid() && time.isValid()) {
        QDateTime dt(date, time);
        if (dt.isValid()) return dt;
      }
    }
  }
  return StrToDateTimeRegional(text);
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

// The row of "tbTerminalLog" for a record, without the generated id.
TVariantArray rowValues(const TLogPass& info, const TLogRecord& r) {
  return {WireValue(info.vm_id.toInt()),
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
}

// The whole of a small file. Plain system calls: a long queue reads
// thousands of these, and a QFile costs several times the read itself.
bool readWhole(const QString& path, QByteArray& out) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  out.clear();
  if (ok) out.reserve(qsizetype(std::max<off_t>(st.st_size, 0)) + 1);
  char chunk[4096];
  while (ok) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      ok = errno == EINTR;
      continue;
    }
    out.append(chunk, qsizetype(n));
  }
  ::close(fd);
  return ok;
}

// Adds the time a scope takes to one figure of the drain statistics.
class Timed {
 public:
  Timed(std::mutex& m, qint64& us) : m_(m), us_(us) { t_.start(); }
  ~Timed() {
    const qint64 us = t_.nsecsElapsed() / 1000;
    std::lock_guard lock(m_);
    us_ += us;
  }
  Timed(const Timed&) = delete;
  Timed& operator=(const Timed&) = delete;

 private:
  std::mutex& m_;
  qint64& us_;
  QElapsedTimer t_;
};

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
  const QString text = lines.join(QLatin1String("\r\n")) + QLatin1String("\r\n");
  // windows-1251 keeps the files as earlier versions wrote and read them; a
  // text it cannot carry ("₽" of a discounted price) goes as UTF-8 behind its
  // byte-order mark, which no record in windows-1251 starts with.
  QByteArray bytes = plat::toAnsi(text);
  if (plat::fromAnsi(bytes) != text) bytes = QByteArray(kUtf8Mark) + text.toUtf8();
  return bytes;
}

TLogRecord TLogRecord::fromFileBytes(const QString& fileName, const QByteArray& bytes) {
  if (!isRecordName(fileName))
    throw EConvertError(QStringLiteral("Event record %1: not a record number.").arg(fileName));
  QString text;
  if (bytes.startsWith(kUtf8Mark)) {
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    text = utf8(QByteArrayView(bytes).sliced(qsizetype(sizeof kUtf8Mark) - 1));
    if (utf8.hasError())
      throw EConvertError(QStringLiteral("Event record %1: not valid UTF-8.").arg(fileName));
  } else {
    text = plat::fromAnsi(bytes);
  }
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
    r.dt = recordTime(lines[0]);
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

namespace {

QString stagingDir(const QString& logDir) {
  return logDir + QLatin1String("/.tmp");
}

// Written beside the queue and renamed in, so the worker never lists a
// half-written record and a crash leaves no torn one.
void stageRecord(const TLogRecord& r, const QString& logDir) {
  const QString tmpDir = stagingDir(logDir);
  const QString tmp = tmpDir + QLatin1Char('/') + TLogRecord::fileNameOf(r.no);
  if (!QDir().mkpath(tmpDir))
    throw EFileError(QStringLiteral("Cannot create folder \"%1\".").arg(tmpDir));
  QFile f(tmp);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
    throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(tmp, f.errorString()));
  const QByteArray bytes = r.toFileBytes();
  const bool written = f.write(bytes) == bytes.size() && f.flush() && ::fsync(f.handle()) == 0;
  const QString reason = f.errorString();
  f.close();
  if (!written) {
    QFile::remove(tmp);
    throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(tmp, reason));
  }
}

void enterStaged(const QString& logDir, quint32 no) {
  const QString name = TLogRecord::fileNameOf(no);
  const QString tmp = stagingDir(logDir) + QLatin1Char('/') + name;
  const QByteArray from = QFile::encodeName(tmp);
  const QByteArray to = QFile::encodeName(logDir + QLatin1Char('/') + name);
  if (std::rename(from.constData(), to.constData()) != 0) {
    QFile::remove(tmp);
    throw EFileError(QStringLiteral("Cannot write file \"%1\".").arg(QString::fromLocal8Bit(to)));
  }
}

}  // namespace

void TLogRecord::saveToFile(const QString& logDir) const {
  stageRecord(*this, logDir);
  enterStaged(logDir, no);
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
  {
    std::lock_guard lock(cs);
    QFile lsln(last_sent_rec_no_file_name);
    if (lsln.open(QIODevice::ReadOnly)) {
      bool ok = false;
      const quint32 n = QString::fromLatin1(lsln.readAll()).trimmed().toUInt(&ok);
      if (ok) rec_no = last_sent_ = n;
    }
    QDir().mkpath(log_dir);
    // Leftovers of writes a crash cut short; their events were never queued.
    QDir(stagingDir(log_dir)).removeRecursively();
    // A number is never given out twice: not after an upload (lsln), not while
    // its file waits, not after its file was set aside.
    const std::vector<quint32> queue = listQueue();
    if (!queue.empty()) rec_no = std::max(rec_no, queue.back());
    for (const QString& dir :
         {QStringLiteral("bad"), QString::fromLatin1(TSetAsidePolicy::kFolder)})
      for (const QString& file : listFiles(log_dir + QLatin1Char('/') + dir)) {
        const QString name = TSetAsidePolicy::originalName(file);
        if (isRecordName(name)) rec_no = std::max(rec_no, name.toUInt());
      }
    waiting_.assign(queue.begin(), queue.end());
  }
  loadWaiting();
}

std::vector<quint32> TLogThread::listQueue() {
  Timed timed(statsMutex_, stats_.listUs);
  std::vector<quint32> nos;
  for (const QString& name : listFiles(log_dir)) {
    if (isRecordName(name))
      nos.push_back(name.toUInt());
    else
      moveAside(name);
  }
  std::sort(nos.begin(), nos.end());
  std::lock_guard lock(statsMutex_);
  ++stats_.listings;
  return nos;
}

void TLogThread::loadWaiting() {
  Timed timed(statsMutex_, stats_.loadUs);
  // One file at a time under the lock, so add() waits for one read at most.
  for (;;) {
    std::lock_guard lock(cs);
    if (int(records.size()) >= kMaxRecords || waiting_.empty()) return;
    const quint32 no = waiting_.front();
    waiting_.pop_front();
    loadInto(TLogRecord::fileNameOf(no));
  }
}

bool TLogThread::loadInto(const QString& name) {
  if (!isRecordName(name)) {
    moveAside(name);
    return false;
  }
  const quint32 no = name.toUInt();
  if (records.count(no)) return true;
  QByteArray bytes;
  if (!readWhole(log_dir + QLatin1Char('/') + name, bytes)) {
    // Gone since the listing (uploaded meanwhile) or not readable now: try again later.
    return false;
  }
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
  if (!TSetAsidePolicy::moveInto(log_dir + QLatin1Char('/') + name,
                                 log_dir + QLatin1String("/bad")))
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

TLogRecord TLogThread::newRecord(int event_id, const QString& descr,
                                 const QVariant& creditSource_id, const QVariant& amount,
                                 const QVariant& cell, const QVariant& nomenclature_id,
                                 const QVariant& cardProject_id, const QVariant& card_no,
                                 const QVariant& loyaltySystem_id, const QVariant& loayalty_card_no,
                                 const QVariant& discount) {
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
  return r;
}

void TLogThread::add(int event_id, const QString& descr, const QVariant& creditSource_id,
                     const QVariant& amount, const QVariant& cell, const QVariant& nomenclature_id,
                     const QVariant& cardProject_id, const QVariant& card_no,
                     const QVariant& loyaltySystem_id, const QVariant& loayalty_card_no,
                     const QVariant& discount) {
  QString failure;
  try {
    TLogRecord r = newRecord(event_id, descr, creditSource_id, amount, cell, nomenclature_id,
                             cardProject_id, card_no, loyaltySystem_id, loayalty_card_no, discount);
    std::lock_guard lock(cs);
    r.no = ++rec_no;
    bool saved = false;
    try {
      r.saveToFile(log_dir);
      saved = true;
    } catch (const Exception& e) {
      // Still worth sending while the program runs; only the restart loses it.
      failure = e.message();
    }
    if (int(records.size()) < kMaxRecords) {
      records.emplace(r.no, r);
      immediate_checking = true;
    } else if (saved) {
      // The newest number yet, so the list stays in order.
      waiting_.push_back(r.no);
    }
  } catch (const std::exception& e) {
    failure = exceptionMessage(e);
  } catch (...) {
    failure = QStringLiteral("unknown error");
  }
  wake_.notify_all();
  if (!failure.isEmpty()) logLine(QStringLiteral("TLogThread: ") + failure);
}

std::vector<quint32> TLogThread::addAll(
    std::vector<TLogRecord> batch, const std::function<void(const std::vector<quint32>&)>& commit) {
  QStringList failures;
  std::vector<quint32> numbers;
  try {
    std::lock_guard lock(cs);
    std::vector<bool> staged;
    for (TLogRecord& r : batch) {
      r.no = ++rec_no;
      numbers.push_back(r.no);
      try {
        stageRecord(r, log_dir);
        staged.push_back(true);
      } catch (const Exception& e) {
        failures << e.message();
        staged.push_back(false);
      }
    }
    if (commit) {
      try {
        commit(numbers);
      } catch (const std::exception& e) {
        failures << exceptionMessage(e);
      }
    }
    for (size_t i = 0; i < batch.size(); ++i) {
      bool entered = false;
      if (staged[i]) {
        try {
          enterStaged(log_dir, batch[i].no);
          entered = true;
        } catch (const Exception& e) {
          failures << e.message();
        }
      }
      if (int(records.size()) < kMaxRecords) {
        records.emplace(batch[i].no, batch[i]);
        immediate_checking = true;
      } else if (entered) {
        // The newest numbers yet, so the list stays in order.
        waiting_.push_back(batch[i].no);
      }
    }
  } catch (const std::exception& e) {
    failures << exceptionMessage(e);
  } catch (...) {
    failures << QStringLiteral("unknown error");
  }
  wake_.notify_all();
  for (const QString& failure : failures) logLine(QStringLiteral("TLogThread: ") + failure);
  return numbers;
}

std::vector<quint32> TLogThread::adoptStaged(const QString& dataFolder,
                                             const std::vector<quint32>& numbers) {
  const QString logDir = dataFolder + QLatin1String("/Log");
  std::vector<quint32> adopted;
  for (quint32 no : numbers) {
    const QString name = TLogRecord::fileNameOf(no);
    // One already in the queue, or uploaded and gone, is not staged any more.
    if (!QFileInfo::exists(stagingDir(logDir) + QLatin1Char('/') + name) ||
        QFileInfo::exists(logDir + QLatin1Char('/') + name))
      continue;
    try {
      enterStaged(logDir, no);
      adopted.push_back(no);
    } catch (const Exception&) {
    }
  }
  return adopted;
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

int TLogThread::waitingOnDiskCount() const {
  std::lock_guard lock(cs);
  return int(waiting_.size());
}

TLogDrainStats TLogThread::drainStats() const {
  std::lock_guard lock(statsMutex_);
  return stats_;
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
  const QString name = TLogRecord::fileNameOf(r.no);
  if (!setAside_.refused(name)) return false;
  const QString dir = log_dir + QLatin1Char('/') + QLatin1String(TSetAsidePolicy::kFolder);
  bool moved = false;
  bool inMemory = false;
  {
    std::lock_guard lock(cs);
    const QString source = log_dir + QLatin1Char('/') + name;
    if (QFileInfo::exists(source)) {
      moved = TSetAsidePolicy::moveInto(source, dir);
    } else {
      // Its file could not be written when it was queued. It is kept all
      // the same, on disk if that works now, else in memory.
      moved = true;
      inMemory = !writeSetAside(r, dir);
      if (inMemory) setAsideInMemory_.emplace(r.no, r);
    }
    if (moved) records.erase(r.no);
  }
  if (!moved) {
    logLine(QStringLiteral("TLogThread: запись %1 не перенесена в Log/refused").arg(name));
    return false;
  }
  logLine(QStringLiteral("TLogThread: запись %1 (событие %2) отклонена сервером не менее %3 раз "
                         "подряд за час и %4: %5")
              .arg(name)
              .arg(r.event_id)
              .arg(TSetAsidePolicy::kRefusalLimit)
              .arg(inMemory ? QStringLiteral("отложена в памяти, её файл не записывается")
                            : QStringLiteral("перенесена в Log/refused"))
              .arg(message));
  if (!(r.event_id == evInformation && r.descr.startsWith(QString::fromUtf8(kRefusedNotice))))
    add(evInformation,
        QString::fromUtf8(kRefusedNotice) + QStringLiteral(" и отложено: № %1, код %2 (%3)")
                                                .arg(r.no)
                                                .arg(r.event_id)
                                                .arg(message));
  return true;
}

bool TLogThread::sendRow(TJClient& client, const TLogPass& info, const TLogRecord& r,
                         QString& refusal) {
  try {
    Timed timed(statsMutex_, stats_.uploadUs);
    client.insertRec(QStringLiteral("tbTerminalLog"), QLatin1String(kTerminalLogFields),
                     WireValue(rowValues(info, r)), kTimeoutS);
  } catch (const EServerError& e) {
    if (isDuplicateMessage(e.message())) return true;
    // Only the server's own answer counts against the record; a transport
    // failure says nothing about it.
    refusal = e.message();
    return false;
  } catch (const Exception& e) {
    if (!isDuplicateMessage(e.message())) throw;
  }
  return true;
}

bool TLogThread::writeSetAside(const TLogRecord& r, const QString& dir) {
  try {
    stageRecord(r, log_dir);
  } catch (const Exception&) {
    return false;
  }
  const QString staged = stagingDir(log_dir) + QLatin1Char('/') + TLogRecord::fileNameOf(r.no);
  if (TSetAsidePolicy::moveInto(staged, dir)) return true;
  QFile::remove(staged);
  return false;
}

void TLogThread::keepSetAsideOnDisk(const QString& dir) {
  std::lock_guard lock(cs);
  for (auto it = setAsideInMemory_.begin(); it != setAsideInMemory_.end();)
    it = writeSetAside(it->second, dir) ? setAsideInMemory_.erase(it) : std::next(it);
}

void TLogThread::retrySetAside(TJClient& client, const TLogPass& info, QString& marker) {
  marker = QStringLiteral("13");
  const QString dir = log_dir + QLatin1Char('/') + QLatin1String(TSetAsidePolicy::kFolder);
  keepSetAsideOnDisk(dir);
  QStringList names = TSetAsidePolicy::files(dir);
  {
    std::lock_guard lock(cs);
    for (const auto& [no, r] : setAsideInMemory_) names << TLogRecord::fileNameOf(no);
  }
  const qint64 sliceEnd = plat::clock().nowMs() + TSetAsidePolicy::kRoundSliceMs;
  for (const QString& item : setAside_.roundAhead(names)) {
    if (terminated_) return;
    // A record the server refuses slowly must not hold back a sale: new
    // events go first, and the round goes on in a later pass.
    if (queuedCount() > 0 || waitingOnDiskCount() > 0 || plat::clock().nowMs() >= sliceEnd) {
      immediate_checking = true;
      return;
    }
    retryOne(client, info, dir, item);
    setAside_.handled(item);
  }
  setAside_.retried();
}

void TLogThread::retryOne(TJClient& client, const TLogPass& info, const QString& dir,
                          const QString& item) {
  const QString name = TSetAsidePolicy::originalName(item);
  if (!isRecordName(name)) return;
  const QString path = dir + QLatin1Char('/') + item;
  TLogRecord r;
  bool inMemory = false;
  QByteArray bytes;
  if (readWhole(path, bytes)) {
    try {
      r = TLogRecord::fromFileBytes(name, bytes);
    } catch (const Exception& e) {
      logLine(QStringLiteral("TLogThread: ") + e.message());
      return;
    }
  } else {
    std::lock_guard lock(cs);
    const auto it = setAsideInMemory_.find(name.toUInt());
    if (item != name || it == setAsideInMemory_.end()) return;
    r = it->second;
    inMemory = true;
  }
  QString refusal;
  if (!sendRow(client, info, r, refusal)) return;  // still refused: next round
  // lsln first, as for the queue: the number must not be given out again
  // once its file is gone.
  writeLastSent(r.no);
  if (inMemory) {
    std::lock_guard lock(cs);
    setAsideInMemory_.erase(r.no);
  } else {
    ::unlink(QFile::encodeName(path));
  }
  logLine(QStringLiteral("TLogThread: отложенная запись %1 (событие %2) принята сервером")
              .arg(name)
              .arg(r.event_id));
}

void TLogThread::pass(TJClient& client, QString& marker) {
  // Cleared before the hand-over, so an event added from here on always
  // earns the next pass instead of being lost between the two.
  immediate_checking = false;
  {
    std::lock_guard lock(statsMutex_);
    ++stats_.passes;
  }
  TLogPass info;
  if (ctx_.synchronize) {
    Timed timed(statsMutex_, stats_.handOverUs);
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
    // A long queue goes batch after batch within one pass, each batch loaded
    // from the files known to wait, so the hand-over and the folder's
    // listing are paid once rather than once per batch.
    const qint64 sliceEnd = plat::clock().nowMs() + kDrainSliceMs;
    while (idsKnown && !terminated_) {
      marker = QStringLiteral("11");
      loadWaiting();
      marker = QStringLiteral("2");
      std::vector<TLogRecord> batch;
      {
        std::lock_guard lock(cs);
        batch.reserve(records.size());
        for (const auto& [no, r] : records) batch.push_back(r);
      }
      if (batch.empty()) break;
      marker = QStringLiteral("3");
      upload(client, info, batch, sent);
      settle(sent, marker);
      if (plat::clock().nowMs() >= sliceEnd) {
        if (queuedCount() > 0 || waitingOnDiskCount() > 0) immediate_checking = true;
        break;
      }
    }
    settle(sent, marker);
    reloadFromDisk(marker, idsKnown);
    // What was set aside goes again once nothing else waits, so it never
    // holds back the queue.
    if (idsKnown && !terminated_ && queuedCount() == 0 && waitingOnDiskCount() == 0 &&
        setAside_.retryDue())
      retrySetAside(client, info, marker);
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

void TLogThread::forget(quint32 no) {
  std::lock_guard lock(cs);
  records.erase(no);
}

void TLogThread::upload(TJClient& client, const TLogPass& info,
                        const std::vector<TLogRecord>& batch, std::vector<quint32>& sent) {
  if (batch.size() == 1) return uploadRowByRow(client, info, batch, sent);
  try {
    Timed timed(statsMutex_, stats_.uploadUs);
    client.batchInsertStart(QStringLiteral("tbTerminalLog"), QLatin1String(kTerminalLogFields));
    for (const TLogRecord& r : batch) client.batchInsertAdd(WireValue(rowValues(info, r)));
    client.batchInsertApply(kTimeoutS);
  } catch (const EServerError&) {
    // The server refuses the whole request for one row it will not take and
    // does not say which, and may have stored the rows before it. Row by row,
    // a row already there counts as sent and a refusal counts against its
    // own record only.
    {
      std::lock_guard lock(statsMutex_);
      ++stats_.rowByRow;
    }
    return uploadRowByRow(client, info, batch, sent);
  }
  for (const TLogRecord& r : batch) {
    sent.push_back(r.no);
    forget(r.no);
  }
  std::lock_guard lock(statsMutex_);
  ++stats_.batches;
  stats_.rows += qint64(batch.size());
}

void TLogThread::uploadRowByRow(TJClient& client, const TLogPass& info,
                                const std::vector<TLogRecord>& batch, std::vector<quint32>& sent) {
  for (const TLogRecord& r : batch) {
    if (terminated_) return;
    QString refusal;
    if (!sendRow(client, info, r, refusal)) {
      // It stays first in line until the policy lets it go; the rows
      // behind it wait for the next pass.
      if (!refused(r, refusal)) throw EServerError(refusal);
      continue;
    }
    sent.push_back(r.no);
    forget(r.no);
    std::lock_guard lock(statsMutex_);
    ++stats_.rows;
  }
}

void TLogThread::settle(std::vector<quint32>& sent, QString& marker) {
  if (sent.empty()) return;
  // lsln before the files: a crash between the two re-sends a few records
  // (the server absorbs them), where the other order could hand their
  // numbers out again after a restart and lose new events as "duplicates".
  // Once per batch rather than per record, since each write is a disk sync.
  // Never backwards: a stale older record sent late must not lower it.
  marker = QStringLiteral("4");
  writeLastSent(*std::max_element(sent.begin(), sent.end()));
  marker = QStringLiteral("5");
  {
    Timed timed(statsMutex_, stats_.removeUs);
    for (quint32 no : sent)
      ::unlink(QFile::encodeName(log_dir + QLatin1Char('/') + TLogRecord::fileNameOf(no)));
  }
  sent.clear();
}

void TLogThread::writeLastSent(quint32 newest) {
  const quint32 last = std::max(last_sent_, newest);
  {
    Timed timed(statsMutex_, stats_.lastSentUs);
    plat::writeFileAtomic(last_sent_rec_no_file_name, QByteArray::number(last));
  }
  last_sent_ = last;
}

void TLogThread::reloadFromDisk(QString& marker, bool uploading) {
  marker = QStringLiteral("7");
  bool known;
  {
    std::lock_guard lock(cs);
    known = !waiting_.empty();
  }
  // Until the files known to wait are all loaded, nothing new can have
  // appeared that add() did not note; after that a listing finds any file
  // whose load failed for a while, or that came from outside.
  if (!known) {
    QDir().mkpath(log_dir);
    marker = QStringLiteral("8");
    std::vector<quint32> nos = listQueue();
    marker = QStringLiteral("9");
    std::lock_guard lock(cs);
    nos.insert(nos.end(), waiting_.begin(), waiting_.end());  // added meanwhile
    std::sort(nos.begin(), nos.end());
    nos.erase(std::unique(nos.begin(), nos.end()), nos.end());
    std::erase_if(nos, [&](quint32 no) { return records.count(no) != 0; });
    waiting_.assign(nos.begin(), nos.end());
  }
  marker = QStringLiteral("10");
  loadWaiting();
  marker = QStringLiteral("12");
  // More waiting than fits in memory: the next pass follows at once, unless
  // nothing can be uploaded yet, which would only spin.
  if (uploading && waitingOnDiskCount() > 0) immediate_checking = true;
}

void TLogThread::waitForWork() {
  const qint64 deadline = plat::clock().nowMs() + kPassIntervalMs;
  std::unique_lock lock(cs);
  plat::waitUntilMs(wake_, lock, deadline, [this] { return terminated_ || immediate_checking; });
}
