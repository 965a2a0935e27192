// Every screen of the kiosk as a customer or a technician sees it, on the
// screen this run has (CTest runs it once on a landscape 1920×1080 screen and
// once on a portrait 1080×1920 one): texts fit their widgets at the fonts
// they are drawn with, nothing reaches outside the screen or is cut off by
// its panel, touch targets are large enough for a finger, no text speaks
// of another operating system, and the footer's texts show on their panel.
// Pictures keep their aspect ratio, every picture the screens' layout rules
// name is there, inside its button and where the rules put it, every drink
// tile shows its picture, and the busy indicators of the waiting screens are
// turning squares where the screens' layout rules put them. The catalogue's
// screens read as the kiosk shows them: the line-removal question as the
// cart asks it, the boiler's status in white.

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
#include "kiosk/Main.h"
#include "kiosk/Pictures.h"
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
using layoutcheck::TNamedPicture;
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

// Every line of the cart's page has its plus and minus pictures, and the
// pay button shows one method's logo at a time.
QStringList cartPictures(QWidget* form) {
  auto* cart = qobject_cast<TfmRecycle*>(form);
  if (!cart) return {QStringLiteral("cart: not the cart")};
  QStringList problems;
  for (const TSelectedGood& g : cart->selected_goods())
    for (const auto* b :
         {qobject_cast<TTouchButton*>(g.rectInc), qobject_cast<TTouchButton*>(g.rectDec)})
      if (b && b->isVisible() && (!b->image()->isVisible() || b->image()->pixmap().isNull()))
        problems << QStringLiteral("cart: the line \"%1\" has a button without its picture")
                        .arg(g.product.name);
  int logos = 0;
  for (const char* name : {"imPay", "imSBP", "imYandexBadge", "imIdentityCard"})
    if (auto* l = cart->findChild<QLabel*>(QLatin1String(name)); l && l->isVisible()) ++logos;
  if (logos != 1) problems << QStringLiteral("cart: the pay button shows %1 logos").arg(logos);
  return problems;
}

// The cart's page dots, clear of each other and of the page buttons.
QStringList cartPageDots(const QWidget* form, const QString& formName) {
  auto* cart = qobject_cast<const TfmRecycle*>(form);
  if (!cart) return {formName + QStringLiteral(": not the cart")};
  const std::vector<const QWidget*> dots(cart->drinkCircles.begin(), cart->drinkCircles.end());
  return layoutcheck::checkPageDots(form, formName, dots, {cart->btPrev, cart->btNext});
}

// What some screens must show beyond the rules every screen follows.
const std::map<std::string, std::function<QStringList(QWidget*)>> kScreenChecks = {
    {"drinks", drinkTilePictures},
    {"cart",
     [](QWidget* form) { return cartPictures(form) + cartPageDots(form, QStringLiteral("cart")); }},
};

bool landscape() {
  return orientation() == QLatin1String("landscape");
}

// A picture beside its button's label, as wide as the button is high, on a
// landscape screen; otherwise along the button's top, half the button high.
QRectF besideOrAbove(const QWidget*, const QWidget* button) {
  const double w = button->width(), h = button->height();
  return landscape() ? QRectF(0, 0, h, h) : QRectF(0, 0, w, h / 2);
}

// The cart's pay and barcode pictures: on a landscape screen as wide as the
// drink picture is high.
QRectF besideAsTheDrink(const QWidget* form, const QWidget* button) {
  if (!landscape()) return besideOrAbove(form, button);
  const auto* drink = form->findChild<QWidget*>(QStringLiteral("imDrink"));
  return QRectF(0, 0, drink ? drink->height() : 0, button->height());
}

