// The client against the in-process stand-in server: handshake, operations,
// refusals, and every failure path the server can be made to produce.

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
#include "backoffice/KernelAPI.h"
#include "backoffice/TableStream.h"
#include "platform/Clock.h"
#include "platform/TcpClient.h"
#include "platform/TcpServer.h"
#include "testbed/ProtocolServer.h"
#include "tests/support/FastClock.h"

namespace {

using testkit::FastClock;

ServerTable table(std::vector<ServerTable::Column> cols, std::vector<TVariantArray> rows) {
  ServerTable t;
  t.columns = std::move(cols);
  t.rows = std::move(rows);
  return t;
}

class ClientServer : public ::testing::Test {
 protected:
  void SetUp() override {
    server.setLoginHandler([this](const LoginAttempt& a) {
      if (a.password != QStringLiteral("secret"))
        return LoginDecision{1, QStringLiteral("Неверный пароль"), 0, {}};
      return LoginDecision{loginStatus, {}, 42, QStringLiteral("Демо")};
    });
    server.setRequestHandler([this](const ServerRequest& r, ServerReply& rep) {
      if (handler) return handler(r, rep);
      rep.refuse(QStringLiteral("Unknown request %1").arg(r.code));
    });
    server.start();
    configure(client);
  }
  void TearDown() override {
    plat::setClock(nullptr);
    client.disconnect();
    server.stop();
  }
  void configure(TJClient& c) {
    c.setHost(QStringLiteral("127.0.0.1"));
    c.setPort(server.port());
    c.setLogin(QStringLiteral("demo"));
    c.setPassword(QStringLiteral("secret"));
    c.setServerType(QStringLiteral("DR"));
    c.setApplicationID(QStringLiteral("vekta"));
    c.setClientVersion(QStringLiteral("1.4"));
    c.setShowProgress(false);
    c.setReadPollMs(10);
  }
  // Answers every request 1 with a one-column table holding v.
  void answerSelectWith(const WireValue& v) {
    const int javaType = v.isText() ? 12 : 4;
    handler = [v, javaType](const ServerRequest&, ServerReply& rep) {
      rep.tables.push_back(table({{QStringLiteral("v"), javaType, 100, 0}}, {{v}}));
    };
  }

  int loginStatus = 0;
  RequestHandler handler;
  ProtocolServer server;
  TJClient client;
};

TEST_F(ClientServer, HandshakeLogsInAndReportsTheServer) {
  client.connect(30);
  EXPECT_TRUE(client.connected());
  EXPECT_EQ(client.serverID(), 7);
  EXPECT_EQ(client.appServerVersion(), QStringLiteral("5.2.17"));
  EXPECT_FALSE(client.isMultiServer());
  EXPECT_EQ(client.userID(), 42);
  EXPECT_EQ(client.userName(), QStringLiteral("Демо"));
  EXPECT_FALSE(client.softwareIsOutOfDate());
  LoginAttempt a = server.lastLogin();
  EXPECT_EQ(a.identity, QStringLiteral("1.4\rvekta\r"));
  EXPECT_EQ(a.login, QStringLiteral("demo"));
  EXPECT_EQ(a.password, QStringLiteral("secret"));
  EXPECT_EQ(a.clientKey.size(), 6);
  EXPECT_EQ(server.handshakeCount(), 1);
}

TEST_F(ClientServer, EveryConnectionDrawsFreshKeyBytes) {
  client.connect(30);
  QByteArray first = server.lastLogin().clientKey;
  client.connect(30);
  EXPECT_NE(server.lastLogin().clientKey, first);
}

TEST(ClientHandshake, ServerVersionAndStatusDecide) {
  struct Case {
    const char* version;
    int status;
    const char* minVersion;
    bool multi;
    bool outOfDate;
    bool serverOld;
  };
  const Case cases[] = {
      {"5.2.17+", 0, "", true, false, false},
      {"5.2.17", 2, "", false, true, false},
      {"5.2.17", 0, "5.3.0", false, false, true},
      {"5.2", 0, "5.3.0", false, false, false},      // not a.b.c: no decision
      {"22.0.0", 0, "21.9.9", false, false, false},  // beyond 32-bit sums
  };
  for (const auto& c : cases) {
    ProtocolServerOptions o;
    o.version = QString::fromLatin1(c.version);
    ProtocolServer s(o);
    s.setLoginHandler([&](const LoginAttempt&) {
      return LoginDecision{c.status, {}, 1, QStringLiteral("u")};
    });
    s.start();
    TJClient cl;
    cl.setShowProgress(false);
    cl.setPort(s.port());
    cl.setLogin(QStringLiteral("x"));
    cl.setServerType(QStringLiteral("DR"));
    cl.setAppServerMinVersion(QString::fromLatin1(c.minVersion));
    cl.connect(30);
    EXPECT_EQ(cl.appServerVersion(), QString::fromLatin1(c.version).remove(u'+')) << c.version;
    EXPECT_EQ(cl.isMultiServer(), c.multi) << c.version;
    EXPECT_EQ(cl.softwareIsOutOfDate(), c.outOfDate) << c.version;
    EXPECT_EQ(cl.appServerIsOutOfDate(), c.serverOld) << c.version;
  }
}

TEST_F(ClientServer, RefusedLoginRaisesTheServersTextAndRetriesNextTime) {
  client.setPassword(QStringLiteral("wrong"));
  try {
    client.connect(30);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), QStringLiteral("Неверный пароль"));
  }
  EXPECT_FALSE(client.connected());
  client.setPassword(QStringLiteral("secret"));
  answerSelectWith(WireValue(5));
  EXPECT_EQ(client.selectValue(QStringLiteral("select 5"), 30).toInt(), 5);
}

TEST_F(ClientServer, WrongServerTypeIsRefused) {
  client.setServerType(QStringLiteral("XX"));
  try {
    client.connect(30);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), QStringLiteral("Wrong server type."));
  }
  EXPECT_FALSE(client.connected());
}

