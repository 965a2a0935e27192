#pragma once
// The stand-in back office's answers: the login check and one handler per
// request code, over the SQLite state of SimDatabase. Every handler reads its
// parameters defensively: a missing or ill-typed parameter is a refusal with
// a clear text, never a crash.

#include <QByteArray>
#include <QString>

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
  void start() { server_.start(); }
  void stop() { server_.stop(); }
  int port() const { return server_.port(); }
  SimDatabase& db() { return db_; }
  SimHandlers& handlers() { return handlers_; }
  ProtocolServer& server() { return server_; }
  // Pushes a batch down the newest open push channel the machine registered.
  PushResult pushToVm(qint32 vmId, const std::vector<PushRequest>& requests, int timeoutMs = 10000);

 private:
  SimDatabase db_;
  SimHandlers handlers_;
  ProtocolServer server_;  // last: stops before the state it serves goes
};

}  // namespace sim
