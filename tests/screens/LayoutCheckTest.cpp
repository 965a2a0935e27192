// Every screen of the kiosk as a customer or a technician sees it, on the
// screen this run has (CTest runs it once on a landscape 1920×1080 screen and
// once on a portrait 1080×1920 one): texts fit their widgets at the fonts
// they are drawn with, nothing reaches outside the screen or is cut off by
// its panel, touch targets are large enough for a finger, no text speaks
// of another operating system, and the footer's texts show on their panel.
// Pictures keep their aspect ratio, every drink tile shows its picture, and
// the busy indicators of the waiting screens are turning squares where the
// screens' layout rules put them. The catalogue's screens read as the kiosk
// shows them: the line-removal question as the cart asks it, the boiler's
// status in white.

#define ZX_USE_UTF8
#include <ZXing/ReadBarcode.h>
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>

#include "kiosk/BusyIndicator.h"
#include "kiosk/CoffeeDialogs.h"
#include "kiosk/Common.h"
#include "kiosk/TouchButton.h"
#include "screens/DrinkMenu.h"
#include "screens/Gratitude.h"
#include "screens/Recycle.h"
#include "screens/ReviseTotals.h"
#include "screens/SBP.h"
#include "tests/support/LayoutCheck.h"
#include "tests/support/ScreenCatalog.h"
#include "tests/support/WhenShown.h"

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

