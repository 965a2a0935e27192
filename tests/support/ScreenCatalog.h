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
class TJClient;
class TfmMain;
class TfmRecycle;

namespace screencat {

class TSbpOffice;

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
    // The screen a customer sees dimmed behind it, for a dialog that does not
    // cover the whole screen (a name from this list); null for a full screen.
    const char* over = nullptr;
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
  // Runs events until done() holds, for at most limitMs; whether it held.
  static bool settleUntil(const std::function<bool()>& done, int limitMs = 20000);

  // The stand-in back office the SBP screens talk to, started on first use.
  enum class TSbpAnswer {
    Hold,    // the code is being made: the request is answered when the screen goes
    Code,    // a code; the session stays unpaid
    Refuse,  // the back office refuses to make a code
  };
  TJClient* sbpOffice(TSbpAnswer answer);
  // Sessions the stand-in back office has opened.
  int sbpCodeRequests() const;

 private:
  QTemporaryDir data_;
  QTemporaryDir runtime_;
  std::unique_ptr<TfmMain> main_;
  std::unique_ptr<TfmRecycle> cart_;
  std::unique_ptr<TSbpOffice> sbpOffice_;
  std::unique_ptr<QWidget> current_;
};

}  // namespace screencat
