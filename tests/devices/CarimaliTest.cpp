// The coffee-machine driver: its frames and state rules alone, then against
// the simulated machine on a pseudo-terminal.

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "devices/CarimaliDevice.h"
#include "testbed/CarimaliSim.h"

namespace {

using namespace std::chrono_literals;

QString messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return QStringLiteral("<no exception>");
}

QByteArray hex(const char* text) {
  return QByteArray::fromHex(text);
}

// A main state block of the machine's size with the given bytes set.
QByteArray stateWith(std::initializer_list<std::pair<int, uint8_t>> bytes) {
  QByteArray s(CarimaliSim::kStateSize, '\0');
  s[9] = 1;
  s[50] = char(0xBF);
  for (auto [i, v] : bytes) s[i] = char(v);
  return s;
}

// ---- frames -------------------------------------------------------------------

TEST(CarimaliFrame, CommandFrameCarriesModbusCrcHighByteFirst) {
  EXPECT_EQ(TCarimali::buildFrame(8, hex("0000002201")).toHex(' '),
            QByteArray("57 01 01 08 00 00 00 22 01 e7 d9"));
  EXPECT_EQ(TCarimali::buildFrame(1, {}).toHex(' '), QByteArray("57 01 01 01 c0 81"));
}

TEST(CarimaliFrame, AnswerParsing) {
  const QByteArray ok = hex("57010101066280");                          // initComm, no data
  const QByteArray withData = TCarimali::buildFrame(7, hex("06aabb"));  // ack, then 2 bytes
  struct Case {
    const char* name;
    uint8_t code;
    QByteArray answer;
    bool complete;
    QByteArray data;
    const char* error;  // nullptr: none
  } cases[] = {
      {"empty", 1, {}, false, {}, nullptr},
      {"six bytes are never enough", 1, ok.left(6), false, {}, nullptr},
      {"bare acknowledgement", 1, ok, true, {}, nullptr},
      {"data between ack and crc", 7, withData, true, hex("aabb"), nullptr},
      {"crc not matching yet", 1, ok.left(6) + QByteArray(1, '\0'), false, {}, nullptr},
      {"answer to another command", 7, ok, false, {}, "Incorrect answer format."},
      {"wrong head", 1, hex("5801010106") + hex("0000"), false, {}, "Incorrect answer format."},
      {"no acknowledgement",
       7,
       TCarimali::buildFrame(7, hex("15")),
       false,
       {},
       "Acknowledgement not received."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QByteArray data;
    if (c.error) {
      EXPECT_EQ(messageOf([&] { TCarimali::parseAnswer(c.code, c.answer, &data); }),
                QString::fromUtf8(c.error));
      continue;
    }
    EXPECT_EQ(TCarimali::parseAnswer(c.code, c.answer, &data), c.complete);
    if (c.complete) {
      EXPECT_EQ(data, c.data);
    }
  }
}

TEST(CarimaliFrame, ClockDataForDateAndTime) {
  const QDateTime t(QDate(2024, 12, 31), QTime(9, 5));
  EXPECT_EQ(TCarimali::dateData(t).toHex(' '), QByteArray("00 00 00 00 00 03 ae 4f"));
  EXPECT_EQ(TCarimali::timeData(t).toHex(' '), QByteArray("00 00 00 01 00 00 03 89"));
}

TEST(CarimaliFrame, DrinkNamesAndBunkerTexts) {
  EXPECT_EQ(TCarimali::getCarimaliDrinkByNo(0), QStringLiteral("Двойной эспрессо"));
  EXPECT_EQ(TCarimali::getCarimaliDrinkByNo(18), QStringLiteral("On request (start/stop)"));
  EXPECT_EQ(TCarimali::getCarimaliDrinkByNo(56), QStringLiteral("Чай"));
  EXPECT_EQ(TCarimali::getCarimaliDrinkByNo(57), QString());
  EXPECT_EQ(TCarimali::getCarimaliDrinkByNo(-1), QString());
  EXPECT_EQ(TCarimali::bunkerErrorText(0), QString());
  EXPECT_EQ(TCarimali::bunkerErrorText(5), QStringLiteral("Открыт кофейный бункер"));
  EXPECT_EQ(TCarimali::bunkerErrorText(9), QStringLiteral("Неизвестная ошибка бункера (9)."));
}

// ---- state rules on a state block set directly -----------------------------------

TEST(CarimaliState, GettersReadTheirBytes) {
  TCarimali c;
  c.current_state2 = QByteArray(72, '\1');
  struct Case {
    const char* name;
    QByteArray state;
    std::function<bool(TCarimali&)> check;
  } cases[] = {
      {"power on", stateWith({{4, 1}}), [](TCarimali& m) { return m.cur_state_power_on(); }},
      {"power value 2 is not on", stateWith({{4, 2}}),
       [](TCarimali& m) { return !m.cur_state_power_on(); }},
      {"operation in progress is byte 9 = 0", stateWith({{9, 0}}),
       [](TCarimali& m) { return m.cur_state_operation_in_progress(); }},
      {"tray full", stateWith({{14, 1}}), [](TCarimali& m) { return m.cur_state_tray_full(); }},
      {"no water", stateWith({{22, 1}}), [](TCarimali& m) { return m.cur_state_no_water_error(); }},
      {"group error is 15", stateWith({{26, 15}}),
       [](TCarimali& m) { return m.cur_state_group_error(); }},
      {"filling by byte 50", stateWith({{50, 3}}),
       [](TCarimali& m) { return m.cur_state_boiler_filling_in_process(); }},
      {"byte 50 = 0 is idle", stateWith({{50, 0}}),
       [](TCarimali& m) { return !m.cur_state_boiler_filling_in_process(); }},
      {"discharge fills too", stateWith({{30, 1}}),
       [](TCarimali& m) {
         return m.cur_state_boiler_filling_in_process() &&
                m.cur_state_boiler_discharge_in_process();
       }},
      {"credit low byte first", stateWith({{64, 0x10}, {65, 0x27}}),
       [](TCarimali& m) { return m.cur_state_credit_amount() == 10000; }},
      {"bunker error text", stateWith({{38, 1}}),
       [](TCarimali& m) {
         return m.cur_state_bunker_error() == QStringLiteral("Удалён ящик для жмыха");
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    c.current_state = k.state;
    EXPECT_TRUE(k.check(c));
  }
}

TEST(CarimaliState, FatalErrorTextInOrderAndWhatCountsAsFatal) {
  TCarimali c;
  c.current_state2 = QByteArray(72, '\0');  // byte 4 = 0: the boiler must be filled
  c.current_state = stateWith({{22, 1}, {20, 7}, {14, 1}, {38, 3}});
  EXPECT_EQ(c.cur_state_fatal_error_descr(),
            QStringLiteral("Нет воды\r\nОшибка группы (7)\r\nПоддон переполнен\r\n"
                           "Открыт бункер ингредиента 1\r\nНеобходимо заполнить бойлер"));
  EXPECT_TRUE(c.cur_state_has_fatal_error());

  c.current_state2 = QByteArray(72, '\1');
  c.current_state = stateWith({{20, 7}});  // a group error code alone is not fatal
  EXPECT_EQ(c.cur_state_fatal_error_descr(), QStringLiteral("Ошибка группы (7)"));
  EXPECT_FALSE(c.cur_state_has_fatal_error());
  c.current_state = stateWith({});
  EXPECT_EQ(c.cur_state_fatal_error_descr(), QString());
}

TEST(CarimaliState, DescriptionLinesArePaddedLabels) {
  TCarimali c;
  c.current_state2 = QByteArray(72, '\1');
  c.current_state = stateWith({{4, 1}, {40, 92}, {64, 0x10}, {65, 0x27}});
  const QStringList lines = c.cur_state_descr().split(QStringLiteral("\r\n"));
  ASSERT_EQ(lines.size(), 15);
  EXPECT_EQ(lines[0], QStringLiteral("power_on:                  True"));
  EXPECT_EQ(lines[12], QStringLiteral("boiler_temperature:        92"));
  EXPECT_EQ(lines[13], QStringLiteral("credit_amount:             10000"));
  EXPECT_EQ(lines[14], QStringLiteral("fill_uncompleted:          False"));
}

TEST(CarimaliState, RecipeNumbersAndLengthsAreChecked) {
  TCarimali c;
  EXPECT_EQ(messageOf([&] { c.getRecipe(0); }),
            QStringLiteral("Drink number (0) is out of bounds."));
  EXPECT_EQ(messageOf([&] { c.getRecipe(29); }),
            QStringLiteral("Drink number (29) is out of bounds."));
  EXPECT_EQ(messageOf([&] { c.writeRecipe(3, QByteArray(71, '\0')); }),
            QStringLiteral("Incorrect recipe length (71)."));
  EXPECT_EQ(c.getRecipe(28), QByteArray());
  EXPECT_EQ(c.getRecipeDescr(1), QStringLiteral("Not implemented"));
}

// ---- against the simulated machine ------------------------------------------------

class CarimaliSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
    sim = std::make_unique<CarimaliSim>(dir.path(), 3);
    machine.setComPort(3);
  }
  void TearDown() override { qunsetenv("VEKTA_PORTS_DIR"); }

  QTemporaryDir dir;
  std::unique_ptr<CarimaliSim> sim;
  TCarimali machine;
};

TEST_F(CarimaliSimTest, StateFlagsFollowTheMachine) {
  machine.readCurrentState();
  machine.readCurrentState2();
  EXPECT_TRUE(machine.cur_state_power_on());
  EXPECT_TRUE(machine.cur_state_group_initialized());
  EXPECT_FALSE(machine.cur_state_has_fatal_error());
  EXPECT_FALSE(machine.cur_state2_boiler_must_be_infilled());
  EXPECT_TRUE(machine.isOpen());
  EXPECT_GT(machine.last_communication_ms, 0);

  sim->setNoWater(true);
  sim->setTrayFull(true);
  sim->setBoilerMustBeFilled(true);
  sim->setPowerOn(false);
  machine.readCurrentState();
  machine.readCurrentState2();
  EXPECT_FALSE(machine.cur_state_power_on());
  EXPECT_EQ(machine.cur_state_fatal_error_descr(),
            QStringLiteral("Нет воды\r\nПоддон переполнен\r\nНеобходимо заполнить бойлер"));
}

TEST_F(CarimaliSimTest, RecipesReadWrittenAndSentAsTheyAre) {
  const QByteArray r = CarimaliSim::makeRecipe(54, 2, false, true);
  sim->setRecipe(5, r);
  machine.readRecipes();
  EXPECT_EQ(machine.getRecipe(5), r);
  EXPECT_TRUE(machine.drinkUsesCofeeBeans(5));  // its second step
  EXPECT_EQ(sim->count(TCarimali::cmdRead), 28);

  QByteArray w = CarimaliSim::makeRecipe(1, 1, false);
  w[70] = char(0xEE);
  machine.writeRecipe(7, w);
  EXPECT_EQ(sim->recipe(7), w);
  EXPECT_EQ(machine.getRecipe(7), w);
}

TEST_F(CarimaliSimTest, DrinkRunsUntilTheMachineReportsItDone) {
  sim->setDrinkDurationMs(400);
  machine.makeDrink(4);
  EXPECT_EQ(sim->count(TCarimali::cmdService, hex("0000000004")), 1);
  machine.readCurrentState();
  EXPECT_TRUE(machine.cur_state_dring_preparation());
  EXPECT_TRUE(machine.cur_state_operation_in_progress());
  std::this_thread::sleep_for(600ms);
  machine.readCurrentState();
  EXPECT_FALSE(machine.cur_state_dring_preparation());
}

TEST_F(CarimaliSimTest, NoBeansStaysUntilTheHopperWasOpenedAndClosed) {
  // Slot 2 brews one step without beans, but its unused third step is a bean
  // step: with no beans it is refused although it would not use them.
  sim->setRecipe(2, CarimaliSim::makeRecipe(29, 1, false, false, true));
  sim->setRecipe(3, CarimaliSim::makeRecipe(29, 1, false, false, false));
  machine.readRecipes();
  EXPECT_FALSE(machine.drinkUsesCofeeBeans(2));

  sim->setNoCoffee(true);
  machine.readCurrentState();
  EXPECT_TRUE(machine.cur_state_no_coffee());
  sim->setNoCoffee(false);
  machine.readCurrentState();
  EXPECT_TRUE(machine.cur_state_no_coffee()) << "sticky";
  EXPECT_EQ(messageOf([&] { machine.makeDrink(2); }), QStringLiteral("Нет зёрен кофе"));
  EXPECT_NO_THROW(machine.makeDrink(3));
  EXPECT_NO_THROW(machine.makeDrink(40)) << "a catalogue number is sent unchecked";

  sim->setBunkerError(5);
  machine.readCurrentState();
  EXPECT_TRUE(machine.cur_state_no_coffee()) << "hopper open, not yet closed";
  sim->setBunkerError(0);
  machine.readCurrentState();
  EXPECT_FALSE(machine.cur_state_no_coffee());
  EXPECT_NO_THROW(machine.makeDrink(2));
}

TEST_F(CarimaliSimTest, GroupTestClearsNoBeans) {
  sim->setNoCoffee(true);
  machine.readCurrentState();
  ASSERT_TRUE(machine.cur_state_no_coffee());
  sim->setNoCoffee(false);
  machine.testCoffeeGroup();
  machine.readCurrentState();
  EXPECT_FALSE(machine.cur_state_no_coffee());
}

TEST_F(CarimaliSimTest, FaultyAnswers) {
  machine.initComm();  // the port is open; faults apply to what follows
  struct Case {
    const char* name;
    std::function<void()> fault;
    const char* error;  // nullptr: accepted
  } cases[] = {
      {"split in two pieces", [&] { sim->splitNextAnswer(150); }, nullptr},
      {"crc never matches", [&] { sim->corruptNextAnswer(); }, "Timeout error."},
      {"refused", [&] { sim->refuseNextAnswer(); }, "Acknowledgement not received."},
      {"answer to another command", [&] { sim->answerNextWithCode(9); },
       "Incorrect answer format."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.fault();
    const QString msg = messageOf([&] { machine.readCurrentState(); });
    EXPECT_EQ(msg, c.error ? QString::fromUtf8(c.error) : QStringLiteral("<no exception>"));
    EXPECT_TRUE(machine.isOpen()) << "the link stays open after a failed exchange";
  }
  // After every fault the next exchange works again.
  EXPECT_NO_THROW(machine.readCurrentState());
}

TEST_F(CarimaliSimTest, SilenceIsATimeoutAndAnotherPortIsFound) {
  sim->setSilent(true);
  EXPECT_EQ(messageOf([&] { machine.readCurrentState(); }), QStringLiteral("Timeout error."));
  EXPECT_THROW(machine.readCurrentState(), ETimeout);

  CarimaliSim other(dir.path(), 7);  // the machine moved to COM7
  EXPECT_TRUE(machine.findComPort());
  EXPECT_EQ(machine.comPort(), 7);
  EXPECT_TRUE(machine.isOpen());

  other.setSilent(true);
  EXPECT_FALSE(machine.findComPort());
  EXPECT_EQ(machine.comPort(), -1);
  EXPECT_FALSE(machine.isOpen());
}

TEST_F(CarimaliSimTest, ClockAndServiceCommandsReachTheMachine) {
  machine.setDateTime(QDateTime(QDate(2024, 12, 31), QTime(9, 5)));
  const auto got = sim->received();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data, hex("000000000003ae4f"));
  EXPECT_EQ(got[1].data, hex("0000000100000389"));
  EXPECT_GT(machine.date_time_setup_ms, 0);

  machine.powerOff();
  machine.readCurrentState();
  EXPECT_FALSE(machine.cur_state_power_on());
  machine.powerOn();
  machine.readCurrentState();
  EXPECT_TRUE(machine.cur_state_power_on());
}

TEST_F(CarimaliSimTest, TrafficLogShowsBothDirections) {
  machine.logTraffic = true;
  machine.initComm();
  ASSERT_EQ(machine.log.size(), 2);
  EXPECT_EQ(machine.log[0], QStringLiteral("> 57 01 01 01 C0 81 "));
  EXPECT_EQ(machine.log[1], QStringLiteral("< 57 01 01 01 06 62 80 "));
}

}  // namespace
