// The D200 PIN pad: its frame and message codec, the driver against the
// simulated pad on a pseudo-terminal (identification, errors, the bank link
// it tunnels, the abort), and device discovery through the pad's protocol.

#include <gtest/gtest.h>

#include <QFile>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "devices/CRC16.h"
#include "devices/D200_Sberbank.h"
#include "devices/SberDevice.h"
#include "devices/Vendotek.h"
#include "kiosk/DevicesDiscovery.h"
#include "platform/Exception.h"
#include "platform/TcpServer.h"
#include "screens/PaymentThreads.h"
#include "testbed/D200Sim.h"

namespace {

QByteArray hex(const char* h) {
  return QByteArray::fromHex(h);
}

QString raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return QStringLiteral("<nothing raised>");
}

// A frame as the line carries it, without its ETX (the receiver stops there).
QByteArray lineFrame(const QByteArray& payloadWithCrc) {
  return QByteArray("\x02#") + payloadWithCrc.toBase64();
}

}  // namespace

// ---- codec ----

TEST(D200Codec, MessageHeaderAndAnswerNumbers) {
  // The 256th request and the number its answer must carry.
  EXPECT_EQ(d200Message(0x50, 256, {}), hex("50000000010000"));
  EXPECT_EQ(d200Message(0x50, 256 + D200::kAnswerBit, {}).mid(3), hex("00018000"));
  EXPECT_EQ(d200Message(0xA5, 1, hex("001C9F0000")), hex("A5050001000000001C9F0000"));
  const TMsg m = d200ParseHeader(hex("A505000100800000") + "xyz");
  EXPECT_EQ(m.code, 0xA5);
  EXPECT_EQ(m.len, 5);
  EXPECT_EQ(m.msg_no, 0x800001u);
  EXPECT_EQ(m.args, QByteArray("\x00xyz", 4));
  EXPECT_EQ(raised([] { d200ParseHeader(hex("A5050001")); }),
            QStringLiteral("Некорректный формат сообщения."));
  EXPECT_EQ(raised([] { d200Message(1, 1, QByteArray(D200::kMaxArgs + 1, 'x')); }),
            QStringLiteral("Сообщение D200 слишком длинное."));
}

