#include "kiosk/Audit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cmath>

#include "backoffice/JClient.h"
#include "backoffice/SqlLiteral.h"
#include "kiosk/ConfigCycle.h"
#include "kiosk/Counters.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/Common.h"
#include "platform/Exception.h"
#include "platform/MainThread.h"
#include "platform/TextCodec.h"

namespace {

constexpr qint64 kDayMs = 86400000;
const char* const kAuditFields =
    "id,vm_id,terminal_id,prgName,audit_dt,auditReason_id,audit_file,status";

void addProductLines(QStringList& lines, const std::vector<TProduct>& products, QChar kind) {
  for (const TProduct& p : products) {
    const QString cell = QString(kind) + QString::number(p.cell);
    const QString price = QString::number(roundKop(p.price));
    lines << QStringLiteral("LA1*3*%1*%2**%3").arg(cell, price).arg(qint64(p.counter))
          << QStringLiteral("LA1*1*%1*%2**%3").arg(cell, price).arg(qint64(p.sbp_counter))
          << QStringLiteral("LA1*2*%1*%2**%3").arg(cell, price).arg(qint64(p.yandexBadge_counter))
          << QStringLiteral("DSC*%1*%2").arg(cell).arg(qint64(p.discount_kop));
  }
}

// The point of a day: fractions beyond one day run into the next days.
QDateTime pointOf(const QDate& day, double fraction) {
  const qint64 ms = std::llround(fraction * double(kDayMs));
  qint64 days = ms / kDayMs;
  qint64 rest = ms % kDayMs;
  if (rest < 0) {
    rest += kDayMs;
    --days;
  }
  return QDateTime(day.addDays(days), QTime::fromMSecsSinceStartOfDay(int(rest)));
}

// Lines as a text list reads them: CR, LF or CR LF end a line, and a final
// line end makes no empty last line.
QStringList fileLines(const QByteArray& bytes) {
  QString text = plat::fromAnsi(bytes);
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QStringList lines = text.split(QLatin1Char('\n'));
  if (text.endsWith(QLatin1Char('\n'))) lines.removeLast();
  return lines;
}

bool isAuditText(const QStringList& lines) {
  return lines.size() >= 3 && lines.first().startsWith(QLatin1String("DXS")) &&
         lines.last().startsWith(QLatin1String("DXE"));
}

bool readWhole(const QString& path, QByteArray& out) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  out = f.readAll();
  return f.error() == QFileDevice::NoError;
}

bool isKnownId(const QVariant& v) {
  return v.isValid() && !v.isNull() && v.toLongLong() > 0;
}

