// The client against the in-process stand-in server: handshake, operations,
// refusals, and every failure path the server can be made to produce.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "backoffice/JClient.h"
#include "backoffice/TableStream.h"
#include "platform/Clock.h"
#include "platform/TcpClient.h"
#include "testbed/ProtocolServer.h"

namespace {

// Real time sped up: time-outs of seconds pass in tens of milliseconds.
class FastClock : public plat::Clock {
 public:
  explicit FastClock(int factor) : factor_(factor), base_(realMs()) {}
  int64_t nowMs() const override { return 1'000'000 + (realMs() - base_) * factor_; }
  void sleepMs(int64_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms / factor_));
  }

 private:
  static int64_t realMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  int factor_;
  int64_t base_;
};

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
  EXPECT_EQ(server.abortByteCount(), 2);
}

TEST_F(ClientServer, ServerClosingMidReplyFailsAndNextCallReconnects) {
  answerSelectWith(WireValue(1));
  server.addFault({ServerFault::CloseAfterBytes, 10, 0, {}});
  EXPECT_THROW(client.selectValue("select 1", 30), Exception);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.selectValue("select 1", 30).toInt(), 1);
  EXPECT_EQ(server.handshakeCount(), 2);
}

TEST_F(ClientServer, FirstByteIsWaitedForUpToTheCallersTimeout) {
  FastClock fast(50);  // 1 s is 20 ms
  plat::setClock(&fast);
  answerSelectWith(WireValue(1));
  client.connect(30);
  server.addFault({ServerFault::StallAfterBytes, 0, 400, {}});  // 20 s of 30
  EXPECT_EQ(client.selectValue("select 1", 30).toInt(), 1);

  server.addFault({ServerFault::StallAfterBytes, 0, 1000, {}});  // 50 s of 30
  try {
    client.selectValue("select 1", 30);
    FAIL();
  } catch (const ETransportError& e) {
    EXPECT_EQ(e.code(), teTimeout);
    EXPECT_EQ(e.message(), QStringLiteral("Превышено время выполнения запроса."));
  }
}

TEST_F(ClientServer, APauseInsideAReplyMayLastSixSeconds) {
  FastClock fast(50);
  plat::setClock(&fast);
  answerSelectWith(WireValue(1));
  client.connect(30);
  server.addFault({ServerFault::StallAfterBytes, 12, 60, {}});  // 3 s
  EXPECT_EQ(client.selectValue("select 1", 300).toInt(), 1);
  server.addFault({ServerFault::StallAfterBytes, 12, 500, {}});  // 25 s, long timeout or not
  try {
    client.selectValue("select 1", 300);
    FAIL();
  } catch (const ETransportError& e) {
    EXPECT_EQ(e.code(), teTimeout);
  }
  EXPECT_GE(server.abortByteCount(), 0);
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
  client.setProgress(&progress);
  client.setShowProgress(true);
  answerSelectWith(WireValue(3));
  client.connect(30);
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

}  // namespace
