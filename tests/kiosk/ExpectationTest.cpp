// The home screen: when it reloads the configuration and how long it waits
// after a failure, its texts and layout arithmetic, the service password, and
// in-process with a main form: no reload while something is open above it,
// and no close without the password.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <optional>
#include <vector>

#include "kiosk/DialogsAndMessages.h"
#include "kiosk/Expectation.h"
#include "kiosk/Main.h"
#include "kiosk/ServicePassword.h"
#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/TextCodec.h"
#include "tests/support/KioskHooksStub.h"
#include "tests/support/WhenShown.h"

namespace {

using testkit::whenShown;

constexpr int64_t kSec = 1000;

class ManualClockScope {
 public:
  ManualClockScope() { plat::setClock(&clock); }
  ~ManualClockScope() { plat::setClock(nullptr); }
  plat::ManualClock clock;
};

// A back office that is up or down, and counts the reloads asked of it.
struct FakeServer {
  bool up = true;
  int loads = 0;
  QDateTime lastLoad;  // what the configuration keeps as its last load
  std::vector<QString> errors;
  int64_t failWithDelayMs = 0;  // a down server costs a connect time-out

  void attach(TConfigRefresher& r) {
    r.refreshConfig = [this] {
      ++loads;
      if (!up) {
        plat::clock().sleepMs(failWithDelayMs);
        throw Exception(QStringLiteral("Нет соединения с сервером."));
      }
      lastLoad = QDateTime::currentDateTime().addMSecs(loads);  // a new value each load
    };
    r.lastLoadDt = [this] { return lastLoad; };
    r.reportError = [this](const QString& text) { errors.push_back(text); };
  }
};

}  // namespace

