// The identification's search over a loaded cache (order, ties, 90 then 95 then 97, row locks,
// trace), the early results, the add request against a real HTTP server, and the rules for tag
// numbers and "new data".

#include "identify/afpidentify_unit.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "../afp/afp_audio_fixtures.h"
#include "../afp/afp_cache_test_util.h"
#include "afp/afpcachebin_unit.h"
#include "afp/afpcomp_unit.h"
#include "afp/afpdecode_unit.h"
#include "tags/tag_advanced_unit.h"
#include "tags/tag_simple_unit.h"
#include "web/WebRequest_Unit.h"
#include "web/web_test_server.h"

namespace {

using afpcachetest::MakeAfp;
using afpcachetest::TempDir;

// `base` with every `step`-th value of both series moved far away.
RAFP Damaged(const RAFP& base, std::size_t step) {
  RAFP afp = base;
  for (std::size_t i = 0; i < afp.p1.size(); i += step) {
    afp.p1[i] = static_cast<std::uint8_t>((afp.p1[i] + 64) % 128);
    afp.p2[i] = static_cast<std::uint8_t>((afp.p2[i] + 64) % 128);
  }
  return afp;
}

std::int32_t Percent(const RAFP& a, const RAFP& b) {
  TAFPComp comp;
  const std::int32_t ra = comp.afpload(-1, a), rb = comp.afpload(-1, b);
  std::string v1, v2;
  std::int32_t ofs = 0, p = 0;
  comp.afpcomp(ra, rb, false, false, 85, 95, v1, v2, ofs, p);
  return p;
}

// The damage step whose full comparison lands in [lo, hi].
std::size_t StepFor(const RAFP& base, std::int32_t lo, std::int32_t hi) {
  for (std::size_t step = 2; step < 200; ++step) {
    const std::int32_t p = Percent(base, Damaged(base, step));
    if (p >= lo && p <= hi) return step;
  }
  return 0;
}

class IdentifySearch : public ::testing::Test {
 protected:
  void SetUp() override {
    file = MakeAfp(400, 7);
    step90 = StepFor(file, 86, 94);
    step95 = StepFor(file, 95, 95);
    step97 = StepFor(file, 96, 99);
    ASSERT_NE(step90, 0u);
    ASSERT_NE(step95, 0u);
    ASSERT_NE(step97, 0u);
  }

  // Writes the rows into one cache file and loads it; row i gets GUID guids[i].
  void Load(const std::vector<std::pair<std::string, RAFP>>& rows) {
    TAfpCacheFileWriter writer(dir.file("afp1.afpbin"));
    for (const auto& [guid, afp] : rows) writer.Add(guid, afp);
    writer.Commit();
    ASSERT_TRUE(comp.loadfromafpcache(dir.path() + "/", false));
    ASSERT_EQ(comp.afpcompdata_loaded(), static_cast<std::int32_t>(rows.size()));
  }

