#pragma once
// Device discovery: finds the card terminal. The kiosk does not know in
// advance which terminal it has nor on which serial port it hangs, so a worker
// tries the ports remembered at the last close first and then scans every
// port of the ports folder, every 100 ms, until something answers: each port
// as a Sberbank pad (first in the pad's own protocol, else by a test run of
// the bank bridge, with the bank library's pinpad.ini naming that port), then
// each as a Vendotek terminal. The pad's own link is always closed again, as
// payments go through the bank library, which needs the port for itself.
//
// The decisions live in TPosDiscovery, which reaches the devices only through
// TPosProbes, so that tests can run it against fakes; TDevicesDiscoveryThread
// runs it on its own thread and reports the terminal to the main thread.

#include <QList>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class QFileSystemWatcher;

class TD200Sberbank;
class TPaymentModule;
class TSberDevice;
class TVendotek;

// Which card terminal device discovery found.
enum TPOSType { ptNone, ptSber, ptVendotek };

// The card terminal's identity for the connection event; empty when the pad
// was found through the bridge, which does not tell it.
struct TPosIdentity {
  QString terminalNumber;
  QString merchantNumber;
  QString version;
};

// What discovery does to the devices. Every probe may raise; a failure only
// rejects the candidate.
struct TPosProbes {
  // The port numbers to try, in the platform's order.
  std::function<QList<int>()> comPortList;
  // Points the Vendotek driver at port and greets the terminal; raises when
  // no terminal answers.
  std::function<void(int port)> vendotekConnect;
  // Releases the port of a rejected Vendotek candidate.
  std::function<void()> vendotekClose;
  // True when the Vendotek terminal found has gone away (its driver closed
  // the port); discovery then looks for it again on every port. May be empty.
  std::function<bool()> vendotekLost;
  // Writes the bank library's settings naming port (the bridge test reads
  // the pad there).
  std::function<void(int port)> sberCreateIniFile;
  // One bridge test: true when the pad answered; raises when the run failed.
  std::function<bool()> sberTestPinPad;
  // Breaks off a probe in flight when discovery is stopped. May be empty.
  std::function<void()> interrupt;
  // Asks the pad on port, in its own protocol, for its version, terminal and
  // merchant numbers; raises when it does not answer. May be empty: then a
  // pad is known only by the bridge test.
  std::function<TPosIdentity(int port)> padIdentify;
  // Releases the pad's port after padIdentify, whatever it answered.
  std::function<void()> padClose;
};

// The probes on the kiosk's own drivers and its ports folder; without a pad
// driver a pad is known only by the bridge test.
TPosProbes makePosProbes(TVendotek& vendotek, TSberDevice& sberPinPad,
                         TD200Sberbank* pad = nullptr);

// The card-terminal decisions, on the calling thread. The results may be read
// from any thread.
class TPosDiscovery {
 public:
  // The saved ports: -1 or 0 means none.
  TPosDiscovery(TPosProbes probes, int sber_com_port, int vendotek_com_port);

  // The saved Vendotek port, then the saved Sberbank port; a saved Sberbank
  // port is not tried once a Vendotek terminal was found.
  void trySavedPorts(const std::atomic<bool>& stop);
  // One scan of every port: each as a Sberbank pad, then each as a Vendotek
  // terminal, until one answers or stop is set. Nothing once a terminal is
  // known, unless the Vendotek terminal went away: then its port and every
  // other port are tried as a Vendotek terminal again.
  void scan(const std::atomic<bool>& stop);

  TPOSType pos_type() const { return pos_type_; }
  // The port of the terminal found; -1 while none.
  int port() const { return port_; }
  // The last scan read the port list, and it was empty.
  bool noPortsListed() const { return noPorts_; }
  // What the pad told in its own protocol; empty otherwise.
  TPosIdentity identity() const;

  // The ports to remember at close: where a terminal of that kind was found;
  // else the saved port, unless it was tried and rejected (then -1), so that a
  // port without the terminal is never remembered as its port.
  int sberPortToSave() const { return sberToSave_; }
  int vendotekPortToSave() const { return vendotekToSave_; }

 private:
  bool tryVendotek(int port);
  bool trySber(int port);
  std::optional<TPosIdentity> tryPad(int port);
  void found(TPOSType type, int port);

  TPosProbes probes_;
  const int savedSber_;
  const int savedVendotek_;
  std::atomic<TPOSType> pos_type_{ptNone};
  std::atomic<int> port_{-1};
  std::atomic<bool> noPorts_{false};
  std::atomic<int> sberToSave_;
  std::atomic<int> vendotekToSave_;
  mutable std::mutex identityMutex_;
  TPosIdentity identity_;
  bool lastByPad_ = false;  // the last trySber that found a pad heard its own protocol
};

