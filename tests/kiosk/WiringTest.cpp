// A form or the kiosk itself created without something it needs stops at
// once with the name of what is missing, instead of showing a button or a
// tap that does nothing.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "kiosk/CoffeeDialogs.h"
#include "kiosk/Expectation.h"
#include "kiosk/KioskHooks.h"
#include "kiosk/Main.h"
#include "kiosk/OperatorForm.h"
#include "kiosk/Settings.h"
#include "kiosk/SettingsStorage.h"
#include "tests/support/KioskHooksStub.h"

namespace {

TServiceMenuContext menuContext(TSettingsStorage& ss) {
  TServiceMenuContext c;
  c.SS = &ss;
  c.setBringToFront = [](bool) {};
  c.refreshConfig = [] {};
  c.makeAudit = [](int) {};
  return c;
}

TServiceMenuAccess serviceAccess() {
  return {[] { return false; }, [] {}};
}

}  // namespace

TEST(Wiring, AMissingPieceStopsWithItsName) {
  QTemporaryDir runtime;
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  TSettingsStorage ss;
  const struct {
    const char* name;
    bool hooks;  // the sale screens installed
    std::function<void()> create;
    const char* missing;  // in the message
  } cases[] = {
      {"kiosk without sale screens", false, [] { TfmMain form; }, "экраны продажи"},
      {"home screen without sale screens", false, [] { TfmExpectation home; }, "экраны продажи"},
      {"operator form without sale screens", false,
       [] {
         TOperatorFormContext c;
         c.makeAudit = [](int) {};
         TfmRunOperatorForm form(c);
       },
       "экраны продажи"},
      {"operator form without its audit", true,
       [] { TfmRunOperatorForm form{TOperatorFormContext()}; }, "makeAudit"},
      {"service menu without its audit", true,
       [&ss] {
         TServiceMenuContext c = menuContext(ss);
         c.makeAudit = nullptr;
         TfmSettings menu(c);
       },
       "makeAudit"},
      {"service menu without its reload", true,
       [&ss] {
         TServiceMenuContext c = menuContext(ss);
         c.refreshConfig = nullptr;
         TfmSettings menu(c);
       },
       "refreshConfig"},
      {"boiler dialog without the service menu", true,
       [] {
         TServiceMenuAccess s = serviceAccess();
         s.showSettings = nullptr;
         TfmBoilerInfill dialog(TCoffeeDialogContext(), s);
       },
       "showSettings"},
      {"boiler dialog without the program's close", true,
       [] {
         TServiceMenuAccess s = serviceAccess();
         s.closeProgram = nullptr;
         TfmBoilerInfill dialog(TCoffeeDialogContext(), s);
       },
       "closeProgram"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<testkit::StubKioskHooks> hooks;
    if (c.hooks) hooks = std::make_unique<testkit::StubKioskHooks>();
    try {
      c.create();
      ADD_FAILURE() << "created";
    } catch (const EWiring& e) {
      EXPECT_TRUE(e.message().contains(QString::fromUtf8(c.missing))) << e.what();
    }
  }
  EXPECT_EQ(fmMain, nullptr) << "a kiosk that did not start leaves no main form behind";

  // With everything wired the same forms are made.
  testkit::StubKioskHooks hooks;
  TfmSettings menu(menuContext(ss));
  TfmBoilerInfill dialog(TCoffeeDialogContext(), serviceAccess());
  qunsetenv("XDG_RUNTIME_DIR");
}