TEST_F(ClientServer, SelectValueSendsSqlAndZeroParameters) {
  answerSelectWith(WireValue(QStringLiteral("Кофе")));
  EXPECT_EQ(client.selectValue(QStringLiteral("select name from tbNomenclature"), 30).toString(),
            QStringLiteral("Кофе"));
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].code, 1);
  EXPECT_EQ(reqs[0].login, QStringLiteral("demo"));
  ASSERT_EQ(reqs[0].params.size(), 2u);
  EXPECT_EQ(reqs[0].params[0], WireValue(QStringLiteral("select name from tbNomenclature")));
  EXPECT_EQ(reqs[0].params[1].toInt(), 0);

  handler = [](const ServerRequest&, ServerReply& rep) {
    rep.tables.push_back(table({{QStringLiteral("v"), 4, 0, 0}}, {}));
  };
  EXPECT_TRUE(client.selectValue(QStringLiteral("select nothing"), 30).isNull());
  EXPECT_EQ(server.handshakeCount(), 1);  // one connection served both
}

TEST_F(ClientServer, RefusalRaisesTheServersTextUnchangedAndKeepsTheConnection) {
  const QString text =
      QStringLiteral("Таблица tbTerminalLog уже содержит запись (UNTBTERMINALLOG)");
  handler = [&](const ServerRequest&, ServerReply& rep) { rep.refuse(text, 3); };
  try {
    client.execSQL(QStringLiteral("update tbVm set x = 1"), 30);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), text);
  }
  answerSelectWith(WireValue(1));
  EXPECT_EQ(client.selectValue(QStringLiteral("select 1"), 30).toInt(), 1);
  EXPECT_EQ(server.handshakeCount(), 1);
  // The failed operation left nothing behind: the next batch holds one request.
  EXPECT_EQ(server.requests().back().requestNo, 1);
}

TEST_F(ClientServer, InsertAndUpdateRecordsSendTriples) {
  handler = [](const ServerRequest& r, ServerReply& rep) {
    if (r.params[3].isNull()) {  // insert: key asked for
      rep.results = {WireValue(1), WireValue(123)};
    } else {
      rep.results = {WireValue(1)};
    }
  };
  EXPECT_EQ(client.insertRec(QStringLiteral("tbTerminal"), QStringLiteral("id,imei"),
                             WireValue(QStringLiteral("867530900")), 30),
            123);
  EXPECT_EQ(client.updateRec(QStringLiteral("tbTerminal"), QStringLiteral("id,isConnected"),
                             WireValue(TVariantArray{WireValue(5), WireValue::byte(0)}), 30),
            1);
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].code, 7);
  EXPECT_EQ(
      reqs[0].params,
      (TVariantArray{WireValue(QStringLiteral("tbTerminal")), WireValue(QStringLiteral("id")),
                     WireValue::shortInt(4), WireValue::null(), WireValue(QStringLiteral("imei")),
                     WireValue::shortInt(12), WireValue(QStringLiteral("867530900"))}));
  EXPECT_EQ(reqs[1].params,
            (TVariantArray{WireValue(QStringLiteral("tbTerminal")), WireValue(QStringLiteral("id")),
                           WireValue::shortInt(4), WireValue::shortInt(5),
                           WireValue(QStringLiteral("isConnected")), WireValue::shortInt(5),
                           WireValue::shortInt(0)}));

  handler = [](const ServerRequest&, ServerReply& rep) {
    rep.results = {WireValue(0), WireValue(9)};
  };
  try {
    client.insertRec(QStringLiteral("tbVm"), QStringLiteral("id;name"),
                     WireValue(QStringLiteral("a")), 30);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), QStringLiteral("Record was not inserted (TJClient.insertRec)."));
  }
}

TEST_F(ClientServer, ArgumentErrorsSendNothing) {
  struct Case {
    std::function<void()> call;
    const char* message;
  };
  const Case cases[] = {
      {[&] {
         client.insertRec("t", "id;a,b", WireValue(TVariantArray{1, 2, 3}), 30);
       },
       "Incorrect fields number in \"fieldNames\" or \"fieldValues\" param (TJClient.insertRec)."},
      {[&] { client.insertRec("t", "id,a", WireValue::currency(1.5), 30); },
       "Unknown Field Type 7 (TJTransport.fieldTypeToJavaType)."},
      {[&] { client.updateRec("t", "id,a", WireValue(5), 30); },
       "Param \"fieldValues\" should be a variant array (TJClient.updateRec)."},
      {[&] {
         client.updateRec("t", "id,a,b", WireValue(TVariantArray{1, 2}), 30);
       },
       "Incorrect fields number inside \"fieldNames\" or \"fieldValues\" param "
       "(TJClient.updateRec)."},
      {[&] {
         client.setConsts({1, 2}, {"a", "b", "c"}, 30);
       },
       "length(constTypes) <> length(values) (TJTransport.setConsts)."},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.message;
    } catch (const Exception& e) {
      EXPECT_EQ(e.message(), QString::fromUtf8(c.message));
    }
  }
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(server.connectionCount(), 0);
}

TEST_F(ClientServer, BatchInsertSendsNamesThenValuesAndEmptiesItsBuffer) {
  handler = [](const ServerRequest&, ServerReply&) {};
  client.batchInsertStart(QStringLiteral("tbX"), QStringLiteral("id,x,y"));
  for (int i = 0; i < 3; ++i) client.batchInsertAdd(WireValue(TVariantArray{i, i * 10}));
  client.batchInsertApply(30);
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].code, 27);
  TVariantArray expected{WireValue(QStringLiteral("tbX")), WireValue::shortInt(3),
                         WireValue::shortInt(3),           WireValue(QStringLiteral("id")),
                         WireValue(QStringLiteral("x")),   WireValue(QStringLiteral("y"))};
  for (int i = 0; i < 3; ++i) {
    expected.push_back(WireValue::shortInt(int8_t(i)));
    expected.push_back(WireValue::shortInt(int8_t(i * 10)));
  }
  EXPECT_EQ(reqs[0].params, expected);

  client.batchInsertAdd(WireValue(TVariantArray{1, 2}));
  client.batchInsertAdd(WireValue(7));  // one value where two are needed
  EXPECT_THROW(client.batchInsertApply(30), EAbstractError);
  EXPECT_EQ(client.batchInsertRecordCount(), 0);
  EXPECT_EQ(server.requests().size(), 1u);
}

