// vekta-crashtest: the pieces of scripts/crashtest, which kills the kiosk
// with SIGKILL in the middle of sales and checks that its ledger survives.
//
//   vekta-crashtest prepare --db FILE
//     the stand-in back office's database with the demo seed and a short
//     thanks screen, for backoffice-sim to serve.
//   vekta-crashtest kiosk --port N [--settle | --sales S]
//     the kiosk (data, runtime and ports folders from VEKTA_DATA_DIR,
//     XDG_RUNTIME_DIR and VEKTA_PORTS_DIR) against backoffice-sim on port N
//     and an in-process Vendotek terminal, offscreen. A scripted customer
//     buys water and a croissant by card, sale after sale, until the process
//     is killed. With --settle there is no customer: the kiosk closes as a
//     shutdown does once its event queue on disk is empty. With --sales the
//     customer closes each thanks screen once its receipt code shows,
//     prints "sale <n> rss_kB <resident memory>" on standard output as the
//     home screen comes back after each sale, and the kiosk closes after S
//     sales (the memory benchmark).
//   vekta-crashtest check --data DIR --db FILE --snapshot DIR --lsln-file FILE
//     after a settle run: every event file of the snapshot (the queue folder
//     as the kill left it) is in tbTerminalLog exactly once with the same
//     values; counters, counters~, vekta.ini, vekta.ini~, the cached tables
//     and every event file still queued load with the kiosk's own loaders;
//     lsln is not below the number kept in --lsln-file, which is then
//     updated; the counters count, cell by cell, exactly the units whose
//     events the back office got. Prints one line "events N lost L doubled
//     D ..." and exits 1 on any fault.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <map>

#include "kiosk/Counters.h"
#include "kiosk/Expectation.h"
#include "kiosk/LogThread.h"
#include "kiosk/Main.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "kiosk/TouchButton.h"
#include "platform/AppPaths.h"
#include "platform/Exception.h"
#include "platform/MemTable.h"
#include "screens/Gratitude.h"
#include "screens/PaymentMethod.h"
#include "screens/Recycle.h"
#include "screens/SaleScreenHooks.h"
#include "testbed/SimHandlers.h"
#include "testbed/VendotekSim.h"
#include "tests/e2e/KioskBench.h"

namespace {

using namespace e2e;

QString argValue(const QStringList& args, const char* name) {
  const int i = args.indexOf(QLatin1String(name));
  return i >= 0 && i + 1 < args.size() ? args[i + 1] : QString();
}

int fail(const QString& why) {
  std::fprintf(stderr, "vekta-crashtest: %s\n", qPrintable(why));
  return 2;
}

int prepare(const QString& db) {
  sim::BackofficeSim office(db);
  office.db().exec(QStringLiteral("update tbVmSettings set vekta_qr_code_delay = 3"));
  return 0;
}

bool hasQueuedEvents(const QString& dataFolder) {
  const QStringList names = QDir(dataFolder + QStringLiteral("/Log")).entryList(QDir::Files);
  for (const QString& n : names)
    if (n.size() == 10) return true;
  return false;
}

// The customer, sale after sale. Each screen is acted on once: the acts
// open modal screens and return only when those close, so they run from
// their own zero timer and the polling goes on inside the nested loops.
class LoopingCustomer {
 public:
  // sales > 0: counts and reports sales, and ends the kiosk after that many.
  explicit LoopingCustomer(int sales = 0) : salesWanted_(sales) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start(20);
  }

