#include "testbed/VendotekSim.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "devices/CRC16.h"
#include "platform/Exception.h"

using Clock = std::chrono::steady_clock;

// The frame code here is written from the protocol's tables on its own; the
// checksum routine is shared, as it is checked against the standard's check
// values by itself.

namespace {

constexpr char kFrameStart = 0x1F;
const QByteArray kKioskMarker("\x96\xFB", 2);
const QByteArray kTerminalMarker("\x97\xFB", 2);

// 1..127: the length itself; up to 255: 0x81 and the length; up to 65535:
// 0x82 and the length, high byte first.
QByteArray tlvLength(qsizetype n) {
  QByteArray out;
  if (n >= 256) {
    out += char(0x82);
    out += char((n >> 8) & 0xFF);
  } else if (n >= 128) {
    out += char(0x81);
  }
  out += char(n & 0xFF);
  return out;
}

QByteArray encodeBody(const TVendotekMessage& m) {
  QByteArray body;
  for (const TVendotekTag& t : m.tags) {
    body += char(t.tag);
    body += tlvLength(t.value.size());
    body += t.value;
  }
  return body;
}

// 0x1F, the length (body + 2, high byte first), the marker, the body, then
// the CRC-16/CCITT-FALSE of everything before it, high byte first.
QByteArray terminalFrame(const QByteArray& body) {
  const qsizetype len = body.size() + 2;
  QByteArray f;
  f += kFrameStart;
  f += char((len >> 8) & 0xFF);
  f += char(len & 0xFF);
  f += kTerminalMarker;
  f += body;
  const uint16_t crc = crc16Ccitt(f);
  f += char(crc >> 8);
  f += char(crc & 0xFF);
  return f;
}

// Every entry whole, with a length in one of the three forms and a value of
// at least one byte; an empty string when anything is off.
QString decodeBody(const QByteArray& body, TVendotekMessage* out) {
  TVendotekMessage m;
  qsizetype at = 0;
  while (at < body.size()) {
    const uint8_t tag = uint8_t(body[at++]);
    if (at >= body.size()) return QStringLiteral("an entry without its length");
    const uint8_t first = uint8_t(body[at++]);
    qsizetype len = first;
    if (first == 0x81 || first == 0x82) {
      const int extra = first == 0x81 ? 1 : 2;
      if (at + extra > body.size()) return QStringLiteral("a length cut short");
      len = 0;
      for (int i = 0; i < extra; ++i) len = (len << 8) | uint8_t(body[at++]);
      if (len < (extra == 1 ? 128 : 256))
        return QStringLiteral("a length in a longer form than needed");
    } else if (first == 0 || first > 0x7F) {
      return QStringLiteral("a length byte 0x%1").arg(first, 2, 16, QLatin1Char('0'));
    }
    if (at + len > body.size()) return QStringLiteral("a value cut short");
    m.add(tag, body.mid(at, len));
    at += len;
  }
  *out = m;
  return {};
}

}  // namespace

// ---- SimPort ----

SimPort::SimPort(const QString& portsDir, int com) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    throw Exception(QStringLiteral("Cannot create a pseudo-terminal."));
  }
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) {
    throw Exception(QStringLiteral("Cannot name the pseudo-terminal."));
  }
  tty_ = QString::fromLocal8Bit(name);
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  // Raw from the start: a cooked line would echo the simulator's own bytes
  // back to it before any driver opens the port.
  termios tio{};
  if (slave_ >= 0 && ::tcgetattr(slave_, &tio) == 0) {
    cfmakeraw(&tio);
    ::tcsetattr(slave_, TCSANOW, &tio);
  }
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  QDir().mkpath(portsDir);
  link_ = QDir(portsDir).filePath(QStringLiteral("COM%1").arg(com));
  QFile::remove(link_);
  if (!QFile::link(tty_, link_)) {
    throw Exception(QStringLiteral("Cannot create the port link %1.").arg(link_));
  }
}