// ---- failure paths ----

TEST_F(ClientServer, BadReplyHeaderSendsAbortByteDropsAndReconnects) {
  for (auto kind : {ServerFault::WrongBatchNumber, ServerFault::WrongFirstByte}) {
    answerSelectWith(WireValue(1));
    EXPECT_EQ(client.selectValue("select 1", 30).toInt(), 1);
    int handshakes = server.handshakeCount();
    server.addFault({kind, 0, 0, {}});
    try {
      client.selectValue("select 1", 30);
      ADD_FAILURE();
    } catch (const ETransportError& e) {
      EXPECT_EQ(e.code(), teBadReply);
      EXPECT_EQ(e.message(), QStringLiteral("Неверный формат ответа."));
    }
    EXPECT_EQ(client.lastErrorCode(), teBadReply);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.selectValue("select 1", 30).toInt(), 1);
    EXPECT_EQ(server.handshakeCount(), handshakes + 1);
  }
  for (int i = 0; i < 1000 && server.abortByteCount() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.abortByteCount(), 2);
}

// A back office that restarts closes its connections between two calls. The
// next call notices before it writes, reconnects and succeeds.
TEST_F(ClientServer, ConnectionTheServerClosedIsRenewedBeforeTheNextCall) {
  answerSelectWith(WireValue(1));
  EXPECT_EQ(client.selectValue("select 1", 30).toInt(), 1);
  server.dropConnections();
  pollfd closeSeen{client.socket()->fd(), POLLRDHUP, 0};
  ASSERT_EQ(::poll(&closeSeen, 1, 5000), 1);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.selectValue("select 1", 30).toInt(), 1);
  EXPECT_EQ(client.lastErrorCode(), teNone);
  EXPECT_EQ(server.handshakeCount(), 2);
}

// Lets a test see the scrambler state the server mirrors.
class ScramblerProbe : public TJClient {
 public:
  // The wire byte that a "Q" sent now would become.
  uint8_t nextQueryByteOnTheWire() const {
    Scrambler next = sendCrypt_;
    char q = 0x51;
    next.encode(&q, 1);
    return uint8_t(q);
  }
};

// The abort byte travels plain, so with some keys and states it reads as the
// "Q" of a new batch. The hang-up that follows it still tells them apart.
TEST_F(ClientServer, AbortByteThatLooksLikeABatchStartIsStillAnAbort) {
  ScramblerProbe probe;
  configure(probe);
  answerSelectWith(WireValue(1));
  // Every batch moves the scrambler on; run them until the next "Q" would
  // be 0x66 on the wire (one state in 256). The texts differ, or the same
  // batch over and over could circle through states that never get there.
  bool found = false;
  for (int i = 0; i < 20000 && !found; ++i) {
    found = probe.nextQueryByteOnTheWire() == 0x66;
    if (!found) probe.selectValue(QStringLiteral("select %1").arg(i), 30);
  }
  ASSERT_TRUE(found);
  probe.socket()->writeByte(0x66);
  probe.disconnect();
  for (int i = 0; i < 1000 && server.abortByteCount() < 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.abortByteCount(), 1);
}

// A caller whose insert failed must know whether the server may have stored
// the row: once the request went out whole, only the answer can be missing.
TEST_F(ClientServer, AFailureSaysWhetherTheRequestWentOut) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool serverRefusal;  // the server's own answer, not a transport failure
    bool sent;
  };
  const Case cases[] = {
      {"connection closed before the greeting",
       [&] {
         server.addFault({ServerFault::CloseBeforeGreeting, 0, 0, {}});
       },
       false, false},
      {"refused by the server",
       [&] { handler = [](const ServerRequest&, ServerReply& rep) { rep.refuse("no"); }; }, true,
       true},
      {"connection closed instead of the reply",
       [&] {
         server.addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
       },
       false, true},
      {"reply broken off in the middle",
       [&] {
         server.addFault({ServerFault::CloseAfterBytes, 10, 0, {}});
       },
       false, true},
      {"no reply within the time-out",
       [&] {
         client.setTimeoutCapMs(200);
         server.addFault({ServerFault::StallAfterBytes, 0, 1500, {}});
       },
       false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    client.setTimeoutCapMs(0);
    answerSelectWith(WireValue(1));
    EXPECT_EQ(client.selectValue("select 1", 30).toInt(), 1);
    EXPECT_TRUE(client.requestSent());
    client.disconnect();
    handler = [](const ServerRequest&, ServerReply& rep) {
      rep.results = {WireValue(1), WireValue(5)};
    };
    c.arrange();
    try {
      client.insertRec("tbVmAudit", "id,status", WireValue(1), 30);
      ADD_FAILURE() << "the insert went through";
    } catch (const EServerError&) {
      EXPECT_TRUE(c.serverRefusal);
    } catch (const Exception& e) {
      EXPECT_FALSE(c.serverRefusal) << e.message().toStdString();
    }
    EXPECT_EQ(client.requestSent(), c.sent);
  }
}

TEST_F(ClientServer, ServerClosingMidReplyFailsAndNextCallReconnects) {
  answerSelectWith(WireValue(1));
  server.addFault({ServerFault::CloseAfterBytes, 10, 0, {}});
  EXPECT_THROW(client.selectValue("select 1", 30), Exception);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.selectValue("select 1", 30).toInt(), 1);
  EXPECT_EQ(server.handshakeCount(), 2);
}

