// EVA-DTS audits: the file the back office parses, its name, the timetable's
// next point, the main form's audit and schedule, and the upload of the files
// as rows of the stand-in back office.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

#include "backoffice/JClient.h"
#include "kiosk/Audit.h"
#include "kiosk/ConfigCycle.h"
#include "kiosk/Counters.h"
#include "kiosk/SetAsidePolicy.h"
#include "kiosk/SettingsKeys.h"
#include "kiosk/SettingsStorage.h"
#include "platform/Clock.h"
#include "platform/Common.h"
#include "platform/Exception.h"
#include "platform/TextCodec.h"
#include "support/FastClock.h"
#include "support/LocalZone.h"
#include "support/RefusalScript.h"
#include "testbed/ProtocolServer.h"
#include "testbed/SimDatabase.h"
#include "testbed/SimHandlers.h"

namespace {

TProduct product(bool isSnack, int cell, double price, quint32 card, quint32 sbp, quint32 badge,
                 quint32 discount) {
  TProduct p;
  p.isSnack = isSnack;
  p.cell = cell;
  p.price = price;
  p.counter = card;
  p.sbp_counter = sbp;
  p.yandexBadge_counter = badge;
  p.discount_kop = discount;
  return p;
}

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

QDateTime at(int y, int mo, int d, int h, int mi, int s = 0) {
  return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
}

// --- the file ----------------------------------------------------------------

TEST(AuditFile, GoldenTextOfCountersAndProducts) {
  const QString mac = GetMacAddress();
  // 0.125 roubles is 12.5 kopecks: ties go to the even 12.
  const std::vector<TProduct> drinks = {product(false, 3, 45.5, 7, 2, 1, 150),
                                        product(false, 12, 0.125, 0, 0, 0, 0)};
  const std::vector<TProduct> snacks = {product(true, 101, 60, 4, 0, 3, 25)};
  const QStringList lines = buildAuditLines("42", mac, 123456789012LL, drinks, snacks);
  const QByteArray expected =
      "DXS\r\n"
      "ID1*NVQ0000042*trevalo*\r\n"
      "MAC*" +
      mac.toLatin1() +
      "\r\n"
      "DA3*123456789012\r\n"
      "LA1*3*d3*4550**7\r\n"
      "LA1*1*d3*4550**2\r\n"
      "LA1*2*d3*4550**1\r\n"
      "DSC*d3*150\r\n"
      "LA1*3*d12*12**0\r\n"
      "LA1*1*d12*12**0\r\n"
      "LA1*2*d12*12**0\r\n"
      "DSC*d12*0\r\n"
      "LA1*3*s101*6000**4\r\n"
      "LA1*1*s101*6000**0\r\n"
      "LA1*2*s101*6000**3\r\n"
      "DSC*s101*25\r\n"
      "DXE\r\n";
  EXPECT_EQ(auditFileBytes(lines), expected);
}

TEST(AuditFile, SerialNumberPaddingAndEmptyAssortment) {
  const struct {
    const char* serial;
    const char* id1;
  } cases[] = {{"001", "ID1*NVQ0000001*trevalo*"},
               {"1234567", "ID1*NVQ1234567*trevalo*"},
               {"123456789012", "ID1*NVQ123456789012*trevalo*"}};
  for (const auto& c : cases) {
    const QStringList lines = buildAuditLines(c.serial, "00-00-00-00-00-00", 0, {}, {});
    EXPECT_EQ(lines, QStringList({"DXS", c.id1, "MAC*00-00-00-00-00-00", "DA3*0", "DXE"}))
        << c.serial;
  }
}

TEST(AuditFile, NameCarriesTimeAndReason) {
  const QDateTime t = at(2025, 1, 31, 8, 0, 0).addMSecs(750);
  EXPECT_EQ(auditFileName(t, arTimetable), "20250131_080000_1.dts");
  QDateTime dt;
  int reason = 0;
  parseAuditFileName("20241231_235958_5.dts", dt, reason);
  EXPECT_EQ(dt, at(2024, 12, 31, 23, 59, 58));
  EXPECT_EQ(reason, 5);
  // A second audit of the same second and reason.
  parseAuditFileName("20241231_235958_2_3.dts", dt, reason);
  EXPECT_EQ(dt, at(2024, 12, 31, 23, 59, 58));
  EXPECT_EQ(reason, 2);
  for (const char* bad :
       {"notes.dts", "20251331_080000_1.dts", "20250131_080000_x.dts", "20250131-080000_1.dts",
        "2025013_1080000_1.dts", "20250131_080000_1_.dts", "20250131_080000_1_x.dts",
        "20250131_080000_1_2_3.dts", "20250131_080000__2.dts"}) {
    EXPECT_THROW(parseAuditFileName(bad, dt, reason), EConvertError) << bad;
  }
}

// --- the timetable -------------------------------------------------------------

TEST(AuditTimetable, NextPoint) {
  const auto hhmm = [](const char* text) { return TConfigCycle::parseAuditTimetable(text); };
  const QDateTime today930 = at(2025, 3, 10, 9, 30);
  const struct Case {
    const char* name;
    std::vector<double> times;
    QDateTime last;
    QDateTime now;
    bool scheduled;
    QDateTime next;
    bool due;
  } cases[] = {
      {"a passed point later than the last audit is caught up", hhmm("08002000"),
       at(2025, 3, 9, 20, 0), today930, true, at(2025, 3, 10, 8, 0), true},
      {"after the catch-up the evening point", hhmm("08002000"), today930, today930, true,
       at(2025, 3, 10, 20, 0), false},
      {"today's only point done: tomorrow", hhmm("0300"), at(2025, 3, 10, 3, 0),
       at(2025, 3, 10, 3, 0, 1), true, at(2025, 3, 11, 3, 0), false},
      {"never audited, before the first point", hhmm("0800"), QDateTime(), at(2025, 3, 10, 1, 0),
       true, at(2025, 3, 10, 8, 0), false},
      {"first fitting entry, not the earliest", hhmm("20000800"), at(2025, 3, 10, 7, 0),
       at(2025, 3, 10, 7, 30), true, at(2025, 3, 10, 20, 0), false},
      {"no timetable: nothing", {}, QDateTime(), today930, false, QDateTime(), false},
      {"a negative time never comes due twice",
       {-1.0 / 24},
       today930,
       today930,
       true,
       at(2025, 3, 10, 23, 0),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TAuditPlan plan = planNextAudit(c.times, c.last, c.now);
    EXPECT_EQ(plan.scheduled, c.scheduled);
    if (!c.scheduled) continue;
    EXPECT_EQ(plan.next, c.next);
    EXPECT_EQ(plan.dueNow, c.due);
    if (!c.due) {
      EXPECT_EQ(plan.intervalMs, c.now.msecsTo(c.next) + 500);
    }
  }
}

// The main form's audit, with a clock of the test's own.
struct AuditFixture {
  QTemporaryDir dir;
  TSettingsStorage ss;
  TVmConfig config;
  TCountersState counters;
  TProductCatalog products;
  QDateTime last;
  QTimer timer;
  QDateTime now = at(2025, 3, 10, 9, 30);
  int written = 0;
  TAuditScheduler scheduler{{}};

  AuditFixture() {
    ss.IniFileName = dir.filePath("vekta.ini");
    config.protocolSerialNumber = "007";
    counters.total_cashless_amount_kop = 900;
    products.setProducts({product(false, 1, 10, 1, 0, 0, 0)}, {});
    TAuditContext ctx;
    ctx.dataFolder = dir.path();
    ctx.SS = &ss;
    ctx.config = &config;
    ctx.counters = &counters;
    ctx.products = &products;
    ctx.last_audit_dt = &last;
    ctx.tmAudit = &timer;
    ctx.mac = [] { return QStringLiteral("02-00-00-00-00-01"); };
    ctx.now = [this] { return now; };
    ctx.fileWritten = [this] { ++written; };
    scheduler.ctx = ctx;
  }
  QStringList files() { return QDir(dir.filePath("Audit")).entryList(QDir::Files, QDir::Name); }
};

TEST(AuditScheduler, CatchesUpAtStartThenArmsForTheNextPoint) {
  AuditFixture f;
  f.config.auditTime = TConfigCycle::parseAuditTimetable("08002000");
  f.last = at(2025, 3, 9, 20, 0);
  f.scheduler.scheduleNextAudit();

  EXPECT_EQ(f.files(), QStringList({"20250310_093000_1.dts"}));
  EXPECT_EQ(f.written, 1);
  EXPECT_EQ(f.last, f.now);
  EXPECT_EQ(f.scheduler.next_audit_tm, at(2025, 3, 10, 20, 0));
  EXPECT_TRUE(f.timer.isActive());
  EXPECT_EQ(f.timer.interval(), 10 * 3600 * 1000 + 30 * 60 * 1000 + 500);
  EXPECT_TRUE(f.timer.isSingleShot());
  // The time of the audit survives a restart.
  TSettingsStorage back;
  back.LoadFromIniFile(f.ss.IniFileName);
  EXPECT_EQ(readDateTime(back, SettingsKeys::last_audit_dt), f.now);

  // A tick that comes early re-arms; the one at the point audits.
  f.now = at(2025, 3, 10, 19, 59, 59);
  f.scheduler.tmAuditTimer();
  EXPECT_EQ(f.files().size(), 1);
  EXPECT_EQ(f.timer.interval(), 1500);
  f.now = at(2025, 3, 10, 20, 0, 0);
  f.scheduler.tmAuditTimer();
  EXPECT_EQ(f.files(), QStringList({"20250310_093000_1.dts", "20250310_200000_1.dts"}));
  EXPECT_EQ(f.scheduler.next_audit_tm, at(2025, 3, 11, 8, 0));
}

TEST(AuditScheduler, SameSecondKeepsBothAndAFailedWriteStillCountsAsDone) {
  AuditFixture f;
  f.scheduler.makeAudit(arRequested);
  f.counters.total_cashless_amount_kop = 1000;
  f.scheduler.makeAudit(arRequested);
  // The first one waits set aside by then: its name is still taken.
  ASSERT_TRUE(TSetAsidePolicy::moveInto(f.dir.filePath("Audit/20250310_093000_2.dts"),
                                        f.dir.filePath("Audit/refused")));
  f.scheduler.makeAudit(arRequested);
  ASSERT_EQ(f.files(), QStringList({"20250310_093000_2_2.dts", "20250310_093000_2_3.dts"}));
  EXPECT_TRUE(
      readFile(f.dir.filePath("Audit/refused/20250310_093000_2.dts")).contains("DA3*900\r\n"));
  EXPECT_TRUE(readFile(f.dir.filePath("Audit/20250310_093000_2_2.dts")).contains("DA3*1000\r\n"));
  EXPECT_FALSE(f.timer.isActive());  // no timetable, nothing scheduled

  // "Audit" is a file here, so no audit can be written.
  QDir(f.dir.filePath("Audit")).removeRecursively();
  writeFile(f.dir.filePath("Audit"), "in the way");
  f.now = at(2025, 3, 10, 10, 0);
  f.scheduler.makeAudit(arRequested);
  EXPECT_EQ(f.last, f.now);
  EXPECT_EQ(f.written, 3);
}

// --- upload ----------------------------------------------------------------------

bool waitFor(const std::function<bool()>& done, int ms = 20'000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

struct Backoffice {
  QTemporaryDir dir;
  sim::SimDatabase db{dir.filePath("bo.sqlite")};
  sim::SimHandlers handlers{db, dir.path()};
  ProtocolServer server;
  TJClient client;
  QString data = dir.filePath("data");

  Backoffice() {
    db.exec("insert into tbUser(login, password, name) values ('kiosk', 'pw', 'Kiosk')");
    handlers.install(server);
    server.start();
    client.setHost("127.0.0.1");
    client.setPort(server.port());
    client.setLogin("kiosk");
    client.setPassword("pw");
    client.setServerType("DR");
    client.setShowProgress(false);
  }
  sim::ResultSet rows() {
    return db.select(
        "select vm_id, terminal_id, prgName, auditReason_id, audit_file, status from tbVmAudit "
        "order by id");
  }
  QString audit(const char* name) { return QDir(data).filePath(QString("Audit/") + name); }
};

const TUploadPass kIds{QVariant(qint64(5)), QVariant(qint64(9))};

TEST(AuditUpload, OldestFirstAsRowsThenDeleted) {
  Backoffice bo;
  const QByteArray first = auditFileBytes(buildAuditLines("1", "M", 10, {}, {}));
  const QByteArray second = auditFileBytes(buildAuditLines("1", "M", 20, {}, {}));
  writeFile(bo.audit("20250310_093000_5.dts"), second);
  writeFile(bo.audit("20250310_080000_1.dts"), first);
  writeFile(bo.audit("20250310_070000_1.dts"), "DXS\r\nDXE\r\n");  // too short: dropped
  writeFile(bo.audit("0 copy of an audit.dts"), first);  // not ours: left alone, blocks nothing

  TUploadingThread uploader({bo.data, {}, {}, {}});
  uploader.uploadPending(bo.client, kIds);

  const sim::ResultSet rs = bo.rows();
  ASSERT_EQ(rs.rows.size(), 2u);
  const QVariantList r0 = rs.rows[0];
  EXPECT_EQ(r0[0].toInt(), 5);
  EXPECT_EQ(r0[1].toInt(), 9);
  EXPECT_EQ(r0[2].toString(), "List 2");
  EXPECT_EQ(r0[3].toInt(), 1);
  EXPECT_EQ(r0[4].toString().toLatin1(), first);
  EXPECT_EQ(r0[5].toInt(), 1);
  EXPECT_EQ(rs.rows[1][3].toInt(), 5);
  EXPECT_EQ(rs.rows[1][4].toString().toLatin1(), second);
  const QVariant dt =
      bo.db.select("select audit_dt from tbVmAudit order by id limit 1").rows.at(0).at(0);
  EXPECT_TRUE(dt.toString().startsWith("2025-03-10")) << dt.toString().toStdString();
  EXPECT_TRUE(dt.toString().contains("08:00:00")) << dt.toString().toStdString();
  EXPECT_EQ(QDir(QDir(bo.data).filePath("Audit")).entryList(QDir::Files),
            QStringList({"0 copy of an audit.dts"}));
}

TEST(AuditUpload, ServerDownKeepsTheFileFirstAndUnknownIdsWait) {
  Backoffice bo;
  const QByteArray text = auditFileBytes(buildAuditLines("1", "M", 10, {}, {}));
  writeFile(bo.audit("20250310_080000_1.dts"), text);
  writeFile(bo.audit("20250310_090000_1.dts"), text);
  TUploadingThread uploader({bo.data, {}, {}, {}});

  uploader.uploadPending(bo.client, TUploadPass{});  // ids not known yet
  EXPECT_TRUE(uploader.pending().isEmpty());

  bo.server.stop();
  EXPECT_ANY_THROW(uploader.uploadPending(bo.client, kIds));
  EXPECT_EQ(uploader.pending(), QStringList({"20250310_080000_1.dts", "20250310_090000_1.dts"}));
  EXPECT_TRUE(QFile::exists(bo.audit("20250310_080000_1.dts")));
}

TEST(AuditUpload, WorkerUploadsANewFileAtOnce) {
  Backoffice bo;
  std::atomic<int> passes{0};
  TUploadingContext ctx;
  ctx.dataFolder = bo.data;
  ctx.synchronize = [&](TJClient& c, TUploadPass& pass) {
    c.Assign(bo.client);
    pass = kIds;
    ++passes;
  };
  TUploadingThread uploader(ctx);
  uploader.start();
  // The first pass finds the folder empty and waits a minute: only the
  // nudge can bring the new file up within the test's time.
  ASSERT_TRUE(waitFor([&] { return passes.load() == 1; }));
  QElapsedTimer settle;
  settle.start();
  waitFor([&] { return settle.elapsed() > 200; });
  writeFile(bo.audit("20250310_080000_2.dts"),
            auditFileBytes(buildAuditLines("1", "M", 1, {}, {})));
  uploader.checkNow();
  EXPECT_TRUE(waitFor([&] { return bo.rows().rows.size() == 1; }));
  EXPECT_TRUE(waitFor([&] { return !QFile::exists(bo.audit("20250310_080000_2.dts")); }));
}

// One pass per letter of the script, the clock moving between them; then the
// server takes everything again and an hour goes by.
TEST(AuditUpload, AFileRefusedForAnHourIsSetAsideAndArrivesOnceTaken) {
  for (const auto& c : testkit::kRefusalCases) {
    SCOPED_TRACE(c.script);
    plat::ManualClock clock;
    testkit::ClockScope clockScope(&clock);
    Backoffice bo;
    testkit::RefusalScript script(bo.server, bo.handlers, bo.db, "tbVmAudit",
                                  "new.auditReason_id = 1");
    const QByteArray text = auditFileBytes(buildAuditLines("1", "M", 10, {}, {}));
    writeFile(bo.audit("20250310_080000_1.dts"), text);
    writeFile(bo.audit("20250310_090000_2.dts"), text);
    QStringList logLines;
    std::vector<std::pair<int, QString>> events;
    TUploadingContext ctx;
    ctx.dataFolder = bo.data;
    ctx.log = [&](const QString& line) { logLines << line; };
    ctx.event = [&](int id, const QString& descr) { events.emplace_back(id, descr); };
    TUploadingThread uploader(ctx);

    const QString refused = QDir(bo.data).filePath("Audit/refused/20250310_080000_1.dts");
    const QString letters = QString::fromLatin1(c.script);
    for (int pass = 1; pass <= letters.size(); ++pass) {
      SCOPED_TRACE(pass);
      script.beforePass(letters[pass - 1]);
      try {
        uploader.uploadPending(bo.client, kIds);
      } catch (const std::exception&) {
      }
      clock.advance(c.stepMs);
      const bool setAside = c.setAsideAtPass != 0 && pass >= c.setAsideAtPass;
      ASSERT_EQ(QFile::exists(refused), setAside);
      EXPECT_EQ(bo.rows().rows.size(), setAside ? 1u : 0u);
      EXPECT_EQ(events.size(), setAside ? 1u : 0u);
    }
    if (c.setAsideAtPass != 0) {
      EXPECT_EQ(events.at(0).first, 1);
      EXPECT_TRUE(events.at(0).second.contains("20250310_080000_1.dts"));
      EXPECT_TRUE(logLines.join('\n').contains("Audit/refused"));
    }
    script.recover();
    clock.advance(TSetAsidePolicy::kRetryIntervalMs);
    uploader.uploadPending(bo.client, kIds);
    const sim::ResultSet rs = bo.rows();
    ASSERT_EQ(rs.rows.size(), 2u);
    EXPECT_EQ(bo.db.select("select count(*) from tbVmAudit where auditReason_id = 1")
                  .rows.at(0)
                  .at(0)
                  .toInt(),
              1);
    EXPECT_EQ(rs.rows[0][4].toString().toLatin1(), text);
    EXPECT_EQ(QDir(QDir(bo.data).filePath("Audit")).entryList(QDir::Files), QStringList());
    EXPECT_FALSE(QFile::exists(refused));
  }
}

// --- an audit whose answer was lost ---------------------------------------------

// A value of an insert (request 7): its fields come as name, type, value.
WireValue field(const ServerRequest& rq, const char* name) {
  for (size_t i = 4; i + 2 < rq.params.size(); i += 3)
    if (rq.params[i].toString() == QLatin1String(name)) return rq.params[i + 2];
  return WireValue::null();
}

// The stand-in stores the audit of 08:00, and the answer to its first insert
// never reaches the kiosk: the link closes instead, or the answer comes after
// the kiosk stopped waiting for it.
struct LostAnswer {
  const char* name;
  bool late;
};
const LostAnswer kLostAnswers[] = {{"link closed instead of the answer", false},
                                   {"answer after the time-out", true}};

void loseTheNextAnswer(Backoffice& bo, const LostAnswer& how) {
  auto armed = std::make_shared<std::atomic<bool>>(true);
  bo.server.setRequestHandler([&bo, how, armed](const ServerRequest& rq, ServerReply& rep) {
    bo.handlers.handle(rq, rep);
    if (rq.code != 7 || field(rq, "audit_dt").toQDateTime().time().hour() != 8 ||
        !armed->exchange(false))
      return;
    if (how.late)
      bo.server.addFault({ServerFault::StallAfterBytes, 0, 1500, {}});
    else
      bo.server.addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
  });
  if (how.late) {
    bo.client.connect(30);
    bo.client.setTimeoutCapMs(300);  // the insert's 30 s, shortened
  }
}

int inserts(Backoffice& bo) {
  int n = 0;
  for (const ServerRequest& rq : bo.server.requests()) n += rq.code == 7 ? 1 : 0;
  return n;
}

// Rows of this machine's audit of 2025-03-10 08:00:00, reason 1.
int storedAt8(Backoffice& bo) {
  return bo.db
      .select(
          "select count(*) from tbVmAudit where vm_id = 5 and auditReason_id = 1 and "
          "audit_dt like '2025-03-10 08:00:00%'")
      .rows.at(0)
      .at(0)
      .toInt();
}

// Nothing in the table refuses a second row of one audit: sent again after
// its answer was lost, the audit would be there twice.
TEST(AuditUpload, AnAuditWhoseAnswerWasLostIsLookedUpAndNotStoredTwice) {
  for (const LostAnswer& how : kLostAnswers) {
    for (const bool setAside : {false, true}) {
      SCOPED_TRACE(how.name);
      SCOPED_TRACE(setAside ? "set aside" : "first in line");
      Backoffice bo;
      const QByteArray lost = auditFileBytes(buildAuditLines("1", "M", 10, {}, {}));
      const QByteArray next = auditFileBytes(buildAuditLines("1", "M", 20, {}, {}));
      TUploadingThread uploader({bo.data, {}, {}, {}});
      const QString name = QString(setAside ? "refused/" : "") + "20250310_080000_1.dts";
      writeFile(bo.audit(name.toLatin1().constData()), lost);
      writeFile(bo.audit("20250310_090000_2.dts"), next);
      loseTheNextAnswer(bo, how);

      EXPECT_ANY_THROW(uploader.uploadPending(bo.client, kIds));
      EXPECT_EQ(storedAt8(bo), 1);
      EXPECT_TRUE(QFile::exists(bo.audit(name.toLatin1().constData())));

      bo.client.setTimeoutCapMs(0);
      uploader.uploadPending(bo.client, kIds);
      EXPECT_EQ(storedAt8(bo), 1);
      EXPECT_EQ(bo.rows().rows.size(), 2u);
      EXPECT_EQ(inserts(bo), 2);
      EXPECT_EQ(bo.db
                    .select("select count(*) from tbVmAudit where audit_file = '" +
                            QString::fromLatin1(lost) + "'")
                    .rows.at(0)
                    .at(0)
                    .toInt(),
                1);
      EXPECT_EQ(QDir(QDir(bo.data).filePath("Audit")).entryList(QDir::Files), QStringList());
      EXPECT_EQ(QDir(QDir(bo.data).filePath("Audit/refused")).entryList(QDir::Files),
                QStringList());
    }
  }
}

// The program ends while it waits for the answer (a kill, a power cut): the
// next run finds the file and cannot tell whether the row was stored.
TEST(AuditUpload, AfterARestartAnAuditLeftOnDiskIsLookedUpBeforeItGoesAgain) {
  struct Case {
    const char* name;
    bool setAside;
    std::function<void(Backoffice&)> firstRun;  // null: no upload before the restart
  };
  const Case cases[] = {
      {"stored, its answer lost", false,
       [](Backoffice& bo) { loseTheNextAnswer(bo, kLostAnswers[0]); }},
      {"set aside, stored, its answer lost", true,
       [](Backoffice& bo) { loseTheNextAnswer(bo, kLostAnswers[0]); }},
      {"never reached the server", false,
       [](Backoffice& bo) {
         bo.server.addFault({ServerFault::CloseBeforeGreeting, 0, 0, {}});
       }},
      {"only other machines, reasons and seconds there", false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Backoffice bo;
    const QString name = QString(c.setAside ? "refused/" : "") + "20250310_080000_1.dts";
    writeFile(bo.audit(name.toLatin1().constData()),
              auditFileBytes(buildAuditLines("1", "M", 10, {}, {})));
    bo.db.exec(
        "insert into tbVmAudit(vm_id, terminal_id, audit_dt, auditReason_id, audit_file) values "
        "(6, 9, '2025-03-10 08:00:00.000', 1, 'other machine'), "
        "(5, 9, '2025-03-10 08:00:00.000', 2, 'other reason'), "
        "(5, 9, '2025-03-10 07:59:59.999', 1, 'second before'), "
        "(5, 9, '2025-03-10 08:00:01.000', 1, 'second after')");
    if (c.firstRun) {
      c.firstRun(bo);
      TUploadingThread before({bo.data, {}, {}, {}});
      EXPECT_ANY_THROW(before.uploadPending(bo.client, kIds));
    }
    bo.server.setRequestHandler(
        [&](const ServerRequest& rq, ServerReply& rep) { bo.handlers.handle(rq, rep); });

    TUploadingThread after({bo.data, {}, {}, {}});
    after.uploadPending(bo.client, kIds);
    EXPECT_EQ(storedAt8(bo), 1);
    EXPECT_EQ(bo.rows().rows.size(), 5u);
    EXPECT_FALSE(QFile::exists(bo.audit(name.toLatin1().constData())));
  }
}

// Audits set aside, each refused only after three seconds, and the link
// breaking in the middle of a round: a new audit goes first, a pass spends
// only its share of time on the round, and the round goes on from where it
// stopped rather than from its first file.
TEST(AuditUpload, ARoundOfAuditsSetAsideYieldsIsBoundedAndGoesOnWhereItStopped) {
  plat::ManualClock clock;
  testkit::ClockScope clockScope(&clock);
  Backoffice bo;
  bo.db.exec(
      QString::fromUtf8("create trigger refused before insert on tbVmAudit when "
                        "new.auditReason_id = 1 begin select raise(abort, 'Аудит не принят'); "
                        "end"));
  const QByteArray text = auditFileBytes(buildAuditLines("1", "M", 10, {}, {}));
  for (int hour = 1; hour <= 5; ++hour)
    writeFile(bo.audit(QStringLiteral("refused/20250310_%1_1.dts")
                           .arg(hour * 10000, 6, 10, QLatin1Char('0'))
                           .toLatin1()
                           .constData()),
              text);
  TUploadingThread uploader({bo.data, {}, {}, {}});
  int refusedInserts = 0;
  bo.server.setRequestHandler([&](const ServerRequest& rq, ServerReply& rep) {
    if (rq.code == 7 && field(rq, "auditReason_id").toInt() == 1) {
      clock.advance(3'000);
      ++refusedInserts;
      if (refusedInserts == 1) {
        writeFile(bo.audit("20250311_120000_2.dts"), text);
        uploader.checkNow();
      }
      if (refusedInserts == 4) {
        bo.server.addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
        return rep.refuse("cut");
      }
    }
    bo.handlers.handle(rq, rep);
  });
  // Each insert by the hour of its audit; the new one as 0.
  auto sent = [&] {
    QList<int> out;
    for (const ServerRequest& rq : bo.server.requests())
      if (rq.code == 7) {
        const QDateTime dt = field(rq, "audit_dt").toQDateTime();
        out << (dt.date().day() == 11 ? 0 : dt.time().hour());
      }
    return out;
  };
  QList<QList<int>> passes;
  for (int pass = 0; pass < 5; ++pass) {
    const qsizetype before = sent().size();
    try {
      uploader.uploadPending(bo.client, kIds);
    } catch (const std::exception&) {
    }
    passes << sent().mid(before);
  }
  EXPECT_EQ(passes, (QList<QList<int>>{{1}, {0, 2, 3}, {4}, {4, 5}, {}}));
  EXPECT_EQ(bo.db.select("select count(*) from tbVmAudit where auditReason_id = 2")
                .rows.at(0)
                .at(0)
                .toInt(),
            1);
  EXPECT_EQ(QDir(QDir(bo.data).filePath("Audit/refused")).entryList(QDir::Files).size(), 5);
}

// When summer time ends, 02:30:00 comes twice. An audit at each instant, with
// the same counters, so the two files say the same and only their moments
// differ. Each reaches the server once, whatever happens to the second
// one's insert, and a restart in between changes nothing.
TEST(AuditUpload, TwoAuditsOfASecondShownTwiceAreBothStored) {
  enum Fate { notSent, taken, cutUnstored, storedAnswerLost };
  struct Case {
    const char* name;
    bool firstUploadedBefore;  // else both wait on disk together
    Fate second;               // what happens to the second audit's first pass
    bool restart;              // the program starts again after that pass
  };
  const Case cases[] = {
      {"both wait, both taken", false, taken, false},
      {"both wait, restart", false, taken, true},
      {"both wait, second cut off unstored", false, cutUnstored, false},
      {"both wait, second stored, answer lost, restart", false, storedAnswerLost, true},
      {"first gone, restart before the second goes", true, notSent, true},
      {"first gone, second cut off unstored", true, cutUnstored, false},
      {"first gone, second cut off unstored, restart", true, cutUnstored, true},
      {"first gone, second stored, answer lost", true, storedAnswerLost, false},
      {"first gone, second stored, answer lost, restart", true, storedAnswerLost, true},
  };
  testkit::LocalZone zone("Europe/Berlin");
  const QDateTime summer = QDateTime(QDate(2025, 10, 26), QTime(0, 30), Qt::UTC).toLocalTime();
  const QDateTime winter = summer.addSecs(3600);
  ASSERT_EQ(summer.time(), QTime(2, 30));
  ASSERT_EQ(winter.time(), QTime(2, 30));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Backoffice bo;
    AuditFixture f;
    f.scheduler.ctx.dataFolder = bo.data;
    auto uploader = std::make_unique<TUploadingThread>(TUploadingContext{bo.data, {}, {}, {}});
    auto files = [&] { return QDir(QDir(bo.data).filePath("Audit")).entryList(QDir::Files); };

    f.now = summer;
    f.scheduler.makeAudit(arRequested);
    if (c.firstUploadedBefore) {
      uploader->uploadPending(bo.client, kIds);
      ASSERT_EQ(bo.rows().rows.size(), 1u);
    }
    f.now = winter;
    f.scheduler.makeAudit(arRequested);
    if (!c.firstUploadedBefore) {
      EXPECT_EQ(files(), QStringList({"20251026_023000_2.dts", "20251026_023000_2_2.dts"}));
    }

    auto count = std::make_shared<std::atomic<int>>(0);
    // The second audit's first insert.
    const int target = c.firstUploadedBefore ? 1 : 2;
    bo.server.setRequestHandler(
        [&bo, count, target, fate = c.second](const ServerRequest& rq, ServerReply& rep) {
          const bool second = rq.code == 7 && ++*count == target;
          if (second && fate == cutUnstored) {
            bo.server.addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
            return rep.refuse("cut");
          }
          bo.handlers.handle(rq, rep);
          if (second && fate == storedAnswerLost)
            bo.server.addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
        });
    if (c.second != notSent) {
      try {
        uploader->uploadPending(bo.client, kIds);
      } catch (const std::exception&) {
      }
    }
    if (c.restart)
      uploader = std::make_unique<TUploadingThread>(TUploadingContext{bo.data, {}, {}, {}});
    uploader->uploadPending(bo.client, kIds);

    EXPECT_GE(count->load(), c.second == notSent ? 1 : target);
    EXPECT_EQ(bo.db
                  .select("select count(*) from tbVmAudit where vm_id = 5 and auditReason_id = 2 "
                          "and audit_dt like '2025-10-26 02:30:00%' and audit_file like '%DA3*900"
                          "\r\n%'")
                  .rows.at(0)
                  .at(0)
                  .toInt(),
              2);
    EXPECT_EQ(bo.rows().rows.size(), 2u);
    EXPECT_EQ(files(), QStringList());
  }
}

// The first of two such audits waited set aside, and its insert went out
// again without an answer. Its twin, made meanwhile, goes first; a count that
// included the twin's row would take the first one for stored.
TEST(AuditUpload, AnAuditInDoubtIsSettledBeforeItsTwinGoes) {
  testkit::LocalZone zone("Europe/Berlin");
  const QDateTime summer = QDateTime(QDate(2025, 10, 26), QTime(0, 30), Qt::UTC).toLocalTime();
  for (const bool stored : {false, true}) {
    SCOPED_TRACE(stored ? "stored, answer lost" : "cut off unstored");
    plat::ManualClock clock;
    testkit::ClockScope clockScope(&clock);
    Backoffice bo;
    AuditFixture f;
    f.scheduler.ctx.dataFolder = bo.data;
    TUploadingThread uploader({bo.data, {}, {}, {}});
    auto pass = [&] {
      try {
        uploader.uploadPending(bo.client, kIds);
      } catch (const std::exception&) {
      }
    };
    const QString first = QDir(bo.data).filePath("Audit/refused/20251026_023000_2.dts");

    f.now = summer;
    f.scheduler.makeAudit(arRequested);
    {
      const testkit::RefusalCase& c = testkit::kRefusalCases[0];
      testkit::RefusalScript script(bo.server, bo.handlers, bo.db, "tbVmAudit", "1 = 1");
      for (const char* letter = c.script; *letter; ++letter) {
        script.beforePass(QLatin1Char(*letter));
        pass();
        clock.advance(c.stepMs);
      }
      ASSERT_TRUE(QFile::exists(first));
      script.recover();
    }
    auto armed = std::make_shared<std::atomic<bool>>(true);
    bo.server.setRequestHandler([&bo, armed, stored](const ServerRequest& rq, ServerReply& rep) {
      const bool cut = rq.code == 7 && armed->exchange(false);
      if (cut && !stored) {
        bo.server.addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
        return rep.refuse("cut");
      }
      bo.handlers.handle(rq, rep);
      if (cut) bo.server.addFault({ServerFault::CloseAfterBytes, 0, 0, {}});
    });
    clock.advance(TSetAsidePolicy::kRetryIntervalMs);
    pass();
    ASSERT_FALSE(armed->load());
    ASSERT_TRUE(QFile::exists(first));

    f.now = summer.addSecs(3600);
    f.scheduler.makeAudit(arRequested);
    ASSERT_EQ(QDir(QDir(bo.data).filePath("Audit")).entryList(QDir::Files),
              QStringList({"20251026_023000_2_2.dts"}));
    for (int round = 0; round < 3; ++round) {
      pass();
      clock.advance(TSetAsidePolicy::kRetryIntervalMs);
    }
    EXPECT_EQ(bo.rows().rows.size(), 2u);
    EXPECT_EQ(QDir(QDir(bo.data).filePath("Audit")).entryList(QDir::Files), QStringList());
    EXPECT_FALSE(QFile::exists(first));
  }
}

}  // namespace
