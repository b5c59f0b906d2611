#include "afp/afpcomp_unit.h"

#include <gtest/gtest.h>

#include <numeric>

#include "afp/afp_cache_test_util.h"

using namespace afpcachetest;

namespace {

struct CompResult {
  bool result = false;
  std::int32_t proz = -1, ofs = -1;
  std::string info1, info2;
  bool operator==(const CompResult&) const = default;
};

CompResult Compare(TAFPComp& comp, std::int32_t a, std::int32_t b, bool vortest, bool shift) {
  CompResult r;
  r.result = comp.afpcomp(a, b, vortest, shift, 85, 95, r.info1, r.info2, r.ofs, r.proz);
  return r;
}

RAFP Series(std::vector<std::uint8_t> p1, std::vector<std::uint8_t> p2,
            char16_t typ = AFPTypAudio) {
  RAFP afp;
  afp.p1 = std::move(p1);
  afp.p2 = std::move(p2);
  afp.typ = typ;
  afp.loaded = true;
  return afp;
}

RAFP Part(const RAFP& afp, std::size_t from, std::size_t n) {
  return Series({afp.p1.begin() + from, afp.p1.begin() + from + n},
                {afp.p2.begin() + from, afp.p2.begin() + from + n}, afp.typ);
}

}  // namespace

TEST(TAFPComp, QuickRowIsTheMeanOfEveryTwentyTwoValues) {
  TAFPComp comp;
  std::vector<std::uint8_t> up(100), down(100);
  std::iota(up.begin(), up.end(), 0);
  for (int i = 0; i < 100; ++i) down[i] = static_cast<std::uint8_t>(127 - i);
  const std::int32_t r = comp.afpload(-1, Series(up, down));
  RAFP quick;
  ASSERT_TRUE(comp.getafpquick(r, quick));
  EXPECT_EQ(quick.p1, (std::vector<std::uint8_t>{10, 32, 54}));  // values 0-20, 22-42, 44-64
  EXPECT_EQ(quick.p2, (std::vector<std::uint8_t>{117, 95, 73}));
  EXPECT_EQ(quick.typ, AFPTypAudio);

  struct Case {
    std::size_t n1, n2, q1, q2;
  } const cases[] = {{41, 1000, 1, 48},   {40, 61, 0, 2},       {0, 62, 0, 2},
                     {1200, 700, 58, 33}, {1320, 1340, 64, 65}, {1340, 2400, 65, 118}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n1);
    RAFP afp = MakeAfp(std::max(c.n1, c.n2), 3);
    afp.p1.resize(c.n1);
    afp.p2.resize(c.n2);
    const std::int32_t row = comp.afpload(-1, afp);
    ASSERT_TRUE(comp.getafpquick(row, quick));
    ASSERT_EQ(quick.p1.size(), c.q1);
    ASSERT_EQ(quick.p2.size(), c.q2);
    // Every value is the rounded mean of its 21 full values (missing ones count 0) while the
    // walk over the longer series reaches the value after them, 0 beyond; however the row
    // stores them.
    const std::size_t longer = std::max(c.n1, c.n2);
    const auto mean = [longer](const RAFPValArray& v, std::size_t k) {
      if (22 * k + 21 >= longer) return std::uint8_t{0};
      int sum = 0;
      for (std::size_t i = 22 * k; i < 22 * k + 21; ++i) sum += i < v.size() ? v[i] : 0;
      return static_cast<std::uint8_t>((sum + 10) / 21);
    };
    for (std::size_t k = 0; k < c.q1; ++k) EXPECT_EQ(quick.p1[k], mean(afp.p1, k)) << k;
    for (std::size_t k = 0; k < c.q2; ++k) EXPECT_EQ(quick.p2[k], mean(afp.p2, k)) << k;
  }
}

TEST(TAFPComp, IdenticalFingerprintsMatchCompletely) {
  TAFPComp comp;
  const RAFP afp = MakeAfp(900, 7);
  const std::int32_t a = comp.afpload(-1, afp), b = comp.afpload(-1, afp);
  for (bool vortest : {true, false}) {
    SCOPED_TRACE(vortest);
    const CompResult r = Compare(comp, a, b, vortest, false);
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.proz, 100);
    EXPECT_EQ(r.ofs, 0);
    EXPECT_EQ(r.info1, "100% Übereinstimmung durch kleineren Datei bei Position 0%");
    EXPECT_EQ(r.info2, "100% Übereinstimmung in größeren Datei bei Position 0%");
  }
  // Audio against image, and rows that do not exist, give false with nothing filled in.
  const std::int32_t img = comp.afpload(-1, MakeAfp(900, 7, AFPTypImage));
  for (auto [x, y] : {std::pair{a, img}, std::pair{a, 99}, std::pair{-1, a}}) {
    const CompResult r = Compare(comp, x, y, false, true);
    EXPECT_EQ(r, (CompResult{false, 0, 0, "", ""}));
  }
}