  TempDir dir;
  TAFPComp comp;
  RAFP file;
  std::size_t step90 = 0, step95 = 0, step97 = 0;
};

TEST_F(IdentifySearch, KeepsTheFirstOfEqualMatchesAndStopsAboveNinetyFive) {
  const RAFP m90 = Damaged(file, step90);
  const RAFP m97 = Damaged(file, step97);
  Load({{"UNRELATED", MakeAfp(400, 99)},
        {"G90", m90},
        {"G90-TIE", m90},
        {"G95", Damaged(file, step95)},  // better, but exactly 95 does not end the search
        {"G97", m97},
        {"G100", file}});
  const std::int32_t rref = comp.afpload(-1, file);
  ASSERT_EQ(rref, 6);
  comp.afpLockRow(rref);
  std::string guid, trace;
  std::int32_t match = 0;
  TAFPIdentify::SearchBest(comp, rref, 400, 400, guid, match, trace);
  comp.afpUnlockRow(rref);
  EXPECT_EQ(guid, "G97");  // replaced the 90 and ended the search before the exact copy
  EXPECT_EQ(match, Percent(file, m97));
  EXPECT_EQ(trace,
            "Dateiidentifikation rref=6(Lck) r=4 (Lck) (F) GUID:G97 P1/2:400/400"
            " AFPnow/ref: 1/1");
  for (std::int32_t r = 0; r <= rref; ++r) EXPECT_EQ(comp.afpLocked(r), 0) << r;
}

TEST_F(IdentifySearch, AMatchAtOrBelowNinetyFiveIsKeptAndTheSearchGoesOn) {
  const RAFP m90 = Damaged(file, step90);
  Load(
      {{"G90", m90}, {"UNRELATED", MakeAfp(400, 99)}, {"G90-TIE", m90}, {"LAST", MakeAfp(400, 5)}});
  const std::int32_t rref = comp.afpload(-1, file);
  comp.afpLockRow(rref);
  std::string guid, trace;
  std::int32_t match = 0;
  TAFPIdentify::SearchBest(comp, rref, 400, 400, guid, match, trace);
  comp.afpUnlockRow(rref);
  EXPECT_EQ(guid, "G90");
  EXPECT_EQ(match, Percent(file, m90));
  // The trace shows the last row of the cache at the stage the row-by-row walk ends it in:
  // "(F)" when its quick comparison passed, "(Q)" when it only had quick data.
  std::string v1, v2;
  std::int32_t ofs = 0, p = 0;
  const bool quick = comp.afpcomp(rref, 3, true, false, 85, 95, v1, v2, ofs, p);
  EXPECT_EQ(trace, std::string("Dateiidentifikation rref=4(Lck) r=3 (Lck) ") +
                       (quick ? "(F)" : "(Q)") + " GUID:G90 P1/2:400/400 AFPnow/ref: 1/1");
}

TEST_F(IdentifySearch, NothingAboveTheMinimumLeavesNoReference) {
  Load({{"A", MakeAfp(400, 99)}, {"B", MakeAfp(400, 98)}});
  const std::int32_t rref = comp.afpload(-1, file);
  std::string guid, trace;
  std::int32_t match = 0;
  TAFPIdentify::SearchBest(comp, rref, 400, 400, guid, match, trace);
  EXPECT_EQ(guid, "");
  EXPECT_EQ(match, 0);
}

TEST(IdentifyTitle, EarlyResultsNeedNoDecodingOrService) {
  TempDir dir;
  afpcachetest::WriteBytes(dir.file("a.Mid"), {'M', 'T', 'h', 'd'});
  TAFPComp comp;
  TAFPDecoder gen;
  TWebAPI web;
  TSimpleTag s;
  TAdvancedTag a;
  TWebAPI_Tag local, remote;
  std::string fg, tg, trace = "old";
  std::int32_t match = 5, rating = 5;
  EXPECT_EQ(TAFPIdentify::IdentifyTitle(dir.file("a.Mid"), comp, gen, web, s, a, local, remote, fg,
                                        tg, match, rating, trace),
            resultFileUnsupported);
  EXPECT_EQ(trace, "");
  EXPECT_EQ(match, 0);
  EXPECT_EQ(TAFPIdentify::IdentifyTitle(dir.file("none.mp3"), comp, gen, web, s, a, local, remote,
                                        fg, tg, match, rating, trace),
            resultFileDoesNotExists);
  afpcachetest::WriteBytes(dir.file("noise.mp3"), std::vector<std::uint8_t>(3000, 0x55));
  EXPECT_EQ(TAFPIdentify::IdentifyTitle(dir.file("noise.mp3"), comp, gen, web, s, a, local, remote,
                                        fg, tg, match, rating, trace),
            resultCantGenerateAFP);
  EXPECT_EQ(trace, "Dateianalyse");
  EXPECT_EQ(comp.afpcompdata_rc(), 0);  // nothing was appended
}

TEST(IdentifyRules, TagNumbers) {
  const struct {
    const char* text;
    std::int32_t value;
  } cases[] = {{"7", 7}, {" 12 ", 12}, {"3/12", 0},       {"", 0},
               {"x", 0}, {"-2", -2},   {"99999999999", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TAFPIdentify::TagNumber(c.text), c.value);
  }
}

TEST(IdentifyRules, NewDataOnlyWhenTheServiceAddsOrChangesSomething) {
  const TWebAPI_Tag local{"T", "A", "L", 3, 1999, "Rock", 120, 0};
  const struct {
    const char* name;
    TWebAPI_Tag remote;
    bool newdata;
  } cases[] = {
      {"equal", local, false},
      {"empty genre in the answer", {"T", "A", "L", 3, 1999, "", 120, 0}, false},
      {"zero numbers in the answer", {"T", "A", "L", 0, 0, "Rock", 0, 0}, false},
      {"another year", {"T", "A", "L", 3, 2001, "Rock", 120, 0}, true},
      {"title differs in case", {"t", "A", "L", 3, 1999, "Rock", 120, 0}, true},
      {"a sync position", {"T", "A", "L", 3, 1999, "Rock", 120, 4}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TAFPIdentify::HasNewData(local, c.remote), c.newdata);
  }
}

}  // namespace

namespace {

TEST_F(IdentifySearch, TheFilesRowIsReusedSoRowsDoNotGrowPerRequest) {
  Load({{"A", MakeAfp(400, 99)}, {"G100", file}});
  for (int i = 0; i < 50; ++i) {
    const std::int32_t rref = comp.afploadtemp(i % 2 ? file : MakeAfp(300, i));
    EXPECT_EQ(rref, 2);
    comp.afpLockRow(rref);
    std::string guid, trace;
    std::int32_t match = 0;
    TAFPIdentify::SearchBest(comp, rref, 1, 1, guid, match, trace);
    comp.afpUnlockRow(rref);
    comp.afpreleasetemp(rref);
    // The reused row compares with its new fingerprint, not an old one.
    EXPECT_EQ(guid, i % 2 ? "G100" : "") << i;
  }
  EXPECT_EQ(comp.afpcompdata_rc(), 3);
}

}  // namespace

