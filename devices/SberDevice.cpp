#include "devices/SberDevice.h"

#include <cmath>

#include "bridge/SberErrors.h"
#include "platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "platform/Common.h"

namespace {

// An empty output, or "err" without its message, means the bridge died or
// could not be started; say so rather than fail on a missing line.
const char kNoAnswer[] = "Нет ответа от программы связи с банковским терминалом.";

// Lines as the output reader of the original split them: at CR LF, CR or LF,
// with no empty line after a final break.
QStringList splitLines(const QString& text) {
  QStringList lines;
  QString current;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == u'\r' || c == u'\n') {
      lines << current;
      current.clear();
      if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    } else {
      current += c;
    }
  }
  if (!current.isEmpty()) lines << current;
  return lines;
}

}  // namespace

TSberDevice::TSberDevice(const QString& sberFolder, plat::ConsoleCommandRunner runner)
    : sberFolder_(sberFolder.isEmpty() ? plat::programFolder() + QStringLiteral("/sber")
                                       : sberFolder),
      runner_(runner ? std::move(runner) : plat::ConsoleCommandRunner(RunConsoleCommand)) {
  exe_file = sberFolder_ + QStringLiteral("/vekta_sber");
  abort_operation_file = sberFolder_ + QStringLiteral("/abort_operation");
}

// The bridge runs in its own folder, where a bank library may look for its
// settings file.
void TSberDevice::run(const QStringList& arguments, const std::atomic<bool>& stop) {
  L.clear();
  const QString output = runner_(QStringList{exe_file} + arguments, stop, sberFolder_);
  L = splitLines(output);
}

void TSberDevice::pay(double amount, const std::atomic<bool>& terminate) {
  const double kopecks = std::nearbyint(amount * 100.0);
  // The bridge refuses zero and negative amounts itself; only a value with no
  // integer text at all is stopped here.
  if (!std::isfinite(kopecks) || std::fabs(kopecks) > 1e15) {
    throw EConvertError(QStringLiteral("Invalid amount"));
  }
  run({QStringLiteral("pay"), QString::number(static_cast<qint64>(kopecks))}, terminate);
  checkResult();
  const QString rcode = getValue(QStringLiteral("rcode"));
  if (rcode != QLatin1String("0") && rcode != QLatin1String("00")) {
    RaiseError(QStringLiteral("Ошибка ") + rcode + QStringLiteral("."));
  }
}

void TSberDevice::revise_totals() {
  std::atomic<bool> stop{false};
  run({QStringLiteral("revise_totals")}, stop);
  checkResult();
}

void TSberDevice::rollBackTrx() {
  std::atomic<bool> stop{false};
  run({QStringLiteral("cancel_last_payment")}, stop);
  checkResult();
}

bool TSberDevice::testPinPad() {
  run({QStringLiteral("test_pin_pad")}, terminated);
  checkResult();
  return getValue(QStringLiteral("result")) == QLatin1String("true");
}

void TSberDevice::abort_operation() {
  plat::writeFileAtomic(abort_operation_file, QByteArray());
}

void TSberDevice::createIniFile(int comPort) {
  const QByteArray text = "ComPort=" + QByteArray::number(comPort) +
                          "\r\n"
                          "Speed=115200\r\n"
                          "ShowScreens=0\r\n"
                          "NewProtocol=1\r\n";
  plat::writeFileAtomic(sberFolder_ + QStringLiteral("/pinpad.ini"), text);
}

void TSberDevice::checkResult() {
  if (L.isEmpty()) RaiseError(QString::fromUtf8(kNoAnswer));
  const QString& first = L.first();
  if (first == QLatin1String("err")) {
    if (L.size() < 2 || L[1].trimmed().isEmpty()) RaiseError(QString::fromUtf8(kNoAnswer));
    RaiseError(L[1]);
  }
  if (first != QLatin1String("ok")) {
    RaiseError(QStringLiteral("Unknown result (") + first + QStringLiteral(")."));
  }
  const QString lastError = getValue(QStringLiteral("last_error"));
  if (lastError == QLatin1String("0")) return;
  bool isNumber = false;
  int code = lastError.toInt(&isNumber);
  if (!isNumber) code = -1;
  QString message = getErrorText(code);
  if (message.isEmpty()) message = getValue(QStringLiteral("last_error_msg"));
  if (message.isEmpty()) message = QStringLiteral("Ошибка ") + lastError;
  RaiseError(message);
}

QString TSberDevice::getValue(const QString& key) const {
  const QString prefix = key + u'=';
  for (const QString& line : L) {
    if (line.startsWith(prefix)) return line.mid(prefix.size());
  }
  return {};
}

QString TSberDevice::getErrorText(int code) {
  return QString::fromStdString(PilotErrorText(code));
}