TEST(RefreshSchedule, WhenAReloadIsDue) {
  const struct {
    const char* name;
    std::optional<int64_t> lastSuccess;
    int failures;  // failures in a row, the last one at t = 1000 s
    int64_t now;
    bool requested;
    bool due;
  } cases[] = {
      {"never loaded (a start from the cache)", std::nullopt, 0, 0, false, true},
      {"just loaded", 1000 * kSec, 0, 1003 * kSec, false, false},
      {"599 s after a load", 1000 * kSec, 0, 1599 * kSec, false, false},
      {"600 s after a load", 1000 * kSec, 0, 1600 * kSec, false, true},
      {"the server asks right after a load", 1000 * kSec, 0, 1003 * kSec, true, true},
      {"59 s after a failure", std::nullopt, 1, 1059 * kSec, false, false},
      {"60 s after a failure", std::nullopt, 1, 1060 * kSec, false, true},
      {"the server asks during the wait", std::nullopt, 1, 1003 * kSec, true, true},
      {"second failure waits 120 s", std::nullopt, 2, 1119 * kSec, false, false},
      {"second failure, 120 s on", std::nullopt, 2, 1120 * kSec, false, true},
      {"the wait stops growing at 600 s", std::nullopt, 9, 1599 * kSec, false, false},
      {"and then reloads", std::nullopt, 9, 1600 * kSec, false, true},
      {"a failed request after a recent load waits 60 s, not 600", 990 * kSec, 1, 1060 * kSec,
       false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TConfigRefreshSchedule s(c.lastSuccess);
    for (int i = 0; i < c.failures; ++i) s.failed(1000 * kSec);
    EXPECT_EQ(s.isDue(c.now, c.requested), c.due);
  }
}

TEST(RefreshSchedule, BackOffDoublesFromAMinuteUpToTenAndASuccessResetsIt) {
  TConfigRefreshSchedule s(0);
  std::vector<int64_t> waits;
  for (int i = 0; i < 7; ++i) {
    s.failed(0);
    waits.push_back(s.retryDelayMs() / kSec);
  }
  EXPECT_EQ(waits, (std::vector<int64_t>{60, 120, 240, 480, 600, 600, 600}));
  s.succeeded(5000 * kSec);
  EXPECT_EQ(s.retryDelayMs(), 0);
  EXPECT_FALSE(s.isDue(5000 * kSec + 599 * kSec, false));
  s.failed(6000 * kSec);
  EXPECT_EQ(s.retryDelayMs(), 60 * kSec);
}

// The home screen ticks every 3 s. With the server down it must not try at
// every tick; a request from the server still goes through at once, and the
// first success brings back the 600-s rhythm.
TEST(ConfigRefresher, TicksWithTheServerDownThenARequestThenRecovery) {
  ManualClockScope time;
  FakeServer server;
  server.up = false;
  server.failWithDelayMs = 10 * kSec;  // a connect that times out
  TConfigRefresher r;
  server.attach(r);
  const int64_t t0 = time.clock.nowMs();
  r.start(t0, QDateTime::currentDateTime());  // from the cache: never loaded

  bool requested = false;
  std::vector<int64_t> attempts;  // seconds since t0
  auto runFor = [&](int64_t seconds) {
    const int64_t end = time.clock.nowMs() + seconds * kSec;
    while (time.clock.nowMs() < end) {
      const int64_t at = time.clock.nowMs();
      if (r.tick(at, requested)) attempts.push_back((at - t0) / kSec);
      time.clock.advance(3 * kSec);
    }
  };

  runFor(1600);
  // Each try costs 10 s; the next one waits 60, 120, 240, 480, 600 s after
  // its failure, at the first 3-s tick past the wait.
  EXPECT_EQ(attempts, (std::vector<int64_t>{0, 70, 200, 450, 940, 1550}));
  EXPECT_EQ(server.errors.size(), attempts.size());
  EXPECT_EQ(server.errors.front(),
            QStringLiteral("Ошибка обновления конфигурации (Нет соединения с сервером.)."));

  // The server comes back and asks for a reload: served at the next tick.
  server.up = true;
  attempts.clear();
  requested = true;
  runFor(3);
  EXPECT_EQ(attempts.size(), 1u);
  EXPECT_FALSE(requested);
  EXPECT_EQ(r.schedule().retryDelayMs(), 0);

  // Then every 600 s again.
  const int loads = server.loads;
  runFor(597);
  EXPECT_EQ(server.loads, loads);
  runFor(6);
  EXPECT_EQ(server.loads, loads + 1);
}

TEST(ConfigRefresher, ALoadMadeElsewhereCountsAndAFreshStartWaits) {
  ManualClockScope time;
  FakeServer server;
  const QDateTime now = QDateTime::currentDateTime();
  server.lastLoad = now.addSecs(-100);  // the main form loaded 100 s ago
  TConfigRefresher r;
  server.attach(r);
  r.start(time.clock.nowMs(), now);
  bool requested = false;
  time.clock.advance(499 * kSec);
  EXPECT_FALSE(r.tick(time.clock.nowMs(), requested));
  time.clock.advance(1 * kSec);
  EXPECT_TRUE(r.tick(time.clock.nowMs(), requested));
  EXPECT_EQ(server.loads, 1);

  // The service menu reloads 300 s later: the 600 s count from there.
  time.clock.advance(300 * kSec);
  server.lastLoad = server.lastLoad.addSecs(300);
  EXPECT_FALSE(r.tick(time.clock.nowMs(), requested));
  time.clock.advance(599 * kSec);
  EXPECT_FALSE(r.tick(time.clock.nowMs(), requested));
  time.clock.advance(1 * kSec);
  EXPECT_TRUE(r.tick(time.clock.nowMs(), requested));
}

TEST(HomeScreenTexts, ClockDateNoticeAndReconciliation) {
  EXPECT_EQ(clockText(QTime(7, 5, 59)), QStringLiteral("07:05"));
  EXPECT_EQ(dateText(QDate(2026, 9, 5)), QStringLiteral("Суббота, 5 сентября"));
  EXPECT_EQ(dateText(QDate(2026, 3, 23)), QStringLiteral("Понедельник, 23 марта"));

  const struct {
    TPOSType pos;
    QTime time;
    bool shown;
  } notices[] = {
      {ptNone, QTime(12, 0, 0), true},       {ptNone, QTime(12, 0, 2, 400), true},
      {ptNone, QTime(12, 0, 2, 600), false},                                         // rounds to 3
      {ptNone, QTime(12, 0, 5), false},      {ptNone, QTime(12, 0, 59, 600), true},  // 60
      {ptVendotek, QTime(12, 0, 0), false},  {ptSber, QTime(12, 0, 1), false},
  };
  for (const auto& n : notices) {
    SCOPED_TRACE(n.time.toString(QStringLiteral("hh:mm:ss.zzz")).toStdString());
    EXPECT_EQ(cardNoticeShown(n.pos, n.time), n.shown);
  }

  const QDateTime now(QDate(2026, 5, 1), QTime(12, 0));
  const struct {
    TPOSType pos;
    QDateTime last;
    bool due;
  } revisions[] = {
      {ptSber, QDateTime(), true},         {ptSber, now.addSecs(-43199), false},
      {ptSber, now.addSecs(-43200), true}, {ptVendotek, QDateTime(), false},
      {ptNone, now.addDays(-3), false},
  };
  for (const auto& rv : revisions) EXPECT_EQ(reviseTotalsDue(rv.pos, rv.last, now), rv.due);
}

TEST(HomeScreenLayout, ButtonsAndInvitationLines) {
  const double W = 1080, barH = 300;
  for (const bool drink : {true, false}) {
    SCOPED_TRACE(drink ? "drink only" : "barcode only");
    const TBottomBarLayout one = layoutBottomBar(W, barH, drink, !drink);
    const QRectF r = drink ? one.drink : one.barcode;
    EXPECT_TRUE(one.visible);
    EXPECT_TRUE((drink ? one.barcode : one.drink).isEmpty());
    EXPECT_DOUBLE_EQ(r.width(), W / 2);
    EXPECT_DOUBLE_EQ(r.center().x(), W / 2);
    EXPECT_DOUBLE_EQ(r.center().y(), barH / 2);
  }
  const TBottomBarLayout two = layoutBottomBar(W, barH, true, true);
  EXPECT_LT(two.drink.right(), two.barcode.left());
  EXPECT_NEAR(two.drink.left(), two.barcode.left() - two.drink.right(), 1e-9);
  EXPECT_NEAR(two.drink.left(), W - two.barcode.right(), 1e-9);
  EXPECT_FALSE(layoutBottomBar(W, barH, false, false).visible);

  // Four lines with drinks, three without, always with equal gaps from the
  // top bar to the bottom bar (or to the footer when there is no bar).
  const double usable = 1800, top = 100, line = 80;
  const TInvitationLayout withDrinks = layoutInvitation(usable, top, barH, line, true);
  EXPECT_TRUE(withDrinks.lb4Visible);
  EXPECT_EQ(withDrinks.lb3Text, QStringLiteral("на упаковке товара или"));
  const double g4 = withDrinks.tops[0] - top;
  EXPECT_NEAR(usable - barH - (withDrinks.tops[3] + line), g4, 1e-9);
  const TInvitationLayout bare = layoutInvitation(usable, top, 0, line, false);
  EXPECT_FALSE(bare.lb4Visible);
  EXPECT_EQ(bare.lb3Text, QStringLiteral("на упаковке товара"));
  const double g3 = bare.tops[0] - top;
  EXPECT_NEAR(bare.tops[1] - bare.tops[0] - line, g3, 1e-9);
  EXPECT_NEAR(usable - (bare.tops[2] + line), g3, 1e-9);
}

TEST(ServicePassword, CheckTrimsAndKeepsCase) {
  const struct {
    const char* typed;
    const char* password;
    TfmServicePassword::TCheck result;
  } cases[] = {
      {"", "5817", TfmServicePassword::pcEmpty},
      {"   ", "5817", TfmServicePassword::pcEmpty},
      {"5817", "5817", TfmServicePassword::pcAccepted},
      {" 5817\t", "5817", TfmServicePassword::pcAccepted},
      {"58170", "5817", TfmServicePassword::pcWrong},
      {"abc", "ABC", TfmServicePassword::pcWrong},
      {"ABC", "ABC", TfmServicePassword::pcAccepted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(TfmServicePassword::checkPassword(QString::fromLatin1(c.typed),
                                                QString::fromLatin1(c.password)),
              c.result);
  }
}

TEST(ServicePassword, EnterInTheEditAnswersAndWrongPasswordsAreRetried) {
  TfmServicePassword form(QStringLiteral("5817"), false);
  whenShown<TfmServicePassword>([](TfmServicePassword* f) {
    f->ed->setText(QStringLiteral("1111"));
    // The wrong password's message closes by its own OK here.
    whenShown<TfmYNCQuestion>([](TfmYNCQuestion* q) { q->btYesClick(); });
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(f->ed, &enter);
    EXPECT_TRUE(f->isVisible());
    EXPECT_TRUE(f->ed->text().isEmpty());
    f->ed->setText(QStringLiteral(" 5817"));
    QApplication::sendEvent(f->ed, &enter);
  });
  EXPECT_EQ(form.exec(), QDialog::Accepted);
}

namespace {

// A main form in a data folder of its own, shown, so that the home screen
// has the kiosk's state to read.
class HomeScreenOnKiosk : public ::testing::Test {
 protected:
  HomeScreenOnKiosk() {
    qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    qputenv("VEKTA_OSK_COMMAND", "true");  // no on-screen keyboard in tests
    main = std::make_unique<TfmMain>();
    main->show();
    main->tmConfig->stop();  // no server: the cycle would only retry
  }
  ~HomeScreenOnKiosk() override {
    main->check_password_on_exit = false;
    main->close();
    main.reset();
    qunsetenv("VEKTA_DATA_DIR");
  }
  QString logText() const {
    QFile f(data.filePath(QStringLiteral("vekta.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }
  QTemporaryDir data, runtime;
  testkit::StubKioskHooks hooks;
  std::unique_ptr<TfmMain> main;
};

// Shown application-modal, as exec shows it, without a nested loop.
void showModal(QDialog& d) {
  d.setWindowModality(Qt::ApplicationModal);
  d.show();
}

}  // namespace

TEST_F(HomeScreenOnKiosk, RefreshWaitsWhileSomethingIsOpenAboveTheHomeScreen) {
  TfmExpectation home;
  home.tmRefreshConfig->stop();  // the test ticks by hand
  showModal(home);
  ASSERT_EQ(QApplication::activeModalWidget(), &home);
  const QString failure = QStringLiteral("Ошибка обновления конфигурации (");

  // A first tick reloads at once (the cache start had no load time); the
  // kiosk has no server here, so the reload fails and is logged.
  home.tmRefreshConfigTimer();
  EXPECT_EQ(logText().count(failure), 1);

  // A dialog is open: the server's request waits and nothing is tried.
  QDialog cart;
  showModal(cart);
  main->immediate_config_refresh = true;
  home.tmRefreshConfigTimer();
  EXPECT_TRUE(main->immediate_config_refresh);
  EXPECT_EQ(logText().count(failure), 1);

  // Back on the home screen the request is served, failure or not.
  cart.close();
  ASSERT_EQ(QApplication::activeModalWidget(), &home);
  home.tmRefreshConfigTimer();
  EXPECT_FALSE(main->immediate_config_refresh);
  EXPECT_EQ(logText().count(failure), 2);
  EXPECT_TRUE(home.tmRefreshConfig->isActive());
  EXPECT_EQ(home.tmRefreshConfig->interval(), TfmExpectation::kRefreshTickMs);

  // Without a request, the failure is not retried at the next tick.
  home.tmRefreshConfigTimer();
  EXPECT_EQ(logText().count(failure), 2);
  main->check_password_on_exit = false;
  home.close();
}

// Without a card terminal the notice blinks three seconds on, three off, in
// the footer. Its font is fitted once: fitting it again on every tick would
// step the font up and back down and repaint the footer every second of an
// idle kiosk.
TEST_F(HomeScreenOnKiosk, TheCardNoticeBlinksWithoutFittingItsFontAgain) {
  struct FontChanges : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::FontChange) ++count;
      return false;
    }
  } changes;
  TfmExpectation home;
  home.tmRefreshConfig->stop();  // the test ticks by hand
  home.tmError->stop();
  showModal(home);
  home.showCardNotice(QTime(10, 0, 0));
  // The footer itself only shows with a serial number; its labels take
  // turns whether it shows or not.
  ASSERT_FALSE(home.lbError->isHidden());
  ASSERT_TRUE(home.lbSerialNumber->isHidden());
  const QFont fitted = home.lbError->font();
  home.lbError->installEventFilter(&changes);
  for (int s = 1; s <= 7; ++s) {
    home.showCardNotice(QTime(10, 0, s));
    EXPECT_EQ(!home.lbError->isHidden(), s % 6 < 3) << s;
    EXPECT_EQ(home.lbSerialNumber->isHidden(), s % 6 < 3) << s;
  }
  EXPECT_EQ(changes.count, 0);
  EXPECT_EQ(home.lbError->font(), fitted);
  main->check_password_on_exit = false;
  home.close();
}

// The drink button, the keypad button and a reconciliation that is due open
// their screens through the installed kiosk hooks.
TEST_F(HomeScreenOnKiosk, TapsAndTheDueReconciliationOpenTheSaleScreens) {
  main->pos_type = ptSber;  // never reconciled: due at the next tick
  TfmExpectation home;
  home.tmRefreshConfig->stop();  // the test ticks by hand
  showModal(home);
  home.btDrinkMouseDown();
  home.btBarcodeMouseDown();
  home.tmRefreshConfigTimer();
  EXPECT_EQ(hooks.carts, std::vector<bool>{true}) << "the cart with the drink menu first";
  EXPECT_EQ(hooks.keypads, 1);
  EXPECT_EQ(hooks.reconciliations, 1);
  main->check_password_on_exit = false;
  home.close();
}

TEST_F(HomeScreenOnKiosk, ClosingAsksForThePasswordAndCancelKeepsTheHomeScreen) {
  TfmExpectation home;
  showModal(home);
  ASSERT_TRUE(main->check_password_on_exit);

  whenShown<TfmServicePassword>([](TfmServicePassword* f) { f->btCancelClick(); });
  home.close();
  EXPECT_TRUE(home.isVisible());

  whenShown<TfmServicePassword>([](TfmServicePassword* f) {
    f->ed->setText(QStringLiteral("5817"));
    f->btOKClick();
  });
  home.close();
  EXPECT_FALSE(home.isVisible());
}

// Before the home screen ever opened, the main form asks the password itself
// and keeps its timers as they were when the password is not given.
TEST_F(HomeScreenOnKiosk, MainFormCloseBeforeTheHomeScreenAsksThePassword) {
  main->tmConfig->start();
  whenShown<TfmServicePassword>([this](TfmServicePassword* f) {
    EXPECT_FALSE(main->tmConfig->isActive());  // paused while asking
    f->btCancelClick();
  });
  main->close();
  EXPECT_TRUE(main->isVisible());
  EXPECT_TRUE(main->tmConfig->isActive());
  EXPECT_FALSE(main->tmPOSDiscovery->isActive());
  main->tmConfig->stop();
}