SimPort::~SimPort() {
  if (!link_.isEmpty()) QFile::remove(link_);
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

bool SimPort::write(const QByteArray& bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  qsizetype done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
    if (n > 0) {
      done += n;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (Clock::now() > deadline) return false;
    pollfd p{master_, POLLOUT, 0};
    ::poll(&p, 1, 10);
  }
  return true;
}

QByteArray SimPort::read(int waitMs) {
  pollfd p{master_, POLLIN, 0};
  if (::poll(&p, 1, waitMs) <= 0) return {};
  char buf[4096];
  ssize_t n = ::read(master_, buf, sizeof buf);
  return n > 0 ? QByteArray(buf, n) : QByteArray();
}

// ---- VendotekSim ----

VendotekSim::VendotekSim(const QString& portsDir, int com)
    : port_(portsDir, com), thread_([this](std::stop_token st) { run(st); }) {}

VendotekSim::~VendotekSim() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void VendotekSim::setVrpAnswer(VrpAnswer a) {
  std::lock_guard lock(mu_);
  vrpAnswer_ = a;
}
void VendotekSim::setVrpDelayMs(int ms) {
  std::lock_guard lock(mu_);
  vrpDelayMs_ = ms;
}
void VendotekSim::setEchoFin(bool on) {
  std::lock_guard lock(mu_);
  echoFin_ = on;
}
void VendotekSim::setSilent(bool on) {
  std::lock_guard lock(mu_);
  silent_ = on;
}
void VendotekSim::setIdleExtraTags(const QList<TVendotekTag>& tags) {
  std::lock_guard lock(mu_);
  idleExtra_ = tags;
}
void VendotekSim::corruptNextFrame() {
  std::lock_guard lock(mu_);
  corruptNext_ = true;
}
void VendotekSim::followNextIdleWith(const TVendotekMessage& msg) {
  const QByteArray frame = terminalFrame(encodeBody(msg));
  std::lock_guard lock(mu_);
  idleFollower_ = frame;
}
void VendotekSim::splitNextFrame(int gapMs) {
  std::lock_guard lock(mu_);
  splitGapMs_ = gapMs;
}

void VendotekSim::send(const TVendotekMessage& msg) {
  queue(msg);
}

void VendotekSim::sendRaw(const QByteArray& bytes) {
  std::lock_guard lock(mu_);
  pending_.append({Clock::now(), bytes, false, true});
}

void VendotekSim::requestBankConnect(const QString& host, int port, uint8_t selector) {
  QByteArray dest(1, char(selector));
  const QStringList parts = host.split(QLatin1Char('.'));
  for (int i = 0; i < 4; ++i) dest += char(i < parts.size() ? parts[i].toInt() : 0);
  dest += char((port >> 8) & 0xFF);
  dest += char(port & 0xFF);
  dest += '\0';
  requestBankConnectRaw(dest);
}

void VendotekSim::requestBankConnectRaw(const QByteArray& destination) {
  TVendotekMessage m;
  m.add(vtMessageName, "CON");
  m.add(vtTcpIpDestination, destination);
  queue(m);
}

void VendotekSim::sendBankData(const QByteArray& data, bool confirmable, int64_t counter) {
  TVendotekMessage m;
  m.add(vtMessageName, "DAT");
  m.add(vtOutgoingByteCounter, QByteArray::number(counter));
  m.add(vtTcpIpDestination, QByteArray(1, '\0'));
  m.add(confirmable ? vtConfirmableDataBlock : vtSimpleDataBlock, data);
  queue(m);
}

void VendotekSim::requestBankDisconnect() {
  TVendotekMessage m;
  m.add(vtMessageName, "DSC");
  m.add(vtTcpIpDestination, QByteArray(1, '\0'));
  queue(m);
}

QList<TVendotekMessage> VendotekSim::received() const {
  std::lock_guard lock(mu_);
  return QList<TVendotekMessage>(received_.begin(), received_.end());
}

int VendotekSim::count(const QByteArray& name) const {
  std::lock_guard lock(mu_);
  int n = 0;
  for (const auto& m : received_) n += m.getValue(vtMessageName) == name;
  return n;
}

TVendotekMessage VendotekSim::waitFor(const QByteArray& name, int n, int timeoutMs) const {
  std::unique_lock lock(mu_);
  TVendotekMessage found;
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    int seen = 0;
    for (const auto& m : received_) {
      if (m.getValue(vtMessageName) == name && ++seen == n) {
        found = m;
        return true;
      }
    }
    return false;
  });
  return found;
}

void VendotekSim::clearReceived() {
  std::lock_guard lock(mu_);
  received_.clear();
}

Clock::time_point VendotekSim::lastApprovalSent() const {
  std::lock_guard lock(mu_);
  return lastApproval_;
}

void VendotekSim::queue(const TVendotekMessage& msg, int delayMs, bool approval) {
  QByteArray frame = terminalFrame(encodeBody(msg));
  std::lock_guard lock(mu_);
  pending_.append({Clock::now() + std::chrono::milliseconds(delayMs), frame, approval, false});
}

void VendotekSim::write(const Pending& p) {
  if (p.raw) {
    port_.write(p.bytes);
    return;
  }
  QByteArray frame = p.bytes;
  bool corrupt = false;
  int gap = -1;
  {
    std::lock_guard lock(mu_);
    std::swap(corrupt, corruptNext_);
    std::swap(gap, splitGapMs_);
  }
  if (corrupt) frame[frame.size() - 1] = char(frame[frame.size() - 1] ^ 0x5A);
  if (gap >= 0) {
    const qsizetype half = frame.size() / 2;
    port_.write(frame.left(half));
    std::this_thread::sleep_for(std::chrono::milliseconds(gap));
    port_.write(frame.mid(half));
  } else {
    port_.write(frame);
  }
  if (p.approval) {
    std::lock_guard lock(mu_);
    lastApproval_ = Clock::now();
  }
}

