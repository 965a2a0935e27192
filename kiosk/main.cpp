// The kiosk program: the main form, full screen, until it closes.

#include "kiosk/Main.h"

#include "kiosk/Expectation.h"
#include "kiosk/MediaBackend.h"
#include "kiosk/SoftwareUpdate.h"
#include "platform/Exception.h"
#include "screens/SaleScreenHooks.h"

int main(int argc, char** argv) {
  // An update's check and its watcher need no window and no second copy.
  if (const auto code = runUpdateCommand(argc, argv)) return *code;
  // Before any thread starts: it sets an environment variable.
  chooseMediaBackend();
  TKioskApplication app(argc, argv);
  TKioskApplication::setApplicationName(QStringLiteral("vekta"));
  // The program ends when the main form closes, not when some window does.
  TKioskApplication::setQuitOnLastWindowClosed(false);

  TfmMain::openHomeScreen = ShowExpectation;
  // The sale screens sit above the kiosk core and hook themselves in.
  registerSaleScreens();
  TfmMain form;
  if (form.terminateRequested()) return 0;
  form.installShutdownSignals();
  form.showFullScreen();

  // An exception that escapes past the application's handler is shown like
  // any other, and the kiosk goes on.
  for (;;) {
    try {
      const int code = TKioskApplication::run();
      // A close that waited for a sale left every loop; it runs here.
      form.closeIfPending();
      return code;
    } catch (const std::exception& e) {
      TKioskApplication::handleException(exceptionMessage(e));
    }
  }
}
