// Writes the seed corpus of every fuzz target under the folder given (the
// checked-in copy lives in fuzz/corpus/): real frames, streams and files
// made by the project's own encoders, as the tests' golden bytes are. One
// seed is not made here: schema_xml/schema_test is the schema of the schema
// tests, copied from tests/backoffice/SchemaTest.cpp.
//
//   build-fuzz/bin/vekta_fuzz_corpus fuzz/corpus
#include <QDir>
#include <QFile>
#include <cstdio>

#include "backoffice/TableStream.h"
#include "backoffice/WireCodec.h"
#include "devices/CarimaliDevice.h"
#include "devices/D200_Sberbank.h"
#include "devices/TervinDevice.h"
#include "devices/Vendotek.h"
#include "fuzz/TableFile.h"
#include "kiosk/LogThread.h"
#include "platform/MemTable.h"

namespace {

QString root;

void seed(const char* target, const char* name, const QByteArray& bytes) {
  const QString dir = root + QLatin1Char('/') + QString::fromLatin1(target);
  QDir().mkpath(dir);
  QFile f(dir + QLatin1Char('/') + QString::fromLatin1(name));
  if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
    std::fprintf(stderr, "cannot write %s/%s\n", target, name);
    std::exit(1);
  }
}

QByteArray hex(const char* h) {
  return QByteArray::fromHex(QByteArray(h).replace(' ', ""));
}

QByteArray value(const WireValue& v) {
  return encodeValue(v);
}

// A length byte and the bytes, as fuzz::pieces() reads them back.
QByteArray piece(const QByteArray& b) {
  return QByteArray(1, char(b.size())) + b.left(255);
}

void goods(plat::MemTable& t) {
  t.AddField(QStringLiteral("id"), ftInteger);
  t.AddField(QStringLiteral("name"), ftString, 50);
  t.AddField(QStringLiteral("price"), ftFloat, 0, 15);
  t.AddField(QStringLiteral("dt"), ftDateTime);
  t.Open();
  for (int i = 1; i <= 2; ++i) {
    t.Append();
    t.FieldByIndex(0)->SetAsInteger(i);
    t.FieldByIndex(1)->SetAsString(i == 1 ? QStringLiteral("Чай") : QStringLiteral("milk"));
    t.FieldByIndex(2)->SetAsFloat(1.5 * i);
    t.Post();
  }
}

QByteArray goodsStream() {
  plat::MemTable t;
  goods(t);
  QByteArray out;
  writeTable(out, t);
  return out;
}

// A reply batch to request number 1 with the given entries.
QByteArray replyBatch(uint16_t error, const QByteArray& message, const QByteArray& entries,
                      uint16_t count) {
  QByteArray b;
  putU8(b, 0x52);
  putU8(b, 1);
  putU16(b, error);
  putU16(b, error ? 1 : 0);
  putU16(b, uint16_t(message.size()));
  b += message;
  putU16(b, count);
  return b + entries;
}

QByteArray entry(const TVariantArray& results, const QList<QByteArray>& tables) {
  QByteArray e;
  putU16(e, uint16_t(results.size()));
  for (const auto& v : results) e += value(v);
  putU16(e, uint16_t(tables.size()));
  for (const auto& t : tables) e += t;
  return e;
}