// The connection is made on the real clock: compressed handshake limits
// would fail it on a busy machine, and they are not what these tests test.
TEST_F(ClientServer, FirstByteIsWaitedForUpToTheCallersTimeout) {
  answerSelectWith(WireValue(1));
  client.connect(30);
  FastClock fast(25);  // 1 s is 40 ms
  plat::setClock(&fast);
  server.addFault({ServerFault::StallAfterBytes, 0, 800, {}});  // 20 s of 30
  EXPECT_EQ(client.selectValue("select 1", 30).toInt(), 1);

  server.addFault({ServerFault::StallAfterBytes, 0, 2000, {}});  // 50 s of 30
  try {
    client.selectValue("select 1", 30);
    FAIL();
  } catch (const ETransportError& e) {
    EXPECT_EQ(e.code(), teTimeout);
    EXPECT_EQ(e.message(), QStringLiteral("Превышено время выполнения запроса."));
  }
}

TEST_F(ClientServer, APauseInsideAReplyMayLastSixSeconds) {
  answerSelectWith(WireValue(1));
  client.connect(30);
  FastClock fast(10);  // 1 s is 100 ms
  plat::setClock(&fast);
  server.addFault({ServerFault::StallAfterBytes, 12, 200, {}});  // 2 s
  EXPECT_EQ(client.selectValue("select 1", 300).toInt(), 1);
  server.addFault({ServerFault::StallAfterBytes, 12, 1000, {}});  // 10 s, long timeout or not
  try {
    client.selectValue("select 1", 300);
    FAIL();
  } catch (const ETransportError& e) {
    EXPECT_EQ(e.code(), teTimeout);
  }
}

TEST_F(ClientServer, InterruptEndsARunningCallAsCancelledUntilReset) {
  answerSelectWith(WireValue(1));
  client.connect(30);
  server.addFault({ServerFault::StallAfterBytes, 0, 60000, {}});  // no reply for a minute
  std::thread stopper([&] {
    while (server.requests().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    client.interrupt();
  });
  EXPECT_THROW(client.selectValue("select 1", 300), EAbort);
  stopper.join();
  EXPECT_EQ(client.lastErrorCode(), teCancelled);
  EXPECT_FALSE(client.connected());
  // A stop that came between two calls is not lost: the reconnect gives up.
  EXPECT_THROW(client.selectValue("select 1", 300), EAbort);
  EXPECT_EQ(server.handshakeCount(), 1);

  client.resetInterrupt();
  EXPECT_EQ(client.selectValue("select 1", 300).toInt(), 1);
}

TEST_F(ClientServer, TimeoutCapShortensTheWaitsOfEveryCall) {
  FastClock fast(10);  // 1 s is 100 ms: the handshakes keep their margin under load
  plat::setClock(&fast);
  answerSelectWith(WireValue(1));
  client.connect(30);
  client.setTimeoutCapMs(2000);
  server.addFault({ServerFault::StallAfterBytes, 0, 500, {}});  // 5 s of 300
  try {
    client.selectValue("select 1", 300);
    FAIL();
  } catch (const ETransportError& e) {
    EXPECT_EQ(e.code(), teTimeout);
  }
  // The greeting of the reconnect is cut short as well.
  server.addFault({ServerFault::StallGreeting, 0, 500, {}});  // 5 s of 10
  EXPECT_THROW(client.selectValue("select 1", 300), ETransportError);

  client.setTimeoutCapMs(0);
  server.addFault({ServerFault::StallAfterBytes, 0, 500, {}});  // 5 s of 300
  EXPECT_EQ(client.selectValue("select 1", 300).toInt(), 1);
}

// A server that accepts and then reads nothing: the request's bytes pile up.
TEST(ClientWrites, AServerThatStopsReadingFailsTheWriteAtTheOperationsTimeout) {
  FastClock fast(200);  // 30 s pass in 150 ms
  testkit::ClockScope scope(&fast);
  plat::TcpServer deaf;
  deaf.listen();
  TJClient c;
  c.setShowProgress(false);
  c.setPort(deaf.port());
  c.setReadPollMs(10);
  c.clearBatch();
  c.addRequest(1).addParam(WireValue(QByteArray(64 * 1024 * 1024, 'x')));
  std::unique_ptr<plat::TcpClient> peer;
  std::thread acceptor([&] { peer = deaf.accept(5000); });
  try {
    c.execBatch(30);
    FAIL();
  } catch (const ETransportError& e) {
    EXPECT_EQ(e.code(), teTimeout);
    EXPECT_EQ(e.message(), QStringLiteral("Превышено время выполнения запроса."));
  }
  acceptor.join();
  EXPECT_EQ(c.lastErrorCode(), teTimeout);
  EXPECT_FALSE(c.connected());
}

TEST_F(ClientServer, GreetingTimeoutFailsTheConnect) {
  FastClock fast(50);
  plat::setClock(&fast);
  server.addFault({ServerFault::StallGreeting, 0, 1000, {}});  // 50 s against 10
  try {
    client.connect(30);
    FAIL();
  } catch (const ETransportError& e) {
    EXPECT_EQ(e.code(), teTimeout);
  }
  EXPECT_FALSE(client.connected());
}

TEST_F(ClientServer, IdleConnectionIsRenewedAt900Seconds) {
  plat::ManualClock manual;
  plat::setClock(&manual);
  answerSelectWith(WireValue(1));
  client.selectValue("select 1", 30);
  manual.advance(899'000);
  client.selectValue("select 1", 30);
  EXPECT_EQ(server.handshakeCount(), 1);
  manual.advance(900'000);
  EXPECT_EQ(client.idleTime(), 900);
  client.selectValue("select 1", 30);
  EXPECT_EQ(server.handshakeCount(), 2);
}

TEST_F(ClientServer, UnreadBytesForceAReconnection) {
  answerSelectWith(WireValue(1));
  client.selectValue("select 1", 30);
  // A well-formed reply followed by one stray byte.
  QByteArray reply = QByteArray::fromHex("52 02 0000 0000 0000 0001 0000 0001");
  ServerTable t = table({{QStringLiteral("v"), 4, 0, 0}}, {{WireValue(2)}});
  t.encode(reply);
  reply.append('\x00');
  server.addFault({ServerFault::RawReply, 0, 0, reply});
  EXPECT_EQ(client.selectValue("select 2", 30).toInt(), 2);
  EXPECT_EQ(server.handshakeCount(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  client.selectValue("select 1", 30);
  EXPECT_EQ(server.handshakeCount(), 2);
}

TEST_F(ClientServer, ReplyWithMoreEntriesThanRequestsIsRefused) {
  QByteArray reply = QByteArray::fromHex("52 01 0000 0000 0000 0002 0000 0000 0000 0000");
  server.addFault({ServerFault::RawReply, 0, 0, reply});
  handler = [](const ServerRequest&, ServerReply&) {};
  try {
    client.execSQL("x", 30);
    FAIL();
  } catch (const ETransportError& e) {
    EXPECT_EQ(e.code(), teBadReply);
  }
}

TEST_F(ClientServer, UnknownTagInAReplyDropsTheConnection) {
  QByteArray reply = QByteArray::fromHex("52 01 0000 0000 0000 0001 0001 0D00000000 0000");
  server.addFault({ServerFault::RawReply, 0, 0, reply});
  try {
    client.execSQL("x", 30);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), QStringLiteral("Unknown variant type 13(TJTransport.recvVariant)."));
  }
  EXPECT_FALSE(client.connected());
}

TEST_F(ClientServer, HugeValueLengthIsABadReplyNotAnAllocation) {
  QByteArray reply = QByteArray::fromHex("52 01 0000 0000 0000 0001 0001 027FFFFFFF");
  server.addFault({ServerFault::RawReply, 0, 0, reply});
  try {
    client.execSQL("x", 30);
    FAIL();
  } catch (const ETransportError& e) {
    EXPECT_EQ(e.code(), teBadReply);
  }
}

TEST_F(ClientServer, ReenteredOperationIsRefusedWithoutTouchingTheRunningBatch) {
  struct Reenter : TExecutionProgress {
    TJClient* c = nullptr;
    QString error;
    void shown(bool) override {}
    void connecting() override {}
    void executing() override {}
    bool tick() override {
      if (error.isEmpty()) {
        try {
          c->execSQL("nested", 30);
          error = QStringLiteral("no error");
        } catch (const Exception& e) {
          error = e.message();
        }
      }
      return false;
    }
    void closed() override {}
  } progress;
  progress.c = &client;
  client.setProgress(&progress);
  client.setShowProgress(true);
  answerSelectWith(WireValue(3));
  client.connect(30);
  server.addFault({ServerFault::StallAfterBytes, 0, 100, {}});
  EXPECT_EQ(client.selectValue("select 3", 30).toInt(), 3);
  EXPECT_EQ(progress.error, QStringLiteral("Batch already executed."));
}

TEST_F(ClientServer, CancelFromTheProgressHookAbortsSilently) {
  struct Cancel : TExecutionProgress {
    void shown(bool) override {}
    void connecting() override {}
    void executing() override {}
    bool tick() override { return true; }
    void closed() override {}
  } progress;
  answerSelectWith(WireValue(3));
  client.connect(30);  // before the hook: a greeting late under load must not be cancelled
  client.setProgress(&progress);
  client.setShowProgress(true);
  server.addFault({ServerFault::StallAfterBytes, 0, 200, {}});
  EXPECT_THROW(client.selectValue("select 3", 30), EAbort);
  EXPECT_EQ(client.lastErrorCode(), teCancelled);
  EXPECT_FALSE(client.connected());
}

TEST_F(ClientServer, CloseSaysGoodbyeOnlyOnAFreshConnection) {
  plat::ManualClock manual;
  plat::setClock(&manual);
  client.connect(30);
  client.close();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].code, 0);

  client.connect(30);
  manual.advance(900'000);
  client.close();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.connectionCount(), 2);  // and no reconnection for it
}

TEST_F(ClientServer, AssignKeepsTheConnectionWhenNothingChanged) {
  client.connect(30);
  TJClient other;
  configure(other);
  client.Assign(other);
  EXPECT_TRUE(client.connected());
  other.setLogin(QStringLiteral("someone"));
  client.Assign(other);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.login(), QStringLiteral("someone"));
}

