// The cup confirmation: a touch on "Приготовление" runs the press feedback of
// the press and of the click, so the user action is queued twice, and the
// dialog confirms however the finger is lifted.

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>
#include <vector>

#include "kiosk/EventSink.h"
#include "kiosk/FormServices.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "screens/Confirmation.h"
#include "tests/support/FastClock.h"

namespace {

struct RecordingSink : IEventSink {
  std::vector<std::pair<int, QString>> events;
  void add(int event_id, const QString& descr) override { events.emplace_back(event_id, descr); }
};

TEST(CupConfirmation, ATouchQueuesTheUserActionForPressAndClick) {
  plat::ManualClock clock;  // the press flash takes no time
  testkit::ClockScope scope(&clock);
  const struct {
    const char* touch;
    bool liftedOnTheButton;
    size_t userActions;
  } cases[] = {
      {"lifted on the button", true, 2},
      {"slid off the button", false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.touch);
    RecordingSink sink;
    TFormServices services;
    services.logThread = &sink;
    TfmConfirmation form;
    form.buttonPressed = [&](QObject* sender) { services.buttonPressed(sender); };
    // The finger rests on the button for a moment: the press and the
    // release come in turns of the dialog's event loop of their own.
    QTimer::singleShot(0, &form, [&] { QTest::mousePress(form.btOK, Qt::LeftButton); });
    QTimer::singleShot(50, &form, [&] {
      const QPoint lift =
          c.liftedOnTheButton ? form.btOK->rect().center() : QPoint(-20, -form.btOK->y() / 2);
      QTest::mouseRelease(form.btOK, Qt::LeftButton, {}, lift);
    });
    // A dialog that the touch did not close ends the test instead of hanging it.
    QTimer::singleShot(10000, &form, [&] { form.done(0); });
    EXPECT_EQ(form.exec(), 1);
    // Counted as the checkout goes on: the dialog is gone after this.
    ASSERT_EQ(sink.events.size(), c.userActions);
    for (const auto& [id, text] : sink.events) {
      EXPECT_EQ(id, 42);
      EXPECT_EQ(text, QStringLiteral("Form1 -> Приготовление"));
    }
  }
}

}  // namespace
