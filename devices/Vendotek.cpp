#include "devices/Vendotek.h"

#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <limits>

#include "devices/CRC16.h"
#include "platform/Clock.h"

namespace {

constexpr int kPartTimeoutMs = 8000;
constexpr int kAnswerTimeoutMs = 1000;
constexpr int kDrainTimeoutMs = 10;
constexpr int kLoopRecvTimeoutMs = 10;
constexpr int kLoopSleepMs = 100;
constexpr int kBankConnectTimeoutMs = 25000;
// A bank host that stops reading must not hold the driver's lock, and with it
// every payment and the close, for longer than this.
constexpr int kBankWriteTimeoutMs = 30000;
// Quiet gap that ends one batch of bank bytes.
constexpr int kBankGapMs = 10;
// The most bank bytes one "DAT" frame carries: the body holds the name, the
// byte counter, the destination and the block's own tag and length besides.
constexpr qsizetype kMaxBankChunk = kVendotekMaxBody - 64;

const char* const kTagNames[] = {"MessageName",
                                 "PinCode",
                                 "OperationNumber",
                                 "AmountMinorCurrency",
                                 "KeepaliveIntervalS",
                                 "OperationTimeoutS",
                                 "EventName",
                                 "EventNumber",
                                 "ProductId",
                                 "QRCode",
                                 "TcpIpDestination",
                                 "OutgoingByteCounter",
                                 "SimpleDataBlock",
                                 "ConfirmableDataBlock",
                                 "ProductName",
                                 "PosManagementData",
                                 "LocalTime",
                                 "SystemInformation",
                                 "BankingReceipt",
                                 "DisplayTimeMs",
                                 "ImageName",
                                 "ImageFlags",
                                 "DisplayText",
                                 "CoordinatesAndColor",
                                 "HostId",
                                 "LoyaltyCode",
                                 "CardUID",
                                 "StageID",
                                 "HMAC"};

const QByteArray kIDL = "IDL";
const QByteArray kDIS = "DIS";
const QByteArray kVRP = "VRP";
const QByteArray kFIN = "FIN";
const QByteArray kCON = "CON";
const QByteArray kDAT = "DAT";
const QByteArray kDSC = "DSC";
const QByteArray kZeroDestination(1, '\0');

template <typename T>
T toNumber(const QByteArray& text) {
  bool ok = false;
  const qlonglong v = text.toLongLong(&ok);
  if (!ok || v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
    throw EConvertError(
        QStringLiteral("'%1' is not a valid integer value").arg(QString::fromLatin1(text)));
  }
  return T(v);
}

}  // namespace

// ---- messages ----

QByteArray TVendotekMessage::getValue(uint8_t tag) const {
  for (const auto& t : tags) {
    if (t.tag == tag) return t.value;
  }
  return {};
}

QByteArray encodeTlvLength(qsizetype n) {
  if (n <= 0) throw Exception(QStringLiteral("Length is too small."));
  if (n <= 0x7F) return QByteArray(1, char(n));
  if (n <= 0xFF) return QByteArray("\x81", 1) + char(n);
  if (n <= 0xFFFF) return QByteArray("\x82", 1) + char(n >> 8) + char(n & 0xFF);
  throw Exception(QStringLiteral("Length is too big"));
}

bool readTlvLength(const QByteArray& body, qsizetype& pos, qsizetype& len) {
  if (pos >= body.size()) return false;
  const uint8_t first = uint8_t(body[pos]);
  if (first == 0) throw Exception(QStringLiteral("Zero length"));
  if (first <= 0x7F) {
    len = first;
    pos += 1;
    return true;
  }
  if (first == 0x81) {
    if (pos + 2 > body.size()) return false;
    len = uint8_t(body[pos + 1]);
    pos += 2;
    return true;
  }
  if (first == 0x82) {
    if (pos + 3 > body.size()) return false;
    len = (qsizetype(uint8_t(body[pos + 1])) << 8) | uint8_t(body[pos + 2]);
    pos += 3;
    return true;
  }
  throw Exception(QStringLiteral("Length is too big"));
}

