// Every screen of the kiosk as a customer or a technician sees it, on the
// screen this run has (CTest runs it once on a landscape 1920×1080 screen and
// once on a portrait 1080×1920 one): texts fit their widgets at the fonts
// they are drawn with, nothing reaches outside the screen or is cut off by
// its panel, touch targets are large enough for a finger, no text speaks
// of another operating system, and the footer's texts show on their panel.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QWidget>
#include <memory>

#include "kiosk/Common.h"
#include "tests/support/LayoutCheck.h"
#include "tests/support/ScreenCatalog.h"

using layoutcheck::TAllowance;
using layoutcheck::TCheck;
using screencat::TScreenCatalog;

namespace {

// Sizes the screens' layout rules fix on purpose, although the check would
// ask for more. Each names the form ("<screen> <orientation>"), the widget
// and the rule that fixes it.
const std::vector<TAllowance> kAllowed = {
    // The OK and Cancel buttons of the service forms and dialogs take the
    // height of a label whose font is fitted to an eighth of the screen's
    // width, once per run: 37 px on a portrait screen.
    {"* portrait", "*btOK", TCheck::TouchTarget, "OK/Cancel: a label fitted to W/8"},
    {"* portrait", "*btCancel", TCheck::TouchTarget, "OK/Cancel: a label fitted to W/8"},
    {"* portrait", "*QPushButton(\"OK\")", TCheck::TouchTarget, "OK/Cancel: a label fitted to W/8"},
    {"* portrait", "*QPushButton(\"Отмена\")", TCheck::TouchTarget,
     "OK/Cancel: a label fitted to W/8"},
    // The question's buttons: the widest caption fitted to a seventh of the
    // panel, which is 2/3 of the width.
    {"question portrait", "*QPushButton*", TCheck::TouchTarget, "caption fitted to a seventh"},
    // The password edit is exactly as high as the heading above it.
    {"service-password portrait", "ed", TCheck::TouchTarget, "the edit takes lb1's height"},
    {"service-password *", "ed", TCheck::TextFits, "the edit takes lb1's height"},
    // The service menu's fonts follow its header, fitted to a fifth of the
    // width; edits, check boxes and the list are 1.1 label heights high.
    {"service-menu portrait", "pnServer/ed*", TCheck::TouchTarget, "1.1 label heights"},
    {"service-menu portrait", "pnSettings/ed*", TCheck::TouchTarget, "1.1 label heights"},
    {"service-menu *", "pnSettings/edPosTerminalLocation", TCheck::TextFits,
     "the list is as high as the edits"},
    // The action buttons are a fifth of what is left under the settings:
    // 44 px on a landscape screen.
    {"service-menu landscape", "pnActions/bt*", TCheck::TouchTarget, "a fifth of the panel"},
    // The five action labels share the font of "Обновить конфигурацию" fitted
    // to 4/5 of a button: "Аудит" stays small in its button.
    {"service-menu portrait", "pnActions/btAudit", TCheck::TextFits, "one font for the actions"},
    // A cart line's plus and minus buttons are as high as its quantity text.
    {"cart portrait", "TTouchButton(\"+\")", TCheck::TouchTarget, "as high as the quantity"},
    {"cart portrait", "TTouchButton(\"-\")", TCheck::TouchTarget, "as high as the quantity"},
    // A found snack's name keeps the heading's font while it fits; a short
    // name in the wide result button stays small.
    {"barcode *", "bt?", TCheck::TextFits, "names keep the heading's font"},
};

QString orientation() {
  const QRect s = QGuiApplication::primaryScreen()->geometry();
  return s.width() > s.height() ? QStringLiteral("landscape") : QStringLiteral("portrait");
}

// Texts written for the original platform's users.
QStringList otherSystemTexts(const QWidget* form, const QString& formName) {
  static const QRegularExpression other(
      QStringLiteral("Windows|реестр|Администратор|\\.exe\\b|Проводник"),
      QRegularExpression::CaseInsensitiveOption);
  QStringList found;
  std::vector<const QWidget*> all{form};
  for (const QWidget* w : form->findChildren<QWidget*>())
    if (w->isVisibleTo(form)) all.push_back(w);
  for (const QWidget* w : all) {
    const QString text = ControlText(w) + QLatin1Char(' ') + w->windowTitle();
    if (text.contains(other))
      found << formName + QStringLiteral(": ") + layoutcheck::widgetName(w, form) +
                   QStringLiteral(" says \"") + text.trimmed() + QLatin1Char('"');
  }
  return found;
}

class LayoutCheck : public ::testing::TestWithParam<size_t> {
 protected:
  static void SetUpTestSuite() { catalog = new TScreenCatalog; }
  static void TearDownTestSuite() {
    delete catalog;
    catalog = nullptr;
  }
  static TScreenCatalog* catalog;
};
TScreenCatalog* LayoutCheck::catalog = nullptr;

TEST(LayoutCheckScreen, RunsOnAKioskScreen) {
  // CTest gives each run its screen; a default offscreen screen checks nothing useful.
  const QSize s = QGuiApplication::primaryScreen()->geometry().size();
  EXPECT_TRUE(s == QSize(1920, 1080) || s == QSize(1080, 1920)) << s.width() << "×" << s.height();
}

TEST_P(LayoutCheck, EveryTextFitsAndEveryTargetIsLargeEnough) {
  const TScreenCatalog::TScreen& screen = TScreenCatalog::screens()[GetParam()];
  QWidget* form = catalog->open(screen);
  ASSERT_NE(form, nullptr);
  const QString name = QLatin1String(screen.name) + QLatin1Char(' ') + orientation();
  const QStringList problems =
      layoutcheck::check(form, name, QGuiApplication::primaryScreen()->geometry(), kAllowed);
  EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();
  const QStringList texts = otherSystemTexts(form, name);
  EXPECT_TRUE(texts.isEmpty()) << texts.join(QLatin1Char('\n')).toStdString();
  catalog->close();
}

// The machine's number and the support phone are drawn in a colour of their
// own on the footer panel: text in the panel's colour leaves a blank strip.
TEST_P(LayoutCheck, TheFooterTextsShowOnTheirPanel) {
  const TScreenCatalog::TScreen& screen = TScreenCatalog::screens()[GetParam()];
  QWidget* form = catalog->open(screen);
  ASSERT_NE(form, nullptr);
  const QImage shot = form->grab().toImage();
  for (const char* name : {"lbSerialNumber", "lbSupportPhone"}) {
    const auto* label = form->findChild<QLabel*>(QLatin1String(name));
    if (!label || !label->isVisible() || label->text().trimmed().isEmpty()) continue;
    const QRect r(label->mapTo(form, QPoint(0, 0)), label->size());
    QSet<QRgb> colours;
    for (int y = r.top(); y <= r.bottom() && colours.size() < 2; ++y)
      for (int x = r.left(); x <= r.right() && colours.size() < 2; ++x)
        if (shot.rect().contains(x, y)) colours.insert(shot.pixel(x, y));
    EXPECT_GE(colours.size(), 2) << screen.name << ": " << name << " \""
                                 << label->text().toStdString() << "\" does not show";
  }
  catalog->close();
}

INSTANTIATE_TEST_SUITE_P(Screens, LayoutCheck,
                         ::testing::Range(size_t(0), TScreenCatalog::screens().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string n = TScreenCatalog::screens()[info.param].name;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

}  // namespace
