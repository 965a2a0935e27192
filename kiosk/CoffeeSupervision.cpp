#include "kiosk/CoffeeSupervision.h"

#include "devices/CarimaliDevice.h"
#include "platform/Clock.h"
#include "platform/Exception.h"

namespace {

const QString kConnecting = QStringLiteral("Соединение с кофемашиной...");

QString temperatureText(const TCarimaliState& s) {
  return QStringLiteral("Температура бойлера: %1 °C").arg(s.cur_state_boiler_temperature);
}

}  // namespace

bool TCarimaliState::fresh(int64_t nowMs) const {
  return last_communication_ms > 0 && nowMs - last_communication_ms < 5000;
}

TCarimaliState copyCoffeeMachineState(TCarimali& c) {
  TCarimaliState s;
  s.cur_state_power_on = c.cur_state_power_on();
  s.cur_state_operation_in_progress = c.cur_state_operation_in_progress();
  s.cur_state_group_initialized = c.cur_state_group_initialized();
  s.cur_state_tray_full = c.cur_state_tray_full();
  s.cur_state_tray_error = c.cur_state_tray_error();
  s.cur_state_group_error_code = c.cur_state_group_error_code();
  s.cur_state_no_water_error = c.cur_state_no_water_error();
  s.cur_state_group_error = c.cur_state_group_error();
  s.cur_state_no_coffee = c.cur_state_no_coffee();
  s.cur_state_dring_preparation = c.cur_state_dring_preparation();
  s.cur_state_dring_preparation_percent = c.cur_state_dring_preparation_percent();
  s.cur_state_bunker_error = c.cur_state_bunker_error();
  s.cur_state_bunker_error_code = c.cur_state_bunker_error_code();
  s.cur_state_boiler_temperature = c.cur_state_boiler_temperature();
  s.cur_state_credit_amount = c.cur_state_credit_amount();
  s.cur_state_descr = c.cur_state_descr();
  s.cur_state_boiler_filling_in_process = c.cur_state_boiler_filling_in_process();
  s.cur_state_boiler_discharge_in_process = c.cur_state_boiler_discharge_in_process();
  s.cur_state2_boiler_must_be_infilled = c.cur_state2_boiler_must_be_infilled();
  s.cur_state_fatal_error_descr = c.cur_state_fatal_error_descr();
  s.last_communication_dt = c.last_communication_dt;
  s.last_communication_ms = c.last_communication_ms;
  return s;
}

QString carimaliFatalText(const TCarimaliState& s) {
  QString text = s.cur_state_fatal_error_descr;
  if (s.cur_state_no_coffee) text += QStringLiteral("\r\nНет кофе.");
  return text.trimmed();
}

TCarimaliEvaState carimaliEvaState(const TCarimaliState& s, int64_t startupMs, int64_t nowMs) {
  TCarimaliEvaState e;
  e.msSinceStart = nowMs - startupMs;
  // A machine never heard from has been silent since the start.
  e.msSinceLastExchange =
      s.last_communication_ms > 0 ? nowMs - s.last_communication_ms : e.msSinceStart;
  e.noWater = s.cur_state_no_water_error;
  e.noCoffee = s.cur_state_no_coffee;
  e.trayFull = s.cur_state_tray_full;
  e.bunkerErrorCode = s.cur_state_bunker_error_code;
  return e;
}

// ---- the worker -------------------------------------------------------------------

TCarimaliInitializationThread::TCarimaliInitializationThread(TCarimali& carimali,
                                                             std::recursive_mutex& synchronizer,
                                                             EventFn events)
    : carimali_(carimali), synchronizer_(synchronizer), events_(std::move(events)) {}

TCarimaliInitializationThread::~TCarimaliInitializationThread() {
  stop();
}

TCarimaliState TCarimaliInitializationThread::state() const {
  std::lock_guard lock(stateMutex_);
  return state_;
}

QByteArray TCarimaliInitializationThread::recipe(int n) const {
  if (n < 1 || n > 28) return {};
  std::lock_guard lock(stateMutex_);
  return recipes_[size_t(n - 1)];
}

void TCarimaliInitializationThread::connectCoffeeMachine() {
  std::lock_guard lock(synchronizer_);
  carimali_.close();
  const int saved = comPort.load();
  if (saved > 0) {
    carimali_.setComPort(saved);
    try {
      carimali_.readCurrentState();
    } catch (const std::exception&) {
      // The link stays open after a failed exchange; closed, it sends the
      // search below to the other ports instead of retrying this one.
      carimali_.close();
    }
  }
  if (!carimali_.isOpen()) {
    carimali_.findComPort();
    carimali_.readCurrentState();
  }
  if (!carimali_.cur_state_power_on() && !carimali_.cur_state2_boiler_must_be_infilled())
    carimali_.powerOn();
  carimali_.setDateTime();
  if (!recipes_readed_) {
    carimali_.readRecipes();
    {
      std::lock_guard s(stateMutex_);
      for (int n = 1; n <= 28; ++n) recipes_[size_t(n - 1)] = carimali_.getRecipe(n);
    }
    recipes_readed_ = true;
  }
  // The next reconnection starts where the machine answered.
  comPort = carimali_.comPort();
  connected_ = true;
}