QByteArray TVendotekMessage::toString() const {
  QByteArray out;
  for (const auto& t : tags) {
    out += char(t.tag);
    out += encodeTlvLength(t.value.size());
    out += t.value;
  }
  return out;
}

void TVendotekMessage::parse(const QByteArray& msg) {
  clear();
  qsizetype pos = 0;
  while (msg.size() - pos >= 2) {
    const uint8_t tag = uint8_t(msg[pos++]);
    qsizetype len = 0;
    if (!readTlvLength(msg, pos, len)) break;
    const qsizetype take = std::min(len, msg.size() - pos);
    add(tag, msg.mid(pos, take));
    pos += take;
  }
}

QString TVendotekMessage::getTagDescr(int tag) {
  if (tag >= 1 && tag <= int(std::size(kTagNames))) return QString::fromLatin1(kTagNames[tag - 1]);
  return QStringLiteral("Unknown tag %1").arg(tag);
}

QString TVendotekMessage::getDescription() const {
  QString out;
  for (const auto& t : tags) {
    QString printable;
    printable.reserve(t.value.size());
    for (char c : t.value) {
      const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      printable += plain ? QChar::fromLatin1(c) : QLatin1Char('.');
    }
    out += getTagDescr(t.tag) + QStringLiteral(": ") + printable + QStringLiteral("\r\n");
  }
  return out;
}

// ---- frames ----

QByteArray vendotekFrame(const QByteArray& body, const QByteArray& marker) {
  if (body.size() > kVendotekMaxBody) {
    throw Exception(QStringLiteral("Message is too long for a frame."));
  }
  const qsizetype len = body.size() + 2;
  QByteArray frame;
  frame.reserve(body.size() + 7);
  frame += char(0x1F);
  frame += char(len >> 8);
  frame += char(len & 0xFF);
  frame += marker;
  frame += body;
  const uint16_t crc = crc16Ccitt(frame);
  frame += char(crc >> 8);
  frame += char(crc & 0xFF);
  return frame;
}

namespace {

bool frameIsValid(const QByteArray& header, const QByteArray& body, const QByteArray& crc,
                  const QByteArray& marker) {
  if (header.mid(2, 2) != marker) return false;
  const uint16_t want = crc16Ccitt(QByteArray(1, char(0x1F)) + header + body);
  return uint8_t(crc[0]) == (want >> 8) && uint8_t(crc[1]) == (want & 0xFF);
}

}  // namespace

bool takeVendotekFrame(QByteArray& buf, const QByteArray& marker, QByteArray* body) {
  for (;;) {
    const qsizetype start = buf.indexOf(char(0x1F));
    if (start < 0) {
      buf.clear();
      return false;
    }
    buf.remove(0, start);
    if (buf.size() < 5) return false;
    const qsizetype len = (qsizetype(uint8_t(buf[1])) << 8) | uint8_t(buf[2]);
    if (len <= 2) {  // a header with nothing after it: drop it and look again
      buf.remove(0, 5);
      continue;
    }
    const qsizetype total = 3 + len + 2;
    if (buf.size() < total) return false;
    const QByteArray header = buf.mid(1, 4);
    const QByteArray b = buf.mid(5, len - 2);
    const QByteArray crc = buf.mid(3 + len, 2);
    buf.remove(0, total);
    if (len <= 3 || !frameIsValid(header, b, crc, marker)) continue;
    if (body) *body = b;
    return true;
  }
}

