// The serving transport of the push channel: request batches written by the
// real client are read back, replies come out byte for byte in the layout the
// back office reads, scrambled with the channel key, and broken input drops
// the borrowed connection.

#include <gtest/gtest.h>

#include <thread>

#include "backoffice/JClient.h"
#include "backoffice/Scrambler.h"
#include "backoffice/ServerTransport.h"
#include "backoffice/WireCodec.h"
#include "platform/MemTable.h"
#include "platform/TcpClient.h"
#include "platform/TcpServer.h"
#include "platform/TextCodec.h"

namespace {

// The back office's end of a push connection: writes scrambled request
// batches and reads the kiosk's scrambled replies, as plain bytes.
struct PushLink {
  plat::TcpServer listener;
  plat::TcpClient peer;
  std::unique_ptr<plat::TcpClient> kioskSocket;
  TServerTransport transport;
  Scrambler toKiosk, fromKiosk;

  explicit PushLink(const QByteArray& key = pushChannelKey()) {
    listener.listen();
    peer.connect("127.0.0.1", listener.port(), 5000);
    kioskSocket = listener.accept(5000);
    transport.setSocket(kioskSocket.get());
    transport.setCryptKey(key);
    toKiosk.setKey(key);
    fromKiosk.setKey(key);
  }
  void send(QByteArray plain) {
    toKiosk.encode(plain.data(), size_t(plain.size()));
    peer.write(plain);
  }
  // Everything the kiosk wrote, unscrambled.
  QByteArray receive() {
    QByteArray got;
    while (peer.hasData(100)) got += peer.read(65536, 0);
    fromKiosk.decode(got.data(), size_t(got.size()));
    return got;
  }
  TRequestBatchPtr recv() {
    EXPECT_TRUE(transport.hasData());
    return transport.recvRequestBatch();
  }
};

QByteArray requestBatch(uint8_t no, const std::vector<std::pair<uint16_t, TVariantArray>>& reqs) {
  QByteArray b;
  putU8(b, 0x51);
  putU8(b, no);
  putU16(b, uint16_t(reqs.size()));
  for (const auto& [code, params] : reqs) {
    putU16(b, code);
    putU16(b, uint16_t(params.size()));
    for (const auto& p : params) encodeValue(b, p);
  }
  return b;
}

QByteArray hex(const char* h) {
  return QByteArray::fromHex(h);
}

TEST(ServerTransport, ReadsWhatTheClientWritesAndTheClientReadsTheReply) {
  plat::TcpServer listener;
  listener.listen();
  TJClient client;  // no login: no handshake, no scrambling
  client.setHost("127.0.0.1");
  client.setPort(listener.port());
  client.setShowProgress(false);
  client.addRequest(2).addParam(WireValue(17));
  TRequest& second = client.addRequest(1082);
  second.addParam(WireValue::ansi(QString::fromUtf8("Привет")));
  second.addParam(WireValue::null());
  second.addParam(WireValue(2.5));
  TRequestBatchPtr reply;
  std::thread kiosk([&] {
    try {
      reply = client.execBatch(10);
    } catch (...) {
    }
  });

  std::unique_ptr<plat::TcpClient> sock = listener.accept(5000);
  ASSERT_TRUE(sock);
  TServerTransport st;
  st.setSocket(sock.get());
  ASSERT_TRUE(sock->hasData(5000));
  TRequestBatchPtr b = st.recvRequestBatch();
  ASSERT_EQ(b->count(), 2);
  EXPECT_EQ(b->request(0).requestCode, 2);
  ASSERT_EQ(b->request(0).inputParamCount(), 1);
  EXPECT_EQ(b->request(0).inputParam(0).toInt(), 17);
  EXPECT_EQ(b->request(1).requestCode, 1082);
  ASSERT_EQ(b->request(1).inputParamCount(), 3);
  EXPECT_EQ(b->request(1).inputParam(0).toStringNullEmpty(), QString::fromUtf8("Привет"));
  EXPECT_TRUE(b->request(1).inputParam(1).isNull());
  EXPECT_EQ(b->request(1).inputParam(2).toDouble(), 2.5);

  b->request(0).addResult(WireValue(5));
  b->request(1).addResult(WireValue::ansi(QString::fromUtf8("Готово")));
  st.sendReplyBatch(*b);
  kiosk.join();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, 0);
  EXPECT_EQ(reply->request(0).resultParam(0).toInt(), 5);
  EXPECT_EQ(reply->request(1).resultParam(0).toStringNullEmpty(), QString::fromUtf8("Готово"));
  // The file descriptor belongs to the test: the transport borrowed it.
  EXPECT_TRUE(sock->isConnected());
}

