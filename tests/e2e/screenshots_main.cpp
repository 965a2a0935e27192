// vekta-screenshots [folder]: plays a demo sale in the kiosk, offscreen,
// against the stand-in back office and the Vendotek simulator, and saves the
// home screen, the cart, the card screen and the thanks screen as they
// appear; then opens every other screen with the layout check's data (long
// names, a full cart, a loyalty card) and saves it too, a dialog over the
// screen it dims. Once on a landscape 1920×1080 screen and once on a
// portrait 1080×1920 one: folder/<screen>-<landscape|portrait>.png (default
// folder: docs/screens).
//
// The offscreen screen's size is fixed when the application starts, so the
// program runs itself once per size.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QProcessEnvironment>
#include <QScreen>
#include <QSet>
#include <QTemporaryDir>
#include <cstdio>

#include "kiosk/TouchButton.h"
#include "screens/Gratitude.h"
#include "screens/Pay.h"
#include "screens/PaymentMethod.h"
#include "testbed/VendotekSim.h"
#include "tests/e2e/KioskBench.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScreenCatalog.h"

using namespace e2e;

namespace {

struct Shot {
  const char* orientation;
  int width;
  int height;
};
const Shot kShots[] = {{"landscape", 1920, 1080}, {"portrait", 1080, 1920}};

const char* const kUsage =
    "usage: vekta-screenshots [folder]\n"
    "Saves every screen of the kiosk, offscreen, on a landscape 1920x1080 and a portrait\n"
    "1080x1920 screen, as folder/<screen>-<landscape|portrait>.png (default folder:\n"
    "docs/screens).\n";

bool save(const QImage& picture, const QString& folder, const char* screen,
          const char* orientation) {
  const QString path =
      QDir(folder).filePath(QStringLiteral("%1-%2.png").arg(QLatin1String(screen), orientation));
  const bool ok = picture.save(path);
  std::fprintf(stderr, "%s %s\n", ok ? "saved" : "FAILED to save", qPrintable(path));
  return ok;
}

bool save(QWidget* w, const QString& folder, const char* screen, const char* orientation) {
  return save(w->grab().toImage(), folder, screen, orientation);
}

// One sale on the screen the application was started with.
int shootOne(const QString& folder, const char* orientation) {
  KioskBench bench{QString()};  // no bank bridge: discovery finds the Vendotek terminal
  if (!bench.valid()) return 1;
  VendotekSim terminal(bench.ports.path(), 3);
  // Long enough to see the card screen waiting for the card.
  terminal.setVrpDelayMs(2000);

  bool ok = true;
  QElapsedTimer onScreen;
  CustomerScript script;
  script.step(
      "home screen",
      [&] {
        if (!visible(fmExpectation) || fmMain->pos_type != ptVendotek) return false;
        // Its first layout pass and the clock's first tick.
        if (!onScreen.isValid()) onScreen.start();
        return onScreen.hasExpired(1500);
      },
      [&] {
        ok &= save(fmExpectation, folder, "home", orientation);
        scan(fmExpectation, kWater);
      });
  script.step(
      "cart", [] { return visible(fmRecycle) && fmRecycle->selected_goods().size() == 1; },
      [] {
        scan(fmRecycle, kCroissant);
        scan(fmRecycle, kWater);
        scan(fmRecycle, kCard);
      });
  script.step(
      "cart with the card's discount",
      [] {
        return visible(fmRecycle) && fmRecycle->selected_goods().size() == 2 &&
               fmRecycle->cart.discount > 0;
      },
      [&] {
        // The newest line's highlight fades first.
        fmRecycle->tmSelectedGoodTimer();
        ok &= save(fmRecycle, folder, "cart", orientation);
        press(fmRecycle->btPay);
      });
  script.step(
      "payment methods", [] { return visible(fmPaymentTypeDialog); },
      [] { press(fmPaymentTypeDialog->btPay); });
  onScreen.invalidate();
  script.step(
      "card screen",
      [&] {
        if (!visible(fmPay)) return false;
        if (!onScreen.isValid()) onScreen.start();
        return onScreen.hasExpired(500);
      },
      [&] { ok &= save(fmPay, folder, "card", orientation); });
  script.step(
      "thanks screen with the receipt code",
      [] { return visible(fmGratitude) && !fmGratitude->receiptText.isEmpty(); },
      [&] { ok &= save(fmGratitude, folder, "thanks", orientation); });
  KioskBench::leaveWhen(script, [] { return true; });

  const QString failure = bench.run(script);
  if (!failure.isEmpty()) {
    std::fprintf(stderr, "vekta-screenshots: %s\n", qPrintable(failure));
    return 1;
  }
  return ok ? 0 : 1;
}

// Where the form lies on the screen. A form as large as the screen covers it
// (the offscreen platform offsets windows by a frame the kiosk's full-screen
// forms do not have); a smaller one is where it is.
QPoint placeOnScreen(const QWidget* form) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  const QRect g = form->geometry();
  if (g.width() >= screen.width() && g.height() >= screen.height()) return {};
  return g.topLeft() - screen.topLeft();
}

