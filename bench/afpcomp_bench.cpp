// Fingerprint cache at service scale: generated caches of 100,000 and 1,000,000 records with
// 700 to 1,200 values per series (a random walk per title, so that quick rows of different
// titles differ as real ones do). Measures, with full-memory mode off as the service runs:
// - Load: loadfromafpcache of the whole directory (files in the page cache), records/s and the
//   resident memory the rows and indexes add, per row;
// - QuickScan: one fingerprint's quick comparison against every row;
// - Identify: the quick scan plus the full comparisons of its hits (series fetched from the file).
// The cache files are generated once into $MS_BENCH_DATA (default build/default/bench-data).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "afp/afpcomp_unit.h"

namespace {

std::string DataDir() {
  const char* env = std::getenv("MS_BENCH_DATA");
  return env ? env : "build/default/bench-data";
}

struct Rng {
  std::uint64_t s;
  std::uint32_t Next() {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    return static_cast<std::uint32_t>(s >> 11);
  }
};

// A title: loudness and brightness wander slowly, as normalised block values do.
RAFP Title(std::uint64_t seed) {
  Rng rng{seed * 0x9E3779B97F4A7C15ull + 1};
  RAFP afp;
  const std::size_t n = 700 + rng.Next() % 501;
  afp.p1.resize(n);
  afp.p2.resize(n);
  int v1 = 20 + static_cast<int>(rng.Next() % 80), v2 = 20 + static_cast<int>(rng.Next() % 80);
  for (std::size_t i = 0; i < n; ++i) {
    v1 = std::clamp(v1 + static_cast<int>(rng.Next() % 9) - 4, 0, 127);
    v2 = std::clamp(v2 + static_cast<int>(rng.Next() % 9) - 4, 0, 127);
    afp.p1[i] = static_cast<std::uint8_t>(v1);
    afp.p2[i] = static_cast<std::uint8_t>(v2);
  }
  afp.typ = AFPTypAudio;
  afp.loaded = true;
  return afp;
}

// The directory of a cache with `records` records in files of 100,000 records each.
std::string Cache(std::int64_t records) {
  const std::string dir = DataDir() + "/afpcache-" + std::to_string(records);
  if (std::filesystem::exists(dir + "/complete")) return dir;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::unique_ptr<TAfpCacheFileWriter> writer;
  for (std::int64_t i = 0; i < records; ++i) {
    if (i % 100000 == 0) {
      if (writer) writer->Commit();
      char name[64];
      std::snprintf(name, sizeof name, "/afp%06lld.afpbin", static_cast<long long>(i / 100000));
      writer = std::make_unique<TAfpCacheFileWriter>(dir + name);
    }
    writer->Add("G" + std::to_string(i), Title(static_cast<std::uint64_t>(i)));
  }
  writer->Commit();
  std::ofstream(dir + "/complete") << records << '\n';
  return dir;
}

std::int64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::int64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// Loaded comparators, kept for the scan benchmarks.
std::map<std::int64_t, std::unique_ptr<TAFPComp>>& Loaded() {
  static std::map<std::int64_t, std::unique_ptr<TAFPComp>> loaded;
  return loaded;
}

TAFPComp& Comp(std::int64_t records) {
  auto& slot = Loaded()[records];
  if (!slot) {
    slot = std::make_unique<TAFPComp>();
    slot->loadfromafpcache(Cache(records), false);
  }
  return *slot;
}

void Load(benchmark::State& state) {
  const std::int64_t records = state.range(0);
  const std::string dir = Cache(records);
  Loaded().erase(records);
  // Read once so that the files are in the page cache, as after the download.
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<char> buf(1 << 20);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
    }
  }
  double seconds = 0;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const std::int64_t before = ResidentBytes();
    auto comp = std::make_unique<TAFPComp>();
    const auto t0 = std::chrono::steady_clock::now();
    comp->loadfromafpcache(dir, false);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    bytes = ResidentBytes() - before;
    Loaded()[records] = std::move(comp);
  }
  state.counters["load_s"] = seconds;
  state.counters["records_per_s"] = static_cast<double>(records) / seconds;
  state.counters["bytes_per_row"] = static_cast<double>(bytes) / static_cast<double>(records);
  state.counters["quick_bytes_per_row"] =
      static_cast<double>(Loaded()[records]->QuickBytes()) / static_cast<double>(records);
}

// The query: a title of the cache, slightly changed (a different encoding of the same music).
std::int32_t Query(TAFPComp& comp, std::int64_t records) {
  RAFP q = Title(static_cast<std::uint64_t>(records / 3));
  for (std::size_t i = 0; i < q.p1.size(); i += 4) q.p1[i] = static_cast<std::uint8_t>(std::min(127, q.p1[i] + 3));
  static std::map<TAFPComp*, std::int32_t> rows;
  auto it = rows.find(&comp);
  if (it == rows.end()) {
    it = rows.emplace(&comp, comp.afpload(-1, q)).first;
    // Held for good, as a request holds its row while it searches: with full-memory mode off
    // the last unlock would drop the query's series.
    comp.afpLockRow(it->second);
  }
  return it->second;
}

void QuickScan(benchmark::State& state) {
  TAFPComp& comp = Comp(state.range(0));
  const std::int32_t q = Query(comp, state.range(0));
  std::vector<RAFPQuickHit> hits;
  hits.reserve(1024);
  for (auto _ : state) {
    comp.afpquickscan(q, 0, comp.afpcompdata_loaded(), false, 85, 95, hits);
    benchmark::DoNotOptimize(hits.data());
  }
  state.counters["quick_hits"] = static_cast<double>(hits.size());
  state.counters["rows"] = comp.afpcompdata_loaded();
}

void Identify(benchmark::State& state) {
  TAFPComp& comp = Comp(state.range(0));
  const std::int32_t q = Query(comp, state.range(0));
  std::vector<RAFPQuickHit> hits;
  std::int32_t matches = 0, best = 0;
  std::string i1, i2;
  for (auto _ : state) {
    comp.afpquickscan(q, 0, comp.afpcompdata_loaded(), false, 85, 95, hits);
    matches = 0;
    for (const RAFPQuickHit& hit : hits) {
      std::int32_t ofs = 0, proz = 0;
      comp.afpLockRow(hit.row);
      matches += comp.afpcomp(q, hit.row, false, false, 85, 95, i1, i2, ofs, proz);
      best = std::max(best, proz);
      comp.afpUnlockRow(hit.row);
    }
  }
  state.counters["quick_hits"] = static_cast<double>(hits.size());
  state.counters["matches"] = matches;
  state.counters["best_proz"] = best;
}

}  // namespace

BENCHMARK(Load)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(QuickScan)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(Identify)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
