#pragma once
// Supervision of the kiosk's own coffee machine. A worker connects to the
// machine (the saved port first, then every port), switches it on, sets its
// clock, reads its recipes once and then polls its state every second,
// copying it into a snapshot that the main thread reads. The main form turns
// that snapshot into a status text once a second; while the text is not
// empty no drink is sold.
//
// Every exchange with the machine, from any thread, is made holding the one
// coffee-machine lock, so the worker, the configuration cycle and the screens
// never interleave their frames on the line.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "kiosk/ConfigCycle.h"
#include "kiosk/LogThread.h"

class TCarimali;

// The machine's state as the worker copied it after its last poll.
struct TCarimaliState {
  bool cur_state_power_on = false;
  bool cur_state_operation_in_progress = false;
  bool cur_state_group_initialized = false;
  bool cur_state_tray_full = false;
  bool cur_state_tray_error = false;
  uint8_t cur_state_group_error_code = 0;
  bool cur_state_no_water_error = false;
  bool cur_state_group_error = false;
  bool cur_state_no_coffee = false;
  bool cur_state_dring_preparation = false;
  uint8_t cur_state_dring_preparation_percent = 0;
  QString cur_state_bunker_error;
  uint8_t cur_state_bunker_error_code = 0;
  uint8_t cur_state_boiler_temperature = 0;
  double cur_state_credit_amount = 0;
  QString cur_state_descr;
  bool cur_state_boiler_filling_in_process = false;
  bool cur_state_boiler_discharge_in_process = false;
  bool cur_state2_boiler_must_be_infilled = false;
  QString cur_state_fatal_error_descr;
  QDateTime last_communication_dt;
  int64_t last_communication_ms = 0;  // plat::clock(); 0: never

  // True when the last exchange is less than 5 s old at nowMs.
  bool fresh(int64_t nowMs) const;
};

// Reads every state getter of the driver (the caller holds the lock).
TCarimaliState copyCoffeeMachineState(TCarimali& carimali);

// The text reported as an equipment error: the fatal text, and "Нет кофе."
// on a line of its own when the beans ran out; empty when all is well.
QString carimaliFatalText(const TCarimaliState& s);

// The error codes' view of the machine for TVmState::getEvaErrorCodes.
TCarimaliEvaState carimaliEvaState(const TCarimaliState& s, int64_t startupMs, int64_t nowMs);

class TCarimaliInitializationThread {
 public:
  // events queues an event (id, text); any thread.
  using EventFn = std::function<void(int, const QString&)>;
  static constexpr int64_t kPollMs = 1000;
  static constexpr int64_t kSilenceMs = 5000;
  static constexpr int64_t kClockEveryMs = 59000;
  static constexpr int kReportedAttempt = 10;

  TCarimaliInitializationThread(TCarimali& carimali, std::recursive_mutex& synchronizer,
                                EventFn events);
  // Stops and waits.
  ~TCarimaliInitializationThread();
  TCarimaliInitializationThread(const TCarimaliInitializationThread&) = delete;
  TCarimaliInitializationThread& operator=(const TCarimaliInitializationThread&) = delete;

  // The port tried first; set before start. A connection elsewhere moves it.
  std::atomic<int> comPort{0};
  // Suppresses the group test of a machine found switched off.
  std::atomic<bool> disable_test_coffee_group{false};

  // Opens and prepares the machine under the lock; raises when it does not answer.
  void connectCoffeeMachine();
  // One pass of the loop: a poll while connected, else a connection attempt.
  void pass();

  void start();
  // Asks the worker to end, breaks off an exchange in flight and waits.
  // Safe on the main thread: the worker never waits for it.
  void stop();
  bool started() const { return started_.load(); }

  bool connected() const { return connected_.load(); }
  int attempt_cnt() const { return attempt_cnt_.load(); }
  bool recipes_readed() const { return recipes_readed_.load(); }
  TCarimaliState state() const;
  // The recipe n (1..28) as read at the first connection; empty otherwise.
  QByteArray recipe(int n) const;

 private:
  void poll();
  void execute();

  TCarimali& carimali_;
  std::recursive_mutex& synchronizer_;
  EventFn events_;
  std::atomic<bool> connected_{false};
  std::atomic<int> attempt_cnt_{0};
  std::atomic<bool> recipes_readed_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> terminated_{false};
  QString lastReported_;  // worker only
  mutable std::mutex stateMutex_;
  TCarimaliState state_;
  std::array<QByteArray, 28> recipes_;
  std::mutex sleepMutex_;
  std::condition_variable sleepCv_;
  std::thread thread_;
};

// What one tick of the main form's coffee-machine timer has to do.
struct TCarimaliTimerInput {
  bool connected = false;
  int attempt_cnt = 0;
  TCarimaliState state;
  int64_t nowMs = 0;
  int driverPort = -1;
  int storedPort = 0;  // "Global"/COMPort
  QString status;      // carimali_status before the tick
};

struct TCarimaliTimerResult {
  bool savePort = false;      // store driverPort as "Global"/COMPort
  bool boilerInfill = false;  // show the boiler-fill dialog; status unchanged
  QString status;
};

TCarimaliTimerResult carimaliTimerTick(const TCarimaliTimerInput& in);

// The answer of the main form's drink check.
struct TCoffeeCheck {
  bool allowed = true;
  QString message;  // shown for 15 s when not empty
  int eventId = 0;  // 0: none
  QString eventText;
  bool noCoffeeVm = false;     // set vmState.no_coffee_vm
  std::optional<int> errCode;  // new vmState.coffee_vm_err_code
};

// moduleStatus asks the payment module for its machine's state (a code;
// raises on failure); null when the module has no port.
TCoffeeCheck checkCoffeeMachine(bool carimali_machine, const QString& carimali_status,
                                bool drink_after_payment, const std::function<int()>& moduleStatus);

// The configuration cycle's view of the machine.
class TCarimaliCoffeeMachine : public ICoffeeMachine {
 public:
  TCarimaliCoffeeMachine(TCarimali& carimali, std::recursive_mutex& synchronizer)
      : carimali_(carimali), synchronizer_(synchronizer) {}
  std::recursive_mutex& synchronizer() override { return synchronizer_; }
  QByteArray getRecipe(int n) override;
  QString getRecipeDescr(int n) override;
  QString getCarimaliDrinkByNo(int no) override;

 private:
  TCarimali& carimali_;
  std::recursive_mutex& synchronizer_;
};
