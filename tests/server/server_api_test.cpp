// The web service over real HTTP on 127.0.0.1: the client library of the service reads every
// document, and raw requests check what the client never sends.
#include "server_api.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "server_test_util.h"
#include "web/webapi_unit.h"

using server_test::Backend;
using server_test::BackendName;
using server_test::Base64;
using server_test::BothBackends;
using server_test::MakeAfp;
using server_test::ReadCacheDir;
using server_test::RecordBytes;
using server_test::TempDir;

namespace {

class ApiTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override { Start(3, std::chrono::hours(1)); }

  void Start(std::int64_t records_per_file, std::chrono::seconds keep_old,
             std::chrono::seconds interval = std::chrono::seconds(0)) {
    std::string error;
    const std::string location = server_test::NewDbLocation(GetParam(), dir.path());
    db = ServerDb::Open(location, error);
    build_db = ServerDb::Open(location, error);
    ASSERT_TRUE(db && build_db) << error;
    cache = std::make_unique<CacheStore>(dir.path() + "/afpcache", records_per_file, keep_old);
    CacheBuildReport r;
    ASSERT_TRUE(cache->Build(*db, false, r).ok());
    ApiOptions options;
    options.port = 0;
    options.rebuild_interval = interval;
    server = std::make_unique<ApiServer>(*db, *build_db, *cache, options);
    ASSERT_TRUE(server->Start().ok());
    Use("/v2/");
  }
  void TearDown() override {
    if (server) server->Stop();
    ::unsetenv("MELODYSEEKER_API");
  }
  // The client library reads its base address from the environment at every request.
  void Use(const std::string& prefix) {
    base = "http://127.0.0.1:" + std::to_string(server->Port()) + prefix;
    ::setenv("MELODYSEEKER_API", base.c_str(), 1);
  }
  httplib::Result Post(const std::string& body) {
    httplib::Client cli("127.0.0.1", server->Port());
    return cli.Post("/v2/getAFPTag.php", body, "text/xml");
  }
  bool Add(const RAFP& afp, const TWebAPI_Tag& tag, TWebAPI_Add& add) {
    add = TWebAPI_Add{};
    add.AFPpart = RecordBytes(afp);
    add.Tag = tag;
    TWebAPI api;
    const bool ok = api.getAFPTag_Add(add);
    EXPECT_TRUE(ok) << api.ErrorMessage();
    return ok;
  }
  // Polls `done` for up to 10 s. The rebuild thread makes a new generation visible first and
  // only then removes the old one and counts the rebuild, so each of these steps is waited for
  // on its own.
  static bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 200; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
  }
  // Waits until the rebuild thread has published a generation with `records` records.
  std::shared_ptr<const CacheGeneration> WaitForCache(std::int64_t records) {
    std::shared_ptr<const CacheGeneration> gen;
    WaitFor([&] {
      gen = cache->Current();
      return gen && gen->records == records;
    });
    return gen && gen->records == records ? gen : nullptr;
  }
  // Downloads every listed file into `into` the way the service's download does.
  TWebAPI_CacheFiles Download(const std::string& into) {
    std::filesystem::create_directories(into);
    TWebAPI api;
    TWebAPI_CacheFiles files;
    EXPECT_TRUE(api.getCacheInf(files)) << api.ErrorMessage();
    for (const auto& f : files) {
      std::ofstream out(into + "/" + f.Url.substr(f.Url.rfind('/') + 1), std::ios::binary);
      EXPECT_TRUE(api.getCacheFile(f.Url, &out, f.Size)) << api.ErrorMessage();
    }
    return files;
  }

  TempDir dir;
  std::unique_ptr<ServerDb> db, build_db;
  std::unique_ptr<CacheStore> cache;
  std::unique_ptr<ApiServer> server;
  std::string base;
};

TEST_P(ApiTest, StateAndCacheListOverBothPrefixes) {
  ApiState state;
  state.online = false;
  state.message_de = "Wartung\\nbis 12 Uhr";
  state.message_en = "Maintenance";
  state.client_minvers = "1.10";
  ASSERT_TRUE(db->SetState(state).ok());
  TWebAPI_Tag tag;
  tag.Title = "x";
  tag.Artist = "y";
  for (int i = 0; i < 5; ++i) {
    TWebAPI_Add add;
    ASSERT_TRUE(Add(MakeAfp(i), tag, add));
  }
  ASSERT_TRUE(WaitForCache(5));

  for (const char* prefix : {"/v2/", "/api/v2/"}) {
    SCOPED_TRACE(prefix);
    Use(prefix);
    TWebAPI api;
    bool online = true;
    std::string de, en, minvers;
    ASSERT_TRUE(api.getState(online, de, en, minvers)) << api.ErrorMessage();
    EXPECT_FALSE(online);
    EXPECT_EQ(de, "Wartung\r\nbis 12 Uhr");
    EXPECT_EQ(en, "Maintenance");
    EXPECT_EQ(minvers, "1.10");

    const std::string into = dir.path() + "/client" + std::to_string(prefix[1]);
    const TWebAPI_CacheFiles files = Download(into);
    ASSERT_EQ(files.size(), 2u);  // 3 + 2 records
    for (const auto& f : files) {
      EXPECT_EQ(f.Url.rfind(base + "afpcache/", 0), 0u) << f.Url;
      const std::string name = f.Url.substr(f.Url.rfind('/') + 1);
      EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(into + "/" + name)), f.Size);
      EXPECT_EQ(
          static_cast<std::int64_t>(std::filesystem::file_size(cache->Current()->dir + "/" + name)),
          f.Size);
    }
    EXPECT_EQ(ReadCacheDir(into).size(), 5u);
  }
}

