// Coffee-machine supervision: the main form's decisions as plain functions,
// the machine's error codes, and the worker against the simulated machine.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "devices/CarimaliDevice.h"
#include "kiosk/CoffeeSupervision.h"
#include "testbed/CarimaliSim.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
using testkit::waitUntil;

constexpr int64_t kNow = 1'000'000;

TCarimaliState freshState() {
  TCarimaliState s;
  s.cur_state_power_on = true;
  s.cur_state_group_initialized = true;
  s.cur_state_boiler_temperature = 93;
  s.last_communication_ms = kNow - 1000;
  return s;
}

// ---- the status timer ----------------------------------------------------------------

TEST(CarimaliTimer, StatusText) {
  const QString connecting = QStringLiteral("Соединение с кофемашиной...");
  const QString temperature = QStringLiteral("Температура бойлера: 93 °C");
  struct Case {
    const char* name;
    bool connected;
    int attempts;
    std::function<void(TCarimaliState&)> change;
    QString expected;
  } cases[] = {
      {"ready: drinks can be sold", true, 0, [](TCarimaliState&) {}, QString()},
      {"operation in progress shows the boiler", true, 0,
       [](TCarimaliState& s) { s.cur_state_operation_in_progress = true; }, temperature},
      {"fatal text", true, 0,
       [](TCarimaliState& s) { s.cur_state_fatal_error_descr = QStringLiteral("Нет воды"); },
       QStringLiteral("Нет воды")},
      {"group not ready yet", true, 0,
       [](TCarimaliState& s) { s.cur_state_group_initialized = false; }, temperature},
      {"silent for more than 5 s", true, 0,
       [](TCarimaliState& s) { s.last_communication_ms = kNow - 5001; }, connecting},
      {"never heard from", true, 0, [](TCarimaliState& s) { s.last_communication_ms = 0; },
       connecting},
      {"first failed attempt keeps the text", false, 1, [](TCarimaliState&) {},
       QStringLiteral("old")},
      {"second failed attempt", false, 2, [](TCarimaliState&) {}, connecting},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TCarimaliTimerInput in;
    in.connected = c.connected;
    in.attempt_cnt = c.attempts;
    in.state = freshState();
    c.change(in.state);
    in.nowMs = kNow;
    in.status = QStringLiteral("old");
    const TCarimaliTimerResult r = carimaliTimerTick(in);
    EXPECT_FALSE(r.boilerInfill);
    EXPECT_EQ(r.status, c.expected);
  }
}

TEST(CarimaliTimer, BoilerDialogOnlyWhileTheMachineAnswersAndPortMemory) {
  TCarimaliTimerInput in;
  in.connected = true;
  in.state = freshState();
  in.state.cur_state2_boiler_must_be_infilled = true;
  in.nowMs = kNow;
  in.status = QStringLiteral("old");
  in.driverPort = 5;
  in.storedPort = 3;
  TCarimaliTimerResult r = carimaliTimerTick(in);
  EXPECT_TRUE(r.boilerInfill);
  EXPECT_EQ(r.status, QStringLiteral("old"));
  EXPECT_TRUE(r.savePort) << "found on another port than stored";

  in.state.last_communication_ms = kNow - 6000;
  EXPECT_FALSE(carimaliTimerTick(in).boilerInfill) << "stale request: no dialog";

  in.connected = false;
  EXPECT_FALSE(carimaliTimerTick(in).savePort) << "a port is stored only while connected";
  in.connected = true;
  in.storedPort = 5;
  EXPECT_FALSE(carimaliTimerTick(in).savePort);
}

// ---- the drink check ------------------------------------------------------------------

TEST(CoffeeCheck, CarimaliAndPaymentModuleKiosks) {
  TCoffeeCheck c = checkCoffeeMachine(true, QString(), false, nullptr);
  EXPECT_TRUE(c.allowed);
  c = checkCoffeeMachine(true, QStringLiteral("Нет воды"), false, nullptr);
  EXPECT_FALSE(c.allowed);
  EXPECT_EQ(c.message, QStringLiteral("Напиток недоступен.\r\nНет воды"));
  EXPECT_EQ(c.eventId, 0);

  EXPECT_TRUE(checkCoffeeMachine(false, QStringLiteral("x"), false, nullptr).allowed);

  c = checkCoffeeMachine(false, QString(), true, nullptr);  // module without a port
  EXPECT_FALSE(c.allowed);
  EXPECT_TRUE(c.noCoffeeVm);
  EXPECT_EQ(c.eventId, 1);
  EXPECT_EQ(c.eventText, QStringLiteral("Нет связи с кофейным автоматом."));
  EXPECT_EQ(c.message, c.eventText);

  c = checkCoffeeMachine(false, QString(), true, [] { return 0; });
  EXPECT_TRUE(c.allowed);
  EXPECT_EQ(c.errCode, 0);
  c = checkCoffeeMachine(false, QString(), true, [] { return 4; });
  EXPECT_FALSE(c.allowed);
  EXPECT_EQ(c.errCode, 4);
  EXPECT_EQ(c.eventText, QStringLiteral("Кофейный автомат неисправен (ошибка 4)."));
  EXPECT_EQ(c.message, QStringLiteral("Кофейный автомат неисправен."));
}