// Every drink tile shows the menu's picture at its left, as wide as the
// space left of the price.
QStringList drinkTilePictures(QWidget* form) {
  auto* menu = qobject_cast<TfmDrink*>(form);
  if (!menu) return {QStringLiteral("drinks: not the drink menu")};
  QStringList problems;
  for (const TTouchButton* b : menu->drinkButtons) {
    const QLabel* price = nullptr;
    for (const QLabel* l : b->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
      if (l->text().endsWith(QStringLiteral("₽"))) price = l;
    const QLabel* picture = b->image();
    const QString where = QStringLiteral("drinks: tile at ") + QString::number(b->x()) +
                          QLatin1Char(',') + QString::number(b->y());
    if (!price || !picture->isVisibleTo(b) || picture->pixmap().isNull()) {
      problems << where + QStringLiteral(" shows no picture");
      continue;
    }
    if (picture->x() > 1 || std::abs(picture->width() - price->x()) > 1 ||
        picture->geometry().bottom() > b->height() / 2 + 1)
      problems << where + QStringLiteral(": picture box %1,%2 %3×%4, price at x %5")
                              .arg(picture->x())
                              .arg(picture->y())
                              .arg(picture->width())
                              .arg(picture->height())
                              .arg(price->x());
  }
  return problems;
}

// What some screens must show beyond the rules every screen follows.
const std::map<std::string, std::function<QStringList(QWidget*)>> kScreenChecks = {
    {"drinks", drinkTilePictures},
};

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
  QStringList problems =
      layoutcheck::check(form, name, QGuiApplication::primaryScreen()->geometry(), kAllowed);
  if (auto own = kScreenChecks.find(screen.name); own != kScreenChecks.end())
    problems += own->second(form);
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

const TScreenCatalog::TScreen* catalogueScreen(const char* name) {
  for (const auto& s : TScreenCatalog::screens())
    if (QByteArray(s.name) == name) return &s;
  return nullptr;
}

QString readQrCode(const QImage& picture) {
  const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
  const ZXing::Result code =
      ZXing::ReadBarcode(ZXing::ImageView(grey.constBits(), grey.width(), grey.height(),
                                          ZXing::ImageFormat::Lum, int(grey.bytesPerLine())),
                         ZXing::DecodeHints().setFormats(ZXing::BarcodeFormat::QRCode));
  return code.isValid() ? QString::fromStdString(code.text()) : QString();
}

// The SBP screen as the gallery shows it, in its three states: the busy
// indicator while the back office makes the code, the code a customer's
// phone reads, and the refusal.
TEST(LayoutCheckSbp, TheCatalogueShowsMakingTheCodeTheCodeAndTheError) {
  TScreenCatalog catalog;
  struct State {
    const char* screen;
    bool busy, code, error;
  };
  for (const State& state :
       {State{"sbp", true, false, false}, State{"sbp-code", false, true, false},
        State{"sbp-error", false, false, true}}) {
    SCOPED_TRACE(state.screen);
    const TScreenCatalog::TScreen* screen = catalogueScreen(state.screen);
    ASSERT_NE(screen, nullptr);
    auto* sbp = qobject_cast<TfmSBP*>(catalog.open(*screen));
    ASSERT_NE(sbp, nullptr);
    // The caption under the busy indicator comes and goes with it.
    EXPECT_EQ(sbp->lbQrCode->isVisible(), state.busy);
    EXPECT_EQ(sbp->imQRCode->isVisible(), state.code);
    EXPECT_EQ(sbp->lbErr1->isVisible(), state.error);
    const QString code = readQrCode(sbp->grab().toImage());
    if (state.code) {
      EXPECT_TRUE(code.startsWith(QStringLiteral("https://qr.nspk.ru/"))) << code.toStdString();
    } else {
      EXPECT_TRUE(code.isEmpty()) << code.toStdString();
    }
    if (state.error) {
      EXPECT_FALSE(sbp->lbErr2->text().isEmpty());
    }
    catalog.close();
  }
}

// The gallery's line-removal question is the one the cart asks before the
// last unit of that line goes: the cart's own, answered "Отмена".
TEST(GalleryScreens, TheLineRemovalQuestionReadsAsTheCartAsksIt) {
  TScreenCatalog catalog;
  const TScreenCatalog::TScreen* screen = catalogueScreen("delete-line");
  ASSERT_NE(screen, nullptr);
  auto* gallery = qobject_cast<TfmDeleteGoodDialog*>(catalog.open(*screen));
  ASSERT_NE(gallery, nullptr);
  const QString shown = gallery->lb2->text();
  catalog.close();

  // The line it names, of one unit.
  TfmRecycle* cart = catalog.cart();
  const TSelectedGood* line = nullptr;
  for (const TSelectedGood& g : cart->selected_goods())
    if (shown.startsWith(g.product.name) &&
        (!line || g.product.name.size() > line->product.name.size()))
      line = &g;
  ASSERT_NE(line, nullptr) << shown.toStdString();
  ASSERT_EQ(line->quantity, 1);
  QString asked;
  testkit::whenShown<TfmDeleteGoodDialog>([&](TfmDeleteGoodDialog* dlg) {
    asked = dlg->lb2->text();
    emit dlg->btCancel->mouseDown();
  });
  cart->removeProduct(TProduct(line->product));
  EXPECT_EQ(asked.toStdString(), shown.toStdString());
}

// The boiler's status line is written in white on the dialog's burlywood.
TEST(GalleryScreens, TheBoilerFillsWithItsStatusInWhite) {
  TScreenCatalog catalog;
  const TScreenCatalog::TScreen* screen = catalogueScreen("boiler-filling");
  ASSERT_NE(screen, nullptr);
  auto* boiler = qobject_cast<TfmBoilerInfill*>(catalog.open(*screen));
  ASSERT_NE(boiler, nullptr);
  ASSERT_TRUE(boiler->lbStatus->isVisible());
  const QImage shot = boiler->grab().toImage();
  const QRect r = boiler->lbStatus->geometry() & shot.rect();
  int white = 0, dark = 0;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) {
      const QColor c = shot.pixelColor(x, y);
      if (c.lightness() >= 250) ++white;
      if (c.lightness() < 100) ++dark;
    }
  EXPECT_GT(white, 0) << "no white letters";
  EXPECT_EQ(dark, 0) << "dark letters";
}