QByteArray readVendotekFrame(TComDevice& dev, int timeoutMs, const QByteArray& marker,
                             const std::function<void()>& onByte) {
  for (;;) {
    for (;;) {
      const uint8_t b = dev.recvByte(timeoutMs);
      if (onByte) onByte();
      if (b == 0x1F) break;
    }
    const QByteArray header = dev.recvBuffer(kPartTimeoutMs, 4);
    if (onByte) onByte();
    const qsizetype len = (qsizetype(uint8_t(header[0])) << 8) | uint8_t(header[1]);
    QByteArray body, crc;
    if (len > 2) {
      body = dev.recvBuffer(kPartTimeoutMs, int(len - 2));
      crc = dev.recvBuffer(kPartTimeoutMs, 2);
      if (onByte) onByte();
    }
    if (len <= 3 || !frameIsValid(header, body, crc, marker)) continue;
    return body;
  }
}

QByteArray vendotekLocalTime(const QDateTime& local, int standardOffsetSecs) {
  // The terminal wants the bias the original platform reports: UTC minus
  // local time, in minutes, "+" when it is zero or negative.
  const int bias = -standardOffsetSecs / 60;
  const int a = std::abs(bias);
  const QString zone = QStringLiteral("%1%2%3")
                           .arg(bias <= 0 ? QLatin1Char('+') : QLatin1Char('-'))
                           .arg(a / 60, 2, 10, QLatin1Char('0'))
                           .arg(a % 60, 2, 10, QLatin1Char('0'));
  return (local.toString(QStringLiteral("yyyyMMdd'T'HHmmss")) + zone).toLatin1();
}

QByteArray vendotekKopecks(double amount) {
  const double k = std::nearbyint(amount * 100);
  if (!std::isfinite(k) || k < 0 || k > 1e15) {
    throw Exception(QStringLiteral("Неверная сумма платежа."));
  }
  return QByteArray::number(qint64(k));
}

// ---- driver ----

TVendotek::TVendotek(std::function<void(const QString&)> log, EventFn events)
    : log_(std::move(log)),
      events_(std::move(events)),
      thread_([this](std::stop_token st) { execute(st); }) {}

TVendotek::~TVendotek() {
  thread_.request_stop();
  // Breaks a receive loop of the thread at its next deadline check, and a
  // wait on the bank host at once.
  comDevice.terminated = true;
  tcpSocket.interrupt();
  sleepCv_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(cs);
  tcpSocket.close();
  comDevice.closeSocket();
  fIsOpen = false;
}

int64_t TVendotek::now() const {
  return plat::clock().nowMs();
}

int32_t TVendotek::operationNumber() const {
  std::lock_guard lock(cs);
  return operationNumber_;
}
int32_t TVendotek::keepaliveInterval() const {
  std::lock_guard lock(cs);
  return keepaliveInterval_;
}
int32_t TVendotek::operationTimeout() const {
  std::lock_guard lock(cs);
  return operationTimeout_;
}
int64_t TVendotek::outgoingByteCounter() const {
  std::lock_guard lock(cs);
  return outgoingByteCounter_;
}

void TVendotek::open() {
  close();
  std::lock_guard lock(cs);
  if (fComPort <= 0) throw Exception(QStringLiteral("Не указан номер COM-порта."));
  comDevice.connect(QStringLiteral("COM%1").arg(fComPort.load()), 115200, 8, 0, 0, false, false);
  fIsOpen = true;
  heardSinceOpen_ = false;
  last_recv_dt = 0;
  last_send_dt = 0;
  payment_in_progress = false;
  payment_done = false;
  { std::lock_guard lk(sleepMutex_); }
  sleepCv_.notify_all();
}

void TVendotek::close() {
  std::lock_guard lock(cs);
  comDevice.closeSocket();
  fIsOpen = false;
}

void TVendotek::setComPort(int port) {
  std::lock_guard lock(cs);
  comDevice.closeSocket();
  // Otherwise the next message would be written to the closed handle
  // instead of opening the new port.
  fIsOpen = false;
  fComPort = port;
}

