#include "testbed/ProtocolServer.h"

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>

#include "backoffice/JTransport.h"
#include "backoffice/Scrambler.h"
#include "backoffice/ServerTransport.h"
#include "backoffice/TableStream.h"
#include "backoffice/WireCodec.h"
#include "platform/TcpClient.h"
#include "platform/TcpServer.h"
#include "platform/TextCodec.h"

namespace {

constexpr int kPollMs = 50;

// Clients read texts as ANSI (tags 1 and 2) and refuse tag 13, so the
// server sends every text that way.
void encodeForClient(QByteArray& out, const WireValue& v) {
  if (v.type() == VarType::UString) {
    encodeValue(out, WireValue::ansi(v.rawText()));
    return;
  }
  encodeValue(out, v);
}

struct ConnectionClosed {};

int64_t steadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A batch waiting to be pushed, and where its reply goes.
struct PushJob {
  std::vector<PushRequest> requests;
  int timeoutMs = 0;
  std::promise<PushResult> done;
};

}  // namespace

class ProtocolServer::Connection : public WireSource {
 public:
  Connection(std::unique_ptr<plat::TcpClient> s, int id, const std::atomic<bool>& stopping)
      : sock(std::move(s)), id(id), stopping_(stopping) {}

  // Waits as long as it takes (the peer or stop() ends it).
  void recvExact(char* dst, int n, int) override {
    recvRaw(dst, n);
    recvCrypt.decode(dst, size_t(n));
  }
  void recvRaw(char* dst, int n) {
    int got = 0;
    while (got < n) {
      if (stopping_.load()) throw ConnectionClosed();
      if (deadlineMs != 0 && steadyMs() > deadlineMs) throw ConnectionClosed();
      int r;
      try {
        r = sock->read(dst + got, n - got, kPollMs);
      } catch (const plat::ETcpError&) {
        throw ConnectionClosed();
      }
      got += r;
    }
  }
  [[noreturn]] void badLength() override { throw ConnectionClosed(); }
  [[noreturn]] void unknownTag(int) override { throw ConnectionClosed(); }

  WireValue readValue() { return decodeValue(*this, 0, true); }

  void sendScrambled(QByteArray plain) {
    sendCrypt.encode(plain.data(), size_t(plain.size()));
    writeRaw(plain);
  }
  void writeRaw(const QByteArray& wire) {
    try {
      sock->write(wire);
    } catch (const plat::ETcpError&) {
      throw ConnectionClosed();
    }
  }
  // Wakes the connection's thread; the thread itself closes the socket.
  void shutdown() {
    if (sock->fd() >= 0) ::shutdown(sock->fd(), SHUT_RDWR);
  }

  std::unique_ptr<plat::TcpClient> sock;
  int id;
  Scrambler sendCrypt;
  Scrambler recvCrypt;
  QString login;
  int userId = 0;

  // Push channel state: the jobs wait here for the connection's thread.
  std::atomic<bool> pushMode{false};
  std::mutex jobsMutex;
  std::condition_variable jobsCv;
  std::deque<std::shared_ptr<PushJob>> jobs;
  int64_t deadlineMs = 0;  // while a pushed batch's reply is awaited

  void failPendingJobs() {
    std::lock_guard lock(jobsMutex);
    for (auto& j : jobs) j->done.set_value(PushResult{});
    jobs.clear();
  }

 private:
  const std::atomic<bool>& stopping_;
};

// ---- ServerTable ----

ServerTable ServerTable::fromMemTable(plat::MemTable& table) {
  ServerTable t;
  for (int i = 0; i < table.FieldCount(); ++i) {
    plat::Field* f = table.FieldByIndex(i);
    t.columns.push_back({f->FieldName(), TJTransport::fieldTypeToJavaType(f->DataType()), f->Size(),
                         f->Precision()});
  }
  table.First();
  while (!table.Eof()) {
    TVariantArray row;
    for (int i = 0; i < table.FieldCount(); ++i)
      row.push_back(WireValue::fromQVariant(table.FieldByIndex(i)->Value()));
    t.rows.push_back(std::move(row));
    table.Next();
  }
  return t;
}