void VendotekSim::handle(const TVendotekMessage& msg) {
  const QByteArray name = msg.getValue(vtMessageName);
  VrpAnswer answer;
  int delay;
  bool echoFin;
  QList<TVendotekTag> idleExtra;
  QByteArray idleFollower;
  {
    std::lock_guard lock(mu_);
    received_.push_back(msg);
    cv_.notify_all();
    if (silent_) return;
    answer = vrpAnswer_;
    delay = vrpDelayMs_;
    echoFin = echoFin_;
    idleExtra = idleExtra_;
    if (name == "IDL") std::swap(idleFollower, idleFollower_);
  }
  TVendotekMessage reply;
  if (name == "IDL") {
    reply.add(vtMessageName, "IDL");
    for (const auto& t : idleExtra) reply.add(t.tag, t.value);
    if (idleFollower.isEmpty()) {
      queue(reply);
    } else {
      std::lock_guard lock(mu_);
      pending_.append({Clock::now(), terminalFrame(encodeBody(reply)) + idleFollower, false, true});
    }
  } else if (name == "VRP") {
    if (answer == VrpAnswer::Silent) return;
    reply.add(vtMessageName, "VRP");
    reply.add(vtOperationNumber, msg.getValue(vtOperationNumber));
    reply.add(vtAmountMinorCurrency,
              answer == VrpAnswer::Approve ? msg.getValue(vtAmountMinorCurrency) : "0");
    queue(reply, delay, answer == VrpAnswer::Approve);
  } else if (name == "FIN" && echoFin) {
    reply.add(vtMessageName, "FIN");
    reply.add(vtOperationNumber, msg.getValue(vtOperationNumber));
    reply.add(vtAmountMinorCurrency, msg.getValue(vtAmountMinorCurrency));
    queue(reply);
  }
}

QStringList VendotekSim::violations() const {
  std::lock_guard lock(mu_);
  return violations_;
}

bool VendotekSim::takeFrame(QByteArray& in, TVendotekMessage* msg) {
  for (;;) {
    const qsizetype start = in.indexOf(kFrameStart);
    if (start < 0) {
      if (!in.isEmpty()) badFrame(QStringLiteral("bytes outside a frame"));
      in.clear();
      return false;
    }
    if (start > 0) badFrame(QStringLiteral("bytes outside a frame"));
    in.remove(0, start);
    if (in.size() < 5) return false;
    const qsizetype len = (qsizetype(uint8_t(in[1])) << 8) | uint8_t(in[2]);
    if (in.mid(3, 2) != kKioskMarker || len <= 3) {
      // Not a frame start after all: look for the next one.
      badFrame(QStringLiteral("a frame with marker %1 and length %2")
                   .arg(QString::fromLatin1(in.mid(3, 2).toHex()))
                   .arg(len));
      in.remove(0, 1);
      continue;
    }
    if (in.size() < 3 + len + 2) return false;
    const QByteArray frame = in.left(3 + len + 2);
    in.remove(0, frame.size());
    const uint16_t crc = crc16Ccitt(frame.left(frame.size() - 2));
    if (uint8_t(frame[frame.size() - 2]) != (crc >> 8) ||
        uint8_t(frame[frame.size() - 1]) != (crc & 0xFF)) {
      badFrame(QStringLiteral("a frame with a wrong CRC"));
      continue;
    }
    const QString fault = decodeBody(frame.mid(5, len - 2), msg);
    if (!fault.isEmpty()) {
      badFrame(QStringLiteral("a frame with ") + fault);
      continue;
    }
    return true;
  }
}

void VendotekSim::badFrame(const QString& what) {
  std::lock_guard lock(mu_);
  violations_ << what;
}

void VendotekSim::run(std::stop_token st) {
  QByteArray in;
  while (!st.stop_requested()) {
    // Sleep until input, the next due frame, or a short tick for stop.
    int waitMs = 20;
    {
      std::lock_guard lock(mu_);
      for (const auto& p : pending_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(p.due - Clock::now()).count();
        waitMs = int(std::clamp<int64_t>(left, 0, waitMs));
      }
    }
    in += port_.read(waitMs);
    TVendotekMessage msg;
    while (takeFrame(in, &msg)) handle(msg);
    for (;;) {
      Pending next;
      {
        std::lock_guard lock(mu_);
        auto it = std::find_if(pending_.begin(), pending_.end(),
                               [](const Pending& p) { return p.due <= Clock::now(); });
        if (it == pending_.end()) break;
        next = *it;
        pending_.erase(it);
      }
      write(next);
    }
  }
}
