// Services of the main form that every screen uses: press feedback, amount
// text, the footer panel and the OK/Cancel pair.

#include <gtest/gtest.h>

#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QMap>
#include <QMouseEvent>
#include <QPushButton>
#include <cmath>
#include <utility>
#include <vector>

#include "kiosk/Common.h"
#include "kiosk/EventSink.h"
#include "kiosk/FormServices.h"
#include "kiosk/TouchButton.h"
#include "platform/Clock.h"
#include "platform/Exception.h"

namespace {

struct RecordingSink : IEventSink {
  std::vector<std::pair<int, QString>> events;
  void add(int event_id, const QString& descr) override { events.emplace_back(event_id, descr); }
};

// The services with settings of the test's choosing.
struct Services : TFormServices {
  QMap<QString, QString> settings;
  QString globalText(const QString& name) const override { return settings.value(name).trimmed(); }
};

// A clock that notes what the button looked like while the flash lasted.
struct FlashWatch : plat::ManualClock {
  TRectangle* button = nullptr;
  QColor colourDuringSleep;
  bool shadowDuringSleep = true;
  int64_t slept = 0;
  void sleepMs(int64_t ms) override {
    colourDuringSleep = button->fillColor();
    if (auto* s = button->graphicsEffect()) shadowDuringSleep = s->isEnabled();
    slept += ms;
    plat::ManualClock::sleepMs(ms);
  }
};

class ClockGuard {
 public:
  explicit ClockGuard(plat::Clock* c) { plat::setClock(c); }
  ~ClockGuard() { plat::setClock(nullptr); }
};

}  // namespace

TEST(FormServices, FormatAmount) {
  const struct {
    double x;
    const char* text;
  } cases[] = {
      {45.0, "45"},
      {0.0, "0"},
      {-0.0, "0"},
      {45.5, "45,50"},
      {12345.67, "12345,67"},
      {12345.7, "12345,70"},
      {1234567.89, "1234567,89"},  // no digit groups, no exponent
      {0.1 + 0.2, "0,30"},
      {99.999, "100,00"},
      {-12.5, "-12,50"},
      {1e7, "10000000"},
      {0.05, "0,05"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(TFormServices::formatAmount(c.x), QString::fromUtf8(c.text));
  }
}

TEST(FormServices, ButtonPressedRejectsAnythingButARectangle) {
  Services services;
  RecordingSink sink;
  services.logThread = &sink;
  QLabel label(QStringLiteral("Не кнопка"));
  QPushButton button(QStringLiteral("OK"));
  for (QObject* sender : std::vector<QObject*>{&label, &button, nullptr}) {
    try {
      services.buttonPressed(sender);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.message(), QStringLiteral("sender is not TREctangle"));
    }
  }
  EXPECT_TRUE(sink.events.empty());
}

TEST(FormServices, ButtonPressedFlashesAndQueuesTheUserAction) {
  QWidget form;
  form.setWindowTitle(QStringLiteral("Главная страница"));
  auto* labelled = new TTouchButton(QStringLiteral("Выбрать напиток"), &form);
  auto* hinted = new TTouchButton(QStringLiteral("Ввести штрих-код"), &form);
  hinted->setHint(QStringLiteral("Клавиатура"));
  auto* bare = new TRectangle(&form);
  TTouchButton alone(QStringLiteral("Без формы"));

  const struct {
    TRectangle* button;
    const char* event;  // nullptr: no event
  } cases[] = {
      {labelled, "Главная страница -> Выбрать напиток"},
      {hinted, "Главная страница -> Клавиатура"},
      {bare, nullptr},
      {&alone, "Без формы"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event ? c.event : "no event");
    Services services;
    RecordingSink sink;
    services.logThread = &sink;
    FlashWatch clock;
    clock.button = c.button;
    ClockGuard guard(&clock);
    const QColor before = c.button->fillColor();

    services.buttonPressed(c.button);

    EXPECT_EQ(clock.slept, 150);
    EXPECT_EQ(clock.colourDuringSleep, QColor(0xFF, 0xD7, 0x00));
    EXPECT_EQ(c.button->fillColor(), before);
    if (c.button->graphicsEffect()) {
      EXPECT_FALSE(clock.shadowDuringSleep);
      EXPECT_TRUE(c.button->graphicsEffect()->isEnabled());
    }
    if (c.event) {
      ASSERT_EQ(sink.events.size(), 1u);
      EXPECT_EQ(sink.events[0].first, 42);
      EXPECT_EQ(sink.events[0].second, QString::fromUtf8(c.event));
    } else {
      EXPECT_TRUE(sink.events.empty());
    }
  }
  // Without an event queue the press still works.
  Services quiet;
  plat::ManualClock clock;
  ClockGuard guard(&clock);
  quiet.buttonPressed(labelled);
}