TEST_P(ApiTest, AddJoinsTitlesUpdateFillsEmptyFieldsTestStoresNothing) {
  TWebAPI_Tag tag;
  tag.Title = "Blue Hour";
  tag.Artist = "The Tones";
  tag.Year = 1999;
  TWebAPI_Add first;
  ASSERT_TRUE(Add(MakeAfp(1), tag, first));
  EXPECT_EQ(first.retFGUID.size(), 30u);
  EXPECT_TRUE(ValidFguid(first.retFGUID));
  EXPECT_FALSE(first.retTGUID.empty());
  EXPECT_EQ(first.Tag.Title, "Blue Hour");
  EXPECT_EQ(first.Tag.Year, 1999);

  // Another recording of the same title (case and blanks differ) joins it and fills the album.
  TWebAPI_Tag other;
  other.Title = " blue hour";
  other.Artist = "THE TONES ";
  other.Album = "Evening";
  other.Year = 2005;
  TWebAPI_Add second;
  ASSERT_TRUE(Add(MakeAfp(2), other, second));
  EXPECT_NE(second.retFGUID, first.retFGUID);
  EXPECT_EQ(second.retTGUID, first.retTGUID);
  EXPECT_EQ(second.Tag.Title, "Blue Hour");  // kept, not overwritten
  EXPECT_EQ(second.Tag.Album, "Evening");    // was empty
  EXPECT_EQ(second.Tag.Year, 1999);

  // The same fingerprint again is the stored one.
  TWebAPI_Add again;
  ASSERT_TRUE(Add(MakeAfp(1), TWebAPI_Tag{}, again));
  EXPECT_EQ(again.retFGUID, first.retFGUID);
  EXPECT_EQ(db->Stats().fingerprints, 2);
  EXPECT_EQ(db->Stats().titles, 1);

  // Untagged files never join each other.
  TWebAPI_Add bare1, bare2;
  ASSERT_TRUE(Add(MakeAfp(3), TWebAPI_Tag{}, bare1));
  ASSERT_TRUE(Add(MakeAfp(4), TWebAPI_Tag{}, bare2));
  EXPECT_NE(bare1.retTGUID, bare2.retTGUID);

  // "T": the answer of an update, nothing stored.
  const std::string test_request =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><remoteapi><FUNCTION>T</FUNCTION><FGUID>" +
      second.retFGUID + "</FGUID><GENRE>Jazz</GENRE></remoteapi>";
  auto res = Post(test_request);
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_NE(res->body.find("<RATING>0</RATING>"), std::string::npos) << res->body;
  EXPECT_NE(res->body.find("<GENRE></GENRE>"), std::string::npos) << res->body;

  // "U" through the client: the title of the matched fingerprint, empty genre filled, rated.
  TWebAPI api;
  TWebAPI_Update update;
  update.FGUID = second.retFGUID;
  update.Tag.Title = "Something Else";
  update.Tag.Genre = "Jazz";
  update.Tag.BPM = 120;
  ASSERT_TRUE(api.getAFPTag_Update(update)) << api.ErrorMessage();
  EXPECT_EQ(update.retFGUID, second.retFGUID);
  EXPECT_EQ(update.retTGUID, first.retTGUID);
  EXPECT_EQ(update.Tag.Title, "Blue Hour");
  EXPECT_EQ(update.Tag.Artist, "The Tones");
  EXPECT_EQ(update.Tag.Album, "Evening");
  EXPECT_EQ(update.Tag.Genre, "Jazz");
  EXPECT_EQ(update.Tag.BPM, 120);
  EXPECT_EQ(update.retRating, 1);

  // Unknown fingerprint: an error status, which the client reports.
  update.FGUID = std::string(30, 'Z');
  EXPECT_FALSE(api.getAFPTag_Update(update));
  EXPECT_EQ(api.ResponseCode(), 404);
}