 private:
  // VmRSS of this process in kB.
  static long long residentKb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
      if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
  }

  // The thanks screen is closed by its button once the receipt shows, and a
  // sale counts when the home screen is back after it.
  bool countSales() {
    if (visible(fmGratitude)) {
      thanksSeen_ = true;
      if (fmGratitude != thanks_ && fmGratitude->imQRCode->isVisible()) {
        thanks_ = fmGratitude;
        later([] {
          if (fmGratitude) press(fmGratitude->btClose);
        });
      }
      return true;
    }
    if (!thanksSeen_ || !visible(fmExpectation) || fmRecycle) return false;
    thanksSeen_ = false;
    ++sales_;
    std::printf("sale %d rss_kB %lld\n", sales_, residentKb());
    std::fflush(stdout);
    if (sales_ < salesWanted_) return false;
    timer_.stop();
    later([] {
      fmMain->check_password_on_exit = false;
      if (fmExpectation) fmExpectation->done(2);
    });
    return true;
  }

  void poll() {
    if (salesWanted_ > 0 && countSales()) return;
    if (!terminalSeen_ && fmMain && fmMain->pos_type == ptVendotek) {
      terminalSeen_ = true;
      std::fprintf(stderr, "vekta-crashtest: the terminal found\n");
    }
    if (!fmRecycle) cart_ = nullptr;
    if (!fmPaymentTypeDialog) methods_ = nullptr;
    if (fmRecycle) scanned_ = false;
    if (visible(fmExpectation) && !fmRecycle && fmMain && fmMain->pos_type == ptVendotek &&
        (!scanned_ || sinceScan_.hasExpired(5000))) {
      scanned_ = true;
      sinceScan_.start();
      later([] { scan(fmExpectation, kWater); });
    } else if (visible(fmRecycle) && fmRecycle != cart_ &&
               fmRecycle->selected_goods().size() == 1) {
      cart_ = fmRecycle;
      later([] {
        scan(fmRecycle, kCroissant);
        scan(fmRecycle, kWater);
        press(fmRecycle->btPay);
      });
    } else if (visible(fmPaymentTypeDialog) && fmPaymentTypeDialog != methods_) {
      methods_ = fmPaymentTypeDialog;
      later([] { press(fmPaymentTypeDialog->btPay); });
    }
  }
  void later(std::function<void()> act) { QTimer::singleShot(0, &timer_, std::move(act)); }

  QTimer timer_;
  QPointer<QDialog> cart_, methods_, thanks_;
  const int salesWanted_;
  int sales_ = 0;
  bool thanksSeen_ = false;
  bool scanned_ = false;
  bool terminalSeen_ = false;
  QElapsedTimer sinceScan_;
};

int runKiosk(const QStringList& args) {
  const int port = argValue(args, "--port").toInt();
  const bool settle = args.contains(QStringLiteral("--settle"));
  const int sales = argValue(args, "--sales").toInt();
  const QString data = plat::dataFolder();
  const QString ports = qEnvironmentVariable("VEKTA_PORTS_DIR");
  if (port <= 0 || ports.isEmpty()) return fail(QStringLiteral("kiosk: --port and folders"));

  qputenv("VEKTA_OSK_COMMAND", "true");
  TfmMain::sberFolder = ports + QStringLiteral("/no-bridge");
  TfmMain::openHomeScreen = ShowExpectation;
  registerSaleScreens();
  const QString ini = data + QStringLiteral("/vekta.ini");
  if (!QFile::exists(ini) && !QFile::exists(ini + QLatin1Char('~'))) {
    TSettingsStorage ss;
    writeText(ss, SettingsKeys::host, QStringLiteral("127.0.0.1"));
    writeInt(ss, SettingsKeys::port, port);
    writeText(ss, SettingsKeys::login, QStringLiteral("demo"));
    writePassword(ss, SettingsKeys::password, QStringLiteral("demo"));
    if (const auto saved = ss.SaveToIniFile(ini); !saved) throw EFileError(saved.error);
  }

  VendotekSim terminal(ports, 3);
  TfmMain form;
  if (form.terminateRequested()) return fail(QStringLiteral("another kiosk holds the lock"));
  std::unique_ptr<LoopingCustomer> customer;
  QTimer closer;
  if (settle) {
    QObject::connect(&closer, &QTimer::timeout, [&] {
      // Also once the terminal is found, so that its port is saved and the
      // next start sells at once.
      if (visible(fmExpectation) && !fmRecycle && fmMain->pos_type == ptVendotek &&
          !hasQueuedEvents(data)) {
        closer.stop();
        fmMain->check_password_on_exit = false;
        fmExpectation->done(2);
      }
    });
    closer.start(100);
  } else {
    customer = std::make_unique<LoopingCustomer>(sales);
  }
  form.show();
  const bool closed =
      QTest::qWaitFor([] { return !fmExpectation && fmMain && !fmMain->isVisible(); },
                      settle ? 120000 : 24 * 3600 * 1000);
  if (closed) return 0;
  return fail(
      QStringLiteral("the kiosk did not settle: terminal %1, home screen %2, queued %3")
          .arg(fmMain ? int(fmMain->pos_type) : -1)
          .arg(visible(fmExpectation) ? QStringLiteral("shown") : QStringLiteral("not shown"))
          .arg(QDir(data + QStringLiteral("/Log")).entryList(QDir::Files).join(u' ')));
}

// The values a record file and its row must agree on.
QString recordKey(const TLogRecord& r) {
  return QStringLiteral("%1|%2|%3|%4|%5")
      .arg(r.event_id)
      .arg(r.descr)
      .arg(r.creditSource_id.isNull() ? QString() : r.creditSource_id.toString())
      .arg(r.amount.isNull() ? QString() : QString::number(std::round(r.amount.toDouble() * 100)))
      .arg(r.cell.isNull() ? QString() : r.cell.toString());
}