TEST(ClientNoLogin, TalksPlainBatchesWithoutHandshake) {
  ProtocolServerOptions o;
  o.handshake = false;
  ProtocolServer s(o);
  s.setRequestHandler(
      [](const ServerRequest&, ServerReply& rep) { rep.results = {WireValue(11)}; });
  s.start();
  TJClient c;
  c.setShowProgress(false);
  c.setPort(s.port());
  EXPECT_EQ(c.getTableDataVersion("tbVm", 30), 11);
  EXPECT_EQ(s.handshakeCount(), 0);
  EXPECT_EQ(s.requests().at(0).params.at(0), WireValue(QStringLiteral("tbVm")));
}

// ---- table streams ----

TEST_F(ClientServer, TableStreamFillsTypedFieldsAndNamesEmptyColumns) {
  handler = [](const ServerRequest&, ServerReply& rep) {
    rep.tables.push_back(
        table({{QStringLiteral("id"), 4, 0, 0},
               {QStringLiteral("name"), 12, 8191, 0},
               {QString(), 3, 12, 0},
               {QStringLiteral("dt"), 93, 0, 0},
               {QStringLiteral("big"), -5, 0, 0},
               {QStringLiteral("raw"), -3, 4, 0},
               {QStringLiteral("ok"), 16, 0, 0}},
              {{WireValue(1), WireValue(QStringLiteral("Чай")), WireValue(1.5),
                WireValue::dateTime(QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9))),
                WireValue::int64(1LL << 40), WireValue(QByteArray("\x01\xFF", 2)), WireValue(true)},
               {WireValue(2), WireValue::null(), WireValue::null(), WireValue::null(),
                WireValue::null(), WireValue::null(), WireValue(false)}}));
  };
  plat::MemTable t;
  int afterOpen = 0;
  t.AfterOpen = [&](plat::MemTable&) { ++afterOpen; };
  client.select(&t, "select *", 30);
  ASSERT_TRUE(t.Active());
  EXPECT_EQ(afterOpen, 1);  // once, after the whole reply
  ASSERT_EQ(t.FieldCount(), 7);
  EXPECT_EQ(t.FieldByIndex(2)->FieldName(), QStringLiteral("fld_3"));
  EXPECT_EQ(t.FieldByIndex(2)->DataType(), ftFloat);
  EXPECT_EQ(t.FieldByIndex(2)->Precision(), 12);
  EXPECT_EQ(t.FieldByIndex(1)->Size(), 8191);
  EXPECT_EQ(t.RecordCount(), 2);
  t.First();
  EXPECT_EQ(t.FieldByName("name")->AsString(), QStringLiteral("Чай"));
  EXPECT_EQ(t.FieldByName("dt")->AsDateTime(), QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)));
  EXPECT_EQ(t.FieldByName("big")->AsLargeInt(), 1LL << 40);
  EXPECT_EQ(t.FieldByName("raw")->AsBytes(), QByteArray("\x01\xFF", 2));
  EXPECT_TRUE(t.FieldByName("ok")->AsBoolean());
  t.Next();
  EXPECT_TRUE(t.FieldByName("name")->IsNull());
}

