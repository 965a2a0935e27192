#pragma once
// The protocol half of the stand-in back office: listens on loopback, greets,
// runs the login handshake, reads scrambled request batches and answers each
// with a reply batch built by a handler. In-process and scriptable, with
// fault injection for the client's failure paths.
//
// One thread per connection; the handlers run on those threads and must be
// thread-safe. Everything else may be called from any thread.

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "backoffice/WireValue.h"
#include "platform/MemTable.h"

namespace plat {
class TcpClient;
class TcpServer;
}  // namespace plat

// One table of a reply, as column definitions and rows of values.
struct ServerTable {
  struct Column {
    QString name;       // an empty name is sent as it is
    int javaType = 12;  // JDBC type code
    int size = 0;
    int precision = 0;  // the fourth descriptor value
  };
  std::vector<Column> columns;
  std::vector<TVariantArray> rows;  // each row one value per column

  // Faults inside the stream: a column count of -1 followed by this text
  // (nothing else is sent), or, after the rows, marker 2 and this text.
  QString errorInsteadOfColumns;
  bool failInsteadOfColumns = false;
  QString errorAfterRows;
  bool failAfterRows = false;

  // Columns and rows of an open table (JDBC codes from the field types).
  static ServerTable fromMemTable(plat::MemTable& table);
  // Appends the table stream (plain bytes).
  void encode(QByteArray& out) const;
};

// One request of a received batch.
struct ServerRequest {
  int connectionId = 0;  // 1 for the first accepted connection, and so on
  int requestNo = 0;     // 1-based position in its batch
  uint16_t code = 0;
  TVariantArray params;
  QString login;  // of the connection's handshake; empty without one
  int userId = 0;
  // An upload (request 30) is followed by the file's bytes, as many as its
  // second parameter says; the server reads them after the batch.
  QByteArray upload;
};

// What a handler fills for one request.
struct ServerReply {
  TVariantArray results;
  std::vector<ServerTable> tables;

  // Fails the whole batch with this error code and message; the reply then
  // carries no entries. A handler may also throw an Exception: its message
  // becomes the refusal with code 1.
  void refuse(const QString& message, uint16_t code = 1) {
    refused = true;
    errorCode = code;
    errorMessage = message;
  }
  bool refused = false;
  uint16_t errorCode = 0;
  QString errorMessage;

  // Plain bytes sent before the reply batch (a download's data), also when
  // the batch is refused: the client reads them before it sees the refusal.
  QByteArray dataBeforeReply;
  // The batch gets no reply batch at all (a registration whose sender goes
  // on to read only what the server pushes).
  bool noReply = false;
  // From now on the connection carries only pushed batches (see push()),
  // scrambled with the push key from a fresh state in both directions.
  bool pushChannel = false;
};

// A request the server pushes down a registered connection.
struct PushRequest {
  uint16_t code = 0;
  TVariantArray params;
};

// The kiosk's reply to a pushed batch.
struct PushResult {
  bool answered = false;  // false: no such channel, or it closed or stayed silent
  uint16_t errorCode = 0;
  uint16_t errorRequestNo = 0;
  QString errorMessage;
  std::vector<TVariantArray> results;  // one entry per request, when no error
};

struct LoginAttempt {
  int connectionId = 0;
  QString identity;  // client version, CR, application id, CR, connection property
  QByteArray clientKey;
  QString login;
  QString password;
};

struct LoginDecision {
  int status = 0;  // 1 refused (with text), 2 client out of date, other: success
  QString failureText;
  int userId = 1;
  QString userName = QStringLiteral("user");
};

using RequestHandler = std::function<void(const ServerRequest&, ServerReply&)>;
using LoginHandler = std::function<LoginDecision(const LoginAttempt&)>;

struct ProtocolServerOptions {
  QString host = QStringLiteral("127.0.0.1");
  int port = 0;  // 0: the system picks one, see port()
  // Greeting and handshake. Off: the connection speaks plain batches at once,
  // as with a client that has no login.
  bool handshake = true;
  QString serverType = QStringLiteral("DR");
  int serverId = 7;
  QString version = QStringLiteral("5.2.17");
  QByteArray serverKey = QByteArray::fromHex("a1b2c3d4");
  // The key of push channels; empty: the kiosk's own (pushChannelKey()).
  QByteArray pushKey;
};

