// The comparator used as the service uses it: request threads compare and append while the
// download thread still loads the cache. Every result must equal the single-threaded one; the
// asan build checks that nobody touches a row that moved or a series that was freed.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "afp/afp_cache_test_util.h"
#include "afp/afpcomp_unit.h"

using namespace afpcachetest;

namespace {

constexpr std::int32_t kRecords = 200000;
constexpr int kThreads = 4;

struct Outcome {
  bool result = false;
  std::int32_t proz = 0, ofs = 0;
  bool operator==(const Outcome&) const = default;
};

Outcome Full(TAFPComp& comp, std::int32_t a, std::int32_t b, bool vortest) {
  Outcome o;
  std::string i1, i2;
  o.result = comp.afpcomp(a, b, vortest, false, 85, 95, i1, i2, o.ofs, o.proz);
  return o;
}

// One identification: quick scan of the query against the cache rows, then a full comparison
// of every quick hit with both rows locked.
std::vector<std::pair<std::int32_t, Outcome>> Identify(TAFPComp& comp, const RAFP& query) {
  const std::int32_t q = comp.afpload(-1, query);
  comp.afpLockRow(q);
  std::vector<RAFPQuickHit> hits;
  comp.afpquickscan(q, 0, comp.afpcompdata_loaded(), false, 85, 95, hits);
  std::vector<std::pair<std::int32_t, Outcome>> found;
  for (const RAFPQuickHit& hit : hits) {
    comp.afpLockRow(hit.row);
    found.emplace_back(hit.row, Full(comp, q, hit.row, false));
    comp.afpUnlockRow(hit.row);
  }
  comp.afpUnlockRow(q);
  return found;
}

}  // namespace

TEST(TAFPCompThreads, CompareAndAppendWhileTheCacheLoads) {
  TempDir dir;
  std::vector<RAFP> queries;
  const std::int32_t planted[] = {10, 60000, 150001, kRecords - 1};
  for (int k = 0; k < kThreads; ++k) queries.push_back(MakeAfp(300, 900000 + k));
  {
    std::unique_ptr<TAfpCacheFileWriter> writer;
    for (std::int32_t i = 0; i < kRecords; ++i) {
      if (i % 100000 == 0) {
        if (writer) writer->Commit();
        writer = std::make_unique<TAfpCacheFileWriter>(dir.file("afp" + std::to_string(i) + ".afpbin"));
      }
      RAFP afp = MakeAfp(61 + i % 80, static_cast<std::uint32_t>(i));
      for (int k = 0; k < kThreads; ++k) {
        if (i == planted[k]) {
          afp = queries[k];
          for (std::size_t j = 0; j < afp.p1.size(); j += 5) afp.p1[j] = static_cast<std::uint8_t>(afp.p1[j] ^ 1);
        }
      }
      writer->Add(Guid(static_cast<std::uint32_t>(i)), afp);
    }
    writer->Commit();
  }
  // Pairs of cache rows: near each planted row (hits) and spread over the whole range.
  std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
  for (int k = 0; k < kThreads; ++k) pairs.emplace_back(planted[k], planted[(k + 1) % kThreads]);
  for (std::int32_t i = 0; i < 400; ++i) pairs.emplace_back((i * 7919) % kRecords, (i * 104729 + 13) % kRecords);
  for (std::int32_t i = 0; i < 200; ++i) pairs.emplace_back(i * 997, i * 997);

  TAFPComp single;
  single.loadfromafpcache(dir.path(), false);
  std::vector<Outcome> expected_pairs;
  for (auto [a, b] : pairs) {
    expected_pairs.push_back(Full(single, a, b, true));
    expected_pairs.push_back(Full(single, a, b, false));
  }
  std::vector<std::vector<std::pair<std::int32_t, Outcome>>> expected_ids;
  for (const RAFP& q : queries) expected_ids.push_back(Identify(single, q));
  for (int k = 0; k < kThreads; ++k) {
    // Quick rows of unrelated melodies are alike; the full comparison keeps the planted one.
    std::vector<std::int32_t> matched;
    for (const auto& [row, outcome] : expected_ids[k])
      if (outcome.result) matched.push_back(row);
    EXPECT_EQ(matched, std::vector<std::int32_t>{planted[k]});
  }

  TAFPComp comp;
  std::thread loader([&] { comp.loadfromafpcache(dir.path(), false); });
  std::atomic<int> mismatches{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kThreads; ++w) {
    workers.emplace_back([&, w] {
      for (std::size_t p = static_cast<std::size_t>(w); p < pairs.size(); p += kThreads) {
        const auto [a, b] = pairs[p];
        while (!comp.afpcheck(a) || !comp.afpcheck(b)) std::this_thread::yield();
        for (bool vortest : {true, false}) {
          const Outcome got = Full(comp, a, b, vortest);
          const Outcome& want = expected_pairs[2 * p + !vortest];
          if (!(got == want)) {
            ADD_FAILURE() << "pair " << a << "/" << b << " vortest " << vortest << ": " << got.result
                          << " " << got.proz << " " << got.ofs << ", expected " << want.result << " "
                          << want.proz << " " << want.ofs;
            ++mismatches;
          }
        }
      }
      // Appending waits for the load; then four threads append and scan at once.
      const auto found = Identify(comp, queries[w]);
      if (found != expected_ids[w]) {
        ADD_FAILURE() << "identification " << w << ": " << found.size() << " hits, expected "
                      << expected_ids[w].size();
        ++mismatches;
      }
    });
  }
  for (auto& t : workers) t.join();
  loader.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(comp.afpcompdata_loaded(), kRecords);
  EXPECT_EQ(comp.afpcompdata_rc(), kRecords + kThreads);
  for (std::int32_t r = kRecords; r < kRecords + kThreads; ++r) EXPECT_EQ(comp.afpLocked(r), 0);
}