INSTANTIATE_TEST_SUITE_P(Screens, LayoutCheck,
                         ::testing::Range(size_t(0), TScreenCatalog::screens().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string n = TScreenCatalog::screens()[info.param].name;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

// ---- busy indicators ----------------------------------------------------------

const TScreenCatalog::TScreen& catalogScreen(const char* name) {
  for (const auto& s : TScreenCatalog::screens())
    if (QByteArray(s.name) == name) return s;
  throw std::runtime_error(name);
}

QRectF inForm(const QWidget* w, const QWidget* form) {
  return QRectF(w->mapTo(form, QPoint(0, 0)), QSizeF(w->size()));
}

QRectF squareAround(const QPointF& centre, double side) {
  return QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side);
}

QString rectText(const QRectF& r) {
  return QStringLiteral("%1,%2 %3×%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// The catalogue's screen after its first layout pass.
std::function<QWidget*(TScreenCatalog&)> settled(const char* name) {
  return [name](TScreenCatalog& c) {
    QWidget* form = catalogScreen(name).open(c);
    TScreenCatalog::settle();
    return form;
  };
}

// A waiting screen in its busy state, the name of its indicator and the box
// the screen's layout rules give it, in the form's coordinates on a W × H
// screen.
struct TBusyScreen {
  const char* name;
  std::function<QWidget*(TScreenCatalog&)> open;
  const char* indicator;
  std::function<QRectF(const QWidget* form, double W, double H)> box;
};

const std::vector<TBusyScreen>& busyScreens() {
  static const std::vector<TBusyScreen> all = {
      // While the back office makes the code. Nothing here runs the event
      // loop, so the screen's worker is still waiting to copy the connection.
      {"sbp", [](TScreenCatalog& c) { return catalogScreen("sbp").open(c); }, "AniIndicator",
       [](const QWidget*, double W, double H) {
         return squareAround({W / 2, H / 2}, std::min(W / 3, H / 3));
       }},
      // The back office has not made the check yet.
      {"thanks", settled("thanks-check"), "AniIndicator",
       [](const QWidget* form, double W, double) {
         auto* f = static_cast<const TfmGratitude*>(form);
         return squareAround({W / 2, f->screen_height * 3 / 4}, 2.0 * f->lbGratitude->height());
       }},
      {"reconciliation", settled("reconciliation"), "AniIndicator",
       [](const QWidget* form, double, double) {
         auto* f = static_cast<const TfmReviseTotals*>(form);
         const QRectF lb2 = inForm(f->lb2, form);
         const double side = 2.0 * f->lb1->height();
         return QRectF(inForm(f->pnMain, form).center().x() - side / 2,
                       lb2.bottom() + 2 * lb2.height(), side, side);
       }},
      {"drink-waiting", settled("drink-waiting"), "AniIndicator1",
       [](const QWidget* form, double W, double H) {
         const double top = static_cast<const TfmDrinkWaiting*>(form)->lbTop->height();
         return squareAround({W / 2, (top + H) / 2}, std::min(W, H - top) / 3);
       }},
      // The fill runs: the indicator fills the panel above the status line.
      {"boiler", settled("boiler-filling"), "AniIndicator",
       [](const QWidget* form, double W, double) {
         return QRectF(0, 0, W, static_cast<const TfmBoilerInfill*>(form)->lbStatus->y());
       }},
  };
  return all;
}

class BusyIndicator : public ::testing::TestWithParam<size_t> {
 protected:
  static void SetUpTestSuite() { catalog = new TScreenCatalog; }
  static void TearDownTestSuite() {
    EXPECT_TRUE(TCheckCreationThread::waitForAll(30000));
    delete catalog;
    catalog = nullptr;
  }
  static TScreenCatalog* catalog;
};
TScreenCatalog* BusyIndicator::catalog = nullptr;

TEST_P(BusyIndicator, TurnsInItsBoxWhileTheScreenWaits) {
  const TBusyScreen& s = busyScreens()[GetParam()];
  QWidget* form = s.open(*catalog);
  ASSERT_NE(form, nullptr);
  const auto* indicator = form->findChild<TBusyIndicator*>(QLatin1String(s.indicator));
  ASSERT_NE(indicator, nullptr) << s.name << ": no busy indicator " << s.indicator;
  EXPECT_TRUE(indicator->isVisible());
  EXPECT_TRUE(indicator->isSpinning());
  const QSizeF screen = ScreenSize();
  const QRectF want = s.box(form, screen.width(), screen.height());
  const QRectF got = inForm(indicator, form);
  const double off =
      std::max({std::abs(got.left() - want.left()), std::abs(got.top() - want.top()),
                std::abs(got.right() - want.right()), std::abs(got.bottom() - want.bottom())});
  EXPECT_LE(off, 1.5) << s.name << ": indicator at " << rectText(got).toStdString() << ", wanted "
                      << rectText(want).toStdString();
  const QString name = QLatin1String(s.name) + QStringLiteral(" busy ") + orientation();
  const QStringList problems =
      layoutcheck::check(form, name, QGuiApplication::primaryScreen()->geometry(), kAllowed);
  EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();
  catalog->close();
}

INSTANTIATE_TEST_SUITE_P(Screens, BusyIndicator, ::testing::Range(size_t(0), busyScreens().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           std::string n = busyScreens()[info.param].name;
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

}  // namespace