TEST(FormServices, SecondTapDuringTheFlashDoesNotRunTheActionInsideTheFirst) {
  Services services;
  plat::ManualClock clock;
  ClockGuard guard(&clock);
  QWidget form;
  form.resize(400, 300);
  auto* button = new TTouchButton(QStringLiteral("Оплатить"), &form);
  button->setGeometry(10, 10, 200, 80);
  form.show();

  int depth = 0, deepest = 0, actions = 0;
  QObject::connect(button, &TRectangle::mouseDown, [&] {
    ++depth;
    deepest = std::max(deepest, depth);
    services.buttonPressed(button);
    ++actions;
    --depth;
  });
  for (int i = 0; i < 2; ++i) {
    const QPointF at(20, 20);
    QApplication::postEvent(button,
                            new QMouseEvent(QEvent::MouseButtonPress, at, at, at, Qt::LeftButton,
                                            Qt::LeftButton, Qt::NoModifier));
  }
  QApplication::processEvents();
  EXPECT_EQ(actions, 2);
  EXPECT_EQ(deepest, 1);
}

TEST(FormServices, FooterPanel) {
  const QSizeF screen = ScreenSize();
  // A square screen counts as portrait: the phone then takes a second line.
  const bool landscape = screen.height() < screen.width();
  const struct {
    const char* serial;
    const char* phone;
    bool shown;
    bool phoneShown;
  } cases[] = {
      {"  1234 ", "", true, false},
      {"1234", " +7 900 000-00-00", true, true},
      {"", "+7 900 000-00-00", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serial);
    Services services;
    services.settings = {{"serialNumber", c.serial}, {"support_phone", c.phone}};
    QWidget form;
    form.resize(screen.toSize());
    auto* panel = new TRectangle(&form);
    panel->setGeometry(0, 500, int(screen.width()), 48);
    auto* serial = new QLabel(panel);
    serial->setObjectName(QStringLiteral("lbSerialNumber"));
    auto* phone = new QLabel(panel);
    phone->setObjectName(QStringLiteral("lbSupportPhone"));
    form.show();

    services.updateSerialNumberPanel(panel);

    EXPECT_EQ(panel->isVisible(), c.shown);
    if (!c.shown) {
      EXPECT_EQ(panel->height(), 0);
      continue;
    }
    EXPECT_EQ(serial->text(), QStringLiteral("Люмекат № 1234"));
    EXPECT_EQ(phone->isVisible(), c.phoneShown);
    const int h = serial->height();
    EXPECT_EQ(panel->y() + panel->height(), form.height());  // aligned to the bottom
    if (c.phoneShown) {
      EXPECT_EQ(phone->text(), QStringLiteral("Техническая поддержка: +7 900 000-00-00"));
      EXPECT_LE(MeasureTextWidth(phone), screen.width() * (landscape ? 2 : 3) / 5);
      EXPECT_EQ(FontSizeOf(serial), FontSizeOf(phone));
    }
    if (c.phoneShown && !landscape) {
      // Two lines.
      EXPECT_EQ(panel->height(), 3 * h);
      EXPECT_EQ(serial->y(), std::lround(h / 3.0));
      EXPECT_EQ(phone->y(), std::lround(h * 5 / 3.0));
      EXPECT_EQ(phone->x(), 0);
    } else {
      // One line, the phone right-aligned.
      EXPECT_EQ(panel->height(), 2 * h);
      EXPECT_EQ(serial->y(), std::lround(h / 2.0));
      if (c.phoneShown) {
        EXPECT_NEAR(phone->x() + phone->width(), screen.width(), 1);
      }
    }
    if (!c.phoneShown) {
      EXPECT_LE(MeasureTextWidth(serial), screen.width() / 4);
      EXPECT_GT(MeasureTextWidth(serial), screen.width() / 4 * 0.85);
    }
  }
}