// The pictures each screen's layout rules name. The list comes from the
// screens' descriptions, picture by picture: a screen that loses one of
// them, or shows it stretched or outside its button, fails here.
const std::map<std::string, std::vector<TNamedPicture>> kNamedPictures = {
    // The bottom buttons; the logos of the offered methods take turns in
    // the card logo's place.
    {"cart",
     {{"btDrink", "imDrink", besideOrAbove},
      {"btBarcode", "imBarcode", besideAsTheDrink},
      {"btPay", "imPay", besideAsTheDrink, true},
      {"btPay", "imSBP", besideAsTheDrink, true},
      {"btPay", "imYandexBadge", besideAsTheDrink, true},
      {"btPay", "imIdentityCard", besideAsTheDrink, true}}},
    // Each method's logo beside its label.
    {"methods",
     {{"btPay", "imPay", nullptr},
      {"btSBP", "imSbp", nullptr},
      {"btYandexBadge", "imYandexBadge", nullptr},
      {"btIdentityCard", "imIdentityCard", nullptr}}},
    // The five actions' icons.
    {"service-menu",
     {{"btAudit", "imAudit", besideOrAbove},
      {"btLoading", "imLoading", besideOrAbove},
      {"btRefreshConfig", "imRefreshConfig", besideOrAbove},
      {"btCloseApplication", "imCloseApplication", besideOrAbove},
      {"btOperatorForm", "imOperatorForm", besideOrAbove}}},
    // The removal question's picture on its panel.
    {"delete-line", {{nullptr, "image", nullptr}}},
};

double widthOf(const QWidget* form, const char* name) {
  const auto* w = form->findChild<QWidget*>(QLatin1String(name));
  return w ? w->width() : 0;
}

// A label whose font the layout rules fit to a width beside or under the
// pictures of its screen, and the labels that take its font size.
struct TFittedLabel {
  const char* label;
  std::function<double(const QWidget* form)> limit;
  std::vector<const char*> sameSize;
};

const std::map<std::string, std::vector<TFittedLabel>> kFittedLabels = {
    // The button width less twice the picture's width, or 4/5 of it under
    // the picture.
    {"cart",
     {{"lbDrink",
       [](const QWidget* form) {
         const double bw = widthOf(form, "btDrink");
         return landscape() ? bw - 2 * widthOf(form, "imDrink") : bw * 4 / 5;
       },
       {"lbBarcode", "lbPay"}}}},
    // The button width less twice the logo's width.
    {"methods",
     {{"lbSBP",
       [](const QWidget* form) { return widthOf(form, "btSBP") - 2 * widthOf(form, "imSbp"); },
       {"lbPay", "lbYandexBadge", "lbIdentityCard"}}}},
    // A probe with the reload's text, fitted to a quarter of the screen or
    // to 4/5 of a button.
    {"service-menu",
     {{"lbRefreshConfig",
       [](const QWidget* form) {
         return landscape() ? ScreenSize().width() / 4 : widthOf(form, "btAudit") * 4 / 5;
       },
       {"lbAudit", "lbLoading", "lbCloseApplication", "lbOperatorForm"}}}},
};