void TVendotek::sendMessage(const TVendotekMessage& msg) {
  std::lock_guard lock(cs);
  if (!fIsOpen) open();
  try {
    comDevice.sendBuffer(vendotekFrame(msg.toString(), kVendotekToTerminal));
  } catch (const EComPortError& e) {
    linkLost(e.message());
    throw;
  }
  last_send_dt = now();
}

TVendotekMessage TVendotek::recvMessage(int timeout) {
  std::lock_guard lock(cs);
  QByteArray body;
  try {
    body = readVendotekFrame(comDevice, timeout, kVendotekFromTerminal,
                             [this] { last_recv_dt = now(); });
  } catch (const EComPortError& e) {
    linkLost(e.message());
    throw;
  }
  heardSinceOpen_ = true;
  TVendotekMessage msg;
  msg.parse(body);
  const QByteArray name = msg.getValue(vtMessageName);

  if (name == kVRP && !finishing_ &&
      msg.getValue(vtOperationNumber) == QByteArray::number(operationNumber_)) {
    // Only a payment still waiting is confirmed: an approval that comes after
    // the payment ended must not be finished, or the terminal would charge a
    // card the kiosk has already given up on.
    if (payment_in_progress &&
        msg.getValue(vtAmountMinorCurrency) == vendotekKopecks(payment_amount)) {
      try {
        finishPayment();
      } catch (const std::exception&) {
        try {
          finishPayment();
        } catch (const std::exception&) {
        }
      }
    }
    payment_in_progress = false;
  }

  if (name == kCON) {
    handleConnect(msg);
  } else if (name == kDAT) {
    handleData(msg);
  } else if (name == kDSC) {
    handleDisconnect();
  }

  for (const auto& t : msg.tags) {
    switch (t.tag) {
      case vtOperationNumber:
        operationNumber_ = toNumber<int32_t>(t.value);
        break;
      case vtKeepaliveIntervalS:
        keepaliveInterval_ = toNumber<int32_t>(t.value);
        break;
      case vtOperationTimeoutS:
        operationTimeout_ = toNumber<int32_t>(t.value);
        break;
      case vtOutgoingByteCounter:
        outgoingByteCounter_ = toNumber<int64_t>(t.value);
        break;
      default:
        break;
    }
  }
  return msg;
}

void TVendotek::idleHandshake() {
  const QDateTime local = QDateTime::currentDateTime();
  const QByteArray time =
      vendotekLocalTime(local, QTimeZone::systemTimeZone().standardTimeOffset(local));
  std::lock_guard lock(cs);
  TVendotekMessage msg;
  msg.add(vtMessageName, kIDL);
  msg.add(vtLocalTime, time);
  sendMessage(msg);
  while (recvMessage(kAnswerTimeoutMs).getValue(vtMessageName) != kIDL) {
  }
}

void TVendotek::disableHandshake() {
  // Tried in short steps rather than with a timed lock, which the race
  // detector cannot follow.
  std::unique_lock lock(cs, std::try_to_lock);
  const int64_t deadline = now() + kDisableLockWaitMs;
  while (!lock.owns_lock()) {
    const int64_t left = deadline - now();
    if (left <= 0) {
      const QString text =
          QStringLiteral(
              "Банковский терминал Vendotek (COM%1) не отключён: линия занята дольше %2 мс")
              .arg(fComPort.load())
              .arg(kDisableLockWaitMs);
      log_.log(text);
      throw ETimeout(text);
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::clamp<int64_t>(plat::clock().realWaitMs(left), 1, 5)));
    lock.try_lock();
  }
  TVendotekMessage msg;
  msg.add(vtMessageName, kDIS);
  msg.add(vtOperationNumber, QByteArray::number(operationNumber_));
  sendMessage(msg);
}

void TVendotek::drainInput() {
  try {
    for (;;) recvMessage(kDrainTimeoutMs);
  } catch (const std::exception&) {
  }
}

