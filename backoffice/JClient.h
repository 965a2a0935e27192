#pragma once
// The authenticated client: a transport that owns its socket, carries the
// login settings and runs the login handshake every time the transport
// reconnects before a batch. Every thread that talks to the server owns one
// and copies the main client's settings with Assign.

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

#include "backoffice/JTransport.h"

class TDatabaseStructure;
class TDatabaseSchemaLookup;

class TJClient : public TJTransport {
 public:
  TJClient();
  ~TJClient() override;

  // ---- settings (a different host, port or login drops the connection) ----
  QString host() const { return host_; }
  void setHost(const QString& host);
  QString login() const { return fLogin; }
  void setLogin(const QString& login);
  QString password() const { return fPassword; }
  void setPassword(const QString& password) { fPassword = password; }
  QString serverType() const { return fServerType; }
  void setServerType(const QString& t) { fServerType = t; }
  QString applicationID() const { return fApplicationID; }
  void setApplicationID(const QString& id) { fApplicationID = id; }
  QString connectionProperty() const { return fConnectionProperty; }
  void setConnectionProperty(const QString& p) { fConnectionProperty = p; }
  QString appServerMinVersion() const { return fAppServerMinVersion; }
  void setAppServerMinVersion(const QString& v) { fAppServerMinVersion = v; }
  QString clientVersion() const { return fClientVersion; }
  // Only tests and embedders that are not the kiosk program change it.
  void setClientVersion(const QString& v) { fClientVersion = v; }

  // ---- what the last handshake said ----
  QString appServerVersion() const { return fAppServerVersion; }
  int serverID() const { return fServerID; }
  bool isMultiServer() const { return fIsMultiServer; }
  int userID() const { return fUserID; }
  QString userName() const { return fUserName; }
  bool softwareIsOutOfDate() const { return fSoftwareIsOutOfDate; }
  bool appServerIsOutOfDate() const { return fAppServerIsOutOfDate; }

  // Called after every successful handshake; it may run batches of its own.
  std::function<void(TJClient&)> AfterAuthentication;

  // Socket connected, and logged in when there is a login.
  bool connected() const override;
  // Says goodbye (request 0, no reply read) when the connection is live and
  // fresh, then disconnects. Never connects just for that. The goodbye's
  // write waits at most the timeout cap (setTimeoutCapMs) when one is set,
  // and not at all after interrupt().
  void close();
  // Host, port, login and password through their setters, then the server
  // type, minimum version, application id and connection property.
  void Assign(const TJClient& source);
  // The back-office database's schema, fetched from the server on first use.
  TDatabaseStructure& database();
  // The same schema as the query builder looks fields up in it.
  TDatabaseSchemaLookup& schemaLookup();
  // Uses the given socket instead of its own (not owned).
  void setSocket(plat::TcpClient* socket);
  // Request 36; a refusal raises the server's text.
  void userTest(int timeout);
  // Request 73 with the application id.
  TAndroidApkInfo getLastAndroidVersion(int timeout);

 protected:
  void afterConnect() override;
  // The client's half of a new connection's key: fresh bytes from the
  // kernel's generator. A fuzz harness fixes them to replay a server.
  virtual QByteArray connectionKeyBytes(int n);

 private:
  void authenticate();

  std::unique_ptr<plat::TcpClient> ownSocket_;
  std::unique_ptr<TDatabaseStructure> fDatabase;
  std::unique_ptr<TDatabaseSchemaLookup> fSchemaLookup;
  QString fLogin;
  QString fPassword;
  QString fAppServerVersion;
  int fServerID = 0;
  QString fClientVersion;
  QString fServerType;
  int fUserID = 0;
  QString fUserName;
  QString fApplicationID;
  QString fConnectionProperty;
  QString fAppServerMinVersion;
  bool fSoftwareIsOutOfDate = false;
  bool fAppServerIsOutOfDate = false;
  bool fIsMultiServer = false;
};
