#pragma once
// The stand-in back office's answers: the login check and one handler per
// request code, over the SQLite state of SimDatabase. Every handler reads its
// parameters defensively: a missing or ill-typed parameter is a refusal with
// a clear text, never a crash.

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "testbed/ProtocolServer.h"
#include "testbed/SimDatabase.h"

namespace sim {

class SimHandlers {
 public:
  // filesDir: the folder that file transfers read and write and that the
  // server reports as its working folder.
  SimHandlers(SimDatabase& db, QString filesDir);

  LoginDecision login(const LoginAttempt& attempt);
  void handle(const ServerRequest& request, ServerReply& reply);
  // Installs login and request handlers on a server.
  void install(ProtocolServer& server);

  // The bytes that precede the reply of a file download: request 46 (chunks
  // of a byte count and the bytes, ended by a count of 0) and requests 57/78
  // (total size, then the bytes from the position). error receives the
  // refusal text for the reply; empty when the download is fine.
  QByteArray readFileStream(const QString& source, qint64 position, QString* error) const;
  QByteArray updateStream(const QString& source, qint64 position, QString* error) const;
  // Maps a file name of the client's (either slash, absolute under the
  // working folder or relative to it) to a path inside filesDir; empty when
  // the name would leave the folder.
  QString resolveFile(const QString& name) const;

  const QString& filesDir() const { return filesDir_; }

 private:
  SimDatabase& db_;
  QString filesDir_;
};

// The whole stand-in back office in one process: database, handlers and a
// protocol server on a free loopback port. Tests that need to script an
// answer or inject a fault reach the server and wrap or replace its handler.
class BackofficeSim {
 public:
  // filesDir empty: a folder "files" beside the database.
  explicit BackofficeSim(const QString& dbPath, bool seedDemo = true, const QString& filesDir = {},
                         ProtocolServerOptions options = {});
  ~BackofficeSim();
  void start() { server_.start(); }
  // Lifts a stall first, so that no connection is left waiting in it.
  void stop();
  int port() const { return server_.port(); }
  SimDatabase& db() { return db_; }
  SimHandlers& handlers() { return handlers_; }
  ProtocolServer& server() { return server_; }
  // Pushes a batch down the newest open push channel the machine registered.
  PushResult pushToVm(qint32 vmId, const std::vector<PushRequest>& requests, int timeoutMs = 10000);

  // A back office that accepts the login and then stalls: while on, every
  // request of a batch waits before it is handled, until the switch goes off
  // or the server stops. Logins and empty batches are answered as ever.
  void setStalled(bool on);
  // The codes of the requests waiting in the stall now.
  std::vector<uint16_t> stalledRequests() const;

 private:
  void waitWhileStalled(uint16_t code);

  SimDatabase db_;
  SimHandlers handlers_;
  mutable std::mutex stallMutex_;
  std::condition_variable stallCv_;
  bool stalled_ = false;
  std::vector<uint16_t> held_;
  ProtocolServer server_;  // last: stops before the state it serves goes
};

}  // namespace sim