void TVendotek::startPayment(double amount) {
  std::lock_guard lock(cs);
  if (payment_in_progress) throw Exception(QStringLiteral("Процесс оплаты уже выполняется."));
  const QByteArray kopecks = vendotekKopecks(amount);
  // Opening resets the payment state, so it must come before the state is set.
  if (!fIsOpen) open();
  // Drained before the new state is set: a late approval of the previous
  // operation still on the line must not count for this payment.
  drainInput();
  payment_amount = amount;
  payment_start_dt = now();
  payment_done = false;
  payment_in_progress = true;
  operationNumber_ = int32_t(uint32_t(operationNumber_) + 1);
  TVendotekMessage msg;
  msg.add(vtMessageName, kVRP);
  msg.add(vtOperationNumber, QByteArray::number(operationNumber_));
  msg.add(vtAmountMinorCurrency, kopecks);
  try {
    sendMessage(msg);
  } catch (...) {
    payment_in_progress = false;
    throw;
  }
}

void TVendotek::finishPayment() {
  struct Finishing {
    bool& flag;
    explicit Finishing(bool& f) : flag(f) { flag = true; }
    ~Finishing() { flag = false; }
  } finishing(finishing_);
  const QByteArray op = QByteArray::number(operationNumber_);
  const QByteArray kopecks = vendotekKopecks(payment_amount);
  TVendotekMessage fin;
  fin.add(vtMessageName, kFIN);
  fin.add(vtOperationNumber, op);
  fin.add(vtAmountMinorCurrency, kopecks);
  sendMessage(fin);
  for (;;) {
    const TVendotekMessage m = recvMessage(kAnswerTimeoutMs);
    if (m.getValue(vtMessageName) == kFIN && m.getValue(vtOperationNumber) == op &&
        m.getValue(vtAmountMinorCurrency) == kopecks) {
      break;
    }
  }
  payment_done = true;
}

void TVendotek::handleConnect(const TVendotekMessage& msg) {
  QByteArray dest = msg.getValue(vtTcpIpDestination);
  char status = 0;
  if (dest.size() < 8) {
    // No address to connect to: report a failed connection.
    dest = dest.leftJustified(8, '\0');
    status = 4;
  } else if (dest[0] == 0) {
    dest.truncate(8);
    tcpSocket.close();
    const QString host = QStringLiteral("%1.%2.%3.%4")
                             .arg(uint8_t(dest[1]))
                             .arg(uint8_t(dest[2]))
                             .arg(uint8_t(dest[3]))
                             .arg(uint8_t(dest[4]));
    const int port = (int(uint8_t(dest[5])) << 8) | uint8_t(dest[6]);
    try {
      tcpSocket.connect(host, port, kBankConnectTimeoutMs);
      status = 1;
    } catch (const std::exception&) {
      status = 4;
    }
  } else {
    dest.truncate(8);
  }
  dest[7] = status;
  TVendotekMessage answer;
  answer.add(vtMessageName, kCON);
  answer.add(vtTcpIpDestination, dest);
  sendMessage(answer);
}

void TVendotek::handleData(const TVendotekMessage& msg) {
  QByteArray data = msg.getValue(vtSimpleDataBlock);
  bool confirmable = false;
  if (data.isEmpty()) {
    data = msg.getValue(vtConfirmableDataBlock);
    confirmable = !data.isEmpty();
  }
  if (!tcpSocket.isConnected()) throw Exception(QStringLiteral("Socket error."));
  tcpSocket.write(data, kBankWriteTimeoutMs);
  plat::clock().sleepMs(10);
  if (confirmable) {
    TVendotekMessage answer;
    answer.add(vtMessageName, kDAT);
    answer.add(vtTcpIpDestination, kZeroDestination);
    answer.add(vtOutgoingByteCounter, msg.getValue(vtOutgoingByteCounter));
    sendMessage(answer);
  }
}

