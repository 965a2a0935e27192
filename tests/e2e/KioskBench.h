#pragma once
// The kiosk in-process against the stand-in back office with its demo seed,
// and a customer played on its real screens. Used by the sale tests and by
// the program that makes the screenshots.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "kiosk/Expectation.h"
#include "kiosk/Main.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/Exception.h"
#include "screens/Recycle.h"
#include "screens/SaleScreenHooks.h"
#include "testbed/SimHandlers.h"

namespace e2e {

// Codes of the demo assortment and a loyalty card with 10 % off and no points.
inline const QString kWater = QStringLiteral("4601234000017");      // drink cell 1, 60.00
inline const QString kCroissant = QStringLiteral("4601234000192");  // snack cell 9, 89.50
inline const QString kCard = QStringLiteral("7770000000031");

// The customer's moves, played from a timer while the kiosk's modal screens
// run their own event loops. Each step waits until its screen is there, then
// acts once; an act may open the next modal screen and only return when it
// closes, so the step is counted as done before it acts, and the polling goes
// on inside the nested loops.
class CustomerScript {
 public:
  static constexpr int kStepLimitMs = 60000;

  void step(const char* name, std::function<bool()> ready, std::function<void()> act = {}) {
    steps_.push_back({name, std::move(ready), std::move(act)});
  }

  void start() {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    stepStart_.start();
    timer_.start();
  }

  bool finished() const { return next_ >= steps_.size() && acting_ == 0; }
  bool failed() const { return !failure_.isEmpty(); }
  QString failure() const { return failure_; }

 private:
  struct Step {
    const char* name;
    std::function<bool()> ready;
    std::function<void()> act;
  };

  void poll() {
    if (failed() || next_ >= steps_.size()) return;
    Step& s = steps_[next_];
    if (!s.ready()) {
      if (stepStart_.hasExpired(kStepLimitMs)) abandon(s.name);
      return;
    }
    ++next_;
    stepStart_.start();
    if (!s.act) return;
    // Not inside this timer's own slot: Qt does not fire a timer again while
    // its slot runs, and the act may not return until its screen closes.
    ++acting_;
    QTimer::singleShot(0, &timer_, [this, act = s.act] {
      act();
      --acting_;
    });
  }

  // A screen never came: every event loop is left at once, so the test ends
  // with its failure instead of hanging in the kiosk's modal screens.
  void abandon(const char* name) {
    failure_ = QStringLiteral("step \"%1\" did not come").arg(QLatin1String(name));
    timer_.stop();
    if (fmMain) fmMain->check_password_on_exit = false;
    QCoreApplication::exit(1);
  }

  std::vector<Step> steps_;
  size_t next_ = 0;
  int acting_ = 0;
  QString failure_;
  QElapsedTimer stepStart_;
  QTimer timer_;
};

// The barcode scanner: digits and Enter, as key presses and releases.
inline void scan(QWidget* target, const QString& code) {
  QTest::keyClicks(target, code);
  QTest::keyClick(target, Qt::Key_Return);
}

inline void press(QWidget* button) {
  QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
}

inline bool visible(QWidget* w) {
  return w && w->isVisible();
}

// A kiosk's surroundings: data, runtime, ports and back-office folders of its
// own, the demo back office with the thanks screen's shortest stay, and the
// settings file naming it. The sale screens are hooked in as the program does.
class KioskBench {
 public:
  // sberFolder: the bank bridge's folder for the kiosk (empty: none there).
  explicit KioskBench(const QString& sberFolder) {
    qputenv("VEKTA_DATA_DIR", data.path().toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    qputenv("VEKTA_PORTS_DIR", ports.path().toUtf8());
    qputenv("VEKTA_OSK_COMMAND", "true");
    TfmMain::sberFolder =
        sberFolder.isEmpty() ? ports.filePath(QStringLiteral("no-bridge")) : sberFolder;
    TfmMain::openHomeScreen = ShowExpectation;
    registerSaleScreens();

    backoffice = std::make_unique<sim::BackofficeSim>(office.filePath(QStringLiteral("bo.db")));
    backoffice->db().exec(QStringLiteral("update tbVmSettings set vekta_qr_code_delay = 3"));
    backoffice->start();

    TSettingsStorage ss;
    writeText(ss, SettingsKeys::host, QStringLiteral("127.0.0.1"));
    writeInt(ss, SettingsKeys::port, backoffice->port());
    writeText(ss, SettingsKeys::login, QStringLiteral("demo"));
    writePassword(ss, SettingsKeys::password, QStringLiteral("demo"));
    if (const auto saved = ss.SaveToIniFile(data.filePath(QStringLiteral("vekta.ini"))); !saved)
      throw EFileError(saved.error);
  }

  ~KioskBench() {
    TfmMain::sberFolder.clear();
    TfmMain::openHomeScreen = nullptr;
    if (loopsLeft_) {
      // The script left every event loop with exit(): running the
      // application's loop once clears that for whatever runs next.
      QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
      QCoreApplication::exec();
    }
    for (const char* name : {"VEKTA_DATA_DIR", "XDG_RUNTIME_DIR", "VEKTA_PORTS_DIR"})
      qunsetenv(name);
  }

  bool valid() const {
    return data.isValid() && runtime.isValid() && ports.isValid() && office.isValid();
  }

  // Runs the kiosk until the script has ended and the main form has closed.
  // Empty on success, else why not.
  QString run(CustomerScript& script) {
    TfmMain form;
    if (form.terminateRequested()) return QStringLiteral("another kiosk holds the lock");
    script.start();
    form.show();
    const bool ended = QTest::qWaitFor([&] { return script.finished() && !fmExpectation; },
                                       5 * CustomerScript::kStepLimitMs);
    if (script.failed()) {
      loopsLeft_ = true;
      return script.failure();
    }
    return ended ? QString() : QStringLiteral("the kiosk did not close");
  }

  // The last step: the home screen again once ready() holds, then the kiosk
  // closes as a shutdown does.
  static void leaveWhen(CustomerScript& script, std::function<bool()> ready) {
    script.step(
        "home screen again", [ready] { return visible(fmExpectation) && !fmRecycle && ready(); },
        [] {
          fmMain->check_password_on_exit = false;
          fmExpectation->done(2);
        });
  }

  QTemporaryDir data, runtime, ports, office;
  std::unique_ptr<sim::BackofficeSim> backoffice;

 private:
  bool loopsLeft_ = false;
};

}  // namespace e2e