TEST(FormServices, OkCancelPairKeepsTheFirstMeasuredSize) {
  Services services;
  const double W = ScreenSize().width();
  QWidget form;
  auto* strip = new TRectangle(&form);
  auto* ok = new QPushButton(QStringLiteral("OK"), strip);
  auto* cancel = new QPushButton(QStringLiteral("Отмена"), strip);
  form.resize(ScreenSize().toSize());
  services.setFontSizeAndPositionForOkCancelButtons(ok, cancel);
  const double size = services.fButtonsFontSize;
  const int h = int(std::lround(services.fButonsHeight));
  EXPECT_GT(size, 0);
  EXPECT_EQ(FontSizeOf(ok), size);
  EXPECT_EQ(ok->height(), h);
  EXPECT_EQ(cancel->width(), ok->width());
  EXPECT_NEAR(W - (cancel->x() + cancel->width()), h, 1);
  EXPECT_NEAR(cancel->x() - (ok->x() + ok->width()), h, 1);
  EXPECT_NEAR(strip->height(), h * 7.0 / 5, 1);
  EXPECT_EQ(strip->y() + strip->height(), form.height());

  // A later dialog with other fonts gets the same size.
  QWidget other;
  auto* ok2 = new QPushButton(QStringLiteral("Сохранить"), &other);
  auto* cancel2 = new QPushButton(QStringLiteral("Закрыть без сохранения"), &other);
  SetFontSize(ok2, 8);
  services.setFontSizeAndPositionForOkCancelButtons(ok2, cancel2);
  EXPECT_EQ(FontSizeOf(ok2), size);
  EXPECT_EQ(FontSizeOf(cancel2), size);
}

// Touch buttons carry their text in a label. Whatever font the pair had
// before, each button ends a third of its text wider than the text on either
// side, at the font the text is drawn with; in a panel the pair ends a
// button height from the panel's right edge.
TEST(FormServices, OkCancelTouchButtonsAreSizedFromTheFontTheyEndWith) {
  const double W = ScreenSize().width();
  for (const double right : {W, W * 2 / 3}) {
    for (const double before : {8.0, 80.0}) {
      SCOPED_TRACE(testing::Message() << "right " << right << ", font before " << before);
      Services services;
      QWidget form;
      auto* strip = new TRectangle(&form);
      auto* ok = new TTouchButton(QStringLiteral("OK"), strip);
      auto* cancel = new TTouchButton(QStringLiteral("Отмена"), strip);
      SetFontSize(ok->label(), before);
      SetFontSize(cancel->label(), before);
      form.resize(ScreenSize().toSize());
      if (right == W)
        services.setFontSizeAndPositionForOkCancelButtons(ok, cancel);
      else
        services.setFontSizeAndPositionForOkCancelButtons(ok, cancel, right);
      const double h = services.fButonsHeight;
      EXPECT_EQ(FontSizeOf(cancel->label()), services.fButtonsFontSize);
      EXPECT_EQ(FontSizeOf(ok->label()), services.fButtonsFontSize);
      const double text = MeasureTextWidth(cancel->label());
      EXPECT_NEAR(cancel->width(), text * 5 / 3, 1);
      EXPECT_EQ(ok->width(), cancel->width());
      EXPECT_NEAR(cancel->height(), h, 1);
      EXPECT_NEAR(right - (cancel->x() + cancel->width()), h, 1);
      EXPECT_NEAR(cancel->x() - (ok->x() + ok->width()), h, 1);
    }
  }
}