void ServerTable::encode(QByteArray& out) const {
  if (failInsteadOfColumns) {
    encodeValue(out, WireValue(-1));
    encodeForClient(out, WireValue(errorInsteadOfColumns));
    return;
  }
  encodeValue(out, WireValue(int(columns.size())));
  for (const auto& c : columns) {
    encodeForClient(out, WireValue(c.name));
    encodeValue(out, WireValue(c.javaType));
    encodeValue(out, WireValue(c.size));
    encodeValue(out, WireValue(c.precision));
  }
  for (const auto& row : rows) {
    encodeValue(out, WireValue::byte(0));
    for (const auto& v : row) encodeForClient(out, v);
  }
  if (failAfterRows) {
    encodeValue(out, WireValue(2));
    encodeForClient(out, WireValue(errorAfterRows));
    return;
  }
  encodeValue(out, WireValue::byte(1));
}

// ---- server ----

ProtocolServer::ProtocolServer(ProtocolServerOptions options) : options_(std::move(options)) {}

ProtocolServer::~ProtocolServer() {
  stop();
}

void ProtocolServer::start() {
  listener_ = std::make_unique<plat::TcpServer>();
  listener_->listen(options_.host, options_.port);
  port_ = listener_->port();
  stopping_ = false;
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

void ProtocolServer::stop() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (auto& c : open_) c->shutdown();
    threads.swap(threads_);
  }
  for (auto& t : threads)
    if (t.joinable()) t.join();
  {
    std::lock_guard lock(mutex_);
    open_.clear();
  }
  if (listener_) listener_->close();
}

void ProtocolServer::setLoginHandler(LoginHandler h) {
  std::lock_guard lock(mutex_);
  loginHandler_ = std::move(h);
}

void ProtocolServer::setRequestHandler(RequestHandler h) {
  std::lock_guard lock(mutex_);
  requestHandler_ = std::move(h);
}

void ProtocolServer::addFault(const ServerFault& f) {
  std::lock_guard lock(mutex_);
  faults_.push_back(f);
}

void ProtocolServer::clearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::vector<ServerRequest> ProtocolServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void ProtocolServer::clearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

LoginAttempt ProtocolServer::lastLogin() const {
  std::lock_guard lock(mutex_);
  return lastLogin_;
}

void ProtocolServer::dropConnections() {
  std::lock_guard lock(mutex_);
  for (auto& c : open_) c->shutdown();
}

PushResult ProtocolServer::push(int connectionId, const std::vector<PushRequest>& requests,
                                int timeoutMs) {
  std::shared_ptr<Connection> c;
  {
    std::lock_guard lock(mutex_);
    for (auto& o : open_)
      if (o->id == connectionId && o->pushMode.load()) c = o;
  }
  if (!c) return {};
  auto job = std::make_shared<PushJob>();
  job->requests = requests;
  job->timeoutMs = timeoutMs;
  std::future<PushResult> reply = job->done.get_future();
  {
    std::lock_guard lock(c->jobsMutex);
    c->jobs.push_back(job);
  }
  c->jobsCv.notify_all();
  // The connection's thread answers every job it took, also when it ends;
  // the extra second covers a job it never got to.
  if (reply.wait_for(std::chrono::milliseconds(timeoutMs + 1000)) != std::future_status::ready)
    return {};
  return reply.get();
}

std::vector<int> ProtocolServer::pushConnections() const {
  std::lock_guard lock(mutex_);
  std::vector<int> ids;
  for (const auto& c : open_)
    if (c->pushMode.load()) ids.push_back(c->id);
  return ids;
}

bool ProtocolServer::takeFault(std::initializer_list<ServerFault::Kind> kinds, ServerFault* out) {
  std::lock_guard lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    for (auto k : kinds) {
      if (it->kind == k) {
        *out = *it;
        faults_.erase(it);
        return true;
      }
    }
  }
  return false;
}

void ProtocolServer::acceptLoop() {
  while (!stopping_.load()) {
    std::unique_ptr<plat::TcpClient> s = listener_->accept(kPollMs);
    if (!s) continue;
    int id = ++connections_;
    auto c = std::make_shared<Connection>(std::move(s), id, stopping_);
    std::lock_guard lock(mutex_);
    open_.push_back(c);
    threads_.emplace_back([this, c] { serve(c); });
  }
}

