#include "kiosk/DevicesDiscovery.h"

#include <QFileSystemWatcher>
#include <chrono>
#include <exception>

#include "devices/D200_Sberbank.h"
#include "devices/PaymentModule.h"
#include "devices/SberDevice.h"
#include "devices/Vendotek.h"
#include "platform/MainThread.h"
#include "platform/SerialPort.h"

namespace {

constexpr auto kPassPause = std::chrono::milliseconds(100);
// Once the card terminal is known and nothing else is searched for, the
// passes only watch for the terminal going away.
constexpr auto kWatchPause = std::chrono::milliseconds(1000);
constexpr qint64 kReportGraceMs = 10000;

const char kNoTerminal[] = "Нет подключения к POS-терминалу";

// Runs one probe; any failure rejects the candidate.
template <typename F>
bool attempt(F&& f) {
  try {
    return f();
  } catch (...) {
    return false;
  }
}

}  // namespace

TPosProbes makePosProbes(TVendotek& vendotek, TSberDevice& sberPinPad, TD200Sberbank* pad) {
  TPosProbes p;
  p.comPortList = [list = std::make_shared<plat::ComPortList>()] { return list->ports(); };
  p.vendotekConnect = [&vendotek](int port) {
    // With keep-alive on, the driver's own thread, waiting for the lock
    // meanwhile, would greet a silent candidate once more before it can be
    // released, doubling the time each rejected port costs.
    const bool keepalive = vendotek.keepalive.exchange(false);
    try {
      vendotek.setComPort(port);
      vendotek.idleHandshake();
    } catch (...) {
      vendotek.close();
      vendotek.keepalive = keepalive;
      throw;
    }
    vendotek.keepalive = keepalive;
  };
  p.vendotekClose = [&vendotek] { vendotek.close(); };
  p.vendotekLost = [&vendotek] { return !vendotek.isOpen(); };
  p.sberCreateIniFile = [&sberPinPad](int port) { sberPinPad.createIniFile(port); };
  p.sberTestPinPad = [&sberPinPad] { return sberPinPad.testPinPad(); };
  // Kills a bridge run in flight; a Vendotek greeting ends by its own
  // time-out within a second or two.
  p.interrupt = [&sberPinPad, pad] {
    sberPinPad.terminated = true;
    if (pad) pad->setTerminated(true);
  };
  if (pad) {
    p.padIdentify = [pad](int port) {
      pad->setComPort(port);
      pad->getVersion();
      pad->getTerminalNumber();
      pad->getMerchantNumber();
      return TPosIdentity{pad->terminalNumber, pad->merchantNumber, pad->version};
    };
    p.padClose = [pad] { pad->close(); };
  }
  return p;
}

// ---- decisions ----

TPosDiscovery::TPosDiscovery(TPosProbes probes, int sber_com_port, int vendotek_com_port)
    : probes_(std::move(probes)),
      savedSber_(sber_com_port),
      savedVendotek_(vendotek_com_port),
      sberToSave_(sber_com_port),
      vendotekToSave_(vendotek_com_port) {}

void TPosDiscovery::found(TPOSType type, int port) {
  (type == ptSber ? sberToSave_ : vendotekToSave_) = port;
  port_ = port;
  pos_type_ = type;
}

bool TPosDiscovery::tryVendotek(int port) {
  if (attempt([&] {
        probes_.vendotekConnect(port);
        return true;
      })) {
    found(ptVendotek, port);
    return true;
  }
  attempt([&] {
    probes_.vendotekClose();
    return true;
  });
  return false;
}

TPosIdentity TPosDiscovery::identity() const {
  std::lock_guard lk(identityMutex_);
  return identity_;
}

std::optional<TPosIdentity> TPosDiscovery::tryPad(int port) {
  if (!probes_.padIdentify) return std::nullopt;
  std::optional<TPosIdentity> id;
  attempt([&] {
    id = probes_.padIdentify(port);
    return true;
  });
  // Whatever the pad said, the bank library must be able to open its port.
  if (probes_.padClose) {
    attempt([&] {
      probes_.padClose();
      return true;
    });
  }
  return id;
}

