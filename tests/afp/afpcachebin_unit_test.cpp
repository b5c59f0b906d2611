#include "afp/afpcachebin_unit.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "afp/afp_cache_test_util.h"

using namespace afpcachetest;

namespace {

struct Seen {
  std::int32_t fileindex, dsindex;
  std::int64_t glob;
  std::string fguid;
  RAFP afp;
};

std::vector<Seen> Load(TAfpCacheBin& bin, const std::string& dir) {
  std::vector<Seen> seen;
  bin.Init(dir, [&](std::int32_t f, std::int32_t d, std::int64_t g, const std::string& id,
                    const RAFP& afp) { seen.push_back({f, d, g, id, afp}); });
  return seen;
}

std::string InitError(const std::string& dir) {
  TAfpCacheBin bin;
  try {
    Load(bin, dir);
  } catch (const EAfpCacheError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(TAfpCacheBin, WrittenRecordReadsBackValidWithZeroFguid) {
  const RAFP afp = MakeAfp(700, 1);
  std::stringstream stream;
  stream << "xy";  // written at the current position, then rewound
  TAfpCacheBin::afptoafpcacheentry(u'6', afp, stream);
  EXPECT_EQ(stream.tellg(), 0);
  const std::string all = stream.str();
  ASSERT_EQ(all.substr(0, 2), "xy");
  const std::vector<std::uint8_t> rec(all.begin() + 2, all.end());
  // 3 + 31 + 2 + 2 + 2 * (3 + 2 + 613) + 1 bytes; the length field holds that minus 3.
  ASSERT_EQ(rec.size(), 1275u);
  EXPECT_EQ(rec[1] | (rec[2] << 8), 1272);

  std::string fguid;
  char16_t rev = 0;
  RAFP back;
  EXPECT_TRUE(TAfpCacheBin::DecodeCacheRecord(rec, fguid, rev, back));
  EXPECT_EQ(fguid, std::string(30, '\0'));
  EXPECT_EQ(rev, u'6');
  EXPECT_EQ(back.typ, AFPTypAudio);
  EXPECT_EQ(back.p1, afp.p1);
  EXPECT_EQ(back.p2, afp.p2);
  EXPECT_TRUE(back.loaded);
}

TEST(TAfpCacheBin, EmptyOrMissingDirectoryGivesNoRecords) {
  TempDir dir;
  WriteBytes(dir.file("other.bin"), {0x00});  // not a cache file name
  WriteBytes(dir.file("afp0.afpbin"), {});
  for (const std::string& path : {dir.path(), dir.file("missing")}) {
    SCOPED_TRACE(path);
    TAfpCacheBin bin;
    EXPECT_TRUE(Load(bin, path).empty());
    EXPECT_EQ(bin.RecordCount(), 0);
    std::string fguid;
    EXPECT_FALSE(bin.Get(0, fguid));
  }
}

TEST(TAfpCacheBin, OldOrInvalidRecordsAreIndexedButNeverHandedOut) {
  TempDir dir;
  RAFP noseries = MakeAfp(80, 3);
  noseries.p2.clear();
  RAFP notyp = MakeAfp(80, 4, AFPTypNone);
  std::vector<std::uint8_t> bytes;
  for (const auto& rec : {Record(Guid(0), u'4', MakeAfp(80, 1)), Record(Guid(1), u'6', MakeAfp(80, 2)),
                          Record(Guid(2), u'6', noseries), Record(Guid(3), u'6', notyp),
                          Record(Guid(4), u'0', MakeAfp(80, 5)), Record(Guid(5), u'5', MakeAfp(90, 6))})
    bytes.insert(bytes.end(), rec.begin(), rec.end());
  WriteBytes(dir.file("afp1.afpbin"), bytes);
  WriteBytes(dir.file("afp2.AFPBIN"), Record(Guid(6), u'6', MakeAfp(70, 7)));

  TAfpCacheBin bin;
  const auto seen = Load(bin, dir.path());
  EXPECT_EQ(bin.RecordCount(), 7);
  EXPECT_EQ(bin.FileCount(), 2);
  ASSERT_EQ(seen.size(), 3u);
  const std::int64_t globs[] = {1, 5, 6};
  for (std::size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].glob, globs[i]);
    EXPECT_EQ(seen[i].fguid.substr(0, 6), Guid(static_cast<std::uint32_t>(globs[i])));
    EXPECT_EQ(seen[i].fguid.size(), 30u);
    std::string fguid;
    RAFP afp;
    EXPECT_TRUE(bin.Get(globs[i], fguid, afp));
    EXPECT_EQ(fguid, seen[i].fguid);
    EXPECT_EQ(afp.p1, seen[i].afp.p1);
  }
  EXPECT_EQ(seen[1].fileindex, 0);
  EXPECT_EQ(seen[1].dsindex, 5);
  EXPECT_EQ(seen[2].fileindex, 1);
  EXPECT_EQ(seen[2].dsindex, 0);
  for (std::int64_t g : {0, 2, 3, 4, 7, -1}) {
    SCOPED_TRACE(g);
    std::string fguid;
    RAFP afp = MakeAfp(5, 1);
    EXPECT_FALSE(bin.Get(g, fguid, afp));
    EXPECT_TRUE(afp.p1.empty());
  }
}

// Records crossing the 10 MiB read boundary: the boundary falls on the start byte, inside the
// length field and inside the body.
TEST(TAfpCacheBin, RecordsSplitByTheChunkBoundaryDecode) {
  for (std::size_t before : {1u, 2u, 3u, 500u}) {
    SCOPED_TRACE(before);
    TempDir dir;
    std::vector<std::uint8_t> bytes;
    std::vector<RAFP> written;
    const std::size_t target = TAfpCacheBin::kChunkSize - before;  // where the last one starts
    std::uint32_t seed = 0;
    while (target - bytes.size() > 9000) {
      written.push_back(MakeAfp(4000, ++seed));
      AppendAfpCacheRecord(Guid(seed), u'6', written.back(), bytes);
    }
    // Pad exactly up to the target with one record of fitting series lengths.
    const std::size_t gap = target - bytes.size();
    // A record takes 45 bytes plus the two encodings of 2 + ceil(7n / 8) bytes.
    bool padded = false;
    for (std::size_t n2 = 61; n2 < 70 && !padded; ++n2) {
      for (std::size_t n1 = 61; n1 < 10000; ++n1) {
        if (45 + TBitStream7::EncodedSize(n1) + TBitStream7::EncodedSize(n2) != gap) continue;
        RAFP pad = MakeAfp(n1, ++seed);
        pad.p2.resize(n2, 5);
        written.push_back(pad);
        AppendAfpCacheRecord(Guid(seed), u'6', pad, bytes);
        padded = true;
        break;
      }
    }
    ASSERT_TRUE(padded);
    ASSERT_EQ(bytes.size(), target);
    written.push_back(MakeAfp(4000, ++seed));
    AppendAfpCacheRecord(Guid(seed), u'6', written.back(), bytes);
    WriteBytes(dir.file("afp.afpbin"), bytes);

    TAfpCacheBin bin;
    const auto seen = Load(bin, dir.path());
    ASSERT_EQ(seen.size(), written.size());
    EXPECT_EQ(seen.back().afp.p1, written.back().p1);
    EXPECT_EQ(seen.back().afp.p2, written.back().p2);
    std::string fguid;
    RAFP afp;
    EXPECT_TRUE(bin.Get(seen.back().glob, fguid, afp));
    EXPECT_EQ(afp.p2, written.back().p2);
  }
}

TEST(TAfpCacheBin, MalformedFilesRaiseTheirTexts) {
  const auto good = Record(Guid(1), u'6', MakeAfp(100, 1));
  auto badend = good;
  badend.back() = 0x00;
  auto zerolen = std::vector<std::uint8_t>{0xF0, 0x00, 0x00};
  auto truncated = good;
  truncated.insert(truncated.end(), good.begin(), good.end() - 1);
  const std::string rec = "Fehler beim Konvertieren des AFP Datensatzes:  afpds_start/stop";
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string reason;
  } const cases[] = {
      {"first byte", {0x00, 0xF0}, "afpds_start"},
      {"between records", [&] { auto b = good; b.push_back(0x11); b.insert(b.end(), good.begin(), good.end()); return b; }(), "afpds_start"},
      {"end byte", badend, rec},
      {"zero length", zerolen, rec},
      {"cut inside a record", truncated, "afpds_stop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteBytes(dir.file("afp_a.afpbin"), c.bytes);
    EXPECT_EQ(InitError(dir.path()), "AfpCache DoConvert(): Fehler beim Konvertieren des AFP Cache: " +
                                         dir.file("afp_a.afpbin") + " " + c.reason);
  }
  TempDir dir;
  WriteBytes(dir.file("afp_b.afpbin"), good);
  std::filesystem::permissions(dir.file("afp_b.afpbin"), std::filesystem::perms::none);
  if (::geteuid() != 0) {
    EXPECT_EQ(InitError(dir.path()),
              "Fehler beim öffnen der AFP Cache Datei " + dir.file("afp_b.afpbin") + " : 13");
  }
}

// Lengths inside a record that lie: the record is indexed, judged invalid, and nothing is read
// outside it (the asan build checks the last part).
TEST(TAfpCacheBin, CorruptItemsMakeTheRecordInvalid) {
  const auto good = Record(Guid(1), u'6', MakeAfp(100, 1));
  const std::size_t p1 = 3 + 31 + 2 + 2;  // tag of p1
  const std::size_t p2 = p1 + 3 + 2 + 88;
  struct Case {
    const char* name;
    std::size_t pos;
    std::uint8_t value;
  } const cases[] = {
      {"p2 item longer than the record", p2 + 2, 0x7F},
      // The true length is 90 (0x5A): one byte more takes the end marker, three run past it.
      {"p2 item reaching into the end marker", p2 + 1, 0x5B},
      {"p2 item three bytes past the record", p2 + 1, 0x5D},
      {"p2 count beyond its item", p2 + 4, 0x7F},
      {"p1 count beyond its item", p1 + 4, 0x01},
      {"unknown tag instead of p2", p2, 0x33},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = good;
    ASSERT_EQ(bytes[p2], 0xF9);
    ASSERT_EQ(bytes[p2 + 1], 0x5A);
    bytes[c.pos] = c.value;
    std::string fguid;
    char16_t rev;
    RAFP afp;
    EXPECT_FALSE(TAfpCacheBin::DecodeCacheRecord(bytes, fguid, rev, afp));
    TempDir dir;
    WriteBytes(dir.file("afp.afpbin"), bytes);
    TAfpCacheBin bin;
    EXPECT_TRUE(Load(bin, dir.path()).empty());
    EXPECT_EQ(bin.RecordCount(), 1);
  }
  // A record cut to its FGUID item only: valid markers, nothing else.
  std::vector<std::uint8_t> small = {0xF0, 0x03, 0x00, 0xF1, 0x41, 0xFF};
  std::string fguid;
  char16_t rev;
  RAFP afp;
  EXPECT_FALSE(TAfpCacheBin::DecodeCacheRecord(small, fguid, rev, afp));
  EXPECT_TRUE(fguid.empty());
}

TEST(TAfpCacheFileWriter, WritesWholeFilesOfRevisionSixWithFguids) {
  TempDir dir;
  {
    TAfpCacheFileWriter writer(dir.file("afp_0001.afpbin"));
    for (std::uint32_t i = 0; i < 50; ++i) writer.Add(Guid(i), MakeAfp(61 + i, i));
    EXPECT_FALSE(std::filesystem::exists(dir.file("afp_0001.afpbin")));
    EXPECT_THROW(writer.Add(std::string(31, 'x'), MakeAfp(70, 1)), EAfpCacheError);
    writer.Commit();
  }
  {
    TAfpCacheFileWriter abandoned(dir.file("afp_0002.afpbin"));
    abandoned.Add(Guid(1), MakeAfp(70, 1));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("afp_0002.afpbin.tmp")));
  // Two series of 37500 values overflow the 16-bit record length.
  std::vector<std::uint8_t> out = {1, 2};
  EXPECT_THROW(AppendAfpCacheRecord("", u'6', MakeAfp(37500, 1), out), EAfpCacheError);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2}));

  TAfpCacheBin bin;
  const auto seen = Load(bin, dir.path());
  ASSERT_EQ(seen.size(), 50u);
  for (std::uint32_t i = 0; i < 50; ++i) {
    EXPECT_EQ(seen[i].fguid, Guid(i) + std::string(30 - Guid(i).size(), '\0'));
    EXPECT_EQ(seen[i].afp.p1, MakeAfp(61 + i, i).p1);
  }
}