namespace {

void sleepUnlessStopping(int ms, const std::atomic<bool>& stopping) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping.load() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// The handlers' replies to a batch. The first refusal ends the batch: the
// requests after it get no reply, and it gives the batch's error.
struct BatchAnswer {
  std::vector<ServerReply> replies;
  uint16_t errorCode = 0, errorNo = 0;
  QString errorMessage;
};

BatchAnswer answerBatch(const std::vector<ServerRequest>& batch, const RequestHandler& handler) {
  BatchAnswer a;
  a.replies.resize(batch.size());
  for (size_t i = 0; i < batch.size() && a.errorCode == 0; ++i) {
    ServerReply& rep = a.replies[i];
    if (batch[i].code == 0) continue;  // the client's goodbye
    try {
      if (handler)
        handler(batch[i], rep);
      else
        rep.refuse(QStringLiteral("Unknown request %1").arg(batch[i].code));
    } catch (const Exception& e) {
      rep.refuse(e.message());
    } catch (const std::exception& e) {
      rep.refuse(QString::fromUtf8(e.what()));
    }
    if (rep.refused) {
      a.errorCode = rep.errorCode ? rep.errorCode : 1;
      a.errorNo = uint16_t(i + 1);
      a.errorMessage = rep.errorMessage;
    }
  }
  return a;
}

// The reply batch: "R", the batch number, the error, and without one every
// request's results and tables.
void appendReplyBatch(QByteArray& out, uint8_t batchNo, const BatchAnswer& a) {
  putU8(out, 0x52);
  putU8(out, batchNo);
  putU16(out, a.errorCode);
  putU16(out, a.errorNo);
  QByteArray msg = plat::toAnsi(a.errorMessage).left(65535);
  putU16(out, uint16_t(msg.size()));
  out.append(msg);
  if (a.errorCode != 0) {
    putU16(out, 0);
    return;
  }
  putU16(out, uint16_t(a.replies.size()));
  for (const auto& rep : a.replies) {
    putU16(out, uint16_t(rep.results.size()));
    for (const auto& v : rep.results) encodeForClient(out, v);
    putU16(out, uint16_t(rep.tables.size()));
    for (const auto& t : rep.tables) t.encode(out);
  }
}

}  // namespace

void ProtocolServer::serve(std::shared_ptr<Connection> c) {
  try {
    ServerFault f;
    if (takeFault({ServerFault::CloseBeforeGreeting}, &f)) throw ConnectionClosed();
    if (options_.handshake) greetAndLogIn(*c);
    for (;;) serveBatch(*c);
  } catch (const ConnectionClosed&) {
  } catch (const std::exception&) {
  }
  c->failPendingJobs();
  // Under the lock that stop() holds while it shuts the open connections
  // down: a close between its look at the descriptor and its shutdown would
  // let the number go to another socket first.
  std::lock_guard lock(mutex_);
  c->sock->close();
  std::erase(open_, c);
}

void ProtocolServer::greetAndLogIn(Connection& c) {
  ServerFault f;
  if (takeFault({ServerFault::StallGreeting}, &f)) sleepUnlessStopping(f.stallMs, stopping_);
  QByteArray g;
  encodeForClient(g, WireValue(options_.serverType));
  encodeValue(g, WireValue(options_.serverId));
  encodeForClient(g, WireValue(options_.version));
  encodeValue(g, WireValue(options_.serverKey));
  c.writeRaw(g);

  LoginAttempt a;
  a.connectionId = c.id;
  a.identity = c.readValue().toStringNullEmpty();
  c.recvCrypt.setKey(options_.serverKey);
  a.clientKey = c.readValue().toBytes();
  QByteArray key = options_.serverKey + a.clientKey;
  c.recvCrypt.setKey(key);
  c.sendCrypt.setKey(key);
  a.login = c.readValue().toStringNullEmpty();
  a.password = c.readValue().toStringNullEmpty();
  LoginHandler login;
  {
    std::lock_guard lock(mutex_);
    lastLogin_ = a;
    login = loginHandler_;
  }
  LoginDecision d = login ? login(a) : LoginDecision{};
  QByteArray reply;
  encodeValue(reply, WireValue(d.status));
  if (d.status == 1) {
    encodeForClient(reply, WireValue(d.failureText));
    c.sendScrambled(reply);
    throw ConnectionClosed();
  }
  encodeValue(reply, WireValue(d.userId));
  encodeForClient(reply, WireValue(d.userName));
  c.sendScrambled(reply);
  c.login = a.login;
  c.userId = d.userId;
  ++handshakes_;
}