TEST(TAFPComp, ShorterFingerprintNeedsNinetyOrSeventyPercentOfTheLength) {
  const RAFP longer = MakeAfp(101, 11);
  struct Case {
    std::size_t n;
    bool shift;
    bool compared;
  } const cases[] = {{91, false, true}, {90, false, false}, {71, true, true}, {70, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    TAFPComp comp;
    const std::int32_t l = comp.afpload(-1, longer);
    const std::int32_t s = comp.afpload(-1, Part(longer, 0, c.n));
    const CompResult r = Compare(comp, l, s, false, c.shift);
    EXPECT_EQ(r.result, c.compared);
    EXPECT_EQ(r.proz, c.compared ? 100 : 0);
    EXPECT_EQ(r.info1.empty(), !c.compared);
  }
}

TEST(TAFPComp, ShiftFindsThePositionAndRowOneMayBeTheShortOne) {
  TAFPComp comp;
  const RAFP longer = MakeAfp(400, 5);
  const std::int32_t l = comp.afpload(-1, longer);
  const std::int32_t s = comp.afpload(-1, Part(longer, 90, 300));
  CompResult r = Compare(comp, s, l, false, true);
  EXPECT_TRUE(r.result);
  EXPECT_EQ(r.proz, 100);
  EXPECT_EQ(r.ofs, -90);
  // Position 90 of 400 values: 22.5 rounds to the even 22.
  EXPECT_EQ(r.info1, "100% Übereinstimmung in größeren Datei bei Position 22%");
  EXPECT_EQ(r.info2, "100% Übereinstimmung durch kleineren Datei bei Position 22%");
  r = Compare(comp, l, s, false, true);
  EXPECT_EQ(r.ofs, 90);
  // Without shifting only offset 0 is tried, and the short one is too short anyway.
  EXPECT_FALSE(Compare(comp, l, s, false, false).result);

  // A long row that repeats itself every 100 values: the short one matches completely at 20
  // and at 120, and the first of the two is the position.
  const RAFP period = MakeAfp(100, 8);
  RAFP periodic = MakeAfp(430, 8);
  for (std::size_t i = 0; i < 430; ++i) {
    periodic.p1[i] = period.p1[i % 100];
    periodic.p2[i] = period.p2[i % 100];
  }
  const std::int32_t p = comp.afpload(-1, periodic);
  const std::int32_t ps = comp.afpload(-1, Part(periodic, 20, 310));
  r = Compare(comp, p, ps, false, true);
  EXPECT_TRUE(r.result);
  EXPECT_EQ(r.proz, 100);
  EXPECT_EQ(r.ofs, 20);
  EXPECT_EQ(r.info1, "100% Übereinstimmung durch kleineren Datei bei Position 5%");  // 4.65

  // Equal lengths: row 1 is the long row.
  const std::int32_t e1 = comp.afpload(-1, Part(longer, 0, 300));
  const std::int32_t e2 = comp.afpload(-1, Part(longer, 0, 300));
  r = Compare(comp, e2, e1, false, true);
  EXPECT_EQ(r.info1.rfind("100% Übereinstimmung durch kleineren", 0), 0u);
  EXPECT_EQ(r.ofs, 0);
}

TEST(TAFPComp, FlatFingerprintsNeverMatch) {
  struct Case {
    const char* name;
    RAFP afp;
    bool valid;
  } const cases[] = {
      {"constant", Series(std::vector<std::uint8_t>(200, 50), std::vector<std::uint8_t>(200, 50)),
       false},
      {"p1 spans 19",
       [] {
         RAFP a = MakeAfp(200, 1);
         for (auto& v : a.p1) v = v % 20;
         a.p2.assign(200, 10);
         return a;
       }(),
       false},
      {"p1 spans 20",
       [] {
         RAFP a = MakeAfp(200, 1);
         for (auto& v : a.p1) v = v % 21;
         a.p2.assign(200, 10);
         return a;
       }(),
       true},
      {"a flat p1 fails whatever p2 spans",
       [] {
         RAFP a = MakeAfp(200, 1);
         a.p1.assign(200, 50);
         return a;
       }(),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TAFPComp comp;
    const std::int32_t a = comp.afpload(-1, c.afp), b = comp.afpload(-1, c.afp);
    EXPECT_EQ(comp.afpvalidate(a), c.valid);
    const CompResult r = Compare(comp, a, b, false, false);
    EXPECT_EQ(r.proz, 100);
    EXPECT_EQ(r.result, c.valid);
  }
}

// Every value of one row off by the same distance from the other: audio tolerates 20, images
// 10; one more and nothing matches.
TEST(TAFPComp, ToleranceIsTwentyForAudioAndTenForImages) {
  struct Case {
    char16_t typ;
    int distance;
    std::int32_t proz;
  } const cases[] = {{AFPTypAudio, 20, 100}, {AFPTypAudio, 21, 0}, {AFPTypImage, 10, 100},
                     {AFPTypImage, 11, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.typ) + " " + std::to_string(c.distance));
    RAFP a = MakeAfp(300, 4, c.typ), b = a;
    for (std::size_t i = 0; i < a.p1.size(); ++i) {
      a.p1[i] = static_cast<std::uint8_t>(a.p1[i] % 100);
      a.p2[i] = static_cast<std::uint8_t>(a.p2[i] % 100);
      b.p1[i] = static_cast<std::uint8_t>(a.p1[i] + c.distance);
      b.p2[i] = static_cast<std::uint8_t>(a.p2[i] + c.distance);
    }
    TAFPComp comp;
    const std::int32_t ra = comp.afpload(-1, a), rb = comp.afpload(-1, b);
    for (bool vortest : {true, false}) {
      SCOPED_TRACE(vortest);
      const CompResult r = Compare(comp, ra, rb, vortest, false);
      EXPECT_EQ(r.proz, c.proz);
      EXPECT_EQ(r.result, c.proz == 100);
    }
  }
}

TEST(TAFPComp, CountMatchesCountsWithinTolerance) {
  const std::vector<std::uint8_t> a = {10, 30, 50}, b = {0, 30, 10, 70, 71};
  EXPECT_EQ(TAFPComp::CountMatches(a, b, 0, 20), 2);  // 10~0 and 30~30; 50 vs 10 is out
  EXPECT_EQ(TAFPComp::CountMatches(a, b, 2, 20), 1);  // 10~10, 30 vs 70, 50 vs 71 out by 1
  EXPECT_EQ(TAFPComp::CountMatches(a, b, 2, 21), 2);
  EXPECT_EQ(TAFPComp::CountMatches(a, b, 3, 255), 0);  // runs past the end
  EXPECT_EQ(TAFPComp::CountMatches({}, b, 0, 20), 0);
  std::vector<std::uint8_t> big(1000), other(1000);
  for (int i = 0; i < 1000; ++i)
    big[i] = static_cast<std::uint8_t>(i * 7),
    other[i] = static_cast<std::uint8_t>(i * 7 + (i % 41));
  int expected = 0;
  for (int i = 0; i < 1000; ++i) expected += std::abs(big[i] - other[i]) <= 20;
  EXPECT_EQ(TAFPComp::CountMatches(big, other, 0, 20), expected);
}

class TAFPCompCache : public ::testing::Test {
 protected:
  void SetUp() override {
    TAfpCacheFileWriter writer(dir_.file("afp_01.afpbin"));
    for (std::uint32_t i = 0; i < 40; ++i) {
      fps_.push_back(MakeAfp(i == 3 ? 60 : 61 + 20 * i, i));
      writer.Add(Guid(i), fps_.back());
    }
    writer.Commit();
  }
  TempDir dir_;
  std::vector<RAFP> fps_;
};

TEST_F(TAFPCompCache, MemoryModesCompareAlikeAndDropFetchedSeries) {
  TAFPComp full, lean;
  ASSERT_TRUE(full.loadfromafpcache(dir_.path(), true));
  ASSERT_TRUE(lean.loadfromafpcache(dir_.path(), false));
  for (TAFPComp* c : {&full, &lean}) {
    EXPECT_EQ(c->afpcompdata_loaded(), 40);
    EXPECT_EQ(c->afpcompdata_rc(), 40);
    EXPECT_FALSE(c->afpcheck(3));  // 60 values: a row number but no data
    EXPECT_TRUE(c->afpcheck(4));
    std::string ref;
    EXPECT_TRUE(c->getReference(5, ref));
    EXPECT_EQ(ref.substr(0, 6), "GUID-5");
  }
  RAFP afp;
  EXPECT_TRUE(full.getafp(10, afp));
  EXPECT_EQ(afp.p1, fps_[10].p1);
  EXPECT_FALSE(lean.getafp(10, afp));
  EXPECT_EQ(afp.typ, AFPTypAudio);

  // The query: record 20 with its first 40 values cut off, appended as the identification does.
  const RAFP query = Part(fps_[20], 40, fps_[20].p1.size() - 40);
  for (TAFPComp* c : {&full, &lean}) EXPECT_EQ(c->afpload(-1, query), 40);
  for (std::int32_t r = 0; r < 40; ++r) {
    SCOPED_TRACE(r);
    for (bool vortest : {true, false})
      EXPECT_EQ(Compare(full, 40, r, vortest, true), Compare(lean, 40, r, vortest, true));
  }
  EXPECT_TRUE(Compare(lean, 40, 20, false, true).result);
  EXPECT_EQ(Compare(lean, 40, 20, false, true).ofs, -40);
  // Fetched for the comparison and dropped after it; kept while a caller holds the row.
  EXPECT_FALSE(lean.getafp(20, afp));
  lean.afpLockRow(20);
  Compare(lean, 40, 20, false, true);
  EXPECT_EQ(lean.afpLocked(20), 1);
  EXPECT_TRUE(lean.getafp(20, afp));
  lean.afpUnlockRow(20);
  EXPECT_FALSE(lean.getafp(20, afp));
  EXPECT_EQ(lean.afpLocked(20), 0);
  // In full-memory mode nothing is dropped.
  full.afpLockRow(20);
  full.afpUnlockRow(20);
  EXPECT_TRUE(full.getafp(20, afp));
}

TEST_F(TAFPCompCache, QuickScanEqualsOneQuickComparisonPerRow) {
  TAFPComp comp;
  comp.loadfromafpcache(dir_.path(), false);
  const RAFP near = [&] {
    RAFP q = fps_[30];
    for (std::size_t i = 0; i < q.p1.size(); i += 3)
      q.p1[i] = static_cast<std::uint8_t>(q.p1[i] / 2);
    return q;
  }();
  for (const RAFP& query : {fps_[30], near, Part(fps_[35], 50, 600), fps_[3]}) {
    const std::int32_t q = comp.afpload(-1, query);
    for (bool shift : {false, true}) {
      SCOPED_TRACE(q * 2 + shift);
      std::vector<RAFPQuickHit> hits;
      comp.afpquickscan(q, 0, comp.afpcompdata_rc(), shift, 85, 95, hits);
      std::vector<RAFPQuickHit> expected;
      for (std::int32_t r = 0; r < comp.afpcompdata_rc(); ++r) {
        const CompResult c = Compare(comp, q, r, true, shift);
        if (c.result) expected.push_back({r, c.proz, c.ofs});
      }
      ASSERT_EQ(hits.size(), expected.size());
      for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i].row, expected[i].row);
        EXPECT_EQ(hits[i].vglresproz, expected[i].vglresproz);
        EXPECT_EQ(hits[i].vglresofs, expected[i].vglresofs);
      }
    }
  }
}