QStringList fittedLabels(const QWidget* form, const QString& formName,
                         const std::vector<TFittedLabel>& labels) {
  QStringList problems;
  for (const TFittedLabel& f : labels) {
    const auto* label = form->findChild<QLabel*>(QLatin1String(f.label));
    if (!label) {
      problems << formName + QStringLiteral(": no label ") + QLatin1String(f.label);
      continue;
    }
    QLabel probe(label->text());
    probe.setFont(label->font());
    const double limit = f.limit(form);
    FitFontSize(&probe, limit);
    if (FontSizeOf(&probe) != FontSizeOf(label))
      problems << QStringLiteral("%1: %2 drawn at %3 pt, fitted to %4 px it takes %5 pt")
                      .arg(formName, QLatin1String(f.label))
                      .arg(FontSizeOf(label))
                      .arg(limit, 0, 'f', 0)
                      .arg(FontSizeOf(&probe));
    for (const char* name : f.sameSize) {
      const auto* other = form->findChild<QLabel*>(QLatin1String(name));
      if (!other || FontSizeOf(other) != FontSizeOf(label))
        problems << QStringLiteral("%1: %2 does not take the font size of %3")
                        .arg(formName, QLatin1String(name), QLatin1String(f.label));
    }
  }
  return problems;
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
  QStringList problems =
      layoutcheck::check(form, name, QGuiApplication::primaryScreen()->geometry(), kAllowed);
  if (auto own = kScreenChecks.find(screen.name); own != kScreenChecks.end())
    problems += own->second(form);
  if (auto named = kNamedPictures.find(screen.name); named != kNamedPictures.end())
    problems += layoutcheck::checkNamedPictures(form, name, named->second);
  if (auto fitted = kFittedLabels.find(screen.name); fitted != kFittedLabels.end())
    problems += fittedLabels(form, name, fitted->second);
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

// Two and three pages on this run's screen: the page dots keep clear of
// each other and of the page buttons, and the total line still fits.
TEST(LayoutCheckCart, PageDotsKeepClearOfEachOtherAndOfThePageButtons) {
  TScreenCatalog catalog;
  // The kiosk's cart, whose page buttons are quiet here.
  TCartHooks hooks = kioskCartHooks();
  hooks.buttonPressed = nullptr;
  TfmRecycle cart(catalog.main(), hooks);
  cart.setWindowModality(Qt::ApplicationModal);
  cart.show();
  cart.tmIdle->stop();
  cart.tmPaymentImage->stop();
  const std::vector<TProduct>& snacks = catalog.main()->snacks;
  const QString name = QStringLiteral("cart ") + orientation();
  int checked = 0;
  for (int cell = 1; cell < 400 && cart.cart.getPagesCount() < 4; ++cell) {
    TProduct p = snacks[size_t(cell) % snacks.size()];
    p.cell = 1000 + cell;
    const int before = cart.cart.getPagesCount();
    cart.addProduct(p);
    const int pages = cart.cart.getPagesCount();
    if (pages == before || (pages != 2 && pages != 3)) continue;
    for (int page : {pages - 1, 0}) {
      SCOPED_TRACE(QStringLiteral("%1 pages, page %2").arg(pages).arg(page + 1).toStdString());
      while (cart.cart.page_ind > page) cart.btPrevClick();
      TScreenCatalog::settle(0);
      ASSERT_EQ(cart.drinkCircles.size(), size_t(pages));
      QStringList problems = cartPageDots(&cart, name);
      problems +=
          layoutcheck::check(&cart, name, QGuiApplication::primaryScreen()->geometry(), kAllowed);
      EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();
      for (TRectangle* dot : cart.drinkCircles) EXPECT_TRUE(layoutcheck::isDrawnRound(dot));
    }
    ++checked;
  }
  EXPECT_EQ(checked, 2);
  cart.hide();
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

// Two pictures of one drawing: text in a picture may come out a shade
// different from one rendering to the next, another drawing differs all over.
bool sameDrawing(const QImage& a, const QImage& b) {
  if (a.isNull() || a.size() != b.size()) return false;
  const QImage x = a.convertToFormat(QImage::Format_ARGB32);
  const QImage y = b.convertToFormat(QImage::Format_ARGB32);
  double difference = 0;
  for (int row = 0; row < x.height(); ++row)
    for (int col = 0; col < x.width(); ++col) {
      const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
      difference += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                    std::abs(qBlue(p) - qBlue(q)) + std::abs(qAlpha(p) - qAlpha(q));
    }
  // On average under one level of 255 in each channel.
  return difference / (4.0 * x.width() * x.height()) < 1;
}

// A method's logo is one drawing wherever it shows: on the cart's pay
// button, on the payment-method dialog and on the method's own screen.
TEST(LayoutCheckPictures, AMethodsLogoIsOneDrawingEverywhere) {
  TScreenCatalog catalog;
  struct Place {
    const char* screen;
    const char* parent;  // null: the form
    const char* picture;
  };
  const auto drawing = [&catalog](const Place& p) {
    QWidget* form = catalog.open(*catalogueScreen(p.screen));
    const QWidget* parent = p.parent ? form->findChild<QWidget*>(QLatin1String(p.parent)) : form;
    const QLabel* l = parent ? parent->findChild<QLabel*>(QLatin1String(p.picture)) : nullptr;
    const QImage own = l ? l->property(kPicture).value<QPixmap>().toImage() : QImage();
    catalog.close();
    return own;
  };
  const struct {
    const char* method;
    std::vector<Place> places;
  } cases[] = {
      {"card",
       {{"card", nullptr, "image"}, {"cart", "btPay", "imPay"}, {"methods", "btPay", "imPay"}}},
      {"SBP",
       {{"sbp-code", nullptr, "image"}, {"cart", "btPay", "imSBP"}, {"methods", "btSBP", "imSbp"}}},
      {"badge",
       {{"badge", nullptr, "image"},
        {"cart", "btPay", "imYandexBadge"},
        {"methods", "btYandexBadge", "imYandexBadge"}}},
      {"identity card",
       {{"identity-card", nullptr, "image"},
        {"cart", "btPay", "imIdentityCard"},
        {"methods", "btIdentityCard", "imIdentityCard"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    const QImage screen = drawing(c.places[0]);
    ASSERT_FALSE(screen.isNull());
    for (size_t i = 1; i < c.places.size(); ++i) {
      EXPECT_TRUE(sameDrawing(drawing(c.places[i]), screen))
          << c.places[i].screen << " " << c.places[i].picture << " is another drawing";
    }
  }
}

// The picture rules, each shown by a button that breaks it: the check finds
// a picture that is missing, stretched, cut off, outside its button, over
// the button's text, or away from where the rules put it.
TEST(LayoutCheckPictures, APictureThatBreaksARuleIsReported) {
  const struct {
    const char* name;
    std::function<void(TTouchButton*)> spoil;
    const char* problem;  // null: none
  } cases[] = {
      {"as the rules say", [](TTouchButton*) {}, nullptr},
      {"missing", [](TTouchButton* b) { b->image()->setObjectName(QString()); },
       "has no picture imLogo"},
      {"hidden", [](TTouchButton* b) { b->image()->hide(); }, "is hidden"},
      {"stretched",
       [](TTouchButton* b) {
         b->image()->setPixmap(bankCardPicture(QSize(80, 80)).scaled(QSize(80, 80)));
       },
       "stretched"},
      {"cut off", [](TTouchButton* b) { b->image()->setPixmap(bankCardPicture(QSize(200, 200))); },
       "cut off by its box"},
      {"outside its button", [](TTouchButton* b) { b->image()->move(-40, 0); },
       "reaches outside its button"},
      {"over the text", [](TTouchButton* b) { b->image()->move(200, 0); },
       "covers the button's text"},
      {"elsewhere", [](TTouchButton* b) { b->setImageGeometry(QRectF(0, 0, 60, 60)); },
       "the layout rules put it at"},
  };
  const std::vector<TNamedPicture> named = {
      {"btPay", "imLogo", [](const QWidget*, const QWidget* button) {
         return QRectF(0, 0, button->height(), button->height());
       }}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget form;
    form.resize(800, 600);
    auto* b = new TTouchButton(QStringLiteral("Оплатить"), &form);
    b->setObjectName(QStringLiteral("btPay"));
    b->setGeometry(100, 100, 400, 80);
    b->setPicture(bankCardPicture);
    b->image()->setObjectName(QStringLiteral("imLogo"));
    b->setImageGeometry(QRectF(0, 0, 80, 80));
    c.spoil(b);
    const QStringList problems =
        layoutcheck::checkNamedPictures(&form, QStringLiteral("rules"), named);
    if (!c.problem) {
      EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();
      continue;
    }
    EXPECT_TRUE(problems.join(QLatin1Char('\n')).contains(QLatin1String(c.problem)))
        << problems.join(QLatin1Char('\n')).toStdString();
  }
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