// The screen as a customer sees it: a dialog over the screen that it dims.
QImage picture(screencat::TScreenCatalog& catalog,
               const screencat::TScreenCatalog::TScreen& screen) {
  QImage under;
  if (screen.over)
    for (const auto& s : screencat::TScreenCatalog::screens())
      if (QByteArray(s.name) == screen.over) {
        under = catalog.open(s)->grab().toImage();
        catalog.close();
      }
  QWidget* form = catalog.open(screen);
  const QImage top = form->grab().toImage();
  const QPoint at = placeOnScreen(form);
  catalog.close();
  if (under.isNull()) return top;
  QPainter p(&under);
  p.drawImage(at, top);
  return under;
}

// The screens a demo sale does not pass through, and the catalogue's cart,
// whose full page shows the page buttons and dots.
int shootCatalogue(const QString& folder, const char* orientation) {
  const QSet<QByteArray> fromSale = {"home", "card", "thanks"};
  screencat::TScreenCatalog catalog;
  bool ok = true;
  for (const auto& screen : screencat::TScreenCatalog::screens()) {
    if (fromSale.contains(screen.name)) continue;
    const char* name = QByteArray(screen.name) == "cart" ? "cart-pages" : screen.name;
    ok &= save(picture(catalog, screen), folder, name, orientation);
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The child: --one <orientation> <folder>, on the screen its parent set up.
  if (argc == 4 && QByteArray(argv[1]) == "--one") {
    QApplication app(argc, argv);
    for (const Shot& s : kShots)
      if (QByteArray(argv[2]) == s.orientation) {
        const QString folder = QString::fromLocal8Bit(argv[3]);
        const int sale = shootOne(folder, s.orientation);
        return shootCatalogue(folder, s.orientation) | sale;
      }
    return 2;
  }

  // One optional folder; "--help" and anything else that looks like an
  // option is not one (a folder named so can be given as "./-x").
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    const bool help = argc == 2 && (QByteArray(argv[1]) == "--help" || QByteArray(argv[1]) == "-h");
    if (!help) std::fprintf(stderr, "vekta-screenshots: unknown arguments\n");
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  QCoreApplication app(argc, argv);
  const QString folder =
      QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screens"))
          .absolutePath();
  QDir().mkpath(folder);
  QTemporaryDir config;
  int failures = 0;
  for (const Shot& s : kShots) {
    // The offscreen platform's screen, from its configuration file.
    const QString file = config.filePath(QLatin1String(s.orientation) + QStringLiteral(".json"));
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly)) return 1;
    f.write(
        QStringLiteral("{\"screens\": [{\"name\": \"kiosk\", \"x\": 0, \"y\": 0, \"width\": %1, "
                       "\"height\": %2, \"logicalDpi\": 96, \"logicalBaseDpi\": 96, "
                       "\"dpr\": 1}]}")
            .arg(s.width)
            .arg(s.height)
            .toUtf8());
    f.close();
    testkit::ChildProcess child;  // a stopped tool leaves no screen process behind
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + file);
    if (!child.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--one"), QLatin1String(s.orientation), folder},
                     testkit::ChildProcess::Output::Inherit, env) ||
        !child.waitFinished(300000) || !child.normalExit() || child.exitCode() != 0)
      ++failures;
  }
  return failures == 0 ? 0 : 1;
}