TEST_F(ClientServer, TableStreamFailuresRaiseAndCloseTheTable) {
  struct Case {
    const char* what;
    std::function<void(ServerTable&)> spoil;
    QString message;
  };
  const Case cases[] = {
      {"column count -1",
       [](ServerTable& t) {
         t.failInsteadOfColumns = true;
         t.errorInsteadOfColumns = QStringLiteral("Ошибка SQL: нет таблицы");
       },
       QStringLiteral("Ошибка SQL: нет таблицы")},
      {"marker 2 after a row",
       [](ServerTable& t) {
         t.failAfterRows = true;
         t.errorAfterRows = QStringLiteral("deadlock");
       },
       QStringLiteral("deadlock")},
      {"size 8192", [](ServerTable& t) { t.columns[0].size = 8192; },
       QStringLiteral(
           "Field size (8192) is too big (maximum size is 8191). Cast column to BLOB data type.")},
      {"unknown JDBC code", [](ServerTable& t) { t.columns[0].javaType = 1111; },
       QStringLiteral("Unknown Java SQL Type 1111 (TJTransport.javaTypeToFieldType).")},
  };
  for (const auto& c : cases) {
    handler = [&](const ServerRequest&, ServerReply& rep) {
      ServerTable t = table({{QStringLiteral("id"), 4, 0, 0}}, {{WireValue(1)}});
      c.spoil(t);
      rep.tables.push_back(t);
    };
    plat::MemTable t;
    t.AddField("old", ftInteger);
    t.Open();
    try {
      client.select(&t, "select", 30);
      ADD_FAILURE() << c.what;
    } catch (const Exception& e) {
      EXPECT_EQ(e.message(), c.message) << c.what;
    }
    EXPECT_FALSE(t.Active()) << c.what;
  }
  // Each failure dropped the connection after the abort byte.
  for (int i = 0; i < 1000 && server.abortByteCount() < 4; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.abortByteCount(), 4);
}

// A stream with no columns but rows ("04 00", "04 00", "04 01") gives an open
// table of empty rows that the kiosk can use and cache like any other.
TEST_F(ClientServer, TableStreamWithoutColumnsGivesEmptyRows) {
  handler = [](const ServerRequest&, ServerReply& rep) {
    rep.tables.push_back(table({}, {{}, {}}));
  };
  plat::MemTable t;
  client.select(&t, "select", 30);
  ASSERT_TRUE(t.Active());
  EXPECT_EQ(t.FieldCount(), 0);
  EXPECT_EQ(t.RecordCount(), 2);
  plat::MemTable copy;
  copy.LoadFromBytes(t.SaveToBytes());
  EXPECT_EQ(copy.RecordCount(), 2);
}

TEST_F(ClientServer, ExtraTablesAreReadAndDroppedKeepingTheReplyInStep) {
  handler = [](const ServerRequest& r, ServerReply& rep) {
    rep.results = {WireValue(int(r.requestNo))};
    for (int i = 0; i < 2; ++i)
      rep.tables.push_back(
          table({{QStringLiteral("a"), 12, 10, 0}}, {{WireValue(QStringLiteral("x"))}}));
  };
  client.clearBatch();
  client.addRequest(1);
  client.addRequest(1);
  TRequestBatchPtr b = client.execBatch(30);
  ASSERT_EQ(b->count(), 2);
  EXPECT_EQ(b->request(1).resultParam(0).toInt(), 2);
}

TEST_F(ClientServer, ReloadKeepsTheCurrentId) {
  int round = 0;
  handler = [&](const ServerRequest&, ServerReply& rep) {
    std::vector<TVariantArray> rows;
    for (int id : round == 0 ? std::vector<int>{10, 42, 50} : std::vector<int>{5, 42, 60})
      rows.push_back({id});
    if (round == 2) rows = {{WireValue(1)}, {WireValue(2)}};
    rep.tables.push_back(table({{QStringLiteral("id"), 4, 0, 0}}, rows));
  };
  plat::MemTable t;
  client.select(&t, "s", 30);
  ASSERT_TRUE(t.Locate("id", 42));
  round = 1;
  client.select(&t, "s", 30);
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 42);
  round = 2;
  client.select(&t, "s", 30);
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 1);  // gone: the first row
}