QString rowKey(const QVariantList& row) {
  auto text = [](const QVariant& v) { return v.isNull() ? QString() : v.toString(); };
  return QStringLiteral("%1|%2|%3|%4|%5")
      .arg(row[0].toInt())
      .arg(text(row[1]))
      .arg(text(row[2]))
      .arg(row[3].isNull() ? QString() : QString::number(std::round(row[3].toDouble() * 100)))
      .arg(text(row[4]));
}

int check(const QStringList& args) {
  const QString data = argValue(args, "--data");
  const QString snapshot = argValue(args, "--snapshot");
  const QString lslnFile = argValue(args, "--lsln-file");
  int faults = 0;
  auto fault = [&](const QString& what) {
    std::printf("FAULT %s\n", qPrintable(what));
    ++faults;
  };

  // The queue as the kill left it: each event exactly once in the back office.
  sim::SimDatabase db(argValue(args, "--db"));
  int events = 0, lost = 0, doubled = 0;
  for (const QString& name : QDir(snapshot).entryList(QDir::Files)) {
    QFile f(snapshot + QLatin1Char('/') + name);
    if (!f.open(QIODevice::ReadOnly)) continue;
    TLogRecord r;
    try {
      r = TLogRecord::fromFileBytes(name, f.readAll());
    } catch (const std::exception& e) {
      fault(QStringLiteral("event file %1 left by the kill does not load: %2")
                .arg(name, exceptionMessage(e)));
      continue;
    }
    ++events;
    const auto rows =
        db.select(QStringLiteral("select event_id, event_descr, creditSource_id, "
                                 "amount, cell from tbTerminalLog where event_no = ?"),
                  {qint64(r.no)})
            .rows;
    int same = 0;
    for (const auto& row : rows)
      if (rowKey(row) == recordKey(r)) ++same;
    if (same == 0) {
      ++lost;
      fault(QStringLiteral("event %1 (%2) never reached tbTerminalLog").arg(name, recordKey(r)));
    } else if (rows.size() > 1) {
      ++doubled;
      fault(QStringLiteral("event %1 is in tbTerminalLog %2 times").arg(name).arg(rows.size()));
    }
  }
  const int repeats = db.select(QStringLiteral("select count(*) from (select event_no from "
                                               "tbTerminalLog group by terminal_id, event_no "
                                               "having count(*) > 1)"))
                          .rows.value(0)
                          .value(0)
                          .toInt();
  if (repeats > 0) {
    doubled += repeats;
    fault(QStringLiteral("%1 event numbers are in tbTerminalLog twice").arg(repeats));
  }

  // Every file the next start reads loads with the kiosk's loaders.
  auto readable = [&](const QString& name) {
    QFile f(data + QLatin1Char('/') + name);
    if (!f.exists()) return false;
    if (!f.open(QIODevice::ReadOnly)) {
      fault(name + QStringLiteral(" cannot be opened"));
      return false;
    }
    return true;
  };
  for (const char* name : {"counters", "counters~"}) {
    if (!readable(QLatin1String(name))) continue;
    TCountersState state;
    // loadCounters falls back to the backup, so each file is read on its own.
    QTemporaryDir one;
    QFile::copy(data + QLatin1Char('/') + QLatin1String(name), one.filePath("counters"));
    state.dataFolder = one.path();
    loadCounters(state);
    try {
      getCounter(state, QStringLiteral("total_amount"), ckCard);
    } catch (const std::exception& e) {
      fault(QStringLiteral("%1: %2").arg(QLatin1String(name), exceptionMessage(e)));
    }
  }
  for (const char* name : {"vekta.ini", "vekta.ini~"}) {
    if (!readable(QLatin1String(name))) {
      fault(QStringLiteral("%1 is missing after a clean close").arg(QLatin1String(name)));
      continue;
    }
    try {
      TSettingsStorage ss;
      ss.LoadFromIniFile(data + QLatin1Char('/') + QLatin1String(name));
      if (readInt(ss, SettingsKeys::vm_id) <= 0)
        fault(QStringLiteral("%1 has no machine id").arg(QLatin1String(name)));
    } catch (const std::exception& e) {
      fault(QStringLiteral("%1: %2").arg(QLatin1String(name), exceptionMessage(e)));
    }
  }
  for (const char* name : {"tbDocVmServiceSale", "tbVmSettings"}) {
    if (!readable(QLatin1String(name))) continue;
    try {
      plat::MemTable t;
      t.LoadFromFile(data + QLatin1Char('/') + QLatin1String(name));
    } catch (const std::exception& e) {
      fault(QStringLiteral("%1: %2").arg(QLatin1String(name), exceptionMessage(e)));
    }
  }
  const QString logDir = data + QStringLiteral("/Log");
  for (const QString& name : QDir(logDir).entryList(QDir::Files)) {
    QFile f(logDir + QLatin1Char('/') + name);
    if (!f.open(QIODevice::ReadOnly)) continue;
    try {
      TLogRecord::fromFileBytes(name, f.readAll());
    } catch (const std::exception& e) {
      fault(QStringLiteral("event file %1: %2").arg(name, exceptionMessage(e)));
    }
  }
  if (!QDir(logDir + QStringLiteral("/bad")).entryList(QDir::Files).isEmpty())
    fault(QStringLiteral("event files were set aside as unreadable"));

  // lsln only goes forward.
  QFile lslnData(data + QStringLiteral("/lsln"));
  const quint32 lsln = lslnData.open(QIODevice::ReadOnly)
                           ? QString::fromLatin1(lslnData.readAll()).trimmed().toUInt()
                           : 0;
  QFile kept(lslnFile);
  const quint32 before =
      kept.open(QIODevice::ReadOnly) ? QString::fromLatin1(kept.readAll()).trimmed().toUInt() : 0;
  kept.close();
  if (lsln < before) fault(QStringLiteral("lsln went back from %1 to %2").arg(before).arg(lsln));
  if (kept.open(QIODevice::WriteOnly | QIODevice::Truncate))
    kept.write(QByteArray::number(std::max(lsln, before)));

  // Sales as a whole: once the queue is empty, the counters count exactly
  // the units whose events the back office got, cell by cell. A kill between
  // a sale's events and its count must cost neither of them.
  TCountersState counted;
  counted.dataFolder = data;
  loadCounters(counted);
  std::map<int, qint64> countedUnits, uploadedUnits;
  qint64 units = 0, unitEvents = 0;
  for (const QString& line : counted.counters) {
    if (!line.startsWith(u'd') && !line.startsWith(u's')) continue;
    const QStringList fields = line.split(u'\t');
    const int cell = fields[0].mid(1).toInt();
    for (int column = 1; column <= 3 && column < fields.size(); ++column) {
      countedUnits[cell] += fields[column].toLongLong();
      units += fields[column].toLongLong();
    }
  }
  for (const auto& row :
       db.select(QStringLiteral("select cell, count(*) from tbTerminalLog where event_id = 46 "
                                "group by cell"))
           .rows) {
    uploadedUnits[row[0].toInt()] = row[1].toLongLong();
    unitEvents += row[1].toLongLong();
  }
  // A disagreement found once stays in the files; each trial reports what
  // its own kill changed, kept per cell beside the lsln file.
  std::map<int, qint64> differenceBefore;
  QFile differenceFile(lslnFile + QStringLiteral(".counted"));
  if (differenceFile.open(QIODevice::ReadOnly))
    for (const QByteArray& line : differenceFile.readAll().split('\n'))
      if (const QList<QByteArray> f = line.split(' '); f.size() == 2)
        differenceBefore[f[0].toInt()] = f[1].toLongLong();
  differenceFile.close();
  std::map<int, qint64> cells = countedUnits;
  cells.insert(uploadedUnits.begin(), uploadedUnits.end());
  QByteArray differences;
  for (const auto& [cell, unused] : cells) {
    const qint64 inCounters = countedUnits[cell], uploaded = uploadedUnits[cell];
    const qint64 change = (inCounters - uploaded) - differenceBefore[cell];
    differences +=
        QByteArray::number(cell) + ' ' + QByteArray::number(inCounters - uploaded) + '\n';
    if (change == 0) continue;
    lost += int(std::abs(change));
    fault(QStringLiteral("cell %1: the counters count %2 units, the back office got %3 "
                         "(%4 %5 by this kill)")
              .arg(cell)
              .arg(inCounters)
              .arg(uploaded)
              .arg(std::abs(change))
              .arg(change < 0 ? QStringLiteral("fewer") : QStringLiteral("more")));
  }
  if (differenceFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
    differenceFile.write(differences);

  std::printf("events %d lost %d doubled %d lsln %u units %lld unit-events %lld\n", events, lost,
              doubled, lsln, units, unitEvents);
  return faults == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  const QString mode = args.value(1);
  try {
    if (mode == QLatin1String("prepare")) return prepare(argValue(args, "--db"));
    if (mode == QLatin1String("kiosk")) return runKiosk(args);
    if (mode == QLatin1String("check")) return check(args);
  } catch (const std::exception& e) {
    return fail(exceptionMessage(e));
  }
  return fail(QStringLiteral("usage: prepare | kiosk | check"));
}
