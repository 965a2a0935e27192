// TPinPad in-process against a private copy of the stand-in bank library.

#include <gtest/gtest.h>

#include "bridge/Pilot_nt.h"
#include "bridge/SberErrors.h"
#include "bridge/StubSberFolder.h"

namespace {

QString q(const std::string& s) {
  return QString::fromStdString(s);
}

TEST(PinPad, EveryAuthorisationSendsKopecksAndTakesItsAnswer) {
  using Auth = int32_t (TPinPad::*)(double, int);
  const struct {
    Auth auth;
    const char* function;
    bool hasAuthCode;
    bool hasCardID;
  } cases[] = {
      {&TPinPad::CardAuth, "_card_authorize", false, false},
      {&TPinPad::CardAuth2, "_card_authorize2", true, false},
      {&TPinPad::CardAuth3, "_card_authorize3", true, true},
      {&TPinPad::CardAuth4, "_card_authorize4", true, true},
      {&TPinPad::CardAuth5, "_card_authorize5", true, false},
      {&TPinPad::CardAuth6, "_card_authorize6", true, true},
      {&TPinPad::CardAuth7, "_card_authorize7", true, true},
      {&TPinPad::CardAuth8, "_card_authorize8", true, true},
      {&TPinPad::CardAuth9, "_card_authorize9", true, true},
      {&TPinPad::CardAuth10, "_card_authorize10", true, true},
      {&TPinPad::CardAuth11, "_card_authorize11", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    StubSberFolder sber;
    ASSERT_TRUE(sber.ok());
    TPinPad pad(sber.path("libpilot_nt.so").toStdString());
    EXPECT_EQ((pad.*c.auth)(123.45, PILOT_OP_RETURN), 0);
    EXPECT_EQ(sber.calls().value(0), QString(c.function) + " type=3 amount=12345 ctype=0");
    // Copies: the packed fields cannot be bound to references.
    const uint32_t amount = pad.AuthAnswer().Amount;
    const char* check = pad.AuthAnswer().Check;
    EXPECT_EQ(amount, 12345u);
    EXPECT_EQ(check, nullptr) << "no pointer into the unloaded library";
    EXPECT_TRUE(q(pad.Cheque()).contains("СУММА: 123.45")) << pad.Cheque();
    EXPECT_EQ(q(pad.LastErrorMessage()), "ОДОБРЕНО");
    EXPECT_EQ(pad.AuthCode(), c.hasAuthCode ? "123456" : "");
    EXPECT_EQ(pad.CardID(), c.hasCardID ? "************1234" : "");
  }
}

TEST(PinPad, TryPurchaseSuspendsOnlyAnApprovedAuthorisation) {
  StubSberFolder sber;
  ASSERT_TRUE(sber.ok());
  TPinPad pad(sber.path("libpilot_nt.so").toStdString());
  EXPECT_TRUE(pad.TryPurchase(10.5));
  // The suspension names the authorisation it acts on.
  EXPECT_EQ(sber.calls().value(1), "_SuspendTrx amount=1050 auth_code=123456");

  sber.setScenario("card_authorize7.result=5133");
  EXPECT_FALSE(pad.TryPurchase(10.5));
  EXPECT_EQ(sber.count("_SuspendTrx"), 1);
  EXPECT_EQ(pad.LastError(), 5133);
}

TEST(PinPad, ResultCodesAndTheirExplanations) {
  StubSberFolder sber;
  ASSERT_TRUE(sber.ok());
  TPinPad pad(sber.path("libpilot_nt.so").toStdString());
  EXPECT_EQ(pad.RollBackTrx(), 0);
  EXPECT_EQ(pad.LastErrorMessage(), "");
  sber.setScenario("result=4134\nterminal_id=99999999");
  EXPECT_EQ(pad.RollBackTrx(), 4134);
  EXPECT_EQ(pad.LastErrorMessage(), PilotErrorText(4134));
  EXPECT_EQ(pad.TerminalID(), "");
  EXPECT_FALSE(pad.TestPinpad());
  EXPECT_EQ(pad.LastError(), 4134);
}

TEST(PinPad, InitializeReadsTheTerminalAndHandsOverOnlyRealHandles) {
  for (uintptr_t handle : {uintptr_t(0), uintptr_t(7)}) {
    StubSberFolder sber;
    ASSERT_TRUE(sber.ok());
    TPinPad pad(sber.path("libpilot_nt.so").toStdString());
    EXPECT_EQ(pad.Initialize(handle, handle), 0);
    EXPECT_EQ(pad.StoredTerminalID(), "00012345");
    EXPECT_EQ(sber.count("_SetGUIHandles"), handle ? 1 : 0);
  }
}

TEST(PinPad, FinalCallRunsOnceHoweverOftenTheObjectIsDestroyed) {
  StubSberFolder sber;
  ASSERT_TRUE(sber.ok());
  {
    TPinPad pad(sber.path("libpilot_nt.so").toStdString());
    pad.Destroy();
    pad.Destroy();
  }
  { TPinPad pad(sber.path("libpilot_nt.so").toStdString()); }
  EXPECT_EQ(sber.count("_Done"), 2);
}

}  // namespace