void TCarimaliInitializationThread::poll() {
  try {
    std::lock_guard lock(synchronizer_);
    carimali_.readCurrentState();
    carimali_.readCurrentState2();
    const TCarimaliState copy = copyCoffeeMachineState(carimali_);
    {
      std::lock_guard s(stateMutex_);
      state_ = copy;
    }
    if (!copy.cur_state2_boiler_must_be_infilled && !copy.cur_state_power_on &&
        !disable_test_coffee_group)
      carimali_.testCoffeeGroup();
    if (plat::clock().nowMs() - carimali_.date_time_setup_ms >= kClockEveryMs)
      carimali_.setDateTime();
  } catch (const ETerminated&) {
    // The close broke the exchange off: nothing is wrong with the machine,
    // and the back office has nothing to learn from it.
    return;
  } catch (const std::exception& e) {
    if (events_) events_(1, exceptionMessage(e));
  }

  const TCarimaliState s = state();
  const QString fatal = carimaliFatalText(s);
  // Reported once per new text: the same fault coming back is not repeated.
  if (!fatal.isEmpty() && fatal != lastReported_) {
    lastReported_ = fatal;
    QString flat = fatal;
    if (events_) events_(51, flat.replace(QLatin1String("\r\n"), QLatin1String(", ")));
  }

  const int64_t now = plat::clock().nowMs();
  const bool silent = s.last_communication_ms <= 0 || now - s.last_communication_ms > kSilenceMs;
  if (silent || (!s.cur_state_operation_in_progress && !s.cur_state_power_on) ||
      (!s.cur_state_operation_in_progress && !s.cur_state_group_initialized))
    connected_ = false;
}

void TCarimaliInitializationThread::pass() {
  if (connected_) {
    poll();
    return;
  }
  const int attempt = ++attempt_cnt_;
  try {
    connectCoffeeMachine();
    attempt_cnt_ = 0;
  } catch (const ETerminated&) {
    // Broken off by the close, not failed: not reported.
  } catch (const std::exception& e) {
    if (attempt == kReportedAttempt && events_)
      events_(51, QStringLiteral("Не удаётся установить соединение с кофемашиной (%1).")
                      .arg(exceptionMessage(e)));
  }
}

void TCarimaliInitializationThread::execute() {
  while (!terminated_) {
    pass();
    std::unique_lock lock(sleepMutex_);
    sleepCv_.wait_for(lock, std::chrono::milliseconds(kPollMs),
                      [this] { return terminated_.load(); });
  }
}

void TCarimaliInitializationThread::start() {
  if (started_.exchange(true)) return;
  terminated_ = false;
  thread_ = std::thread([this] { execute(); });
}

void TCarimaliInitializationThread::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(sleepMutex_);
    terminated_ = true;
  }
  sleepCv_.notify_all();
  // An exchange in flight ends at its next round instead of after its time-out.
  carimali_.terminated = true;
  thread_.join();
  carimali_.terminated = false;
}

// ---- the main form's decisions -----------------------------------------------------

TCarimaliTimerResult carimaliTimerTick(const TCarimaliTimerInput& in) {
  TCarimaliTimerResult r;
  r.status = in.status;
  r.savePort = in.connected && in.driverPort != in.storedPort;
  const TCarimaliState& s = in.state;
  const bool fresh = s.fresh(in.nowMs);
  if (s.cur_state2_boiler_must_be_infilled && fresh) {
    r.boilerInfill = true;
    return r;
  }
  if (s.cur_state_operation_in_progress && in.connected) {
    r.status = temperatureText(s);
  } else if (!in.connected) {
    if (in.attempt_cnt > 1) r.status = kConnecting;
  } else if (!s.cur_state_fatal_error_descr.isEmpty()) {
    r.status = s.cur_state_fatal_error_descr;
  } else if (s.cur_state_group_initialized && fresh) {
    r.status.clear();
  } else if (fresh) {
    r.status = temperatureText(s);
  } else {
    r.status = kConnecting;
  }
  return r;
}

TCoffeeCheck checkCoffeeMachine(bool carimali_machine, const QString& carimali_status,
                                bool drink_after_payment,
                                const std::function<int()>& moduleStatus) {
  TCoffeeCheck c;
  if (carimali_machine) {
    if (carimali_status.isEmpty()) return c;
    c.allowed = false;
    c.message = QStringLiteral("Напиток недоступен.\r\n") + carimali_status;
    return c;
  }
  if (!drink_after_payment) return c;
  if (!moduleStatus) {
    c.allowed = false;
    c.noCoffeeVm = true;
    c.eventId = 1;
    c.eventText = QStringLiteral("Нет связи с кофейным автоматом.");
    c.message = c.eventText;
    return c;
  }
  const int code = moduleStatus();
  c.errCode = code;
  if (code <= 0) return c;
  c.allowed = false;
  c.eventId = 1;
  c.eventText = QStringLiteral("Кофейный автомат неисправен (ошибка %1).").arg(code);
  c.message = QStringLiteral("Кофейный автомат неисправен.");
  return c;
}

// ---- the configuration cycle's view -------------------------------------------------

QByteArray TCarimaliCoffeeMachine::getRecipe(int n) {
  return carimali_.getRecipe(n);
}

QString TCarimaliCoffeeMachine::getRecipeDescr(int n) {
  return carimali_.getRecipeDescr(n);
}

QString TCarimaliCoffeeMachine::getCarimaliDrinkByNo(int no) {
  return TCarimali::getCarimaliDrinkByNo(no);
}