namespace {

TEST(IdentifyTitle, AFailedAddRequestRaisesTheFormattedErrorWithTheWebStage) {
  afptest::TempDir dir;
  const std::string song = dir.File("song.wav");
  afptest::WriteBytes(song, afptest::MakeWav(1, 22050, 16, afptest::MusicLike(22050, 30, 3)));
  setenv("MELODYSEEKER_API", "http://127.0.0.1:1/v2/", 1);  // nothing listens there
  TAFPComp comp;
  TAFPDecoder gen;
  TWebAPI web;
  TSimpleTag s;
  TAdvancedTag a;
  TWebAPI_Tag local, remote;
  std::string fg, tg, trace;
  std::int32_t match = 0, rating = 0;
  std::string error;
  try {
    TAFPIdentify::IdentifyTitle(song, comp, gen, web, s, a, local, remote, fg, tg, match, rating,
                                trace);
  } catch (const std::exception& e) {
    error = e.what();
  }
  unsetenv("MELODYSEEKER_API");
  EXPECT_TRUE(
      std::regex_match(error, std::regex(R"(Fehler beim WebRequst\(Add\): \d+ : .+ \(\d+ ms\))")))
      << error;
  EXPECT_EQ(trace, "Webserviceaufruf");
  // The file's row was handed back for the next request.
  EXPECT_EQ(comp.afploadtemp(afpcachetest::MakeAfp(100, 1)), 0);
}

}  // namespace

namespace {

// Nothing in the cache matches, so the service is told about a new title: the request carries
// the file's fingerprint as one record of revision '6', the revision every client reads.
TEST(IdentifyTitle, AnAddRequestCarriesTheFingerprintAsARevisionSixRecord) {
  afptest::TempDir dir;
  const std::string song = dir.File("song.wav");
  afptest::WriteBytes(song, afptest::MakeWav(1, 22050, 16, afptest::MusicLike(22050, 30, 3)));
  std::mutex lock;
  std::vector<std::string> bodies;
  WebTestServer server;
  server.Http().Post("/v2/getAFPTag.php", [&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard guard(lock);
      bodies.push_back(req.body);
    }
    res.set_content("<remoteapi><TITLE>New Song</TITLE><FGUID>F-1</FGUID><TGUID>T-1</TGUID>"
                    "<RATING>4</RATING></remoteapi>",
                    "text/xml");
  });
  ASSERT_TRUE(server.Start());
  setenv("MELODYSEEKER_API", server.Url("/v2/").c_str(), 1);
  TAFPComp comp;
  TAFPDecoder gen;
  TWebAPI web;
  TSimpleTag s;
  TAdvancedTag a;
  TWebAPI_Tag local, remote;
  std::string fg, tg, trace;
  std::int32_t match = 0, rating = 0;
  const TAFPIdentifyResult result = TAFPIdentify::IdentifyTitle(
      song, comp, gen, web, s, a, local, remote, fg, tg, match, rating, trace);
  unsetenv("MELODYSEEKER_API");
  EXPECT_EQ(result, resultUnchanged);
  EXPECT_EQ(remote.Title, "New Song");
  EXPECT_EQ(fg, "F-1");
  EXPECT_EQ(tg, "T-1");
  EXPECT_EQ(rating, 0);  // an add answer's rating is not taken

  std::lock_guard guard(lock);
  ASSERT_EQ(bodies.size(), 1u);
  TWebXmlNode sent;
  std::string error;
  const auto* body = reinterpret_cast<const std::uint8_t*>(bodies[0].data());
  ASSERT_TRUE(WebXmlParse({body, bodies[0].size()}, sent, error)) << error;
  EXPECT_EQ(sent.ChildText("FUNCTION"), "A");
  const std::string record = FromBase64(sent.ChildText("AFPPART"));
  std::string fguid;
  char16_t rev = 0;
  RAFP sentafp, expected;
  ASSERT_TRUE(TAfpCacheBin::DecodeCacheRecord(
      {reinterpret_cast<const std::uint8_t*>(record.data()), record.size()}, fguid, rev, sentafp));
  EXPECT_EQ(rev, u'6');
  EXPECT_EQ(fguid, std::string(30, '\0'));
  ASSERT_TRUE(TAFPDecoder().AFPDecode(song, expected));
  EXPECT_EQ(sentafp.typ, AFPTypAudio);
  EXPECT_EQ(sentafp.p1, expected.p1);
  EXPECT_EQ(sentafp.p2, expected.p2);
}

}  // namespace
