// Barcode lookup among 10,000 products (two codes each, half of them snacks),
// against a bare hash map from code to position: the ratio is what the
// catalogue adds per scan. The search the lists allow without an index is
// measured too, to show what the index saves.

#include <benchmark/benchmark.h>

#include <QHash>
#include <QString>
#include <random>
#include <vector>

#include "kiosk/Products.h"

namespace {

constexpr int kProducts = 10'000;

QString codeOf(int i, int which) {
  return QStringLiteral("46%1%2").arg(which).arg(i, 10, 10, QLatin1Char('0'));
}

struct Fixture {
  TProductCatalog catalog;
  QHash<QString, int> plain;
  std::vector<QString> probes;  // found codes and misses, shuffled

  Fixture() {
    std::vector<TProduct> drinks, snacks;
    for (int i = 0; i < kProducts; ++i) {
      TProduct p;
      p.isSnack = i % 2 == 1;
      p.cell = i;
      p.barCodes = normalizeBarcodes(codeOf(i, 1) + QStringLiteral("; ") + codeOf(i, 2));
      plain.insert(codeOf(i, 1), i);
      plain.insert(codeOf(i, 2), i);
      (p.isSnack ? snacks : drinks).push_back(p);
    }
    catalog.setProducts(std::move(drinks), std::move(snacks));
    std::mt19937 rng(42);
    for (int i = 0; i < 1024; ++i) {
      const int n = int(rng() % kProducts);
      probes.push_back(i % 8 == 0 ? codeOf(n, 9) : codeOf(n, 1 + int(rng() % 2)));
    }
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_CatalogBarcodeLookup(benchmark::State& state) {
  Fixture& f = fixture();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.catalog.findProductByBarcode(f.probes[i++ & 1023]));
  }
}
BENCHMARK(BM_CatalogBarcodeLookup);

void BM_BaselinePlainHashLookup(benchmark::State& state) {
  Fixture& f = fixture();
  size_t i = 0;
  for (auto _ : state) {
    auto it = f.plain.constFind(f.probes[i++ & 1023]);
    benchmark::DoNotOptimize(it == f.plain.constEnd() ? -1 : *it);
  }
}
BENCHMARK(BM_BaselinePlainHashLookup);

// The whole-code substring search over both lists, snacks first.
void BM_UnindexedListSearch(benchmark::State& state) {
  Fixture& f = fixture();
  size_t i = 0;
  for (auto _ : state) {
    const QString key = u' ' + f.probes[i++ & 1023] + u' ';
    const TProduct* found = nullptr;
    for (const auto* list : {&f.catalog.snacks, &f.catalog.drinks}) {
      for (const TProduct& p : *list)
        if (p.barCodes.contains(key)) {
          found = &p;
          break;
        }
      if (found) break;
    }
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_UnindexedListSearch);

}  // namespace

BENCHMARK_MAIN();