// An upload larger than this closes the connection instead of being held.
constexpr qint64 kMaxUploadBytes = 64 * 1024 * 1024;

// One-shot faults, used in the order added, each by the next event it fits.
// A reply's bytes are the data before it and the reply batch together.
struct ServerFault {
  enum Kind {
    CloseAfterBytes,     // the next reply: write `bytes` of it, then close
    StallAfterBytes,     // the next reply: write `bytes`, pause `stallMs`, write the rest
    WrongBatchNumber,    // the next reply carries another batch number
    WrongFirstByte,      // the next reply starts with something else than "R"
    RawReply,            // the next reply is `raw` (plain bytes, then scrambled)
    StallGreeting,       // the next greeting waits `stallMs` before the first byte
    CloseBeforeGreeting  // the next connection is closed at once
  };
  Kind kind = CloseAfterBytes;
  int bytes = 0;
  int stallMs = 0;
  QByteArray raw;
};

class ProtocolServer {
 public:
  explicit ProtocolServer(ProtocolServerOptions options = {});
  ~ProtocolServer();
  ProtocolServer(const ProtocolServer&) = delete;
  ProtocolServer& operator=(const ProtocolServer&) = delete;

  // Listens and starts accepting; raises plat::ETcpError when it cannot.
  void start();
  // Closes the listener and every connection and waits for their threads.
  void stop();
  int port() const { return port_; }

  // Default login: every login succeeds with user id 1. Default handler:
  // every request is refused with "Unknown request <code>".
  void setLoginHandler(LoginHandler h);
  void setRequestHandler(RequestHandler h);

  void addFault(const ServerFault& f);
  void clearFaults();

  // Requests received so far, in order of arrival.
  std::vector<ServerRequest> requests() const;
  void clearRequests();
  int connectionCount() const { return connections_.load(); }
  int handshakeCount() const { return handshakes_.load(); }
  // Replies that a CloseAfterBytes fault cut short (it may also fall after
  // the whole reply, which then only closes the connection).
  int shortCutCount() const { return shortCuts_.load(); }
  // Single bytes 0x66 the clients sent after a failed reply.
  int abortByteCount() const { return abortBytes_.load(); }
  // The last login attempt seen (identity, key, login, password).
  LoginAttempt lastLogin() const;
  // Closes every open connection (the listener stays).
  void dropConnections();

  // Sends one request batch down a connection that registered as a push
  // channel and waits up to timeoutMs for the reply. Any thread.
  PushResult push(int connectionId, const std::vector<PushRequest>& requests,
                  int timeoutMs = 10000);
  // Open connections that are push channels, oldest first.
  std::vector<int> pushConnections() const;

 private:
  class Connection;
  void acceptLoop();
  bool takeFault(std::initializer_list<ServerFault::Kind> kinds, ServerFault* out);
  // A connection's thread: the greeting and login, then batch after batch
  // until the peer, a fault or stop() ends it.
  void serve(std::shared_ptr<Connection> c);
  void greetAndLogIn(Connection& c);
  // Reads one batch, answers it through the handler and sends the reply.
  void serveBatch(Connection& c);
  // False when a client's abort byte came in place of a batch header.
  bool readBatchHeader(Connection& c, uint8_t* batchNo, int* count);
  // The requests of a batch, and after them the bytes of its uploads.
  std::vector<ServerRequest> readRequests(Connection& c, int count);
  // Scrambles and writes a reply (its first `head` bytes are the data sent
  // before the reply batch), bent by the next reply fault.
  void sendReply(Connection& c, QByteArray out, qsizetype head);
  [[noreturn]] void servePush(Connection& c);
  PushResult readPushReply(Connection& c, uint8_t batchNo);

  ProtocolServerOptions options_;
  std::unique_ptr<plat::TcpServer> listener_;
  std::thread acceptThread_;
  std::atomic<bool> stopping_{false};
  int port_ = 0;

  mutable std::mutex mutex_;
  LoginHandler loginHandler_;
  RequestHandler requestHandler_;
  std::vector<ServerFault> faults_;
  std::vector<ServerRequest> requests_;
  LoginAttempt lastLogin_;
  std::vector<std::shared_ptr<Connection>> open_;
  std::vector<std::thread> threads_;

  std::atomic<int> connections_{0};
  std::atomic<int> handshakes_{0};
  std::atomic<int> abortBytes_{0};
  std::atomic<int> shortCuts_{0};
};
