#include "backoffice/JClient.h"

#include <sys/random.h>

#include <cerrno>

#include "backoffice/Schema.h"
#include "backoffice/UserFields.h"
#include "backoffice/Utils.h"
#include "platform/Common.h"
#include "platform/TcpClient.h"

namespace {

constexpr int kGreetingTimeout = 10;
constexpr int kValueTimeout = 6;

// major.minor of the program's version.
QString majorMinor(const QString& version) {
  int first = version.indexOf(u'.');
  if (first < 0) return version;
  int second = version.indexOf(u'.', first + 1);
  return second < 0 ? version : version.left(second);
}

// Key bytes from the kernel's generator, fresh for every connection.
QByteArray randomKeyBytes(int n) {
  QByteArray b(n, Qt::Uninitialized);
  int got = 0;
  while (got < n) {
    ssize_t r = ::getrandom(b.data() + got, size_t(n - got), 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw Exception(QStringLiteral("Cannot get random bytes."));
    }
    got += int(r);
  }
  return b;
}

}  // namespace

TJClient::TJClient() : ownSocket_(std::make_unique<plat::TcpClient>()) {
  fSocket = ownSocket_.get();
  connectTimeoutMs_ = 10000;
  try {
    fClientVersion = majorMinor(GetAppVersion());
  } catch (...) {
    fClientVersion.clear();
  }
}

TJClient::~TJClient() {
  try {
    close();
  } catch (...) {
  }
}

void TJClient::setHost(const QString& host) {
  if (host != host_) disconnect();
  host_ = host;
}

void TJClient::setLogin(const QString& login) {
  if (login != fLogin) disconnect();
  fLogin = login;
}

bool TJClient::connected() const {
  if (!TJTransport::connected()) return false;
  return fLogin.isEmpty() || authorized;
}

void TJClient::setSocket(plat::TcpClient* socket) {
  fSocket = socket ? socket : ownSocket_.get();
}

void TJClient::Assign(const TJClient& source) {
  TJTransport::Assign(source);
  setHost(source.host_);
  setPort(source.port_);
  setLogin(source.fLogin);
  setPassword(source.fPassword);
  fServerType = source.fServerType;
  fAppServerMinVersion = source.fAppServerMinVersion;
  fApplicationID = source.fApplicationID;
  fConnectionProperty = source.fConnectionProperty;
}

void TJClient::close() {
  // Only a live, fresh, in-step connection gets the goodbye; anything else
  // would make the batch writer reconnect just to say it.
  if (!fExecuting && !reconnectDue()) {
    try {
      clearBatch();
      addRequest(0);
      writeBatchBody();
    } catch (...) {
    }
    try {
      clearBatch();
    } catch (...) {
    }
  }
  try {
    disconnect();
  } catch (...) {
  }
}

QByteArray TJClient::connectionKeyBytes(int n) {
  return randomKeyBytes(n);
}

void TJClient::afterConnect() {
  if (!fLogin.isEmpty()) authenticate();
}

void TJClient::authenticate() {
  authorized = false;
  QString type = recvVariant(kGreetingTimeout).toStringNullEmpty();
  if (type != fServerType) throw Exception(QStringLiteral("Wrong server type."));
  fServerID = recvVariant(kValueTimeout).toInt();
  QString version = recvVariant(kValueTimeout).toStringNullEmpty();
  fIsMultiServer = version.endsWith(u'+');
  if (fIsMultiServer) version.chop(1);
  fAppServerVersion = version;
  WireValue keyValue = recvVariant(kValueTimeout);
  QByteArray serverKey = keyValue.isNull() ? QByteArray() : keyValue.toBytes();

  sendVariant(WireValue(fClientVersion + u'\r' + fApplicationID + u'\r' + fConnectionProperty));
  sendCrypt_.setKey(serverKey);
  QByteArray mine = connectionKeyBytes(6);
  sendVariant(WireValue(mine));
  // The connection key; the sending state carries on from the key bytes.
  setKeyBoth(serverKey + mine);
  sendVariant(WireValue(fLogin));
  sendVariant(WireValue(fPassword));
  flushSendBuffer();

  int status = recvVariant(kValueTimeout).toInt();
  if (status == 1) throw Exception(recvVariant(kValueTimeout).toStringNullEmpty());
  if (status == 2) fSoftwareIsOutOfDate = true;
  fUserID = recvVariant(kValueTimeout).toInt();
  fUserName = recvVariant(kValueTimeout).toStringNullEmpty();

  if (!fAppServerMinVersion.isEmpty()) {
    try {
      fAppServerIsOutOfDate =
          versionToNumber(fAppServerVersion) < versionToNumber(fAppServerMinVersion);
    } catch (const EConvertError&) {
    }
  }
  authorized = true;

  if (AfterAuthentication) {
    // The handler may run batches of its own in the middle of the batch that
    // caused the reconnection: put that batch aside meanwhile.
    struct Aside {
      TJClient* c;
      std::unique_ptr<TRequestBatch> batch;
      bool executing;
      ~Aside() {
        c->fBatch = std::move(batch);
        c->fExecuting = executing;
      }
    } aside{this, std::move(fBatch), fExecuting};
    fExecuting = false;
    AfterAuthentication(*this);
  }
}

void TJClient::userTest(int timeout) {
  clearBatch();
  addRequest(36);
  runBatch(timeout);
}

TAndroidApkInfo TJClient::getLastAndroidVersion(int timeout) {
  clearBatch();
  addRequest(73).addParam(WireValue(fApplicationID));
  TRequestBatchPtr b = runBatch(timeout);
  TRequest& r = b->request(0);
  TAndroidApkInfo info;
  info.version = r.resultParam(0).toStringNullEmpty();
  info.fileName = r.resultParam(1).toStringNullEmpty();
  info.fileSize = r.resultParam(2).toInt();
  return info;
}

TDatabaseStructure& TJClient::database() {
  if (!fDatabase) fDatabase = std::make_unique<TDatabaseStructure>(this);
  return *fDatabase;
}

TDatabaseSchemaLookup& TJClient::schemaLookup() {
  if (!fSchemaLookup) fSchemaLookup = std::make_unique<TDatabaseSchemaLookup>(database());
  return *fSchemaLookup;
}