// ---- error codes ------------------------------------------------------------------------

TEST(CarimaliErrorCodes, FromTheSupervisionCopy) {
  const int64_t start = kNow - 20000;
  struct Case {
    const char* name;
    int64_t startMs;
    std::function<void(TCarimaliState&)> change;
    QString codes;
  } cases[] = {
      {"all well", start, [](TCarimaliState&) {}, QString()},
      {"silent machine", start, [](TCarimaliState& s) { s.last_communication_ms = kNow - 5001; },
       QStringLiteral("ZM2")},
      {"never heard from", start, [](TCarimaliState& s) { s.last_communication_ms = 0; },
       QStringLiteral("ZM2")},
      {"silent, but within 15 s of the start", kNow - 15000,
       [](TCarimaliState& s) { s.last_communication_ms = 0; }, QString()},
      {"no water, no coffee, tray full, hopper open", start,
       [](TCarimaliState& s) {
         s.cur_state_no_water_error = true;
         s.cur_state_no_coffee = true;
         s.cur_state_tray_full = true;
         s.cur_state_bunker_error_code = 5;
       },
       QStringLiteral("ZM4\rZM5\rZM6\rZM7_5")},
      {"tray full alone", start, [](TCarimaliState& s) { s.cur_state_tray_full = true; },
       QStringLiteral("ZM6")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TCarimaliState s = freshState();
    c.change(s);
    const TCarimaliEvaState eva = carimaliEvaState(s, c.startMs, kNow);
    EXPECT_EQ(TVmState().getEvaErrorCodes(&eva), c.codes);
  }
  // The payment module's flag is not the coffee machine's.
  TVmState vm;
  vm.no_coffee_vm = true;
  const TCarimaliEvaState eva = carimaliEvaState(freshState(), start, kNow);
  EXPECT_EQ(vm.getEvaErrorCodes(&eva), QString());
  EXPECT_EQ(vm.getEvaErrorCodes(), QStringLiteral("ZM2"));
}

TEST(CarimaliFatalText, NoCoffeeOnALineOfItsOwn) {
  TCarimaliState s;
  s.cur_state_no_coffee = true;
  EXPECT_EQ(carimaliFatalText(s), QStringLiteral("Нет кофе."));
  s.cur_state_fatal_error_descr = QStringLiteral("Нет воды");
  EXPECT_EQ(carimaliFatalText(s), QStringLiteral("Нет воды\r\nНет кофе."));
}

// ---- the worker against the simulated machine ----------------------------------------------

struct Event {
  int id;
  QString text;
};

class SupervisionTest : public ::testing::Test {
 protected:
  void SetUp() override { qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit()); }
  void TearDown() override {
    worker.reset();
    qunsetenv("VEKTA_PORTS_DIR");
  }

  void makeWorker(int savedPort) {
    worker = std::make_unique<TCarimaliInitializationThread>(machine, lock,
                                                             [this](int id, const QString& text) {
                                                               std::lock_guard g(eventsMutex);
                                                               events.push_back({id, text});
                                                             });
    worker->comPort = savedPort;
  }
  std::vector<Event> takeEvents() {
    std::lock_guard g(eventsMutex);
    return std::exchange(events, {});
  }

  QTemporaryDir dir;
  TCarimali machine;
  std::recursive_mutex lock;
  std::mutex eventsMutex;
  std::vector<Event> events;
  std::unique_ptr<TCarimaliInitializationThread> worker;
};

TEST_F(SupervisionTest, SavedPortIsUsedWithoutSearchAndTheMachineIsPrepared) {
  CarimaliSim sim(dir.path(), 3);
  sim.setRecipe(4, CarimaliSim::makeRecipe(54, 1, true));
  CarimaliSim bystander(dir.path(), 1);  // a search would probe it first
  makeWorker(3);
  worker->pass();
  ASSERT_TRUE(worker->connected());
  EXPECT_EQ(bystander.received().size(), 0u);
  EXPECT_EQ(sim.count(TCarimali::cmdSetDateTime), 2);
  EXPECT_EQ(sim.count(TCarimali::cmdService, QByteArray::fromHex("0000002201")), 0) << "already on";
  EXPECT_TRUE(worker->recipes_readed());
  EXPECT_EQ(worker->recipe(4), sim.recipe(4));

  worker->pass();  // a poll copies the state
  const TCarimaliState s = worker->state();
  EXPECT_TRUE(s.cur_state_group_initialized);
  EXPECT_EQ(s.cur_state_boiler_temperature, 92);
  EXPECT_GT(s.last_communication_ms, 0);
  EXPECT_TRUE(takeEvents().empty());
}

