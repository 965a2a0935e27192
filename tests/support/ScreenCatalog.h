#pragma once

// Every screen of the kiosk, opened with representative data: long product
// names, a full cart page, a loyalty card with discount and points, the
// footer with serial number and support phone. The layout check and
// vekta-screenshots both walk it.
//
// The screens are shown as their openers show them, but without a nested
// event loop, so that a caller can look at them and close them again. The
// screen's size is the application's primary screen.

#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <vector>

class QWidget;
class TfmMain;
class TfmRecycle;

namespace screencat {

class TScreenCatalog {
 public:
  // A main form in a data folder of its own, shown, with a configuration
  // that offers every payment method, drinks over two pages and snacks.
  TScreenCatalog();
  ~TScreenCatalog();
  TScreenCatalog(const TScreenCatalog&) = delete;
  TScreenCatalog& operator=(const TScreenCatalog&) = delete;

  struct TScreen {
    const char* name;  // file-name friendly: "home", "service-menu", ...
    const char* title;
    std::function<QWidget*(TScreenCatalog&)> open;
    // How long its timers and workers run before it is looked at.
    int settleMs = 100;
  };
  static const std::vector<TScreen>& screens();

  // Opens the screen, shown, and lets its first layout pass run. The
  // catalogue owns it until the next open or close.
  QWidget* open(const TScreen& screen);
  void close();
  // Shows a form as exec shows it, without the nested loop, and keeps it.
  QWidget* adopt(std::unique_ptr<QWidget> form);

  TfmMain* main() const { return main_.get(); }
  // The cart with a full page of goods, shown; the payment screens read it.
  TfmRecycle* cart();
  QString dataFolder() const { return data_.path(); }

  // Lets the screen's first layout pass and its first timers run.
  static void settle(int ms = 100);

 private:
  QTemporaryDir data_;
  QTemporaryDir runtime_;
  std::unique_ptr<TfmMain> main_;
  std::unique_ptr<TfmRecycle> cart_;
  std::unique_ptr<QWidget> current_;
};

}  // namespace screencat
