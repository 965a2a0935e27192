// Decoding a 10,000-row x 7-column table stream into a table, and the
// scrambler, each beside a baseline measured in the same run.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDataStream>
#include <QDateTime>
#include <QIODevice>
#include <cstring>
#include <thread>

#include "backoffice/JClient.h"
#include "backoffice/Scrambler.h"
#include "backoffice/TableStream.h"
#include "backoffice/WireCodec.h"
#include "platform/MemTable.h"
#include "platform/TcpClient.h"

namespace {

constexpr int kRows = 10000;

struct Row {
  int id;
  QString name;
  double price;
  QString barcode;
  QDateTime dt;
  int qty;
  bool active;
};

std::vector<Row> makeRows() {
  std::vector<Row> rows;
  for (int i = 0; i < kRows; ++i)
    rows.push_back({i, QStringLiteral("Товар номер %1").arg(i), 10.5 + i,
                    QStringLiteral("46%1").arg(i, 11, 10, QChar(u'0')),
                    QDateTime(QDate(2024, 1, 1), QTime(0, 0)).addSecs(i), i % 100, i % 2 == 0});
  return rows;
}

const QByteArray& tableStream() {
  static const QByteArray bytes = [] {
    // As the server sends it: texts in ANSI.
    QByteArray out;
    const std::pair<const char*, int> cols[] = {{"id", 4},       {"name", 12}, {"price", 8},
                                                {"barcode", 12}, {"dt", 93},   {"qty", 5},
                                                {"active", 16}};
    encodeValue(out, WireValue(7));
    for (const auto& [name, type] : cols) {
      encodeValue(out, WireValue::ansi(QString::fromLatin1(name)));
      encodeValue(out, WireValue(type));
      encodeValue(out, WireValue(type == 12 ? 100 : 0));
      encodeValue(out, WireValue(0));
    }
    for (const Row& r : makeRows())
      writeTableRow(out, {WireValue(r.id), WireValue::ansi(r.name), WireValue(r.price),
                          WireValue::ansi(r.barcode), WireValue::dateTime(r.dt), WireValue(r.qty),
                          WireValue(r.active)});
    writeTableEnd(out);
    return out;
  }();
  return bytes;
}

const QByteArray& dataStreamRows() {
  static const QByteArray bytes = [] {
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    for (const Row& r : makeRows())
      s << qint32(r.id) << r.name << r.price << r.barcode << r.dt << qint16(r.qty) << r.active;
    return out;
  }();
  return bytes;
}

// The stream arrives through a local socket, as it would from the server.
void BM_TableStreamDecodeIntoMemTable(benchmark::State& state) {
  const QByteArray& bytes = tableStream();
  for (auto _ : state) {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    plat::TcpClient reader;
    reader.adopt(fds[0]);
    std::thread writer([&] {
      const char* p = bytes.constData();
      size_t left = size_t(bytes.size());
      while (left > 0) {
        ssize_t n = ::send(fds[1], p, left, MSG_NOSIGNAL);
        if (n <= 0) break;
        p += n;
        left -= size_t(n);
      }
    });
    TJClient client;
    client.setShowProgress(false);
    client.setSocket(&reader);
    plat::MemTable table;
    client.recvTable(&table, 30);
    writer.join();
    ::close(fds[1]);
    if (table.RecordCount() != kRows) state.SkipWithError("rows lost");
    benchmark::DoNotOptimize(table.RecordCount());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
  state.SetItemsProcessed(int64_t(state.iterations()) * kRows);
}
BENCHMARK(BM_TableStreamDecodeIntoMemTable)->Unit(benchmark::kMillisecond);

// Baseline: the same bytes copied once.
void BM_TableStreamMemcpy(benchmark::State& state) {
  const QByteArray& bytes = tableStream();
  QByteArray dst(bytes.size(), Qt::Uninitialized);
  for (auto _ : state) {
    std::memcpy(dst.data(), bytes.constData(), size_t(bytes.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}
BENCHMARK(BM_TableStreamMemcpy)->Unit(benchmark::kMillisecond);

// Baseline: the same rows read back with QDataStream into plain values.
void BM_SameRowsQDataStream(benchmark::State& state) {
  const QByteArray& bytes = dataStreamRows();
  for (auto _ : state) {
    QDataStream s(bytes);
    std::vector<Row> rows;
    rows.reserve(kRows);
    for (int i = 0; i < kRows; ++i) {
      Row r;
      qint32 id;
      qint16 qty;
      s >> id >> r.name >> r.price >> r.barcode >> r.dt >> qty >> r.active;
      r.id = id;
      r.qty = qty;
      rows.push_back(std::move(r));
    }
    benchmark::DoNotOptimize(rows.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kRows);
}
BENCHMARK(BM_SameRowsQDataStream)->Unit(benchmark::kMillisecond);

constexpr int kScrambleBytes = 1 << 20;

void BM_Scrambler(benchmark::State& state) {
  QByteArray buf(kScrambleBytes, 'a');
  Scrambler s;
  s.setKey(QByteArray::fromHex("a1b2c3d4e5f60718293a"));
  for (auto _ : state) {
    s.encode(buf.data(), size_t(buf.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kScrambleBytes);
}
BENCHMARK(BM_Scrambler);

void BM_ScramblerBaselineMemcpy(benchmark::State& state) {
  QByteArray src(kScrambleBytes, 'a'), dst(kScrambleBytes, 'b');
  for (auto _ : state) {
    std::memcpy(dst.data(), src.constData(), size_t(kScrambleBytes));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kScrambleBytes);
}
BENCHMARK(BM_ScramblerBaselineMemcpy);

}  // namespace

BENCHMARK_MAIN();