TEST_F(ClientServer, JTableSelectWithParametersSavesAndLoadsBackEqual) {
  handler = [](const ServerRequest& r, ServerReply& rep) {
    ServerTable t = table({{QStringLiteral("id"), 4, 0, 0},
                           {QStringLiteral("name"), 12, 50, 0},
                           {QStringLiteral("price"), 8, 10, 0},
                           {QStringLiteral("barcode"), 12, 20, 0},
                           {QStringLiteral("dt"), 93, 0, 0},
                           {QStringLiteral("qty"), 5, 0, 0},
                           {QStringLiteral("vm_id"), -5, 0, 0}},
                          {});
    for (int i = 1; i <= 3; ++i)
      t.rows.push_back({WireValue(i), WireValue(QStringLiteral("Товар %1").arg(i)),
                        WireValue(i * 10.5), WireValue(QStringLiteral("46000%1").arg(i)),
                        WireValue::dateTime(QDateTime(QDate(2024, 1, i), QTime(10, 0))),
                        WireValue(i), r.params.at(3)});
    rep.tables.push_back(t);
  };
  TJTable tb;
  tb.SetJClient(&client);
  tb.SetSQLText(QStringLiteral("select * from tbDocVmServiceSale where vm_id = ?"));
  tb.addParam(WireValue::int64(77), ftLargeint);
  tb.selectFromDB(30);
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].params.at(1).toInt(), 1);
  EXPECT_EQ(reqs[0].params.at(2).toInt(), -5);
  EXPECT_EQ(reqs[0].params.at(3).toInt64(), 77);
  ASSERT_EQ(tb.RecordCount(), 3);
  QByteArray saved = tb.SaveToBytes();
  TJTable back;
  back.LoadFromBytes(saved);
  EXPECT_EQ(back.SaveToBytes(), saved);
  back.Last();
  EXPECT_EQ(back.FieldByName("name")->AsString(), QStringLiteral("Товар 3"));
  EXPECT_EQ(back.FieldByName("vm_id")->AsLargeInt(), 77);
}

// ---- the business API ----

TEST_F(ClientServer, KernelApiSendsItsParametersAndReadsItsResults) {
  std::vector<ServerRequest> seen;
  handler = [&](const ServerRequest& r, ServerReply& rep) {
    seen.push_back(r);
    switch (r.code) {
      case 1068:
        rep.results = {WireValue(501),
                       WireValue::int64(3000000001LL),
                       WireValue::int64(4000000002LL),
                       WireValue::dateTime(45000.5),
                       WireValue(12),
                       WireValue(7),
                       WireValue::null()};
        break;
      case 1086:
        rep.results = {WireValue(900)};
        break;
      case 1088:
        rep.results = {WireValue(QStringLiteral("https://qr.nspk.ru/AB12")), WireValue::int64(99)};
        break;
      case 1089:
        rep.results = {WireValue(5)};
        break;
      case 1100:
        rep.results = {WireValue(500.0), WireValue(true), WireValue(380.5)};
        break;
      case 1101:
      case 1102:
        rep.results = {WireValue::int64(11),
                       WireValue::int64(22),
                       "Иван",
                       "Петров",
                       "+79990000000",
                       "2000001",
                       "t",
                       WireValue(100.0),
                       WireValue(50.0),
                       WireValue(5.0),
                       WireValue(3.0),
                       "gold",
                       WireValue(0.0),
                       WireValue(10.0),
                       "silver"};
        break;
      default:
        break;
    }
  };
  TKernelAPI api(&client);
  TCheckInfo check =
      api.sendSaleReportToCashRegister(true, 45000.25, 17, QStringLiteral("VM-1"), 1002, 10.5, 0,
                                       {{258, QStringLiteral("Чай"), 55.5, 2}}, 30);
  EXPECT_EQ(check.id, 501);
  EXPECT_EQ(check.fdNumber, 3000000001u);
  EXPECT_EQ(check.fp, 4000000002u);
  EXPECT_EQ(check.shiftNo, 12);
  EXPECT_EQ(check.checkNumberInShift, 7);
  EXPECT_EQ(check.fnSerialNumber, QString());
  api.vekta_vm_state(3, QStringLiteral("ZM1"), 180);
  EXPECT_EQ(api.sendDocument(QStringLiteral("tbDocVmService"), QStringLiteral("<d/>"), 180), 900);
  QString qr;
  int64_t session = 0;
  api.sbpGenerateQrCode(3, 120.0, qr, session, 180);
  EXPECT_EQ(qr, QStringLiteral("https://qr.nspk.ru/AB12"));
  EXPECT_EQ(session, 99);
  EXPECT_EQ(api.sbpGetSessionStatus(99, 180), 5);
  api.yandexBadgePayment(3, {{QStringLiteral("Кофе"), 1, 90.0}}, 30);
  TIdentityCardPayment pay = api.identityCardPayment(3, QStringLiteral("0042"), 119.5, 30);
  EXPECT_TRUE(pay.payment_done);
  EXPECT_DOUBLE_EQ(pay.final_balance, 380.5);
  TLoyalityCardInfo card = api.getLoyalityCardInfo(3, QStringLiteral("2000001"), 3);
  EXPECT_TRUE(card.isActive);
  EXPECT_EQ(card.user.operation_id, 22);
  EXPECT_EQ(card.discount.loyalty_level, QStringLiteral("silver"));
  api.loyalityCardOperation(3, QStringLiteral("2000001"), 90.0, {{QStringLiteral("Кофе"), 1, 90.0}},
                            30);
  api.loyalityCardSubmitOperation(3, card, 30);
  api.loyalityCardBonusWriteOff(3, card, 15.0, 30);

  ASSERT_EQ(seen.size(), 11u);
  // 1068: isOnline, day count, sale number, machine text, firm, kopecks, goods.
  const TVariantArray& p = seen[0].params;
  ASSERT_EQ(p.size(), 11u);
  EXPECT_EQ(encodeValue(p[0]), QByteArray::fromHex("0401"));
  EXPECT_EQ(p[1], WireValue(45000.25));
  EXPECT_EQ(encodeValue(p[2]), QByteArray::fromHex("080000000000000011"));
  EXPECT_EQ(p[3].toString(), QStringLiteral("VM-1"));
  EXPECT_EQ(encodeValue(p[5]), QByteArray::fromHex("08000000000000041A"));  // 10.50 as 1050
  EXPECT_EQ(p[7].toInt(), 1);
  EXPECT_EQ(p[8].toBytes(),
            QByteArray::fromHex("02010000") + QByteArray::fromHex("97a0a9"));  // "Чай" in IBM866
  EXPECT_EQ(p[9], WireValue::int64(5550));
  EXPECT_EQ(p[10].toInt(), 2);

  EXPECT_EQ(seen[1].params,
            (TVariantArray{WireValue::shortInt(3), WireValue(QStringLiteral("ZM1"))}));
  EXPECT_EQ(seen[4].params, (TVariantArray{WireValue::int64(99)}));
  EXPECT_EQ(seen[5].params, (TVariantArray{WireValue::shortInt(3), WireValue::shortInt(1),
                                           WireValue(QStringLiteral("Кофе")),
                                           WireValue::shortInt(1), WireValue(90.0)}));
  EXPECT_EQ(seen[6].params, (TVariantArray{WireValue::shortInt(3),
                                           WireValue(QStringLiteral("0042")), WireValue(119.5)}));
  EXPECT_EQ(seen[8].params.size(), 7u);  // machine, barcode, amount, count, one position
  ASSERT_EQ(seen[10].params.size(), 9u);
  EXPECT_EQ(seen[10].params[1], WireValue::int64(11));
  EXPECT_EQ(seen[10].params[2], WireValue::int64(22));
  EXPECT_EQ(seen[10].params[8], WireValue(15.0));
}