void ProtocolServer::serveBatch(Connection& c) {
  uint8_t batchNo = 0;
  int count = 0;
  if (!readBatchHeader(c, &batchNo, &count)) return;
  std::vector<ServerRequest> batch = readRequests(c, count);
  RequestHandler handler;
  {
    std::lock_guard lock(mutex_);
    for (const auto& r : batch) requests_.push_back(r);
    handler = requestHandler_;
  }
  const BatchAnswer answer = answerBatch(batch, handler);

  QByteArray out;
  bool silent = false, becomesPush = false;
  for (const auto& rep : answer.replies) {
    out.append(rep.dataBeforeReply);
    silent = silent || rep.noReply;
    becomesPush = becomesPush || rep.pushChannel;
  }
  if (silent && out.isEmpty()) {
    if (becomesPush) servePush(c);
    return;
  }
  const qsizetype head = out.size();
  if (!silent) appendReplyBatch(out, batchNo, answer);
  sendReply(c, std::move(out), head);
}

bool ProtocolServer::readBatchHeader(Connection& c, uint8_t* batchNo, int* count) {
  char h[4];
  // A client that failed to read a reply says so with one plain 0x66
  // and hangs up. A scrambled "Q" may also be 0x66 on the wire: such a
  // byte is the abort when the hang-up comes in place of the rest of
  // the batch header.
  c.recvRaw(h, 1);
  const uint8_t raw = uint8_t(h[0]);
  Scrambler before = c.recvCrypt;
  c.recvCrypt.decode(h, 1);
  if (uint8_t(h[0]) != 0x51) {
    if (raw == 0x66) {
      ++abortBytes_;
      c.recvCrypt = before;
      return false;
    }
    throw ConnectionClosed();
  }
  try {
    c.recvExact(h + 1, 3, 0);
  } catch (const ConnectionClosed&) {
    if (raw == 0x66) ++abortBytes_;
    throw;
  }
  *batchNo = uint8_t(h[1]);
  *count = getU16(h + 2);
  return true;
}

std::vector<ServerRequest> ProtocolServer::readRequests(Connection& c, int count) {
  std::vector<ServerRequest> batch;
  for (int i = 0; i < count; ++i) {
    char rh[4];
    c.recvExact(rh, 4, 0);
    ServerRequest r;
    r.connectionId = c.id;
    r.requestNo = i + 1;
    r.code = getU16(rh);
    r.login = c.login;
    r.userId = c.userId;
    const int p = getU16(rh + 2);
    for (int k = 0; k < p; ++k) r.params.push_back(c.readValue());
    batch.push_back(std::move(r));
  }
  for (auto& r : batch) {
    if (r.code != 30 || r.params.size() < 2) continue;
    qint64 size = -1;
    try {
      size = r.params[1].toInt64();
    } catch (const std::exception&) {
    }
    // Without a believable size the rest of the stream cannot be framed.
    if (size < 0 || size > kMaxUploadBytes) throw ConnectionClosed();
    r.upload.resize(size);
    c.recvExact(r.upload.data(), int(size), 0);
  }
  return batch;
}

void ProtocolServer::sendReply(Connection& c, QByteArray out, qsizetype head) {
  ServerFault fault;
  bool haveFault =
      takeFault({ServerFault::CloseAfterBytes, ServerFault::StallAfterBytes,
                 ServerFault::WrongBatchNumber, ServerFault::WrongFirstByte, ServerFault::RawReply},
                &fault);
  if (haveFault && fault.kind == ServerFault::RawReply) out = fault.raw;
  if (haveFault && fault.kind == ServerFault::WrongBatchNumber && out.size() > head + 1)
    out[head + 1] = char(uint8_t(out[head + 1]) + 1);
  if (haveFault && fault.kind == ServerFault::WrongFirstByte && out.size() > head) out[head] = 'X';
  c.sendCrypt.encode(out.data(), size_t(out.size()));
  if (haveFault &&
      (fault.kind == ServerFault::CloseAfterBytes || fault.kind == ServerFault::StallAfterBytes)) {
    int cut = std::clamp(fault.bytes, 0, int(out.size()));
    if (fault.kind == ServerFault::CloseAfterBytes && cut < out.size()) ++shortCuts_;
    c.writeRaw(out.left(cut));
    if (fault.kind == ServerFault::CloseAfterBytes) throw ConnectionClosed();
    sleepUnlessStopping(fault.stallMs, stopping_);
    c.writeRaw(out.mid(cut));
  } else {
    c.writeRaw(out);
  }
}

