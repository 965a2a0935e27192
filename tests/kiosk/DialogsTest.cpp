// The touch-screen dialog: answers, Enter, the countdown on the monotonic
// clock, button placement and nesting, driven offscreen.

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>

#include "kiosk/Common.h"
#include "kiosk/DialogsAndMessages.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"

namespace {

// Runs fn on the dialog as soon as it is the active modal window.
void whenDialogShown(std::function<void(TfmYNCQuestion*)> fn) {
  auto* poll = new QTimer;
  poll->setInterval(10);
  auto triesLeft = std::make_shared<int>(500);
  QObject::connect(poll, &QTimer::timeout, [poll, fn, triesLeft] {
    auto* d = qobject_cast<TfmYNCQuestion*>(QApplication::activeModalWidget());
    const bool shown = d && d->isVisible();
    if (!shown && --*triesLeft > 0) return;
    poll->stop();
    poll->deleteLater();
    if (shown) {
      fn(d);
    } else {
      ADD_FAILURE() << "no dialog was shown";
      if (auto* w = QApplication::activeModalWidget()) w->close();
    }
  });
  poll->start();
}

void pressKey(QWidget* w, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
}

class ClockGuard {
 public:
  explicit ClockGuard(plat::Clock* c) { plat::setClock(c); }
  ~ClockGuard() { plat::setClock(nullptr); }
};

}  // namespace