TEST_F(SupervisionTest, SilentSavedPortLeadsToASearchAndTheFoundPortIsKept) {
  CarimaliSim stale(dir.path(), 2);
  stale.setSilent(true);
  CarimaliSim sim(dir.path(), 5);
  makeWorker(2);
  worker->pass();
  ASSERT_TRUE(worker->connected());
  EXPECT_EQ(machine.comPort(), 5);
  EXPECT_EQ(worker->comPort.load(), 5);

  TCarimaliTimerInput in;
  in.connected = worker->connected();
  in.driverPort = machine.comPort();
  in.storedPort = 2;
  EXPECT_TRUE(carimaliTimerTick(in).savePort);
}

TEST_F(SupervisionTest, SwitchedOffMachineIsSwitchedOnAgainWithinTwoPasses) {
  CarimaliSim sim(dir.path(), 3);
  makeWorker(3);
  worker->pass();
  ASSERT_TRUE(worker->connected());
  sim.setPowerOn(false);
  worker->pass();  // poll: off and idle, so the connection is dropped
  EXPECT_FALSE(worker->connected());
  worker->pass();  // reconnect
  EXPECT_TRUE(worker->connected());
  EXPECT_EQ(sim.stateByte(4), 1);
  EXPECT_EQ(sim.count(TCarimali::cmdService, QByteArray::fromHex("0000002201")), 1);
}

TEST_F(SupervisionTest, MachineWaitingForWaterIsNotSwitchedOn) {
  CarimaliSim sim(dir.path(), 3);
  sim.setPowerOn(false);
  sim.setBoilerMustBeFilled(true);
  makeWorker(3);
  worker->pass();
  EXPECT_EQ(sim.count(TCarimali::cmdService, QByteArray::fromHex("0000002201")), 0);
  EXPECT_EQ(sim.stateByte(4), 0);
}

TEST_F(SupervisionTest, FatalTextReportedOncePerNewText) {
  CarimaliSim sim(dir.path(), 3);
  makeWorker(3);
  worker->pass();
  takeEvents();
  sim.setNoWater(true);
  sim.setNoCoffee(true);
  worker->pass();
  worker->pass();
  std::vector<Event> got = takeEvents();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 51);
  EXPECT_EQ(got[0].text, QStringLiteral("Нет воды, Нет кофе."));

  sim.setTrayFull(true);
  worker->pass();
  got = takeEvents();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, QStringLiteral("Нет воды, Поддон переполнен, Нет кофе."));
}

TEST_F(SupervisionTest, OnlyTheTenthFailedConnectionIsReported) {
  makeWorker(3);  // no machine at all
  for (int i = 1; i <= 12; ++i) worker->pass();
  const std::vector<Event> got = takeEvents();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 51);
  EXPECT_EQ(
      got[0].text,
      QStringLiteral("Не удаётся установить соединение с кофемашиной (COM port not found.)."));
  EXPECT_EQ(worker->attempt_cnt(), 12);

  CarimaliSim sim(dir.path(), 3);
  worker->pass();
  EXPECT_TRUE(worker->connected());
  EXPECT_EQ(worker->attempt_cnt(), 0);
}

TEST_F(SupervisionTest, PollFailureIsAnInformationEvent) {
  CarimaliSim sim(dir.path(), 3);
  makeWorker(3);
  worker->pass();
  worker->pass();
  takeEvents();
  sim.setSilent(true);
  worker->pass();
  const std::vector<Event> got = takeEvents();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 1);
  EXPECT_EQ(got[0].text, QStringLiteral("Timeout error."));
  EXPECT_TRUE(worker->connected()) << "dropped only after 5 s of silence";
}

TEST_F(SupervisionTest, APollTheCloseBreaksOffQueuesNothing) {
  CarimaliSim sim(dir.path(), 3);
  makeWorker(3);
  worker->start();
  ASSERT_TRUE(waitUntil([&] { return worker->connected(); }, 10s));
  sim.setSilent(true);
  const size_t before = sim.received().size();
  // A poll's request reached the machine, which keeps quiet: the poll waits
  // for its answer when the close comes.
  ASSERT_TRUE(waitUntil([&] { return sim.received().size() > before; }, 10s));
  takeEvents();
  worker->stop();
  const std::vector<Event> got = takeEvents();
  EXPECT_TRUE(got.empty()) << got.front().id << " " << got.front().text.toStdString();
}

TEST_F(SupervisionTest, StopBreaksOffAnExchangeAndLeavesTheDriverUsable) {
  CarimaliSim sim(dir.path(), 3);
  sim.setSilent(true);
  makeWorker(3);
  worker->start();
  std::this_thread::sleep_for(300ms);  // inside the first attempt
  worker->stop();
  EXPECT_FALSE(worker->connected());
  sim.setSilent(false);
  std::lock_guard g(lock);
  machine.setComPort(3);  // the broken-off search gave up every port
  EXPECT_NO_THROW(machine.readCurrentState());
}

}  // namespace
