// The bridge program as the kiosk runs it: a child process with its output
// to a pipe, against the stand-in bank library in a private folder.

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "bridge/SberErrors.h"
#include "bridge/StubSberFolder.h"
#include "platform/TextCodec.h"

namespace {

const QString kApproved = QStringLiteral("ОДОБРЕНО");

QString tableText(int code) {
  return QString::fromStdString(PilotErrorText(code));
}

// Output lines, after checking that every line ends with CR LF.
QStringList lines(const QByteArray& raw) {
  EXPECT_TRUE(raw.isEmpty() || raw.endsWith("\r\n")) << raw.toStdString();
  EXPECT_EQ(raw.count('\n'), raw.count("\r\n")) << "bare line feed in output";
  QStringList out = plat::fromAnsi(raw).split(QStringLiteral("\r\n"));
  if (!out.isEmpty() && out.last().isEmpty()) out.removeLast();
  return out;
}

// Expected lines; one ending in "*" matches any line with that beginning.
void expectLines(const QStringList& actual, const QStringList& expected) {
  ASSERT_EQ(actual.size(), expected.size()) << actual.join(u'|').toStdString();
  for (qsizetype i = 0; i < expected.size(); ++i) {
    if (expected[i].endsWith(u'*')) {
      EXPECT_TRUE(actual[i].startsWith(expected[i].chopped(1))) << actual[i].toStdString();
    } else {
      EXPECT_EQ(actual[i], expected[i]);
    }
  }
}

QStringList err(const QString& classAndMessage) {
  return {QStringLiteral("err"), classAndMessage};
}

struct CommandCase {
  QStringList args;
  QStringList expected;
  QString libraryCall;  // the operation's line in the library's call log
};

TEST(BridgeProgram, EveryCommandWordPrintsItsLinesAndFinishesTheLibraryOnce) {
  const CommandCase cases[] = {
      {{"test_pin_pad"}, {"ok", "last_error=0", "last_error_msg=", "result=true"}, "_TestPinpad"},
      {{"pay", "12345"},
       {"ok", "last_error=0", "last_error_msg=" + kApproved, "amount_kop=12345", "rcode=00",
        "ctype=1", "auth_code=123456", "card_id=************1234", "error_code=0", "trans_date=*",
        "trans_number=1", "sber_own_card=1", "hash=0123456789ABCDEF0123456789ABCDEF01234567",
        "track3=", "check=", "СБЕРБАНК", "ОПЛАТА", "СУММА: 123.45 РУБ.", kApproved},
       "_card_authorize11 type=1 amount=12345 ctype=0"},
      {{"revise_totals"},
       {"ok", "last_error=0", "last_error_msg=" + kApproved, "check=", "СВЕРКА ИТОГОВ",
        "ИТОГИ СОВПАЛИ"},
       "_close_day type=7 amount=0 ctype=0"},
      {{"cancel_last_payment"},
       {"ok", "last_error=0", "last_error_msg="},
       "_RollbackTrx amount=0 auth_code="},
      {{"abort_transaction"}, {"ok", "last_error=0", "last_error_msg="}, "_AbortTransaction"},
      {{"get_terminal_id"},
       {"ok", "last_error=0", "last_error_msg=", "terminal_id=00012345"},
       "_GetTerminalID"},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.args.join(u' ').toStdString());
    StubSberFolder sber;
    ASSERT_TRUE(sber.ok());
    expectLines(lines(sber.run(c.args)), c.expected);
    EXPECT_EQ(sber.calls(), (QStringList{c.libraryCall, "_Done"}));
  }
}

TEST(BridgeProgram, UnknownOrMissingCommandWordPrintsNothing) {
  const QStringList cases[] = {{"PAY", "100"}, {"pay_"}, {""}};
  for (const QStringList& args : cases) {
    SCOPED_TRACE(args.join(u' ').toStdString());
    StubSberFolder sber;
    ASSERT_TRUE(sber.ok());
    EXPECT_EQ(sber.run(args), QByteArray());
    EXPECT_EQ(sber.calls(), QStringList{"_Done"});
  }
  StubSberFolder sber;
  ASSERT_TRUE(sber.ok());
  EXPECT_EQ(sber.run({}), QByteArray());
  EXPECT_FALSE(sber.exists("calls.log")) << "no argument must not even load the library";
}