TEST(Dialogs, AnswersOfTheQuestionAndTheConfirmation) {
  struct Case {
    const char* name;
    std::function<void(TfmYNCQuestion*)> act;
    int ask;       // AskYesNoCancel's result
    bool confirm;  // ConfirmOkCancel's result
  };
  const Case cases[] = {
      {"Enter", [](TfmYNCQuestion* d) { pressKey(d, Qt::Key_Return); }, 6, true},
      {"keypad Enter", [](TfmYNCQuestion* d) { pressKey(d, Qt::Key_Enter); }, 6, true},
      {"yes button", [](TfmYNCQuestion* d) { d->btYes->click(); }, 6, true},
      {"cancel button", [](TfmYNCQuestion* d) { d->btCancel->click(); }, 2, false},
      // Escape must not answer: only Enter, a button or the countdown does.
      {"Escape then cancel",
       [](TfmYNCQuestion* d) {
         pressKey(d, Qt::Key_Escape);
         EXPECT_TRUE(d->isVisible());
         d->btCancel->click();
       },
       2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    whenDialogShown(c.act);
    EXPECT_EQ(AskYesNoCancel(QStringLiteral("Сохранить изменения?")), c.ask);
    whenDialogShown(c.act);
    EXPECT_EQ(ConfirmOkCancel(QStringLiteral("Изменения будут сохранены."), 0), c.confirm);
  }
  whenDialogShown([](TfmYNCQuestion* d) { d->btNo->click(); });
  EXPECT_EQ(AskYesNoCancel(QStringLiteral("Сохранить?")), 7);
}

TEST(Dialogs, CountdownShowsTheSecondsLeftOnTheMonotonicClock) {
  plat::ManualClock clock;
  ClockGuard guard(&clock);
  TfmYNCQuestion d;
  d.imQuestion->hide();
  d.btNo->hide();
  d.txt = QStringLiteral("Список товаров будет\r\nочищен через # сек. (#)");
  d.remaining_time_tag = QStringLiteral("#");
  d.closing_timeout = 5;
  d.res = TfmYNCQuestion::mrYes;
  FitFormToMainForm(&d);
  d.show();
  EXPECT_EQ(d.lbText->text(), QStringLiteral("Список товаров будет\nочищен через 5 сек. (5)"));
  EXPECT_TRUE(d.tmRemainingTime->isActive());

  // Elapsed time, not the number of ticks, decides what is shown.
  const struct {
    int64_t at_ms;
    const char* left;
  } ticks[] = {{1000, "4"}, {2400, "3"}, {2600, "2"}, {4400, "1"}};
  for (const auto& t : ticks) {
    SCOPED_TRACE(t.at_ms);
    clock.advance(t.at_ms - (clock.nowMs() - d.form_show_ms));
    d.tmRemainingTimeTimer();
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(d.lbText->text(), QStringLiteral("Список товаров будет\nочищен через %1 сек. (%1)")
                                    .arg(QLatin1String(t.left)));
  }
  clock.advance(600);
  d.tmRemainingTimeTimer();
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(d.res, TfmYNCQuestion::mrYes);
}

TEST(Dialogs, ConfirmationAnswersOkWhenItsCountdownRunsOut) {
  plat::ManualClock clock;
  ClockGuard guard(&clock);
  QString shown;
  whenDialogShown([&](TfmYNCQuestion* d) {
    shown = d->lbText->text();
    // Five seconds pass at once; the next one-second tick closes the dialog.
    clock.advance(5000);
  });
  EXPECT_TRUE(ConfirmOkCancel(QStringLiteral("Закроется сама"), 5));
  EXPECT_EQ(shown, QStringLiteral("Закроется сама"));  // no placeholder: text unchanged
}

TEST(Dialogs, UntimedMessageWaitsForOk) {
  bool timerActive = true;
  whenDialogShown([&](TfmYNCQuestion* d) {
    timerActive = d->tmRemainingTime->isActive();
    EXPECT_TRUE(d->btCancel->isHidden());
    EXPECT_TRUE(d->btNo->isHidden());
    EXPECT_EQ(d->btYes->text(), QStringLiteral("OK"));
    pressKey(d, Qt::Key_Return);
  });
  ShowMessageTimed(QStringLiteral("Введите пароль."), 0);
  EXPECT_FALSE(timerActive);
}

TEST(Dialogs, ButtonsCloseUpToTheRightOneButtonHeightApart) {
  // One visible button: its right edge one button height from the panel's edge.
  whenDialogShown([](TfmYNCQuestion* d) {
    const QRect yes = d->btYes->geometry();
    EXPECT_NEAR(d->pnMain->width() - (yes.x() + yes.width()), yes.height(), 1);
    EXPECT_NEAR(yes.y(), (d->pnBottom->height() - yes.height()) / 2.0, 1);
    d->btYes->click();
  });
  ShowInfo(QStringLiteral("Аудит выполнен."));

  whenDialogShown([](TfmYNCQuestion* d) {
    const QRect yes = d->btYes->geometry(), no = d->btNo->geometry(),
                cancel = d->btCancel->geometry();
    const int h = cancel.height();
    EXPECT_NEAR(d->pnMain->width() - cancel.right() - 1, h, 1);
    EXPECT_NEAR(cancel.x() - no.right() - 1, h, 1);
    EXPECT_NEAR(no.x() - yes.right() - 1, h, 1);
    EXPECT_EQ(yes.width(), cancel.width());
    EXPECT_EQ(no.width(), cancel.width());
    // The message is shown literally, line by line, and fitted to the
    // smaller of half the screen and the panel less three picture widths.
    EXPECT_EQ(d->lbText->text(), QStringLiteral("<b>Первая строка</b>\nвторая"));
    const double imgW = d->pnMain->width() / 8.0;
    const double limit = std::min(d->pnMain->width() - imgW * 3, ScreenSize().width() / 2);
    EXPECT_LE(MeasureTextWidth(d->lbText), limit);
    EXPECT_GT(MeasureTextWidth(d->lbText), limit * 0.9);
    d->btCancel->click();
  });
  EXPECT_EQ(AskYesNoCancel(QStringLiteral("<b>Первая строка</b>\r\nвторая")), 2);
}

TEST(Dialogs, NestedDialogsKeepTheirOwnAnswers) {
  int inner = -1;
  TfmYNCQuestion* outerForm = nullptr;
  whenDialogShown([&](TfmYNCQuestion* outer) {
    outerForm = outer;
    // A message opens on top of the question, as the error handler's would.
    whenDialogShown([&](TfmYNCQuestion* d) {
      EXPECT_NE(d, outer);
      EXPECT_EQ(fmYNCQuestion, d);
      d->btCancel->click();
    });
    inner = AskYesNoCancel(QStringLiteral("Внутренний вопрос"));
    EXPECT_EQ(fmYNCQuestion, outer);
    EXPECT_TRUE(outer->isVisible());
    outer->btNo->click();
  });
  EXPECT_EQ(AskYesNoCancel(QStringLiteral("Внешний вопрос")), 7);
  EXPECT_EQ(inner, 2);
  EXPECT_NE(outerForm, nullptr);
  EXPECT_EQ(fmYNCQuestion, nullptr);
}
