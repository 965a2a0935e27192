// The kiosk's own coffee machine on a running main form: its supervision
// follows the configuration while the kiosk runs, and the boiler-fill dialog
// leads the technician to the service menu and out of the program.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>

#include "kiosk/CoffeeDialogs.h"
#include "kiosk/Main.h"
#include "kiosk/ServicePassword.h"
#include "kiosk/Settings.h"
#include "platform/TextCodec.h"
#include "testbed/CarimaliSim.h"
#include "testbed/VendotekSim.h"
#include "tests/support/KioskHooksStub.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/WhenShown.h"

namespace {

using namespace std::chrono_literals;
using testkit::waitUntil;
using testkit::whenShown;

// A kiosk with folders of its own, a Vendotek terminal on its saved port (so
// that discovery does not scan the coffee machine's port as a card terminal)
// and the coffee machine on COM3, its saved port.
class CoffeeKiosk : public ::testing::Test {
 protected:
  CoffeeKiosk() {
    qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    qputenv("VEKTA_PORTS_DIR", ports.path().toUtf8());
    qputenv("VEKTA_OSK_COMMAND", "true");
    QFile ini(data.filePath(QStringLiteral("vekta.ini")));
    if (ini.open(QIODevice::WriteOnly))
      ini.write(plat::toAnsi(QStringLiteral("[Global]\r\nvendotek_com_port=1\r\nCOMPort=3\r\n")));
  }
  ~CoffeeKiosk() override {
    for (const char* name : {"VEKTA_DATA_DIR", "XDG_RUNTIME_DIR", "VEKTA_PORTS_DIR"})
      qunsetenv(name);
  }

  // The main form shown, its configuration as loaded without the machine; the
  // configuration timer is off, as it is once the home screen has opened.
  void startKiosk() {
    main = std::make_unique<TfmMain>();
    main->show();
    main->tmConfig->stop();
    main->config_loaded = true;
  }

  QTemporaryDir data, runtime, ports;
  testkit::StubKioskHooks hooks;
  VendotekSim terminal{ports.path(), 1};
  CarimaliSim machine{ports.path(), 3};
  std::unique_ptr<TfmMain> main;
};

TEST_F(CoffeeKiosk, AMachineSwitchedOnForARunningKioskIsSupervised) {
  startKiosk();
  ASSERT_TRUE(main->carimaliInitializationThread);
  ASSERT_TRUE(waitUntil([&] { return main->pos_type == ptVendotek; }, 30s));
  EXPECT_FALSE(main->carimaliInitializationThread->started());

  // The back office now says the kiosk has the machine; applying the new
  // settings tells discovery, as a configuration load does.
  main->carimali_machine = true;
  main->devicesDiscoveryThread->configurationChanged();
  ASSERT_TRUE(waitUntil([&] { return main->carimaliInitializationThread->started(); }, 10s));
  EXPECT_TRUE(main->tmCarimali->isActive());
  EXPECT_TRUE(waitUntil([&] { return main->carimaliInitializationThread->connected(); }, 10s));

  main->check_password_on_exit = false;
  main->close();
}

TEST_F(CoffeeKiosk, TheBoilerDialogsDoubleTapLeadsToTheServiceMenuAndOut) {
  machine.setBoilerMustBeFilled(true);
  startKiosk();
  main->carimali_machine = true;

  bool passwordAsked = false, menuShown = false;
  whenShown<TfmBoilerInfill>(
      [&](TfmBoilerInfill* dialog) {
        whenShown<TfmServicePassword>([&](TfmServicePassword* password) {
          passwordAsked = true;
          whenShown<TfmSettings>([&](TfmSettings* menu) {
            menuShown = true;
            menu->btCloseApplicationMouseDown();
          });
          password->ed->setText(QStringLiteral("5817"));
          password->btOKClick();
        });
        // Beside the button, on the dialog's own panel.
        QTest::mouseDClick(dialog, Qt::LeftButton, {}, QPoint(5, 5));
        if (dialog->isVisible()) {
          // The tap did nothing: the dialog goes, and does not come back, so
          // that the test fails instead of waiting in it.
          machine.setBoilerMustBeFilled(false);
          dialog->done(2);
        }
      },
      30000);

  // The menu's exit closes the dialog and then the kiosk, without a second
  // password.
  EXPECT_TRUE(waitUntil([&] { return !main->isVisible(); }, 30s));
  EXPECT_TRUE(passwordAsked);
  EXPECT_TRUE(menuShown);
  EXPECT_FALSE(main->check_password_on_exit);
  if (main->isVisible()) {
    main->check_password_on_exit = false;
    main->close();
  }
}

}  // namespace