TEST_P(ApiTest, BadRequestsAreRefusedWithAReasonAndStoreNothing) {
  const RAFP good = MakeAfp(7);
  RAFP image = good;
  image.typ = AFPTypImage;
  RAFP uneven = good;
  uneven.p2.pop_back();
  const auto doc = [](const std::string& function, const std::string& part,
                      const std::string& extra = "") {
    return "<remoteapi><FUNCTION>" + function + "</FUNCTION><AFPPART>" + part + "</AFPPART>" +
           extra + "</remoteapi>";
  };
  const std::string record = RecordBytes(good);
  struct Case {
    const char* name;
    std::string body;
    int status;
    const char* reason;
  } cases[] = {
      {"not xml", "hello", 400, "not a usable XML"},
      {"doctype", "<!DOCTYPE x [<!ENTITY a \"b\">]><remoteapi/>", 400, "not a usable XML"},
      {"wrong root", "<other><FUNCTION>A</FUNCTION></other>", 400, "<remoteapi>"},
      {"unknown function", doc("X", Base64(record)), 400, "FUNCTION"},
      {"no AFPPART", doc("A", ""), 400, "missing"},
      {"not base64", doc("A", "@@@@"), 400, "Base64"},
      {"bad fill", doc("A", Base64(record) + "="), 400, "Base64"},
      {"truncated record", doc("A", Base64(record.substr(0, record.size() - 10))), 400,
       "exactly one"},
      {"two records", doc("A", Base64(record + record)), 400, "exactly one"},
      {"trailing byte", doc("A", Base64(record + "x")), 400, "exactly one"},
      {"revision 4", doc("A", Base64(RecordBytes(good, u'4'))), 400, "revision"},
      {"image", doc("A", Base64(RecordBytes(image))), 400, "audio"},
      {"uneven series", doc("A", Base64(RecordBytes(uneven))), 400, "same length"},
      {"58 values", doc("A", Base64(RecordBytes(MakeAfp(1, 58)))), 400, "same length"},
      {"4785 values", doc("A", Base64(RecordBytes(MakeAfp(1, 4785)))), 400, "same length"},
      {"track not a number", doc("A", Base64(record), "<TRACK>3/12</TRACK>"), 400, "TRACK"},
      {"negative year", doc("A", Base64(record), "<YEAR>-1</YEAR>"), 400, "YEAR"},
      {"long title", doc("A", Base64(record), "<TITLE>" + std::string(5000, 'a') + "</TITLE>"), 400,
       "TITLE"},
      {"short FGUID", "<remoteapi><FUNCTION>U</FUNCTION><FGUID>abc</FGUID></remoteapi>", 400,
       "FGUID"},
      {"body too large", doc("A", std::string(kMaxRequestBytes + 10, 'A')), 413, "larger than"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto res = Post(c.body);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    EXPECT_NE(res->body.find(c.reason), std::string::npos) << res->body;
  }
  EXPECT_EQ(db->Stats().fingerprints, 0);
  EXPECT_EQ(db->Stats().titles, 0);

  // The bounds themselves are fine.
  for (std::size_t n : {AFPMinValues, AFPMaxValues}) {
    SCOPED_TRACE(n);
    auto res = Post(doc("A", Base64(RecordBytes(MakeAfp(9, n)))));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
  }
  httplib::Client cli("127.0.0.1", server->Port());
  auto wrong_method = cli.Get("/v2/getAFPTag.php");
  ASSERT_TRUE(wrong_method);
  EXPECT_EQ(wrong_method->status, 404);
  auto no_file = cli.Get("/v2/afpcache/999/afp0001.afpbin");
  ASSERT_TRUE(no_file);
  EXPECT_EQ(no_file->status, 404);
}

TEST_P(ApiTest, EightClientsAddingAtOnceLoseNothing) {
  constexpr int kClients = 8, kEach = 20;
  std::vector<std::vector<std::string>> fguids(kClients);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      for (int i = 0; i < kEach; ++i) {
        TWebAPI_Add add;
        add.AFPpart = RecordBytes(MakeAfp(static_cast<std::uint32_t>(1000 + c * kEach + i)));
        // Every client adds recordings of the same five titles.
        add.Tag.Title = "Song " + std::to_string(i % 5);
        add.Tag.Artist = "Band";
        TWebAPI api;
        if (!api.getAFPTag_Add(add) || add.retFGUID.size() != 30) {
          ++failures;
          continue;
        }
        fguids[c].push_back(add.retFGUID);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> all;
  for (const auto& list : fguids) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kClients * kEach));
  EXPECT_EQ(db->Stats().fingerprints, kClients * kEach);
  EXPECT_EQ(db->Stats().titles, 5);

  ASSERT_TRUE(WaitForCache(kClients * kEach));
  const std::string into = dir.path() + "/client";
  Download(into);
  std::set<std::string> cached;
  for (const auto& r : ReadCacheDir(into)) cached.insert(r.fguid);
  EXPECT_EQ(cached, all);
}

