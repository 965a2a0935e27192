// Every button of the sale screens first gives the press feedback: the gold
// flash, and the user-action event with the form's caption and the button's
// text when it has one. Then the button does what it is for.

#include <gtest/gtest.h>

#include <QTimer>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "kiosk/EventSink.h"
#include "kiosk/FormServices.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "screens/Badge.h"
#include "screens/Pay.h"
#include "screens/Recycle.h"
#include "tests/support/FastClock.h"

namespace {

struct RecordingSink : IEventSink {
  std::vector<std::pair<int, QString>> events;
  void add(int event_id, const QString& descr) override { events.emplace_back(event_id, descr); }
};

// Notes the colour of the pressed button while the flash sleeps.
struct FlashWatch : plat::ManualClock {
  TRectangle* button = nullptr;
  bool flashed = false;
  void sleepMs(int64_t ms) override {
    if (button && ms == 150 && button->fillColor() == QColor(0xFF, 0xD7, 0x00)) flashed = true;
    plat::ManualClock::sleepMs(ms);
  }
};

// A screen, shown, with the button to press and how a customer presses it.
struct Pressed {
  std::unique_ptr<QDialog> form;
  TRectangle* button = nullptr;
  std::function<void()> press;
};

using Feedback = std::function<void(QObject*)>;

Pressed cartClose(const Feedback& feedback, IEventSink& events) {
  TCartHooks h;
  h.buttonPressed = feedback;
  h.queueEvent = [&events](int id, const QString& d) { events.add(id, d); };
  auto cart = std::make_unique<TfmRecycle>(nullptr, h);
  cart->show();
  TRectangle* b = cart->btClose;
  return {std::move(cart), b, [b] { emit b->mouseDown(); }};
}

Pressed lineRemoval(const Feedback& feedback, bool ok) {
  auto dlg = std::make_unique<TfmDeleteGoodDialog>();
  dlg->setProductName(QStringLiteral("Печенье овсяное"));
  dlg->buttonPressed = feedback;
  dlg->show();
  TRectangle* b = ok ? dlg->btOK : dlg->btCancel;
  return {std::move(dlg), b, [b] { emit b->mouseDown(); }};
}

Pressed cardClose(const Feedback& feedback) {
  auto pay = std::make_unique<TfmPay>();
  pay->payment_amount = 138.23;
  pay->total_amount = 138.23;
  pay->playSound = nullptr;
  pay->setup.pos_type = ptNone;
  pay->tmPaymentResult->setInterval(3600000);
  pay->buttonPressed = feedback;
  pay->show();
  TfmPay* p = pay.get();
  return {std::move(pay), p->btClose, [p] { p->close(); }};
}

Pressed identityCardClose(const Feedback& feedback) {
  auto screen = std::make_unique<TfmIdentityCard>();
  screen->sale.payment_amount = 138.23;
  screen->playSound = nullptr;
  screen->buttonPressed = feedback;
  screen->show();
  TRectangle* b = screen->btClose;
  return {std::move(screen), b, [b] { emit b->mouseDown(); }};
}

TEST(PressFeedback, EveryButtonFlashesAndLogsItsPressFirst) {
  const struct {
    const char* name;
    std::function<Pressed(const Feedback&, IEventSink&)> open;
    const char* event;  // null: the button has no text, only the flash
    int result;         // the screen's modal result after the press
  } cases[] = {
      {"the cart's close button", cartClose, "Корзина -> Закрыть", 2},
      {"OK of the line-removal question",
       [](const Feedback& f, IEventSink&) { return lineRemoval(f, true); },
       "Подтверждение удаления товарной позиции -> OK", 1},
      {"Отмена of the line-removal question",
       [](const Feedback& f, IEventSink&) { return lineRemoval(f, false); },
       "Подтверждение удаления товарной позиции -> Отмена", 2},
      // The card screen's close button stays hidden: a close from outside
      // is its press.
      {"the card screen's close", [](const Feedback& f, IEventSink&) { return cardClose(f); },
       nullptr, 2},
      {"the identity-card screen's close button",
       [](const Feedback& f, IEventSink&) { return identityCardClose(f); }, nullptr, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSink sink;
    TFormServices services;
    services.logThread = &sink;
    FlashWatch clock;
    testkit::ClockScope scope(&clock);
    Pressed p = c.open([&services](QObject* sender) { services.buttonPressed(sender); }, sink);
    ASSERT_NE(p.button, nullptr);
    clock.button = p.button;
    p.press();
    EXPECT_TRUE(clock.flashed);
    if (c.event) {
      ASSERT_FALSE(sink.events.empty());
      EXPECT_EQ(sink.events[0].first, 42);
      EXPECT_EQ(sink.events[0].second.toStdString(), c.event);
    } else {
      for (const auto& e : sink.events) EXPECT_FALSE(e.second.contains(QStringLiteral(" -> ")));
    }
    EXPECT_FALSE(p.form->isVisible());
    EXPECT_EQ(p.form->result(), c.result);
  }
}

}  // namespace