bool TPosDiscovery::trySber(int port) {
  lastByPad_ = false;
  if (auto id = tryPad(port)) {
    {
      std::lock_guard lk(identityMutex_);
      identity_ = *id;
    }
    lastByPad_ = true;
    found(ptSber, port);
    return true;
  }
  // The bridge test reaches the pad through the bank library, which reads
  // its port from pinpad.ini: the file names the candidate before each test.
  if (attempt([&] {
        probes_.sberCreateIniFile(port);
        return probes_.sberTestPinPad();
      })) {
    found(ptSber, port);
    return true;
  }
  return false;
}

void TPosDiscovery::trySavedPorts(const std::atomic<bool>& stop) {
  // A probe broken off by a stop says nothing about the port, so the port is
  // only forgotten when its probe really failed.
  if (pos_type_ == ptNone && savedVendotek_ > 0 && !stop) {
    if (!tryVendotek(savedVendotek_) && !stop) vendotekToSave_ = -1;
  }
  if (pos_type_ == ptNone && savedSber_ > 0 && !stop) {
    if (!trySber(savedSber_)) {
      if (!stop) sberToSave_ = -1;
    } else if (lastByPad_) {
      // The bridge test wrote it already; a pad that answered in its own
      // protocol still needs the bank library pointed at it.
      attempt([&] {
        probes_.sberCreateIniFile(savedSber_);
        return true;
      });
    }
  }
}

void TPosDiscovery::scan(const std::atomic<bool>& stop) {
  const bool vendotekLost = pos_type_ == ptVendotek && probes_.vendotekLost &&
                            attempt([&] { return probes_.vendotekLost(); });
  if (pos_type_ != ptNone && !vendotekLost) return;
  QList<int> ports;
  if (!attempt([&] {
        ports = probes_.comPortList();
        return true;
      })) {
    // A folder that went away cannot be watched: the passes go on.
    noPorts_ = false;
    return;
  }
  noPorts_ = ports.isEmpty();

  if (vendotekLost) {
    // The terminal went away: it comes back on its own port or another.
    ports.removeAll(port_.load());
    ports.prepend(port_.load());
    for (int port : ports) {
      if (stop || tryVendotek(port)) return;
    }
    return;
  }

  for (int port : ports) {
    if (stop) return;
    if (trySber(port)) {
      // Once more after the scan, as the pad's port is the one the bank
      // library must keep using for payments.
      attempt([&] {
        probes_.sberCreateIniFile(port);
        return true;
      });
      return;
    }
  }
  for (int port : ports) {
    if (stop) return;
    if (tryVendotek(port)) return;
  }
}

// ---- payment module ----

bool discoverPaymentModule(TPaymentModule& module, int savedPort, const std::atomic<bool>& stop) {
  try {
    if (module.comPort() >= 1) return true;
    if (savedPort > 0 && !stop) {
      try {
        module.setComPort(savedPort);
        module.getVmStatus();
      } catch (...) {
        module.close();
        module.setComPort(-1);
      }
    }
    if (module.comPort() < 1 && !stop) module.findComPort(&stop);
    return module.comPort() >= 1;
  } catch (...) {
    return false;
  }
}

// ---- worker ----

TDevicesDiscoveryThread::TDevicesDiscoveryThread(TPosProbes probes,
                                                 std::function<void(TPOSType, int)> onFound)
    : probes_(std::move(probes)), onFound_(std::move(onFound)) {}

TDevicesDiscoveryThread::~TDevicesDiscoveryThread() {
  stop();
}

void TDevicesDiscoveryThread::start() {
  if (thread_.joinable()) return;
  terminated_ = false;
  logic_ = std::make_unique<TPosDiscovery>(probes_, sber_com_port, vendotek_com_port);
  thread_ = std::thread([this] { execute(); });
}

void TDevicesDiscoveryThread::watchPortsFolder(const QString& dir) {
  portsWatcher_ = std::make_unique<QFileSystemWatcher>();
  // A folder that is not there cannot be watched: the passes stay.
  if (!portsWatcher_->addPath(dir)) {
    portsWatcher_.reset();
    return;
  }
  QObject::connect(portsWatcher_.get(), &QFileSystemWatcher::directoryChanged, [this] {
    {
      std::lock_guard lk(sleepMutex_);
      portsChanged_ = true;
    }
    sleepCv_.notify_all();
  });
}