// The text of an audit file as its row holds it.
QString auditText(const QByteArray& bytes) {
  return fileLines(bytes).join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

// Beside each audit file whose insert went out, in ".sent" of its folder, the
// number of rows of its machine, second, reason and text that the server held
// before: another audit of a second shown twice can have the same text.
QString sentMarkFolder(const QString& folder) {
  return QDir(folder).filePath(QStringLiteral(".sent"));
}
QString sentMarkOf(const QString& path) {
  const QFileInfo f(path);
  return QDir(sentMarkFolder(f.path())).filePath(f.fileName());
}

bool isDigits(const QString& text) {
  return !text.isEmpty() &&
         std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

}  // namespace

// --- the file ----------------------------------------------------------------

QStringList buildAuditLines(const QString& protocolSerialNumber, const QString& mac,
                            qint64 total_cashless_amount_kop, const std::vector<TProduct>& drinks,
                            const std::vector<TProduct>& snacks) {
  QStringList lines;
  lines << QStringLiteral("DXS")
        << QStringLiteral("ID1*NVQ") + protocolSerialNumber.rightJustified(7, QLatin1Char('0')) +
               QStringLiteral("*trevalo*")
        << QStringLiteral("MAC*") + mac
        << QStringLiteral("DA3*") + QString::number(total_cashless_amount_kop);
  addProductLines(lines, drinks, QLatin1Char('d'));
  addProductLines(lines, snacks, QLatin1Char('s'));
  lines << QStringLiteral("DXE");
  return lines;
}

QByteArray auditFileBytes(const QStringList& lines) {
  QString text;
  for (const QString& l : lines) text += l + QStringLiteral("\r\n");
  return plat::toAnsi(text);
}

QString auditFileName(const QDateTime& t, int reason) {
  return t.toString(QStringLiteral("yyyyMMdd_hhmmss_")) + QString::number(reason) +
         QStringLiteral(".dts");
}

void parseAuditFileName(const QString& fileName, QDateTime& dt, int& reason) {
  auto bad = [&] {
    return EConvertError(QStringLiteral("'%1' is not a valid audit file name").arg(fileName));
  };
  auto number = [&](qsizetype from, qsizetype len) {
    bool ok = false;
    const QStringView part = QStringView(fileName).mid(from, len);
    const int v = part.toInt(&ok);
    if (!ok || part.size() != len) throw bad();
    return v;
  };
  if (fileName.size() < 16 || fileName[8] != QLatin1Char('_') || fileName[15] != QLatin1Char('_'))
    throw bad();
  const QDate date(number(0, 4), number(4, 2), number(6, 2));
  const QTime time(number(9, 2), number(11, 2), number(13, 2));
  if (!date.isValid() || !time.isValid()) throw bad();
  const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
  const QStringList rest = fileName.mid(16, dot < 16 ? -1 : dot - 16).split(QLatin1Char('_'));
  bool ok = false;
  reason = rest[0].toInt(&ok);
  if (!ok || rest.size() > 2) throw bad();
  // The number of a second audit of the same second and reason.
  if (rest.size() == 2 && !isDigits(rest[1])) throw bad();
  dt = QDateTime(date, time);
}

QString auditFolder(const QString& dataFolder) {
  return QDir(dataFolder).filePath(QStringLiteral("Audit"));
}

QString saveAuditFile(const QString& dataFolder, const QDateTime& t, int reason,
                      const QStringList& lines) {
  // Two audits can share a second and a reason: two requests within one
  // second, or a second that the clock shows twice when summer time ends or
  // the clock is set back. Each keeps a file of its own, numbered from 2.
  const QDir folder(auditFolder(dataFolder));
  QStringList taken;
  for (const QString& name :
       TSetAsidePolicy::files(folder.filePath(QLatin1String(TSetAsidePolicy::kFolder))))
    taken << TSetAsidePolicy::originalName(name);
  const QString first = auditFileName(t, reason);
  QString name = first;
  for (int n = 2; folder.exists(name) || taken.contains(name); ++n)
    name = first.chopped(4) + QLatin1Char('_') + QString::number(n) + QStringLiteral(".dts");
  const QString path = folder.filePath(name);
  plat::writeFileAtomic(path, auditFileBytes(lines));
  return path;
}

// --- the timetable -------------------------------------------------------------

TAuditPlan planNextAudit(const std::vector<double>& auditTime, const QDateTime& last_audit_dt,
                         const QDateTime& now) {
  TAuditPlan plan;
  if (auditTime.empty()) return plan;
  plan.scheduled = true;
  const QDate day = now.date();
  for (double t : auditTime) {
    const QDateTime point = pointOf(day, t);
    if (!last_audit_dt.isValid() || last_audit_dt < point) {
      plan.next = point;
      break;
    }
  }
  if (!plan.next.isValid()) {
    plan.next = pointOf(day.addDays(1), auditTime.front());
    // A point that falls before tomorrow (a negative time of day) would be
    // due again right after the audit it caused, over and over.
    while (plan.next <= now) plan.next = plan.next.addDays(1);
  }
  plan.dueNow = now >= plan.next;
  if (!plan.dueNow) plan.intervalMs = now.msecsTo(plan.next) + 500;
  return plan;
}

// --- the main form's side -----------------------------------------------------

QDateTime TAuditScheduler::now() const {
  return ctx.now ? ctx.now() : QDateTime::currentDateTime();
}

void TAuditScheduler::arm(qint64 ms) {
  if (!ctx.tmAudit) return;
  ctx.tmAudit->setSingleShot(true);
  ctx.tmAudit->setInterval(int(std::clamp<qint64>(ms, 0, INT_MAX)));
  ctx.tmAudit->start();
}

void TAuditScheduler::makeAudit(int auditReason_id) {
  const QDateTime t = now();
  try {
    const QStringList lines = buildAuditLines(
        ctx.config->protocolSerialNumber, ctx.mac ? ctx.mac() : GetMacAddress(),
        ctx.counters->total_cashless_amount_kop, ctx.products->drinks, ctx.products->snacks);
    saveAuditFile(ctx.dataFolder, t, auditReason_id, lines);
    if (ctx.fileWritten) ctx.fileWritten();
  } catch (const std::exception& e) {
    // Nobody stands at the kiosk to read it; the local log keeps why.
    if (ctx.log) ctx.log(QStringLiteral("Аудит не записан: ") + exceptionMessage(e));
  }
  // The point counts as done either way, so a failing disk is not retried
  // in a loop.
  *ctx.last_audit_dt = t;
  if (ctx.SS) {
    QString failure;
    try {
      writeDateTime(*ctx.SS, SettingsKeys::last_audit_dt, t);
      failure = ctx.SS->SaveToIniFile().error;
    } catch (const std::exception& e) {
      failure = exceptionMessage(e);
    }
    if (!failure.isEmpty() && ctx.log)
      ctx.log(QStringLiteral("Не удалось сохранить настройки: ") + failure);
  }
  scheduleNextAudit();
}

void TAuditScheduler::scheduleNextAudit() {
  if (ctx.tmAudit) ctx.tmAudit->stop();
  const TAuditPlan plan = planNextAudit(ctx.config->auditTime, *ctx.last_audit_dt, now());
  next_audit_tm = plan.next;
  if (!plan.scheduled) return;
  if (plan.dueNow)
    makeAudit(arTimetable);
  else
    arm(plan.intervalMs);
}

void TAuditScheduler::tmAuditTimer() {
  if (ctx.tmAudit) ctx.tmAudit->stop();
  if (!next_audit_tm.isValid()) return;
  const QDateTime t = now();
  if (t < next_audit_tm)
    arm(t.msecsTo(next_audit_tm) + 500);
  else
    makeAudit(arTimetable);
}

// --- the upload worker ----------------------------------------------------------

TUploadingThread::TUploadingThread(TUploadingContext context) : ctx_(std::move(context)) {
  const QString dir = auditFolder(ctx_.dataFolder);
  const QString refusedDir = QDir(dir).filePath(QLatin1String(TSetAsidePolicy::kFolder));
  // Earlier versions kept no marks: the last run of one may have ended while
  // it waited for the answer to any of its files. The flag that marks are
  // kept comes after the marks of such files, so a start cut short in between
  // does this again.
  const QString marksKeptFlag = QDir(sentMarkFolder(dir)).filePath(QStringLiteral(".kept"));
  const bool marksKept = QFileInfo::exists(marksKeptFlag);
  QStringList paths;
  for (const QString& name : QDir(dir).entryList({QStringLiteral("*.dts")}, QDir::Files))
    paths << QDir(dir).filePath(name);
  for (const QString& name : TSetAsidePolicy::files(refusedDir))
    paths << QDir(refusedDir).filePath(name);
  for (const QString& path : paths) {
    QByteArray mark;
    if (!marksKept)
      markInDoubt(path, 0);
    else if (readWhole(sentMarkOf(path), mark))
      inDoubt_.emplace(path, mark.trimmed().toLongLong());
  }
  if (!marksKept) {
    try {
      plat::writeFileAtomic(marksKeptFlag, QByteArray());
    } catch (const Exception& e) {
      log(QStringLiteral("TUploadingThread: ") + e.message());
    }
  }
  // The marks of files gone while the program was not running.
  for (const QString& folder : {dir, refusedDir})
    for (const QString& name : QDir(sentMarkFolder(folder)).entryList(QDir::Files))
      if (!QFileInfo::exists(QDir(folder).filePath(name)))
        QFile::remove(QDir(sentMarkFolder(folder)).filePath(name));
}

TUploadingThread::~TUploadingThread() {
  terminate();
  if (worker_.joinable()) worker_.join();
}

void TUploadingThread::start() {
  if (worker_.joinable() || terminated_) return;
  worker_ = std::thread([this] { run(); });
}

void TUploadingThread::terminate() {
  {
    std::lock_guard lock(m_);
    terminated_ = true;
  }
  stop_.interrupt();
  wake_.notify_all();
}

void TUploadingThread::checkNow() {
  {
    std::lock_guard lock(m_);
    immediate_audit_checking = true;
  }
  wake_.notify_all();
}

void TUploadingThread::log(const QString& text) const {
  if (ctx_.log) ctx_.log(text);
}

void TUploadingThread::run() {
  auto client = std::make_unique<TJClient>();
  TClientInterrupt::Scope interruptible(stop_, client.get());
  client->setShowProgress(false);
  while (!terminated_) {
    TUploadPass pass;
    if (ctx_.synchronize) {
      const bool ran = plat::runOnMain([&] { ctx_.synchronize(*client, pass); }, &terminated_);
      if (!ran) break;
    }
    try {
      uploadPending(*client, pass);
    } catch (const std::exception& e) {
      log(QStringLiteral("TUploadingThread: ") + exceptionMessage(e));
    }
    if (terminated_) break;
    waitForWork();
  }
}

void TUploadingThread::waitForWork() {
  const int64_t deadline = plat::clock().nowMs() + kPassIntervalMs;
  std::unique_lock lock(m_);
  plat::waitUntilMs(wake_, lock, deadline,
                    [this] { return terminated_ || immediate_audit_checking; });
  // A new file: list the folder again instead of finishing an old listing.
  if (immediate_audit_checking) pending_.clear();
}

bool TUploadingThread::refused(const QString& dir, const QString& name, const QString& message) {
  if (!setAside_.refused(name)) return false;
  const QString path = QDir(dir).filePath(name);
  QString target;
  if (!TSetAsidePolicy::moveInto(path, QDir(dir).filePath(QLatin1String(TSetAsidePolicy::kFolder)),
                                 &target)) {
    log(QStringLiteral("TUploadingThread: аудит %1 не перенесён в Audit/refused").arg(name));
    return false;
  }
  // An earlier answer that was lost still leaves it in doubt where it is now.
  if (const auto doubt = inDoubt_.find(path); doubt != inDoubt_.end()) {
    const qint64 before = doubt->second;
    forget(path);
    markInDoubt(target, before);
  }
  log(QStringLiteral("TUploadingThread: аудит %1 отклонён сервером не менее %2 раз подряд за час "
                     "и перенесён в Audit/refused: %3")
          .arg(name)
          .arg(TSetAsidePolicy::kRefusalLimit)
          .arg(message));
  if (ctx_.event)
    ctx_.event(1, QStringLiteral("Аудит не принят сервером и отложен: %1 (%2)").arg(name, message));
  return true;
}

void TUploadingThread::markInDoubt(const QString& path, qint64 before) {
  inDoubt_[path] = before;
  try {
    plat::writeFileAtomic(sentMarkOf(path), QByteArray::number(before));
  } catch (const Exception& e) {
    // The doubt then lasts only while the program runs.
    log(QStringLiteral("TUploadingThread: ") + e.message());
  }
}

void TUploadingThread::forget(const QString& path) {
  if (inDoubt_.erase(path) != 0) QFile::remove(sentMarkOf(path));
}

qint64 TUploadingThread::storedCount(TJClient& client, const TUploadPass& pass, const QDateTime& dt,
                                     int reason, const QString& text) {
  // The whole second: the server may keep a fraction or write the time its
  // own way, and the file name holds whole seconds.
  const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
  const QString sql =
      QStringLiteral(
          "select count(*) from tbVmAudit where vm_id = %1 and auditReason_id = %2 and "
          "audit_dt >= %3 and audit_dt < %4 and audit_file = %5")
          .arg(SqlLiteral::largeInteger(pass.vm_id.toString()),
               SqlLiteral::integer(QString::number(reason)),
               SqlLiteral::quoted(dt.toString(format)),
               SqlLiteral::quoted(dt.addSecs(1).toString(format)), SqlLiteral::quoted(text));
  return client.selectValue(sql, kTimeoutS).toInt64();
}

void TUploadingThread::settleTwinsInDoubt(TJClient& client, const TUploadPass& pass,
                                          const QString& path, const QDateTime& dt, int reason,
                                          const QString& text) {
  std::vector<std::pair<QString, qint64>> twins;
  for (const auto& [other, before] : inDoubt_) {
    if (other == path) continue;
    QDateTime otherDt;
    int otherReason = 0;
    QByteArray bytes;
    try {
      parseAuditFileName(TSetAsidePolicy::originalName(QFileInfo(other).fileName()), otherDt,
                         otherReason);
    } catch (const EConvertError&) {
      continue;
    }
    if (otherDt == dt && otherReason == reason && readWhole(other, bytes) &&
        auditText(bytes) == text)
      twins.emplace_back(other, before);
  }
  for (const auto& [other, before] : twins) {
    try {
      if (storedCount(client, pass, dt, reason, text) > before) {
        log(QStringLiteral("TUploadingThread: аудит %1 уже есть на сервере")
                .arg(QFileInfo(other).fileName()));
        if (!QFile::remove(other)) continue;
      }
      forget(other);
    } catch (const EServerError&) {
      // A server that cannot count cannot tell the two apart either.
    }
  }
}

bool TUploadingThread::sendAudit(TJClient& client, const TUploadPass& pass, const QString& path,
                                 const QString& name, const QByteArray& bytes, QString& refusal) {
  QDateTime dt;
  int reason = 0;
  parseAuditFileName(name, dt, reason);
  const QString text = auditText(bytes);
  // Another audit of the same second, reason and text cannot be told apart
  // from this one on the server; whether it got there is settled first, so
  // the count below stays this audit's own.
  settleTwinsInDoubt(client, pass, path, dt, reason, text);
  qint64 before = -1;
  try {
    before = storedCount(client, pass, dt, reason, text);
  } catch (const EServerError& e) {
    // A server that cannot say gets the audit again, as it would without a
    // look-up; the line tells why it may hold it twice.
    if (inDoubt_.count(path) != 0)
      log(QStringLiteral("TUploadingThread: не удалось проверить, есть ли аудит %1 на сервере "
                         "(%2); он отправляется снова")
              .arg(name, e.message()));
  }
  if (const auto doubt = inDoubt_.find(path); doubt != inDoubt_.end() && before > doubt->second) {
    log(QStringLiteral("TUploadingThread: аудит %1 уже есть на сервере").arg(name));
    return true;
  }
  // On disk before the request goes out: a program that ends while it waits
  // for the answer finds the mark at its next start.
  markInDoubt(path, std::max<qint64>(before, 0));
  const TVariantArray values{WireValue::fromQVariant(pass.vm_id),
                             WireValue::fromQVariant(pass.terminal_id),
                             WireValue(QStringLiteral("List 2")),
                             WireValue::dateTime(dt),
                             WireValue(reason),
                             WireValue(text),
                             WireValue(1)};
  try {
    client.insertRec(QStringLiteral("tbVmAudit"), QLatin1String(kAuditFields), WireValue(values),
                     kTimeoutS);
  } catch (const EServerError& e) {
    // Only the server's own answer counts against the file; a transport
    // failure says nothing about it.
    forget(path);
    refusal = e.message();
    return false;
  } catch (const Exception&) {
    if (!client.requestSent()) forget(path);
    throw;
  }
  return true;
}

void TUploadingThread::retrySetAside(TJClient& client, const TUploadPass& pass,
                                     const QString& dir) {
  const QString refusedDir = QDir(dir).filePath(QLatin1String(TSetAsidePolicy::kFolder));
  const int64_t sliceEnd = plat::clock().nowMs() + TSetAsidePolicy::kRoundSliceMs;
  for (const QString& file : setAside_.roundAhead(TSetAsidePolicy::files(refusedDir))) {
    if (terminated_) return;
    // A new audit goes first, and the round goes on in a later pass.
    if (immediate_audit_checking || plat::clock().nowMs() >= sliceEnd) {
      checkNow();
      return;
    }
    const QString path = QDir(refusedDir).filePath(file);
    QByteArray bytes;
    if (readWhole(path, bytes)) {
      QString refusal;
      bool sent = false;
      try {
        sent = sendAudit(client, pass, path, TSetAsidePolicy::originalName(file), bytes, refusal);
      } catch (const EConvertError& e) {
        log(QStringLiteral("TUploadingThread: ") + e.message());
      }
      if (sent) {
        if (QFile::remove(path))
          forget(path);
        else
          log(QStringLiteral("TUploadingThread: cannot delete \"%1\"").arg(path));
        log(QStringLiteral("TUploadingThread: отложенный аудит %1 принят сервером").arg(file));
      }
    }
    setAside_.handled(file);
  }
  setAside_.retried();
}

void TUploadingThread::uploadPending(TJClient& client, const TUploadPass& pass) {
  immediate_audit_checking = false;
  // Rows belong to a machine: without its ids the files wait on disk.
  if (!isKnownId(pass.vm_id) || !isKnownId(pass.terminal_id)) return;
  const QString dir = auditFolder(ctx_.dataFolder);
  if (pending_.isEmpty()) {
    pending_ = QDir(dir).entryList({QStringLiteral("*.dts")}, QDir::Files);
    std::sort(pending_.begin(), pending_.end());  // the names start with the time
  }
  while (!pending_.isEmpty() && !terminated_) {
    const QString name = pending_.first();
    const QString path = QDir(dir).filePath(name);
    QByteArray bytes;
    if (!QFile::exists(path)) {
      forget(path);
      pending_.removeFirst();  // gone meanwhile: nothing to wait for
      continue;
    }
    if (!readWhole(path, bytes))
      throw EFileError(QStringLiteral("Cannot read file \"%1\".").arg(path));
    if (isAuditText(fileLines(bytes))) {
      QString refusal;
      try {
        if (!sendAudit(client, pass, path, name, bytes, refusal)) {
          // It stays first in line until the policy lets it go.
          if (!refused(dir, name, refusal)) throw EServerError(refusal);
          pending_.removeFirst();
          continue;
        }
      } catch (const EConvertError& e) {
        // Not one of ours: it can never be uploaded, so it must not hold
        // back the audits behind it. It stays where it is.
        log(QStringLiteral("TUploadingThread: ") + e.message());
        pending_.removeFirst();
        continue;
      }
    }
    // A file that cannot be deleted stays marked: sent again, it is found on
    // the server first.
    if (QFile::remove(path) || !QFile::exists(path))
      forget(path);
    else
      log(QStringLiteral("TUploadingThread: cannot delete \"%1\"").arg(path));
    pending_.removeFirst();
  }
  // What was set aside goes again once nothing else waits, so it never
  // holds back the audits.
  if (!terminated_ && pending_.isEmpty() && setAside_.retryDue()) retrySetAside(client, pass, dir);
}