TEST(BridgeProgram, PayRefusesAnAmountThatIsNotAPositiveWholeNumber) {
  const struct {
    QStringList args;
    QString message;
  } cases[] = {
      {{"pay", "abc"}, "EConvertError: 'abc' is not a valid integer value"},
      {{"pay"}, "EConvertError: '' is not a valid integer value"},
      {{"pay", "12.5"}, "EConvertError: '12.5' is not a valid integer value"},
      {{"pay", "12abc"}, "EConvertError: '12abc' is not a valid integer value"},
      {{"pay", "99999999999"}, "EConvertError: '99999999999' is not a valid integer value"},
      {{"pay", "0"}, "EConvertError: '0' is not a valid amount"},
      {{"pay", "-500"}, "EConvertError: '-500' is not a valid amount"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(u' ').toStdString());
    StubSberFolder sber;
    ASSERT_TRUE(sber.ok());
    expectLines(lines(sber.run(c.args)), err(c.message));
    EXPECT_EQ(sber.calls(), QStringList{"_Done"}) << "nothing but the final call";
  }
}

TEST(BridgeProgram, MissingLibraryOrFunctionIsReportedAsErr) {
  const QString cannotLoad = "TPinpadException: Не могу загрузить libpilot_nt.so";
  const struct {
    bool partialLibrary;  // false: no library at all
    QStringList args;
    QStringList expected;
  } cases[] = {
      {false, {"test_pin_pad"}, err(cannotLoad)},
      {false, {"revise_totals"}, err(cannotLoad)},
      {false, {"get_terminal_id"}, err(cannotLoad)},
      // Authorisations look the function up without testing the load first.
      {false,
       {"pay", "100"},
       err("TPinpadException: Функция _card_authorize11 не найдена в libpilot_nt.so")},
      // The final call still runs, and it is what fails here.
      {false, {"PAY"}, err(cannotLoad)},
      {true,
       {"pay", "100"},
       err("TPinpadException: Функция _card_authorize11 не найдена в libpilot_nt.so")},
      {true,
       {"get_terminal_id"},
       err("TPinpadException: Функция GetTerminalID не найдена в libpilot_nt.so")},
      {true, {"test_pin_pad"}, {"ok", "last_error=0", "last_error_msg=", "result=true"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((c.partialLibrary ? "partial: " : "missing: ") + c.args.join(u' ').toStdString());
    StubSberFolder sber(c.partialLibrary ? QStringLiteral(VEKTA_PARTIAL_PILOT_LIB) : QString());
    ASSERT_TRUE(sber.ok());
    if (!c.partialLibrary) sber.removeLibrary();
    expectLines(lines(sber.run(c.args)), c.expected);
    if (c.partialLibrary) {
      EXPECT_EQ(sber.count("_Done"), 1);
    }
  }
}

TEST(BridgeProgram, NonZeroResultCodeIsPrintedAsOkWithTheCode) {
  const struct {
    QString scenario;
    QStringList args;
    QStringList expectedStart;
  } cases[] = {
      // The table explains a code the library gave no message for.
      {"result=4134",
       {"pay", "100"},
       {"ok", "last_error=4134", "last_error_msg=" + tableText(4134), "amount_kop=100", "rcode="}},
      // The library's own message wins over the table.
      {"result=2000\nmessage=Отмена клиентом",
       {"pay", "100"},
       {"ok", "last_error=2000", "last_error_msg=Отмена клиентом"}},
      {"result=-8", {"revise_totals"}, {"ok", "last_error=-8", "last_error_msg=" + tableText(-8)}},
      {"TestPinpad.result=99",
       {"test_pin_pad"},
       {"ok", "last_error=99", "last_error_msg=" + tableText(99), "result=false"}},
      // The terminal number is empty on an error, whatever the buffer holds.
      {"result=12",
       {"get_terminal_id"},
       {"ok", "last_error=12", "last_error_msg=*", "terminal_id="}},
      {"result=4134",
       {"cancel_last_payment"},
       {"ok", "last_error=4134", "last_error_msg=" + tableText(4134)}},
      {"result=777", {"abort_transaction"}, {"ok", "last_error=777", "last_error_msg="}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario.toStdString() + " / " + c.args.join(u' ').toStdString());
    StubSberFolder sber;
    ASSERT_TRUE(sber.ok());
    sber.setScenario(c.scenario);
    const QStringList out = lines(sber.run(c.args));
    ASSERT_GE(out.size(), c.expectedStart.size()) << out.join(u'|').toStdString();
    expectLines(out.first(c.expectedStart.size()), c.expectedStart);
    EXPECT_EQ(sber.count("_Done"), 1);
  }
}

TEST(BridgeProgram, AnswerTextsAreCopiedAsTheLibraryLeftThem) {
  StubSberFolder sber;
  ASSERT_TRUE(sber.ok());

  // The receipt keeps its own line breaks, and "check=" stands alone.
  sber.setScenario("receipt=Строка 1\\r\\nСтрока 2\\r\\n\\r\\nИтог");
  QByteArray raw = sber.run({"revise_totals"});
  EXPECT_TRUE(raw.endsWith(plat::toAnsi("check=\r\nСтрока 1\r\nСтрока 2\r\n\r\nИтог\r\n")))
      << raw.toStdString();

  sber.setScenario("receipt=");
  raw = sber.run({"pay", "100"});
  EXPECT_TRUE(raw.endsWith("track3=\r\ncheck=\r\n\r\n")) << raw.toStdString();

  // Fields filled to their width carry no terminator; a line break inside a
  // field must not turn into a line of its own.
  sber.setScenario(
      "rcode=0000\n"
      "card_id=12345678901234567890123456789\n"
      "auth_code=12\\r\\nrcode=00\n"
      "amount=99");
  const QStringList out = lines(sber.run({"pay", "100"}));
  EXPECT_TRUE(out.contains("rcode=000"));
  EXPECT_TRUE(out.contains("card_id=1234567890123456789012345"));
  EXPECT_TRUE(out.contains("auth_code=12  rco"));
  EXPECT_TRUE(out.contains("amount_kop=99")) << "the amount the library left, not the one sent";
  EXPECT_FALSE(out.contains("rcode=00"));
}

TEST(BridgeProgram, EnvironmentDrivesTheStandInAndWinsOverTheScenario) {
  StubSberFolder sber;
  ASSERT_TRUE(sber.ok());
  sber.setScenario("result=5");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("PILOT_STUB_CARD_AUTHORIZE11_RESULT", "521");
  expectLines(lines(sber.run({"pay", "100"}, env)).first(3),
              {"ok", "last_error=521", "last_error_msg=" + tableText(521)});
  expectLines(lines(sber.run({"abort_transaction"}, env)),
              {"ok", "last_error=5", "last_error_msg="});
}

TEST(BridgeProgram, OverdueReconciliationRefusesPaymentsUntilTotalsAreRevised) {
  StubSberFolder sber;
  ASSERT_TRUE(sber.ok());
  sber.setScenario("overdue=1");
  EXPECT_EQ(lines(sber.run({"pay", "100"})).value(1), "last_error=4134");
  EXPECT_EQ(lines(sber.run({"revise_totals"})).value(1), "last_error=0");
  EXPECT_EQ(lines(sber.run({"pay", "100"})).value(1), "last_error=0");
}

// A person at a terminal reads UTF-8, not the kiosk's code page.
TEST(BridgeProgram, ConsoleOutputIsUtf8) {
  StubSberFolder sber;
  ASSERT_TRUE(sber.ok());
  int master = -1, slave = -1;
  termios raw{};
  cfmakeraw(&raw);  // no line-end translation by the terminal
  ASSERT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
  testkit::ChildProcess bridge;
  const bool started = bridge.start(sber.bridge(), {QStringLiteral("revise_totals")},
                                    testkit::ChildProcess::Output::Inherit,
                                    QProcessEnvironment::systemEnvironment(), slave);
  close(slave);
  if (!started) close(master);
  ASSERT_TRUE(started);
  QByteArray out;
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) out.append(buf, n);
  close(master);
  EXPECT_TRUE(bridge.waitFinished(10000));
  EXPECT_TRUE(out.startsWith(
      "ok\r\nlast_error=0\r\nlast_error_msg=" + QStringLiteral("ОДОБРЕНО").toUtf8() + "\r\n"))
      << out.toStdString();
}

}  // namespace