// One pass of the payment module's search, on the calling thread, for a
// module that has no port yet: the saved port first (0 or below: none), then
// every port. True when the module has a port afterwards. Never raises.
bool discoverPaymentModule(TPaymentModule& module, int savedPort, const std::atomic<bool>& stop);

// The worker that runs discovery from the moment the main form is shown until
// it closes.
class TDevicesDiscoveryThread {
 public:
  // onFound runs once on the main thread when a terminal was found, with its
  // kind and port; never after stop() began.
  TDevicesDiscoveryThread(TPosProbes probes, std::function<void(TPOSType, int)> onFound);
  // Stops and waits.
  ~TDevicesDiscoveryThread();
  TDevicesDiscoveryThread(const TDevicesDiscoveryThread&) = delete;
  TDevicesDiscoveryThread& operator=(const TDevicesDiscoveryThread&) = delete;

  // The saved ports; set before start.
  int sber_com_port = -1;
  int vendotek_com_port = -1;

  // The vending machine's payment module, searched on every pass while
  // paymentModuleWanted (run on the main thread) says so and the module has
  // no port; null: none. payment_module_com_port is tried first.
  // paymentModuleWanted and startCoffeeSupervision read the main form's
  // configuration: they are asked on the first pass and again after each
  // configurationChanged(), not on every pass, so that an idle worker does
  // not wake the main thread.
  // onPaymentModuleFound runs on the main thread with the module's port.
  TPaymentModule* paymentModule = nullptr;
  int payment_module_com_port = 0;
  std::function<bool()> paymentModuleWanted;
  std::function<void(int port)> onPaymentModuleFound;

  // The kiosk's own coffee machine: on every pass, until it answers true,
  // startCoffeeSupervision runs on the main thread. It starts the machine's
  // supervision once a loaded configuration says the kiosk has one, so a
  // machine that the back office switches on later is supervised as well.
  std::function<bool()> startCoffeeSupervision;

  void start();
  // The main form's configuration was loaded or applied again: the next
  // pass, which follows at once, asks both questions above again.
  void configurationChanged();
  // The ports folder the probes list (on the main thread, before start).
  // While no terminal is known and the folder lists no port, a pass has
  // nothing to try: the worker then sleeps until the folder changes instead
  // of listing it ten times a second. Without it the passes go on every
  // 100 ms.
  void watchPortsFolder(const QString& dir);
  // Asks the worker to end, breaks off a probe in flight and waits for it.
  // Safe on the main thread: a hand-over the worker waits in is refused.
  void stop();
  bool started() const { return thread_.joinable(); }

  TPOSType pos_type() const { return logic_ ? logic_->pos_type() : ptNone; }
  TPosIdentity identity() const { return logic_ ? logic_->identity() : TPosIdentity(); }
  int sberPortToSave() const { return logic_ ? logic_->sberPortToSave() : sber_com_port; }
  int vendotekPortToSave() const {
    return logic_ ? logic_->vendotekPortToSave() : vendotek_com_port;
  }

 private:
  void execute();
  void askMainForm();
  void searchPaymentModule();
  bool watchingOnly() const;
  bool waitingForPorts() const;

  TPosProbes probes_;
  std::function<void(TPOSType, int)> onFound_;
  std::unique_ptr<TPosDiscovery> logic_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> recheck_{true};
  std::atomic<bool> portsChanged_{false};
  std::unique_ptr<QFileSystemWatcher> portsWatcher_;
  bool coffeeSupervised_ = false;     // worker only
  bool paymentModuleWanted_ = false;  // worker only: the last answer
  std::mutex sleepMutex_;
  std::condition_variable sleepCv_;
  std::thread thread_;
};

// What one tick of the main form's terminal report (every second once a
// configuration is loaded) has to do.
struct TPosReport {
  bool stopTimer = false;
  int eventId = 0;  // 0: no event
  QString eventText;
  QString errorText;  // shown instead of the logo when not empty
  bool setNoPosTerminal = false;
  bool no_pos_terminal = false;
};

// The connection event once a terminal is known; after 10 s without one the
// missing-terminal event (once: errLogged remembers it) and, when no other
// payment method is on, the error on screen.
TPosReport posDiscoveryTick(TPOSType pos_type, const TPosIdentity& identity, qint64 msSinceStartup,
                            bool& errLogged, bool sbp_enabled, bool yandex_badge_enabled);