QByteArray tervin(int type, int num, int code, const QList<QPair<QByteArray, int>>& params) {
  TPacket p;
  p.packetType = type;
  p.packetNum = num;
  p.code = code;
  for (const auto& [v, t] : params) p.addParam(v, t);
  return encodeTervinPacket(p);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  root = QString::fromLocal8Bit(argv[1]);

  // ---- wire values ----
  const char* wires[] = {"00",
                         "0A",
                         "0B",
                         "01 03 61 62 63",
                         "01 01 DF",
                         "02 00 00 00 01 FF",
                         "0C 00 00 00 01 FF",
                         "04 FF",
                         "09 FF 7F",
                         "07 00 00 80 00",
                         "08 FF FF FF FF FF FF FF FE",
                         "05 3F F0 00 00 00 00 00 00",
                         "06 3F 80 00 00",
                         "03 00 00 00 00 00 00 00 00",
                         "0D 00 00 00 02 41 00"};
  QByteArray all("\x01", 1);
  for (const char* w : wires) all += hex(w);
  seed("wire_value", "every_tag", all);
  seed("wire_value", "announced_64mib", hex("00 02 04 00 00 00 01 02 03"));

  // ---- table stream and reply batch ----
  const QByteArray stream = goodsStream();
  seed("table_stream", "goods", stream);
  seed("table_stream", "no_columns_with_a_row", hex("04 00 04 00 04 01"));
  seed("table_stream", "error_text", value(-1) + value(QStringLiteral("Ошибка SQL")));
  seed("reply_batch", "two_requests",
       replyBatch(
           0, {},
           entry({WireValue(7), WireValue(QStringLiteral("ok"))}, {stream}) + entry({}, {stream}),
           2));
  seed("reply_batch", "refusal", replyBatch(1, "Unknown request 1", {}, 0));

  // ---- table files and cache ----
  {
    plat::MemTable t;
    goods(t);
    const QByteArray file = t.SaveToBytes();
    seed("memtable_file", "goods_whole", QByteArray("\x01", 1) + file);
    seed("memtable_file", "goods_body", QByteArray("\x00", 1) + fuzz::tableFileBody(file));
    const QByteArray dv = "12,5\r45123.5\r8\rselect *\r\r";
    seed("table_cache", "goods", QByteArray(1, char(dv.size())) + dv + fuzz::tableFileBody(file));
  }

  // ---- file transfers: op byte, then the server's bytes ----
  {
    const QByteArray ok = replyBatch(0, {}, entry({WireValue(QStringLiteral("up.bin"))}, {}), 1);
    seed("file_download", "upload", QByteArray("\x00", 1) + ok);
    seed("file_download", "download",
         QByteArray("\x01", 1) + value(5) + "hello" + value(0) + replyBatch(0, {}, {}, 0));
    seed("file_download", "update",
         QByteArray("\x02", 1) + value(WireValue::int64(4)) +
             "\x7f"
             "ELF" +
             replyBatch(0, {}, {}, 0));
    seed("file_download", "update_named",
         QByteArray("\x03", 1) + value(WireValue::int64(0)) + replyBatch(0, {}, {}, 0));
  }

  // ---- push channel ----
  {
    QByteArray b;
    putU8(b, 0x51);
    putU8(b, 1);
    putU16(b, 3);
    for (uint16_t code : {1, 3, 99}) {
      putU16(b, code);
      putU16(b, 1);
      b += value(42);
    }
    seed("push_request", "presence_refresh_unknown", b);
  }

  // ---- schema, expressions, filters ----
  seed("schema_xml", "goods",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><db><table><name>goods</name>"
       "<caption>Товары</caption><tableType>1</tableType><table_id>10</table_id>"
       "<isSynchronized>true</isSynchronized><isUserTable>0</isUserTable>"
       "<fields><name>id</name><type>4</type><notNull>true</notNull><precision>0</precision>"
       "<scale>0</scale><unique>true</unique><identity>false</identity>"
       "<isKeyField>true</isKeyField><guiType>int</guiType></fields>"
       "<fields><name>group_id</name><type>4</type><isKeyField>0</isKeyField></fields>"
       "<fkConstraints><name>fk1</name><fields>group_id</fields><refTable>groups</refTable>"
       "<refFields>id</refFields></fkConstraints>"
       "<parentTables><name>groups</name><fieldName>group_id</fieldName></parentTables>"
       "</table><table><name>groups</name><tableType>1</tableType><table_id>11</table_id>"
       "<fields><name>id</name><type>4</type><isKeyField>1</isKeyField></fields></table></db>");
  seed("expression", "from", "tbGoods G left join tbGroup GR on (GR.id = G.group_id), tbX");
  seed("expression", "quoted", "f(a, 'b c') x \"y z\"");
  seed("filter", "conditions",
       "<f><fields><name><type>condition</type><condition><operation_and>true</operation_and>"
       "<dataType>1</dataType><item><condition>7</condition><value>milk</value><id/></item>"
       "<item><condition>1</condition><value/><id/></item></condition></name>"
       "<price><type>condition</type><condition><operation_and>false</operation_and>"
       "<dataType>3</dataType><item><condition>12</condition><value>7</value><id/></item>"
       "</condition></price><grp><type>list</type><include>true</include>"
       "<items><item><value>1</value></item></items></grp></fields></f>");
  seed("modal_condition", "quoted_and_bare",
       QByteArray("name = '@name' and qty = @qty or n = @name and s like '%@name%'") + '\0' +
           "x' or '1'='1");
  seed("modal_condition", "doubled_quote",
       QByteArray("note = 'it''s @name' or @name") + '\0' + "O'Brien");

  // ---- devices ----
  {
    TVendotekMessage m;
    m.add(vtMessageName, "IDL");
    m.add(vtOperationNumber, "12");
    m.add(vtKeepaliveIntervalS, "10");
    const QByteArray body = m.toString();
    seed("vendotek_frame", "idl_framed", QByteArray("\x00", 1) + piece(body));
    seed("vendotek_frame", "idl_raw",
         QByteArray("\x01", 1) + QByteArray("xx") + vendotekFrame(body, kVendotekFromTerminal));
    seed("vendotek_line", "idl_framed", QByteArray("\x00", 1) + piece(body));
    seed("vendotek_line", "idl_raw_reader",
         QByteArray("\x03", 1) + vendotekFrame(body, kVendotekFromTerminal));
  }
  {
    const QByteArray version = d200Message(D200::cmdVersion, 101 | D200::kAnswerBit, "1.2.3");
    QByteArray frames;
    for (const QByteArray& p : d200Pieces(version)) frames += d200Frame(p);
    seed("d200_frame", "version_raw", QByteArray("\x01", 1) + frames);
    seed("d200_frame", "version_pieces", QByteArray("\x00", 1) + piece(d200Pieces(version)[0]));
    seed("d200_line", "version_built",
         QByteArray("\x00\x00", 2) +
             "\x50"
             "1.2.3");
    seed("d200_line", "version_raw", QByteArray("\x00\x01\x06", 3) + frames);
    QByteArray answer(D200::kTransactionAnswerSize, '\0');
    seed("d200_line", "pay_built", QByteArray("\x04\x00", 2) + "\x6d" + answer);
  }
  {
    const QByteArray status =
        tervin(tptAnswer, 1, 1, {{"SN0001", tpText}, {QByteArray("\x02", 1), tpUnsigned}});
    seed("payment_module", "status_raw", QByteArray("\x01", 1) + status);
    QByteArray built("\x03\x01\x01\x00", 4);
    built += QByteArray("\x02\x06SN0001\x00\x01\x02", 11);
    seed("payment_module", "status_built", QByteArray("\x00", 1) + piece(built));
    seed("payment_module_line", "status_raw", QByteArray("\x01", 1) + status);
    const QByteArray request = tervin(tptRequest, 7, 5, {{"42", tpText}});
    seed("payment_module_line", "request_then_status", QByteArray("\x01", 1) + request + status);
  }
  {
    QByteArray state(TCarimali::kMainStateSize + 10, '\0');
    state[38] = 5;
    seed("carimali_answer", "state", QByteArray("\x00\x07", 2) + state);
    seed("carimali_answer", "state_raw",
         QByteArray("\x01\x07", 2) + TCarimali::buildFrame(7, QByteArray(1, '\x06') + state));
    seed("carimali_line", "state", QByteArray("\x00", 1) + state);
    seed("carimali_line", "state2", QByteArray("\x02", 1) + QByteArray(TCarimali::kState2Size, 1));
    seed("carimali_line", "recipe", QByteArray("\x04", 1) + QByteArray(TCarimali::kRecipeSize, 2));
  }
  seed("bridge_output", "paid", QByteArray("\x00", 1) + "ok\r\nlast_error=0\r\nrcode=00\r\n");
  seed("bridge_output", "error",
       QByteArray("\x01", 1) +
           "ok\r\nlast_error=4353\r\nlast_error_msg=\xce\xf8\xe8\xe1\xea\xe0\r\n");
  seed("bridge_output", "err", QByteArray("\x03", 1) + "err\r\nno library\r\n");

  // ---- kiosk files ----
  seed("settings_file", "written",
       "[Global]\r\nhost=\xd1\xe5\xf0\xe2\xe5\xf0\r\nport=3050\r\n[kelto]\r\nlogin=op\r\n"
       "make_audit=True\r\n[kelto  deep]\r\nk=v\r\n");
  seed("settings_file", "utf8", "\xEF\xBB\xBF[Global]\nhost=srv\n");
  seed("settings_file", "controls_in_a_section", "[Global\x01\x01\x01\x01X]\r\nhost=a\r\n");
  {
    TLogRecord r;
    r.no = 42;
    r.dt = QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9));
    r.event_id = evUnitSold;
    r.descr = QStringLiteral("Продажа");
    r.amount = 12.5;
    r.cell = 3;
    r.nomenclature_id = 17;
    r.creditSource_id = int(csCard);
    r.card_no = QStringLiteral("1234");
    r.discount = 0.5;
    seed("event_record", "sale", r.toFileBytes());
  }
  // ---- login handshake: flags, key, greeting and verdict as pieces, then
  //      the reply to the first request; a server sends its texts as ANSI ----
  {
    const QByteArray key = hex("01 02 03");
    const QByteArray greeting = value(WireValue::ansi(QStringLiteral("DR"))) + value(1) +
                                value(WireValue::ansi(QStringLiteral("2.1.7+"))) +
                                value(WireValue(key));
    const QByteArray done = replyBatch(0, {}, entry({}, {}), 1);
    auto handshake = [&](char flags, const QByteArray& k, const QByteArray& g,
                         const QByteArray& verdict, const QByteArray& reply) {
      return QByteArray(1, flags) + piece(k) + piece(g) + piece(verdict) + reply;
    };
    seed("login_handshake", "accepted",
         handshake(1, key, greeting,
                   value(0) + value(7) + value(WireValue::ansi(QStringLiteral("Киоск 7"))), done));
    seed("login_handshake", "out_of_date",
         handshake(0, key, greeting,
                   value(2) + value(7) + value(WireValue::ansi(QStringLiteral("kiosk"))), done));
    seed("login_handshake", "refused",
         handshake(0, key, greeting,
                   value(1) + value(WireValue::ansi(QStringLiteral("Неверный пароль"))), {}));
    seed("login_handshake", "no_server_key",
         handshake(0, {},
                   value(WireValue::ansi(QStringLiteral("DR"))) + value(2) +
                       value(WireValue::ansi(QStringLiteral("2.0"))) + value(WireValue()),
                   value(0) + value(3) + value(WireValue::ansi(QStringLiteral("k"))),
                   replyBatch(1, "Unknown request 36", {}, 0)));
  }
  seed("counters_file", "main_and_backup",
       QByteArray("\x0c", 1) + "d1\t3\t0\t1\t150\r\ns12\t1\t2\t0\t0\r\ntotal_amount\t100000\r\n" +
           "d1\t2\t0\t1\t150\r\ntotal_amount\t90000\r\n");
  return 0;
}