class ApiRateTest : public ApiTest {
 protected:
  void SetUp() override { Start(3, std::chrono::hours(1), std::chrono::seconds(4)); }
};

TEST_P(ApiRateTest, AdditionsArePublishedAtMostOncePerInterval) {
  const auto started = std::chrono::steady_clock::now();
  const auto first_gen = cache->Current()->number;
  TWebAPI_Add add;
  ASSERT_TRUE(Add(MakeAfp(1), TWebAPI_Tag{}, add));
  ASSERT_TRUE(WaitForCache(1) || WaitForCache(1));  // published once the interval has passed
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  const auto published = std::chrono::steady_clock::now();
  ASSERT_TRUE(Add(MakeAfp(2), TWebAPI_Tag{}, add));
  ASSERT_TRUE(Add(MakeAfp(3), TWebAPI_Tag{}, add));
  // The rebuild thread wakes at once for each addition and must leave them for later: the last
  // build was under 4 s ago. (Checked only while that still holds; a loaded machine can take
  // long for the two additions.)
  std::this_thread::sleep_for(std::chrono::seconds(1));
  if (std::chrono::steady_clock::now() - published < std::chrono::seconds(3)) {
    EXPECT_EQ(cache->Current()->records, 1);
  }
  ASSERT_TRUE(WaitForCache(3) || WaitForCache(3));
  EXPECT_GE(std::chrono::steady_clock::now() - published, std::chrono::seconds(4));
  EXPECT_EQ(cache->Current()->number, first_gen + 2);  // one build for both additions
  // The rebuild is counted after its generation became visible.
  EXPECT_TRUE(WaitFor([&] { return server->Rebuilds() >= 2; }));
  EXPECT_EQ(server->Rebuilds(), 2);
}

class ApiDownloadTest : public ApiTest {
 protected:
  // Large records in one file, and old generations removed at once.
  void SetUp() override { Start(100000, std::chrono::seconds(0)); }
};

TEST_P(ApiDownloadTest, RebuildDuringADownloadNeverServesAHalfWrittenFile) {
  constexpr int kRecords = 1500;  // about 12 MB of records of 4784 values
  for (int i = 0; i < kRecords; ++i) {
    AddResult r;
    ASSERT_TRUE(db->AddFingerprint(MakeAfp(i, AFPMaxValues), TitleTags{}, r).ok());
  }
  CacheBuildReport report;
  ASSERT_TRUE(cache->Build(*db, false, report).ok());
  const auto gen = cache->Current();
  ASSERT_EQ(gen->files.size(), 1u);
  std::ifstream in(gen->dir + "/afp0001.afpbin", std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  ASSERT_EQ(static_cast<std::int64_t>(expected.size()), gen->files[0].size);

  TWebAPI api;
  TWebAPI_CacheFiles files;
  ASSERT_TRUE(api.getCacheInf(files));
  ASSERT_EQ(files.size(), 1u);
  const std::string path = files[0].Url.substr(files[0].Url.find("/v2/"));

  // A slow reader: after the first chunk the server rebuilds (and deletes the old generation).
  std::string got;
  bool rebuilt = false;
  httplib::Client cli("127.0.0.1", server->Port());
  auto res = cli.Get(path, [&](const char* data, std::size_t n) {
    got.append(data, n);
    if (!rebuilt) {
      rebuilt = true;
      TWebAPI_Add add;
      EXPECT_TRUE(Add(MakeAfp(99999), TWebAPI_Tag{}, add));
      EXPECT_TRUE(WaitForCache(kRecords + 1));
      // Removed right after the new generation became current (nothing is kept here).
      EXPECT_TRUE(WaitFor([&] { return !std::filesystem::exists(gen->dir); }));
    }
    return true;
  });
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_TRUE(rebuilt);
  EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";

  // The new list names only complete files.
  const std::string into = dir.path() + "/client";
  const TWebAPI_CacheFiles now = Download(into);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_GT(now[0].Size, files[0].Size);
  EXPECT_EQ(ReadCacheDir(into).size(), static_cast<std::size_t>(kRecords + 1));
}

INSTANTIATE_TEST_SUITE_P(Backends, ApiTest, BothBackends(), BackendName);
INSTANTIATE_TEST_SUITE_P(Backends, ApiRateTest, BothBackends(), BackendName);
INSTANTIATE_TEST_SUITE_P(Backends, ApiDownloadTest, BothBackends(), BackendName);

}  // namespace