void TDevicesDiscoveryThread::configurationChanged() {
  {
    std::lock_guard lk(sleepMutex_);
    recheck_ = true;
  }
  sleepCv_.notify_all();
}

void TDevicesDiscoveryThread::stop() {
  {
    std::lock_guard lk(sleepMutex_);
    terminated_ = true;
  }
  sleepCv_.notify_all();
  if (thread_.joinable()) {
    if (probes_.interrupt) probes_.interrupt();
    thread_.join();
  }
  portsWatcher_.reset();
}

void TDevicesDiscoveryThread::execute() {
  logic_->trySavedPorts(terminated_);
  bool reported = false;
  while (!terminated_) {
    logic_->scan(terminated_);
    if (!reported && logic_->pos_type() != ptNone) {
      reported = true;
      if (onFound_) {
        const TPOSType type = logic_->pos_type();
        const int port = logic_->port();
        plat::runOnMain([this, type, port] { onFound_(type, port); }, &terminated_);
      }
    }
    if (!terminated_) askMainForm();
    if (!terminated_) searchPaymentModule();
    std::unique_lock lk(sleepMutex_);
    const auto woken = [this] { return terminated_ || recheck_ || portsChanged_.exchange(false); };
    if (waitingForPorts())
      sleepCv_.wait(lk, woken);
    else
      sleepCv_.wait_for(lk, watchingOnly() ? kWatchPause : kPassPause, woken);
  }
}

bool TDevicesDiscoveryThread::waitingForPorts() const {
  return portsWatcher_ && logic_->pos_type() == ptNone && logic_->noPortsListed() &&
         !(paymentModule && paymentModuleWanted_ && paymentModule->comPort() < 1);
}

void TDevicesDiscoveryThread::askMainForm() {
  if (!recheck_.exchange(false)) return;
  // The conditions are the main form's plain fields: read them there.
  bool wanted = false;
  bool started = coffeeSupervised_;
  const bool ran = plat::runOnMain(
      [&] {
        if (paymentModuleWanted) wanted = paymentModuleWanted();
        if (startCoffeeSupervision && !started) started = startCoffeeSupervision();
      },
      &terminated_);
  if (!ran) {
    recheck_ = true;
    return;
  }
  paymentModuleWanted_ = wanted;
  coffeeSupervised_ = started;
}

bool TDevicesDiscoveryThread::watchingOnly() const {
  return logic_->pos_type() != ptNone &&
         !(paymentModule && paymentModuleWanted_ && paymentModule->comPort() < 1);
}

void TDevicesDiscoveryThread::searchPaymentModule() {
  if (!paymentModule || !paymentModuleWanted_ || paymentModule->comPort() >= 1) return;
  if (!discoverPaymentModule(*paymentModule, payment_module_com_port, terminated_)) return;
  if (onPaymentModuleFound) {
    const int port = paymentModule->comPort();
    plat::runOnMain([this, port] { onPaymentModuleFound(port); }, &terminated_);
  }
}

// ---- the main form's report ----

TPosReport posDiscoveryTick(TPOSType pos_type, const TPosIdentity& identity, qint64 msSinceStartup,
                            bool& errLogged, bool sbp_enabled, bool yandex_badge_enabled) {
  TPosReport r;
  if (pos_type != ptNone) {
    r.stopTimer = true;
    r.eventId = 1;
    r.eventText = pos_type == ptSber
                      ? QStringLiteral("Подключение к банковскому терминалу № ") +
                            identity.terminalNumber + QStringLiteral(" (Merchant number: ") +
                            identity.merchantNumber + QStringLiteral("; версия ") +
                            identity.version + QStringLiteral(")")
                      : QStringLiteral("Подключение к банковскому терминалу Vendotek");
    r.setNoPosTerminal = true;
    r.no_pos_terminal = false;
    return r;
  }
  if (msSinceStartup <= kReportGraceMs) return r;
  if (!errLogged) {
    errLogged = true;
    r.eventId = 51;
    r.eventText = QString::fromUtf8(kNoTerminal);
  }
  if (!sbp_enabled && !yandex_badge_enabled) r.errorText = QString::fromUtf8(kNoTerminal);
  r.setNoPosTerminal = true;
  r.no_pos_terminal = true;
  return r;
}
