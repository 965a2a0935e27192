// The backoffice-sim program end to end: started with port 0, it reports its
// port, serves the client library with the demo login, refuses other logins
// with the server's text, and stops cleanly on SIGTERM.

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>

#include "backoffice/JClient.h"
#include "tests/support/ChildProcess.h"

namespace {

class BackofficeSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    const QString bin = qEnvironmentVariable("VEKTA_TEST_BIN_DIR");
    ASSERT_FALSE(bin.isEmpty());
    ASSERT_TRUE(sim.start(bin + QStringLiteral("/backoffice-sim"),
                          {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                           dir.filePath(QStringLiteral("office.db")), QStringLiteral("--seed"),
                           QStringLiteral("demo")},
                          testkit::ChildProcess::Output::Capture));
    const QByteArray line = sim.readLine(10000);
    const auto m = QRegularExpression(QStringLiteral("^listening on (\\d+)\n$"))
                       .match(QString::fromLatin1(line));
    ASSERT_TRUE(m.hasMatch()) << line.toStdString();
    port = m.captured(1).toInt();
  }
  void TearDown() override { sim.kill(); }
  void setUp(TJClient& c, const QString& login, const QString& password) {
    c.setHost(QStringLiteral("127.0.0.1"));
    c.setPort(port);
    c.setServerType(QStringLiteral("DR"));
    c.setApplicationID(QStringLiteral("vekta"));
    c.setLogin(login);
    c.setPassword(password);
  }

  QTemporaryDir dir;
  testkit::ChildProcess sim;
  int port = 0;
};

}  // namespace

TEST_F(BackofficeSimTest, ServesTheDemoUserAndStopsOnSigterm) {
  TJClient client;
  setUp(client, QStringLiteral("demo"), QStringLiteral("demo"));
  EXPECT_EQ(
      client
          .selectValue(QStringLiteral("select count(*) from tbNomenclature where isFolder = 0"), 30)
          .toInt(),
      20);
  EXPECT_EQ(
      client
          .selectValue(QStringLiteral("select first 1 name from tbVmModel where isTrevalo = 1"), 30)
          .toString(),
      QStringLiteral("Люмекат"));
  EXPECT_TRUE(client.selectValue(QStringLiteral("select id from tbVm"), 30).isNull());
  EXPECT_GT(client.userID(), 0);

  // The event log relies on the duplicate text reaching it unchanged.
  const int terminal = client.insertRec(QStringLiteral("tbTerminal"), QStringLiteral("id,imei"),
                                        WireValue(QStringLiteral("trevalo-001")), 30);
  EXPECT_GT(terminal, 0);
  const WireValue row(TVariantArray{WireValue(1), WireValue(terminal), WireValue::longWord(5)});
  client.insertRec(QStringLiteral("tbTerminalLog"), QStringLiteral("id,vm_id,terminal_id,event_no"),
                   row, 30);
  try {
    client.insertRec(QStringLiteral("tbTerminalLog"),
                     QStringLiteral("id,vm_id,terminal_id,event_no"), row, 30);
    ADD_FAILURE() << "a duplicate terminal log row was stored";
  } catch (const Exception& e) {
    EXPECT_TRUE(e.message().contains(QLatin1String("UNTBTERMINALLOG")))
        << e.message().toStdString();
  }

  TJClient stranger;
  setUp(stranger, QStringLiteral("demo"), QStringLiteral("secret"));
  try {
    stranger.selectValue(QStringLiteral("select 1"), 30);
    ADD_FAILURE() << "a wrong password logged in";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), QStringLiteral("Неверное имя пользователя или пароль."));
  }

  client.close();
  ASSERT_TRUE(sim.terminate());
  ASSERT_TRUE(sim.waitFinished(10000));
  EXPECT_TRUE(sim.normalExit());
  EXPECT_EQ(sim.exitCode(), 0);
}
