// The login handshake with the back office, against a server that answers
// with the fuzzer's bytes: its greeting (server type, id, version, key), then
// after the client's login its verdict (status, error text or user id and
// name), then the reply to the first request of the session. The server's
// bytes after the key exchange are scrambled with the connection key as a
// server does, so the fuzzer works on what the client reads once
// descrambled. The client's half of the key is fixed for that.
//
// Input: one byte of flags (bit 0: the client knows a minimum server
// version), the server's key, the greeting and the verdict as pieces (a
// length byte, then the bytes), then the reply.
#include "backoffice/JClient.h"
#include "backoffice/Scrambler.h"
#include "backoffice/WireCodec.h"
#include "fuzz/FuzzTransport.h"

namespace {

const QByteArray kClientKey("\x11\x22\x33\x44\x55\x66", 6);

class HandshakeClient : public TJClient {
 public:
  HandshakeClient() {
    setSocket(&socket_);
    setShowProgress(false);
    setReadPollMs(5);
    setLogin(QStringLiteral("kiosk"));
    setPassword(QStringLiteral("secret"));
    setServerType(QStringLiteral("DR"));
    setClientVersion(QStringLiteral("1.4"));
    setApplicationID(QStringLiteral("vekta"));
    peer_.adoptInto(socket_);
    // Connected: the batch after the login goes out on this connection.
    fLastRecvTime = plat::clock().nowMs();
  }
  ~HandshakeClient() override {
    disconnect();
    setSocket(nullptr);
  }
  fuzz::SocketPeer& peer() { return peer_; }
  void logIn() { afterConnect(); }

  // What the client sends before it reads the verdict: its identity, its
  // half of the key, the login and the password.
  QByteArray loginBytes() const {
    QByteArray out;
    encodeValue(
        out, WireValue(clientVersion() + u'\r' + applicationID() + u'\r' + connectionProperty()));
    encodeValue(out, WireValue(kClientKey));
    encodeValue(out, WireValue(login()));
    encodeValue(out, WireValue(password()));
    return out;
  }

 protected:
  QByteArray connectionKeyBytes(int n) override { return kClientKey.left(n); }

 private:
  plat::TcpClient socket_;
  fuzz::SocketPeer peer_;
};

// Cuts a length byte and that many bytes off the front; short input gives
// what there is.
QByteArray takePiece(QByteArray& rest) {
  if (rest.isEmpty()) return {};
  const int n = uint8_t(rest[0]);
  const QByteArray piece = rest.mid(1, n);
  rest = rest.mid(1 + n);
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::installRushingClock();
  QByteArray rest = fuzz::bytesOf(data + 1, size - 1);
  const QByteArray serverKey = takePiece(rest);
  const QByteArray greeting = takePiece(rest);
  QByteArray verdict = takePiece(rest);
  QByteArray reply = rest;

  HandshakeClient c;
  if (data[0] & 1) c.setAppServerMinVersion(QStringLiteral("2.1.5"));
  Scrambler server;
  server.setKey(serverKey + kClientKey);
  server.encode(verdict.data(), size_t(verdict.size()));
  server.encode(reply.data(), size_t(reply.size()));
  const qsizetype login = c.loginBytes().size();
  c.peer().replyInStages({{0, greeting}, {login, verdict}, {login + 1, reply}});
  try {
    c.logIn();
    (void)c.serverID();
    (void)c.userName().size();
    c.userTest(600);
  } catch (const Exception&) {
  }
  return 0;
}