TEST(TAFPComp, QuickScanOfEveryRowLayoutEqualsOneQuickComparisonPerRow) {
  // Quick p1 values up to 64 lie in a row's fixed block, longer ones elsewhere: lengths on both
  // sides of that edge, near copies of the queries (hits), strangers, other kinds and a row
  // without quick values, compared with every query and with the query as long or short row.
  TAFPComp comp;
  std::vector<RAFP> bases;
  for (std::size_t n : {700u, 1300u, 1320u, 1340u, 1500u, 2400u})
    bases.push_back(MakeAfp(n, static_cast<std::uint32_t>(n)));
  for (const RAFP& base : bases) {
    comp.afpload(-1, base);
    comp.afpload(-1, Part(base, 0, base.p1.size() * 19 / 20));
    comp.afpload(-1, Part(base, base.p1.size() / 10, base.p1.size() * 9 / 10));
    comp.afpload(-1, MakeAfp(base.p1.size(), 7));
    RAFP image = base, other = base;
    image.typ = AFPTypImage;
    other.typ = u'X';
    comp.afpload(-1, image);
    comp.afpload(-1, other);
  }
  comp.afpload(-1, MakeAfp(60, 1));
  const std::int32_t rows = comp.afpcompdata_rc();
  std::size_t total_hits = 0;
  for (const RAFP& base : bases) {
    RAFP image = base;
    image.typ = AFPTypImage;
    for (const RAFP& query : {base, image}) {
      const std::int32_t q = comp.afpload(-1, query);
      for (bool shift : {false, true}) {
        SCOPED_TRACE(testing::Message() << query.p1.size() << char(query.typ) << shift);
        std::vector<RAFPQuickHit> hits;
        comp.afpquickscan(q, 0, rows, shift, 85, 95, hits);
        std::vector<RAFPQuickHit> expected;
        for (std::int32_t r = 0; r < rows; ++r) {
          const CompResult c = Compare(comp, q, r, true, shift);
          if (c.result) expected.push_back({r, c.proz, c.ofs});
        }
        ASSERT_EQ(hits.size(), expected.size());
        for (std::size_t i = 0; i < hits.size(); ++i) {
          EXPECT_EQ(hits[i].row, expected[i].row);
          EXPECT_EQ(hits[i].vglresproz, expected[i].vglresproz);
          EXPECT_EQ(hits[i].vglresofs, expected[i].vglresofs);
        }
        total_hits += hits.size();
      }
    }
  }
  EXPECT_GT(total_hits, 24u);  // the table only tells something when rows do match
}