TEST_F(ClientServer, KernelApiShortLoyaltyReplyFailsWithoutARecord) {
  handler = [](const ServerRequest&, ServerReply& rep) {
    for (int i = 0; i < 14; ++i) rep.results.push_back(WireValue::int64(i));
  };
  TKernelAPI api(&client);
  try {
    api.getLoyalityCardInfo(3, QStringLiteral("1"), 3);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(),
              QStringLiteral("Index is out of bounds (14, TRequest.nextResultParam)."));
  }
  handler = [](const ServerRequest&, ServerReply& rep) {
    rep.refuse(QStringLiteral("Карта не найдена"));
  };
  try {
    api.getLoyalityCardInfo(3, QStringLiteral("1"), 3);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), QStringLiteral("Карта не найдена"));
  }
}

TEST_F(ClientServer, KernelApiMachineCommandsLayouts) {
  std::vector<ServerRequest> seen;
  handler = [&](const ServerRequest& r, ServerReply& rep) {
    seen.push_back(r);
    if (r.code == 1006 || r.code == 1002) rep.results = {WireValue::null()};
  };
  TKernelAPI api(&client);
  api.vms_audit({1, 2, 300}, 30);
  api.bc_credit(4, 12.5, 30);
  EXPECT_EQ(api.trm_vm_exec_program(4, QStringLiteral("p"), true, 30), QString());
  EXPECT_EQ(seen[0].params, (TVariantArray{WireValue::shortInt(1), WireValue::shortInt(2),
                                           WireValue::smallint(300)}));
  ASSERT_EQ(seen[1].params.size(), 4u);
  EXPECT_EQ(seen[1].params[2], WireValue(0.0));
  QString stamp = seen[1].params[3].toString();
  EXPECT_TRUE(stamp.startsWith(QStringLiteral("tst")));
  EXPECT_EQ(stamp.size(), 17);
  EXPECT_EQ(seen[2].params[2], WireValue::shortInt(1));
}

// ---- the key switch inside the handshake, byte by byte ----

// Reference unscrambler, written out here so the test does not lean on the
// code under test. Returns plain bytes and moves (i, p).
QByteArray unscramble(const QByteArray& wire, const QByteArray& key, int& i, uint8_t& p) {
  QByteArray plain = wire;
  for (int j = 0; j < wire.size(); ++j) {
    i = i + 1 > key.size() ? 1 : i + 1;
    uint8_t k = uint8_t(7 * p + 5 * uint8_t(key[i - 1]));
    plain[j] = char(uint8_t(wire[j]) ^ k);
    p = uint8_t(wire[j]);
  }
  return plain;
}

TEST(HandshakeBytes, KeyBytesUseTheServerKeyThenTheConnectionKeyCarriesTheState) {
  plat::TcpServer listener;
  listener.listen();
  QByteArray fromClient;
  std::thread server([&] {
    auto peer = listener.accept(5000);
    ASSERT_TRUE(peer);
    // Greeting: "DR", id 1, version "1.0.0", key 01 02 03; all plain.
    peer->write(QByteArray::fromHex("01024452 0401 0105312e302e30 020000000301 0203"));
    // Identity "1.4\rv\r" (tag 13, 12 bytes) = 17, key value 11, login "ab" 9, password "" 5.
    while (fromClient.size() < 17 + 11 + 9 + 5) {
      QByteArray part = peer->read(256, 2000);
      if (part.isEmpty()) break;
      fromClient += part;
    }
    peer->close();
  });
  TJClient c;
  c.setShowProgress(false);
  c.setPort(listener.port());
  c.setLogin(QStringLiteral("ab"));
  c.setServerType(QStringLiteral("DR"));
  c.setApplicationID(QStringLiteral("v"));
  c.setClientVersion(QStringLiteral("1.4"));
  EXPECT_THROW(c.connect(5), Exception);  // the server hangs up before the status
  server.join();
  ASSERT_EQ(fromClient.size(), 42);

  EXPECT_EQ(fromClient.left(17), QByteArray::fromHex("0d0000000c 31002e0034000d0076000d00"));
  const QByteArray serverKey = QByteArray::fromHex("010203");
  int i = 0;
  uint8_t p = 0;
  QByteArray keyValue = unscramble(fromClient.mid(17, 11), serverKey, i, p);
  EXPECT_EQ(uint8_t(fromClient[17]), 0x02 ^ 0x05);  // first byte: tag 2 with key byte 5
  ASSERT_EQ(keyValue.left(5), QByteArray::fromHex("0200000006"));
  const QByteArray connectionKey = serverKey + keyValue.mid(5);
  // No reset between the two keys: index and last byte carry on.
  QByteArray rest = unscramble(fromClient.mid(28), connectionKey, i, p);
  EXPECT_EQ(rest, QByteArray::fromHex("0d00000004 61006200 0d00000000"));
}

}  // namespace