void TVendotek::handleDisconnect() {
  tcpSocket.close();
  TVendotekMessage answer;
  answer.add(vtMessageName, kDSC);
  answer.add(vtTcpIpDestination, kZeroDestination);
  sendMessage(answer);
}

void TVendotek::sendBankData(const QByteArray& data) {
  TVendotekMessage msg;
  msg.add(vtMessageName, kDAT);
  msg.add(vtOutgoingByteCounter, QByteArray::number(outgoingByteCounter_));
  msg.add(vtTcpIpDestination, kZeroDestination);
  msg.add(vtSimpleDataBlock, data);
  sendMessage(msg);
}

void TVendotek::forwardBankData() {
  // Only looks at first, so an idle bank link does not hold the lock; then
  // gathers the batch until the host pauses. A batch larger than a frame can
  // carry goes out in several messages.
  QByteArray data;
  int waitMs = 0;
  for (;;) {
    QByteArray part;
    try {
      part = tcpSocket.read(int(kMaxBankChunk - data.size()), waitMs);
    } catch (const std::exception&) {
      break;  // the host closed: pass on what came before
    }
    if (part.isEmpty()) break;
    data += part;
    waitMs = kBankGapMs;
    if (data.size() >= kMaxBankChunk) {
      sendBankData(data);
      data.clear();
    }
  }
  if (!data.isEmpty()) sendBankData(data);
}

void TVendotek::linkLost(const QString& reason) {
  std::lock_guard lock(cs);
  comDevice.closeSocket();
  fIsOpen = false;
  // The bank host's connection belonged to the terminal's session.
  tcpSocket.close();
  // A candidate port that never answered is not a terminal that went away.
  if (!heardSinceOpen_) return;
  heardSinceOpen_ = false;
  const QString text = QStringLiteral("Потеряна связь с банковским терминалом Vendotek (COM%1): %2")
                           .arg(fComPort.load())
                           .arg(reason);
  log_.log(text);
  if (events_) {
    try {
      events_(51, text);
    } catch (...) {
    }
  }
}

void TVendotek::execute(std::stop_token st) {
  while (!st.stop_requested()) {
    // Wakes early when the terminal sends, so an approval is finished at
    // once rather than on the next tick.
    if (fIsOpen) {
      comDevice.waitForInput(kLoopSleepMs);
    } else if (payment_in_progress) {
      // The port went while a payment ran: the pass still ends the payment
      // at its time-out.
      std::unique_lock lk(sleepMutex_);
      sleepCv_.wait_for(lk, st, std::chrono::milliseconds(kLoopSleepMs), [] { return false; });
    } else {
      // A closed port has nothing to read or greet: sleep until open().
      std::unique_lock lk(sleepMutex_);
      sleepCv_.wait(lk, st, [this] { return fIsOpen || payment_in_progress; });
    }
    if (st.stop_requested()) break;

    std::lock_guard lock(cs);
    auto guarded = [this](auto&& step) {
      try {
        step();
      } catch (const ETimeout&) {
      } catch (const ETerminated&) {
      } catch (const EComPortError&) {
        // Reported once, and the port closed, where it failed.
      } catch (const Exception& e) {
        log_.log(e.message());
      } catch (const std::exception& e) {
        log_.log(QString::fromLocal8Bit(e.what()));
      }
    };
    if (fIsOpen) guarded([this] { recvMessage(kLoopRecvTimeoutMs); });
    if (payment_in_progress && now() - payment_start_dt > int64_t(operationTimeout_) * 1000) {
      payment_in_progress = false;
    }
    if (fIsOpen && keepalive && !payment_in_progress &&
        (last_recv_dt == 0 || now() - last_recv_dt > int64_t(keepaliveInterval_) * 1000)) {
      guarded([this] { idleHandshake(); });
    }
    if (fIsOpen && tcpSocket.isConnected()) guarded([this] { forwardBankData(); });
  }
}
