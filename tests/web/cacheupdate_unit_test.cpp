// The cache download run against a real HTTP server: clean-up rules, what is downloaded, the
// language of the offline message, the version rule, refused names and broken downloads.

#include "web/cacheupdate_unit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../afp/afp_cache_test_util.h"
#include "afp/afpcomp_unit.h"
#include "platform/main_thread_queue.h"
#include "web/web_test_server.h"

namespace {

namespace fs = std::filesystem;
using afpcachetest::TempDir;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(CacheUpdateRules, PlainCacheFileNames) {
  const struct {
    const char* name;
    bool ok;
  } cases[] = {{"afp00001.afpbin", true},
               {"afp.afpbin", true},
               {"AFP1.afpbin", false},
               {"afp1.afpbin.tmp", false},
               {"x.afpbin", false},
               {"..", false},
               {".", false},
               {"", false},
               {"afp\\..\\a.afpbin", false},
               {"afp\n.afpbin", false},
               {"afp1.AFPBIN", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsPlainCacheFileName(c.name), c.ok);
  }
  EXPECT_EQ(CacheFileNameOfUrl("http://h/a/b/afp1.afpbin"), "afp1.afpbin");
  EXPECT_EQ(CacheFileNameOfUrl("http://h/get.php?f=afp1.afpbin"), "get.php?f=afp1.afpbin");
}

TEST(CacheUpdateRules, ClientVersionComparedByCharacterCodes) {
  const struct {
    const char* minvers;
    const char* version;
    bool tooold;
  } cases[] = {{"1.10", "1.09a 64Bit", true}, {"1.09", "1.09a 64Bit", false},
               {"", "1.00 64Bit", false},     {"1.00 64Bit", "1.00 64Bit", false},
               {"1.00a", "1.00 64Bit", true}, {"0.99", "1.00 64Bit", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.minvers) + " vs " + c.version);
    EXPECT_EQ(ClientTooOld(c.minvers, c.version), c.tooold);
  }
}

TEST(CacheUpdateRules, CleaningKeepsCurrentFilesAndDeletesTheRest) {
  TempDir dir;
  WriteText(dir.file("afp1.afpbin"), "12345");    // listed, right size: kept, not downloaded
  WriteText(dir.file("afp2.afpbin"), "123");      // listed, other size: deleted, downloaded
  WriteText(dir.file("old.afpbin"), "x");         // not listed: deleted
  WriteText(dir.file("afp3.afpbin.part"), "xx");  // a broken earlier download: deleted
  fs::create_directories(dir.file("sub"));        // directories are not touched
  TWebAPI_CacheFiles files = {
      {"http://h/afp1.afpbin", 5}, {"http://h/afp2.afpbin", 4}, {"http://h/x/afp3.afpbin", 9}};
  CleanCacheDir(dir.path(), files);
  EXPECT_TRUE(fs::exists(dir.file("afp1.afpbin")));
  EXPECT_FALSE(fs::exists(dir.file("afp2.afpbin")));
  EXPECT_FALSE(fs::exists(dir.file("old.afpbin")));
  EXPECT_FALSE(fs::exists(dir.file("afp3.afpbin.part")));
  EXPECT_TRUE(fs::is_directory(dir.file("sub")));
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].Url, "http://h/afp2.afpbin");
  EXPECT_EQ(files[1].Url, "http://h/x/afp3.afpbin");
}

// A run against the test server; the statuses arrive through the main-thread queue.
class CacheUpdateRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 3; ++i)
      AppendAfpCacheRecord(afpcachetest::Guid(i), u'6', afpcachetest::MakeAfp(100, i), bytes);
    cachefile.assign(bytes.begin(), bytes.end());
    server.Http().Get("/v2/getState.php", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(state, "text/xml");
    });
    server.Http().Get("/v2/getAFPCacheInf.php",
                      [this](const httplib::Request&, httplib::Response& res) {
                        std::string body = "<afpcache>";
                        for (const auto& [name, size] : list)
                          body += "<afpcachefile size=\"" + std::to_string(size) + "\">" +
                                  server.Url("/files/" + name) + "</afpcachefile>";
                        res.set_content(body + "</afpcache>", "text/xml");
                      });
    server.Http().Get(R"(/files/(.*))",
                      [this](const httplib::Request& req, httplib::Response& res) {
                        {
                          std::lock_guard<std::mutex> lock(mu);
                          downloads.push_back(req.matches[1]);
                        }
                        if (fail) {
                          res.status = 500;
                          res.set_content("kaputt", "text/plain");
                          return;
                        }
                        res.set_content(body, "application/octet-stream");
                      });
    ASSERT_TRUE(server.Start());
    setenv("MELODYSEEKER_API", server.Url("/v2/").c_str(), 1);
    fs::create_directories(cache.file("Cache"));
    body = cachefile;
  }
  void TearDown() override { unsetenv("MELODYSEEKER_API"); }

  // Runs once; returns the last status text shown.
  std::string Run(const std::string& lang = "") {
    auto queue = std::make_shared<TPlainMainThreadQueue>();
    std::vector<TCacheUpdateStatus> shown;
    ready = false;
    TWebAPICacheUpdateThread run(
        comp, {cache.file("Cache"), lang, "1.00 64Bit"}, queue,
        [&shown](const TCacheUpdateStatus& s) { shown.push_back(s); }, [this] { ready = true; });
    run.Start();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!run.Finished() && std::chrono::steady_clock::now() < end)
      queue->wait_and_process(std::chrono::milliseconds(10));
    run.WaitFor();
    queue->process_pending();
    return shown.empty() ? std::string() : shown.back().Text;
  }

  WebTestServer server;
  TempDir cache;
  TAFPComp comp;
  std::mutex mu;
  std::vector<std::string> downloads;
  std::string cachefile, body;
  std::string state =
      "<apistate><online>1</online><message_de>Wartung</message_de><message_en>Maintenance"
      "</message_en><client_minvers></client_minvers></apistate>";
  std::vector<std::pair<std::string, std::int64_t>> list;
  bool ready = false;
  bool fail = false;
};