// One link for all cases: the scrambler state carries from one batch to the
// next, as on a channel that serves many.
TEST(ServerTransport, RepliesByteForByteUnderTheChannelKey) {
  struct Case {
    const char* name;
    QByteArray request;
    uint16_t errorCode;
    uint16_t errorRequestNo;
    QString message;
    QByteArray expected;
  };
  const QByteArray msg = "Unknown request 7.";
  const QString longMessage(70000, QLatin1Char('x'));
  const std::vector<Case> cases = {
      {"error reply ends with an empty count", requestBatch(200, {{1, {}}, {7, {}}, {2, {}}}), 260,
       2, QString::fromLatin1(msg),
       "R" +
           hex("c8"
               "0104"
               "0002"
               "0012") +
           msg + hex("0000")},
      {"two empty entries",
       requestBatch(9, {{1, {}}, {3, {}}}),
       0,
       0,
       {},
       "R" + hex("09"
                 "0000"
                 "0000"
                 "0000"
                 "0002"
                 "00000000"
                 "00000000")},
      {"zero requests",
       requestBatch(10, {}),
       0,
       0,
       {},
       "R" + hex("0a"
                 "0000"
                 "0000"
                 "0000"
                 "0000")},
      {"message cut to 65535", requestBatch(11, {{5, {}}}), 1, 1, longMessage,
       "R" +
           hex("0b"
               "0001"
               "0001"
               "ffff") +
           QByteArray(65535, 'x') + hex("0000")},
      {"message in the ANSI code page", requestBatch(12, {{5, {}}}), 5, 1,
       QString::fromUtf8("Ошибка"),
       "R" +
           hex("0c"
               "0005"
               "0001"
               "0006") +
           plat::toAnsi(QString::fromUtf8("Ошибка")) + hex("0000")},
  };
  PushLink link;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link.send(c.request);
    TRequestBatchPtr b = link.recv();
    b->errorCode = c.errorCode;
    b->errorRequestNo = c.errorRequestNo;
    b->errorMessage = c.message;
    link.transport.sendReplyBatch(*b);
    EXPECT_EQ(link.receive(), c.expected);
  }
}

TEST(ServerTransport, WritesResultsAndTablesAsTheBackOfficeReadsThem) {
  PushLink link;
  link.send(requestBatch(3, {{1, {}}}));
  TRequestBatchPtr b = link.recv();

  plat::MemTable t;
  t.AddField("id", ftInteger);
  t.AddField("name", ftString, 20);
  t.AddField("price", ftFloat, 0, 15);
  t.Open();
  for (auto [id, name, price] : {std::tuple{1, "tea", 45.5}, std::tuple{2, "coffee", 120.0}}) {
    t.Append();
    t.FieldByName("id")->SetValue(id);
    t.FieldByName("name")->SetValue(QString::fromLatin1(name));
    t.FieldByName("price")->SetValue(price);
    t.Post();
  }
  b->request(0).addResult(WireValue(77));
  b->request(0).addTable(&t);
  link.transport.sendReplyBatch(*b);
  EXPECT_FALSE(t.Active());  // written and closed

  QByteArray bytes = link.receive();
  ASSERT_EQ(bytes.left(12), "R" + hex("03"
                                      "0000"
                                      "0000"
                                      "0000"
                                      "0001"
                                      "0001"));
  BufferSource src(bytes.mid(12));
  auto next = [&] { return decodeValue(src, 0, true); };
  EXPECT_EQ(next().toInt(), 77);
  char two[2];
  src.recvExact(two, 2, 0);
  EXPECT_EQ(getU16(two), 1);  // one table
  EXPECT_EQ(next().toInt(), 3);
  const struct {
    const char* name;
    TFieldType type;
    int size;
    int precision;
  } columns[] = {{"id", ftInteger, 0, 0}, {"name", ftString, 20, 0}, {"price", ftFloat, 0, 15}};
  for (const auto& c : columns) {
    SCOPED_TRACE(c.name);
    const WireValue name = next();
    EXPECT_EQ(name.type(), VarType::UString);  // the back office reads native text
    EXPECT_EQ(name.toString(), QString::fromLatin1(c.name));
    EXPECT_EQ(next().toInt(), TJTransport::fieldTypeToJavaType(c.type));
    EXPECT_EQ(next().toInt(), c.size);
    EXPECT_EQ(next().toInt(), c.precision);
  }
  for (auto [id, name, price] : {std::tuple{1, "tea", 45.5}, std::tuple{2, "coffee", 120.0}}) {
    EXPECT_EQ(next().rawInt(), 0);
    EXPECT_EQ(next().toInt(), id);
    EXPECT_EQ(next().toString(), QString::fromLatin1(name));
    EXPECT_EQ(next().toDouble(), price);
  }
  EXPECT_EQ(next().rawInt(), 1);
  EXPECT_EQ(src.remaining(), 0);
}

TEST(ServerTransport, BrokenRequestsDropTheBorrowedConnection) {
  struct Case {
    const char* name;
    QByteArray bytes;
  };
  QByteArray unicodeParam = requestBatch(1, {{2, {WireValue(QStringLiteral("native"))}}});
  const std::vector<Case> cases = {
      {"not a request batch", "R" + hex("010000")},
      {"text the kiosk does not read", unicodeParam},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PushLink link;
    link.send(c.bytes);
    EXPECT_ANY_THROW(link.recv());
    EXPECT_FALSE(link.transport.connected());
    EXPECT_FALSE(link.kioskSocket->isConnected());
  }
}

}  // namespace