TEST(D200Codec, MessagesAreCutIntoPiecesOfAtMost180Bytes) {
  const struct {
    int size;
    QList<QByteArray> heads;  // piece number and length of every piece
  } cases[] = {
      {7, {hex("0007")}},
      {180, {hex("00B4")}},
      {181, {hex("80B4"), hex("0101")}},
      {200, {hex("80B4"), hex("0114")}},
      {361, {hex("80B4"), hex("81B4"), hex("0201")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    QByteArray msg;
    for (int i = 0; i < c.size; ++i) msg += char(i);
    const QList<QByteArray> pieces = d200Pieces(msg);
    ASSERT_EQ(pieces.size(), c.heads.size());
    QByteArray joined;
    for (int i = 0; i < pieces.size(); ++i) {
      EXPECT_EQ(pieces[i].left(2), c.heads[i]);
      joined += pieces[i].mid(2);
    }
    EXPECT_EQ(joined, msg);
  }
  EXPECT_EQ(d200Pieces(QByteArray(D200::kMaxPiece * D200::kMaxPieces, 'x')).size(), 128);
}

TEST(D200Codec, FramesRoundTripAndMalformedFramesRaiseTheirMessages) {
  const QByteArray payload = hex("8103") + "abc";
  const QByteArray frame = d200Frame(payload);
  EXPECT_EQ(frame.front(), '\x02');
  EXPECT_EQ(frame.back(), '\x03');
  EXPECT_EQ(frame.mid(2, frame.size() - 3), (payload + crc16CcittStr(payload)).toBase64());
  const TFrame f = d200ParseFrame(frame.chopped(1));
  EXPECT_EQ(f.frame_no, 1);
  EXPECT_FALSE(f.is_last_frame);
  EXPECT_EQ(f.data, QByteArray("abc"));

  QByteArray badCrc = payload + crc16CcittStr(payload);
  badCrc[badCrc.size() - 1] = char(badCrc.back() ^ 0x40);
  const QByteArray two = hex("0000");
  const struct {
    const char* name;
    QByteArray bytes;
    const char* message;
  } cases[] = {
      {"ETX at once", {}, "Некорректный формат фрейма. Вместо STX получен символ 0x03."},
      {"no STX", "\x06#AAAA", "Некорректный формат фрейма. Вместо STX получен символ 0x06."},
      {"no #", "\x02*AAAA", "Некорректный формат фрейма. Вместо # получен символ 0x2A."},
      {"STX alone", "\x02", "Некорректный формат фрейма. Вместо # получен символ 0x03."},
      {"not Base64", "\x02#A!AA", "Некорректный формат фрейма."},
      {"too short for header and CRC",
       lineFrame(two + crc16CcittStr(two)).left(2) + QByteArray("AAA="),
       "Некорректный формат фрейма."},
      {"bad CRC", lineFrame(badCrc), "Неверная контрольная сумма."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(raised([&] { d200ParseFrame(c.bytes); }), QString::fromUtf8(c.message));
  }
}

TEST(D200Codec, ErrorCodeTransactionRequestAndAnswer) {
  TMsg m;
  m.code = 0;
  EXPECT_EQ(d200ErrorCode(m), 0);
  m.code = 0x21;
  EXPECT_EQ(d200ErrorCode(m), 0x21);
  m.code = 0x0E;
  m.args = hex("3412FF");
  EXPECT_EQ(d200ErrorCode(m), 0x1234);
  m.args = hex("34");
  EXPECT_EQ(raised([&] { d200ErrorCode(m); }), QStringLiteral("Некорректный формат сообщения."));

  EXPECT_EQ(d200Kopecks(0.125), 12u);  // ties to even
  EXPECT_EQ(d200Kopecks(0.375), 38u);
  const QByteArray pay = d200TransactionRequest(d200Kopecks(123.45), 1, -2);
  ASSERT_EQ(pay.size(), 69);
  EXPECT_EQ(pay.left(7), hex("39300000000001"));
  EXPECT_EQ(pay.mid(7, 40), QByteArray(40, '\0'));
  EXPECT_EQ(pay.mid(47, 4), hex("FEFFFFFF"));
  EXPECT_EQ(pay.mid(51, 13), QByteArray(13, '\0'));
  EXPECT_EQ(pay.mid(64), hex("0000040000"));
  EXPECT_EQ(d200TransactionRequest(0, 7, 5).mid(64), hex("0000000000"));
  for (double bad : {-0.01, 1e12, std::nan("")}) {
    EXPECT_EQ(raised([&] { d200Kopecks(bad); }), QStringLiteral("Неверная сумма платежа."));
  }

  QByteArray a(211, '\0');
  a.replace(0, 2, hex("1610"));
  a.replace(94, 9, "123456789");
  a.replace(193, 4, hex("10270000"));
  a.replace(207, 4, hex("01020304"));
  const TTransactionResult r = d200ParseTransaction(a);
  EXPECT_EQ(r.result_code, 4118);
  EXPECT_EQ(r.terminal_no, QByteArray("123456789"));
  EXPECT_EQ(r.amount_copeck, 10000u);
  EXPECT_EQ(r.loyalty_id, 0x04030201u);
  EXPECT_EQ(raised([&] { d200ParseTransaction(a.left(210)); }),
            QStringLiteral("Некорректная длина ответа D200 (210 байт)."));
}

// ---- the simulated pad checks the kiosk's side of the line ----

TEST(D200SimOracle, AWrongControlByteFromTheKioskIsCaught) {
  struct Case {
    const char* name;
    uint8_t reply;  // the kiosk's control byte after the pad's one-piece answer
    QStringList violations;
  } cases[] = {
      {"EOT after the last piece", D200::EOT, {}},
      {"ACK after the last piece", D200::ACK, {"piece 0: ACK instead of EOT"}},
      {"BEL after the last piece", D200::BEL, {"piece 0: BEL instead of EOT"}},
      {"NAK for a sound frame", D200::NAK, {"piece 0: NAK for a sound frame"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    D200Sim sim(dir.path(), 3);
    // A faulty kiosk: sends a version request, takes the answer, then
    // answers it with the case's byte.
    TComDevice kiosk;
    kiosk.connect(QStringLiteral("COM3"), 9600, 8, 0, 0, false, false);
    kiosk.sendBuffer(d200Frame(d200Pieces(d200Message(D200::cmdVersion, 1, {})).at(0)));
    EXPECT_EQ(kiosk.recvByte(2000), D200::EOT);
    kiosk.recvTerminated(2000, QByteArray(1, char(D200::ETX)));
    kiosk.sendBuffer(QByteArray(1, char(c.reply)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim.violations(), c.violations);
    qunsetenv("VEKTA_PORTS_DIR");
  }
}

// ---- the driver against the simulated pad ----

class D200Test : public ::testing::Test {
 protected:
  static constexpr int kCom = 7;
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    sim = std::make_unique<D200Sim>(dir.path(), kCom);
    pad.setComPort(kCom);
  }
  void TearDown() override {
    // The pad checked every byte the driver sent it.
    EXPECT_TRUE(sim->violations().isEmpty()) << sim->violations().join(u'\n').toStdString();
    qunsetenv("VEKTA_PORTS_DIR");
  }

  QTemporaryDir dir;
  std::unique_ptr<D200Sim> sim;
  TD200Sberbank pad;
};

TEST_F(D200Test, IdentifiesThePad) {
  // A version longer than one piece comes back whole.
  const QByteArray longVersion = QByteArray("D200 ") + QByteArray(240, 'v');
  sim->setVersion(longVersion);
  sim->setTerminalNumber("00987654");
  sim->setMerchantNumber("  123456  ");
  pad.getVersion();
  pad.getTerminalNumber();
  pad.getMerchantNumber();
  EXPECT_EQ(pad.version, QString::fromLatin1(longVersion));
  EXPECT_EQ(pad.terminalNumber, QStringLiteral("00987654"));
  EXPECT_EQ(pad.merchantNumber, QStringLiteral("123456"));
  EXPECT_TRUE(pad.isOpen());
  EXPECT_TRUE(pad.cardInserted(1));

  const std::vector<D200Sim::Message> sent = sim->received();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[1].args, hex("001C9F0000"));
  EXPECT_EQ(sent[2].args, hex("00169F0000"));
  for (uint32_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].msg_no, i + 1);
}

TEST_F(D200Test, MessageNumbersRunFrom1To1000000) {
  pad.setOutgoingMsgNo(255);
  pad.getVersion();
  pad.setOutgoingMsgNo(1000000);
  pad.getVersion();
  const std::vector<D200Sim::Message> sent = sim->received();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].msg_no, 256u);
  EXPECT_EQ(sent[1].msg_no, 1u);
}

TEST_F(D200Test, FailuresRaiseTheProtocolsMessages) {
  EXPECT_EQ(raised([] {
              TD200Sberbank unset;
              unset.getVersion();
            }),
            QStringLiteral("Не указан номер COM-порта."));

  sim->setErrorCode(5);
  EXPECT_EQ(raised([&] { pad.getVersion(); }), QStringLiteral("Ошибка D200 (код 5)."));
  // The transaction's own error is the caller's to judge for a reconciliation.
  EXPECT_EQ(pad.revise_totals().result_code, 5);
  EXPECT_EQ(raised([&] { pad.pay(1); }), QStringLiteral("Ошибка D200 (код 5)."));
  sim->setErrorCode(0);

  sim->answerWithWrongNumberOnce();
  pad.setOutgoingMsgNo(9);
  EXPECT_EQ(raised([&] { pad.getVersion(); }),
            QStringLiteral("Номер ответа (8388619) не соответствует номеру исходящего "
                           "сообщения (8388618)."));
}

TEST_F(D200Test, AnAnswerOfThreePiecesIsAcknowledgedAckBelEot) {
  // The pad checks the control byte after each piece (TearDown).
  const QByteArray version(400, 'v');
  sim->setVersion(version);
  pad.getVersion();
  EXPECT_EQ(pad.version, QString::fromLatin1(version));
}

TEST_F(D200Test, ASpoiltFrameIsRefusedTwiceAtMostThenTheExchangeFails) {
  struct Case {
    int spoilt;
    const char* error;  // nullptr: taken on a later attempt
  } cases[] = {
      {1, nullptr},
      {2, nullptr},
      {3, "Неверная контрольная сумма."},  // the third failure: no third NAK
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spoilt);
    const int naksBefore = sim->naksReceived();
    sim->corruptNextFrames(c.spoilt);
    EXPECT_EQ(raised([&] { pad.getVersion(); }),
              c.error ? QString::fromUtf8(c.error) : QStringLiteral("<nothing raised>"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim->naksReceived() - naksBefore, std::min(c.spoilt, 2));
  }
}

TEST_F(D200Test, AFrameThePadDoesNotAcknowledgeIsSentThreeTimesInAll) {
  sim->withholdAcks(2);
  pad.getVersion();  // the third send gets through
  EXPECT_EQ(sim->framesReceived(), 3);

  // Never acknowledged: three sends, then only the wait for the answer,
  // which ends at the exchange's limit.
  const int before = sim->framesReceived();
  sim->withholdAcks(3);
  EXPECT_THROW(pad.abort_operation(5000), ETimeout);
  EXPECT_EQ(sim->framesReceived() - before, 3);
}

TEST_F(D200Test, TransactionsCarryTheirOperationAndFreshRequestIds) {
  sim->setTransactionResult(4134);
  const TTransactionResult r = pad.revise_totals();
  EXPECT_EQ(r.result_code, 4134);
  EXPECT_EQ(r.operation_type, 7);
  const int32_t first = pad.requestId();
  EXPECT_LT(first, 0);
  sim->setTransactionResult(0);
  const TTransactionResult p = pad.pay(99.99);
  EXPECT_EQ(p.amount_copeck, 9999u);
  EXPECT_EQ(p.operation_type, 1);
  EXPECT_EQ(int32_t(p.RequestID), first - 1);
}

TEST_F(D200Test, AbortAnswersTheWordAndGivesUpWithinItsLimit) {
  for (int16_t word : {int16_t(0), int16_t(-2), int16_t(300)}) {
    sim->setAbortAnswer(word);
    EXPECT_EQ(pad.abort_operation(5000), word);
  }
  // A silent pad: the abort ends within its limit, not after 180 s per frame.
  sim->setSilent(true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(raised([&] { pad.abort_operation(400); }), QStringLiteral("Timeout during operation."));
  EXPECT_THROW(pad.abort_operation(400), ETimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

  // Through the card screen's interface the port is released afterwards, so
  // that the bank library can go on with it.
  sim->setSilent(false);
  sim->setAbortAnswer(0);
  TD200PinPadAbort abort(pad);
  EXPECT_EQ(abort.abort_operation(5000), 0);
  EXPECT_FALSE(pad.isOpen());
}

TEST_F(D200Test, CarriesThePadsBankLink) {
  plat::TcpServer bank;
  bank.listen();
  QByteArray bankGot;
  std::thread host([&] {
    auto c = bank.accept(10000);
    if (!c) return;
    while (bankGot.size() < 5) {
      const QByteArray chunk = c->read(64, 5000);
      if (chunk.isEmpty()) break;
      bankGot += chunk;
    }
    c->write(QByteArray("world"));
    try {
      c->read(1, 5000);  // until the kiosk closes
    } catch (const std::exception&) {
    }
  });
  sim->bankLinkBeforeNextAnswer(QStringLiteral("127.0.0.1"), bank.port(), "hello", 5);
  pad.getVersion();
  host.join();
  EXPECT_EQ(pad.version, QStringLiteral("D200 sim 1.0"));
  EXPECT_EQ(bankGot, QByteArray("hello"));
  const std::vector<D200Sim::Message> replies = sim->bankReplies();
  ASSERT_EQ(replies.size(), 4u);
  const QByteArray want[] = {hex("0119000000"), hex("03190500"), QByteArray("\x02\x19world"),
                             hex("0419")};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(replies[i].code, 0);
    EXPECT_EQ(replies[i].args, want[i]);
  }
}

TEST_F(D200Test, BankLinkFailuresAreAnsweredToThePadNotRaised) {
  plat::TcpServer closed;
  closed.listen();
  const int deadPort = closed.port();
  closed.close();
  auto open = [&](int port) {
    QByteArray payload(2, '\0');
    payload += hex("7F000001");
    payload += char(port & 0xFF);
    payload += char(port >> 8);
    return hex("011900") + char(payload.size()) + '\0' + payload;
  };
  const struct {
    const char* name;
    QByteArray args;
    uint8_t code;
  } cases[] = {
      {"refused connect", open(deadPort), 99},
      {"read without a connection", hex("0219000200") + hex("0500"), 99},
      {"write without a connection", hex("0319000100") + "x", 99},
      {"wrong marker", hex("0118000000"), 0xFC},
      {"too short for its header", hex("0119"), 0xFC},
      {"payload cut short", hex("0119000800") + "ab", 0xFC},
      {"open without an address", hex("0119000200") + "ab", 99},
  };
  for (const auto& c : cases) sim->rawBankRequestBeforeNextAnswer(c.args);
  pad.getVersion();
  const std::vector<D200Sim::Message> replies = sim->bankReplies();
  ASSERT_EQ(replies.size(), std::size(cases));
  for (size_t i = 0; i < replies.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(replies[i].code, cases[i].code);
    EXPECT_TRUE(replies[i].args.isEmpty());
  }
}

// ---- discovery through the pad's protocol ----

namespace {

// "p3" asks the pad on COM3 in its protocol, "pc" closes its port, "i3"
// writes pinpad.ini for COM3, "t" runs a bridge test.
struct FakePad {
  QList<int> ports;
  QSet<int> padAt;     // answers in its own protocol
  QSet<int> bridgeAt;  // passes the bridge test
  QStringList trace;
  int iniPort = 0;

  TPosProbes probes() {
    TPosProbes p;
    p.comPortList = [this] { return ports; };
    p.vendotekConnect = [this](int port) {
      trace << QStringLiteral("v%1").arg(port);
      throw Exception(QStringLiteral("Timeout error."));
    };
    p.vendotekClose = [] {};
    p.sberCreateIniFile = [this](int port) {
      trace << QStringLiteral("i%1").arg(port);
      iniPort = port;
    };
    p.sberTestPinPad = [this] {
      trace << QStringLiteral("t");
      return bridgeAt.contains(iniPort);
    };
    p.padIdentify = [this](int port) {
      trace << QStringLiteral("p%1").arg(port);
      if (!padAt.contains(port)) throw Exception(QStringLiteral("Timeout during operation."));
      return TPosIdentity{QStringLiteral("T%1").arg(port), QStringLiteral("M"),
                          QStringLiteral("V")};
    };
    p.padClose = [this] { trace << QStringLiteral("pc"); };
    return p;
  }
};

}  // namespace

TEST(PadDiscovery, ThePadsProtocolFirstThenTheBridgeTestAndThePortAlwaysReleased) {
  const struct {
    const char* name;
    QList<int> ports;
    QSet<int> padAt, bridgeAt;
    int savedSber;
    const char* trace;
    int port;
    const char* terminal;
  } cases[] = {
      {"saved port answers in the pad's protocol", {1, 2}, {2}, {}, 2, "p2 pc i2", 2, "T2"},
      {"saved port passes only the bridge test", {1, 2}, {}, {2}, 2, "p2 pc i2 t", 2, ""},
      {"scan: the pad's protocol on the second port",
       {1, 2},
       {2},
       {},
       -1,
       "p1 pc i1 t p2 pc i2",
       2,
       "T2"},
      {"scan: the bridge test on the second port",
       {1, 2},
       {},
       {2},
       -1,
       "p1 pc i1 t p2 pc i2 t i2",
       2,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePad dev;
    dev.ports = c.ports;
    dev.padAt = c.padAt;
    dev.bridgeAt = c.bridgeAt;
    TPosDiscovery d(dev.probes(), c.savedSber, -1);
    std::atomic<bool> stop{false};
    d.trySavedPorts(stop);
    d.scan(stop);
    EXPECT_EQ(dev.trace.join(u' '), QLatin1String(c.trace));
    EXPECT_EQ(d.pos_type(), ptSber);
    EXPECT_EQ(d.port(), c.port);
    EXPECT_EQ(d.sberPortToSave(), c.port);
    EXPECT_EQ(d.identity().terminalNumber, QLatin1String(c.terminal));
  }
}

TEST_F(D200Test, DiscoveryFindsThePadOnItsSavedPortByItsOwnProtocol) {
  sim->setMerchantNumber(" 780000000001 ");
  QTemporaryDir sberDir;
  QStringList bridgeRuns;
  TSberDevice sberPinPad(sberDir.path(),
                         [&](const QStringList& argv, const std::atomic<bool>&, const QString&) {
                           bridgeRuns << argv.join(u' ');
                           return QStringLiteral("ok\r\nlast_error=0\r\nresult=false\r\n");
                         });
  TVendotek vendotek;
  TPosDiscovery d(makePosProbes(vendotek, sberPinPad, &pad), kCom, -1);
  std::atomic<bool> stop{false};
  d.trySavedPorts(stop);

  EXPECT_EQ(d.pos_type(), ptSber);
  EXPECT_EQ(d.port(), kCom);
  EXPECT_EQ(d.identity().terminalNumber, QStringLiteral("00123456"));
  EXPECT_EQ(d.identity().merchantNumber, QStringLiteral("780000000001"));
  EXPECT_EQ(d.identity().version, QStringLiteral("D200 sim 1.0"));
  EXPECT_TRUE(bridgeRuns.isEmpty());
  // Released for the bank library, which reads the port from pinpad.ini.
  EXPECT_FALSE(pad.isOpen());
  QFile ini(sberDir.filePath(QStringLiteral("pinpad.ini")));
  ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
  EXPECT_EQ(ini.readAll(),
            QByteArray("ComPort=7\r\nSpeed=115200\r\nShowScreens=0\r\nNewProtocol=1\r\n"));

  const TPosReport report = [&] {
    bool logged = false;
    return posDiscoveryTick(d.pos_type(), d.identity(), 0, logged, false, false);
  }();
  EXPECT_EQ(report.eventText,
            QStringLiteral("Подключение к банковскому терминалу № 00123456 (Merchant number: "
                           "780000000001; версия D200 sim 1.0)"));
}