TEST_F(CacheUpdateRun, DownloadsOnlyWhatIsMissingThenLoadsAndReportsReady) {
  list = {{"afp1.afpbin", static_cast<std::int64_t>(cachefile.size())},
          {"afp2.afpbin", static_cast<std::int64_t>(cachefile.size())}};
  WriteText(cache.file("Cache/afp1.afpbin"), cachefile);
  EXPECT_EQ(Run(), "Lokaler Cache vorbereitet");
  EXPECT_TRUE(ready);
  EXPECT_EQ(downloads, std::vector<std::string>{"afp2.afpbin"});
  EXPECT_EQ(ReadText(cache.file("Cache/afp2.afpbin")), cachefile);
  EXPECT_EQ(comp.afpcompdata_loaded(), 6);

  // Everything current: nothing downloaded, straight to loading.
  downloads.clear();
  EXPECT_EQ(Run(), "Lokaler Cache vorbereitet");
  EXPECT_TRUE(downloads.empty());
}

TEST_F(CacheUpdateRun, FailuresStopWithTheirMessageAndNeverReportReady) {
  const std::string offline =
      "<apistate><online>0</online><message_de>Wartung</message_de><message_en>Maintenance"
      "</message_en></apistate>";
  const std::int64_t size = static_cast<std::int64_t>(cachefile.size());
  const struct {
    const char* name;
    std::string state;
    std::string lang;
    std::vector<std::pair<std::string, std::int64_t>> list;
    std::string body;
    std::string shown;
  } cases[] = {
      {"offline, German",
       offline,
       "",
       {{"afp1.afpbin", size}},
       cachefile,
       "Abgebrochen Der Service ist derzeit nicht verfügbar! Wartung"},
      {"offline, English",
       offline,
       " EN",
       {{"afp1.afpbin", size}},
       cachefile,
       "Abgebrochen Der Service ist derzeit nicht verfügbar! Maintenance"},
      {"client too old",
       "<apistate><online>1</online><client_minvers>1.10</client_minvers></apistate>",
       "",
       {{"afp1.afpbin", size}},
       cachefile,
       "Abgebrochen Bitte aktualisieren Sie Ihren Client, Sie benötigen mindestens Client Version "
       "1.10."},
      {"empty list",
       state,
       "",
       {},
       cachefile,
       "Abgebrochen Es ist ein Problem beim Laden der Cache Informationen aufgetreten, ggf. müssen "
       "Sie Ihren Client aktualisieren"},
      {"name outside the pattern",
       state,
       "",
       {{"afp1.afpbin", size}, {"evil.so", 3}},
       cachefile,
       "Abgebrochen Ungültiger Name einer Cache-Datei in der Liste des Service: \"evil.so\""},
      {"broken cache file", state, "", {{"afp1.afpbin", 9}}, "123456789", "Abgebrochen "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cache.file("Cache"));
    fs::create_directories(cache.file("Cache"));
    WriteText(cache.file("Cache/stale.afpbin"), "x");
    state = c.state;
    list = c.list;
    body = c.body;
    const std::string shown = Run(c.lang);
    EXPECT_EQ(shown.rfind(c.shown, 0), 0u) << shown;
    EXPECT_FALSE(ready);
    // A run stopped before the clean-up leaves the directory alone.
    const bool cleaned = std::string(c.name) == "broken cache file";
    EXPECT_EQ(fs::exists(cache.file("Cache/stale.afpbin")), !cleaned);
  }
}

TEST_F(CacheUpdateRun, ABrokenDownloadLeavesNoFileUnderTheRealName) {
  list = {{"afp1.afpbin", static_cast<std::int64_t>(cachefile.size())}};
  fail = true;
  const std::string shown = Run();
  EXPECT_EQ(shown.rfind("Abgebrochen ", 0), 0u) << shown;
  EXPECT_FALSE(ready);
  EXPECT_FALSE(fs::exists(cache.file("Cache/afp1.afpbin")));
  EXPECT_FALSE(fs::exists(cache.file("Cache/afp1.afpbin.part")));
}

}  // namespace