void ProtocolServer::servePush(Connection& c) {
  const QByteArray key = options_.pushKey.isEmpty() ? pushChannelKey() : options_.pushKey;
  c.sendCrypt.setKey(key);
  c.sendCrypt.resetState();
  c.recvCrypt.setKey(key);
  c.recvCrypt.resetState();
  c.pushMode = true;
  uint8_t batchNo = 0;
  for (;;) {
    if (stopping_.load()) throw ConnectionClosed();
    std::shared_ptr<PushJob> job;
    {
      std::unique_lock lock(c.jobsMutex);
      c.jobsCv.wait_for(lock, std::chrono::milliseconds(kPollMs), [&] { return !c.jobs.empty(); });
      if (!c.jobs.empty()) {
        job = c.jobs.front();
        c.jobs.pop_front();
      }
    }
    if (!job) {
      // Between pushes the kiosk sends nothing the channel reads; a client
      // that gives the connection up says goodbye on it first. Both are
      // dropped, and a closed peer ends the channel.
      try {
        if (c.sock->hasData(0)) {
          char buf[4096];
          (void)c.sock->read(buf, int(sizeof buf), 0);
        } else if (!c.sock->isConnected()) {
          throw ConnectionClosed();
        }
      } catch (const plat::ETcpError&) {
        throw ConnectionClosed();
      }
      continue;
    }

    PushResult result;
    try {
      QByteArray out;
      putU8(out, 0x51);
      putU8(out, ++batchNo);
      putU16(out, uint16_t(job->requests.size()));
      for (const PushRequest& r : job->requests) {
        putU16(out, r.code);
        putU16(out, uint16_t(r.params.size()));
        for (const WireValue& v : r.params) encodeForClient(out, v);
      }
      c.sendScrambled(out);

      c.deadlineMs = steadyMs() + job->timeoutMs;
      result = readPushReply(c, batchNo);
      c.deadlineMs = 0;
    } catch (...) {
      c.deadlineMs = 0;
      job->done.set_value(PushResult{});
      throw;
    }
    job->done.set_value(std::move(result));
  }
}

PushResult ProtocolServer::readPushReply(Connection& c, uint8_t batchNo) {
  PushResult result;
  char h[8];
  c.recvExact(h, 8, 0);
  if (uint8_t(h[0]) != 0x52 || uint8_t(h[1]) != batchNo) throw ConnectionClosed();
  result.errorCode = getU16(h + 2);
  result.errorRequestNo = getU16(h + 4);
  QByteArray msg(getU16(h + 6), Qt::Uninitialized);
  c.recvExact(msg.data(), int(msg.size()), 0);
  result.errorMessage = plat::fromAnsi(msg);
  c.recvExact(h, 2, 0);
  const int entries = getU16(h);
  for (int i = 0; i < entries; ++i) {
    c.recvExact(h, 2, 0);
    TVariantArray values;
    for (int k = getU16(h); k > 0; --k) values.push_back(c.readValue());
    result.results.push_back(std::move(values));
    c.recvExact(h, 2, 0);
    // Tables are read and dropped: no push asks for one.
    for (int t = getU16(h); t > 0; --t) {
      const qint64 columns = c.readValue().rawInt();
      if (columns == -1) {
        (void)c.readValue();
        continue;
      }
      if (columns < 0 || columns > 4096) throw ConnectionClosed();
      for (qint64 k = 0; k < columns * 4; ++k) (void)c.readValue();
      for (;;) {
        const qint64 marker = c.readValue().rawInt();
        if (marker == 1) break;
        if (marker == 2) {
          (void)c.readValue();
          break;
        }
        for (qint64 k = 0; k < columns; ++k) (void)c.readValue();
      }
    }
  }
  result.answered = true;
  return result;
}
