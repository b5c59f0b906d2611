// The web service client against a real HTTP server on 127.0.0.1: the base address, the answers
// it reads (and hostile ones it must refuse), the request documents byte for byte, the retry
// rule and the streaming cache file download.
#include "web/webapi_unit.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "afp/afpcachebin_unit.h"
#include "web/web_test_server.h"

namespace {

using namespace std::chrono_literals;
constexpr std::int64_t MiB = 1024 * 1024;
constexpr char kDecl[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(WebAPIBaseURL, EnvironmentBeforeConfigurationBeforeDefault) {
  unsetenv("MELODYSEEKER_API");
  TWebAPI::SetConfiguredBaseURL("");
  EXPECT_EQ(TWebAPI::BaseURL(), "http://localhost:8470/v2/");
  TWebAPI::SetConfiguredBaseURL("http://config.example:81/api/v2");
  EXPECT_EQ(TWebAPI::BaseURL(), "http://config.example:81/api/v2/");  // "/" added
  setenv("MELODYSEEKER_API", "http://env.example/v2/", 1);
  EXPECT_EQ(TWebAPI::BaseURL(), "http://env.example/v2/");
  setenv("MELODYSEEKER_API", "", 1);
  EXPECT_EQ(TWebAPI::BaseURL(), "http://config.example:81/api/v2/");
  unsetenv("MELODYSEEKER_API");
  TWebAPI::SetConfiguredBaseURL("");
}

TEST(WebAPIBaseURLDeathTest, LocalModeWinsAndStays) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Local mode cannot be switched off again, so it is tried in a child process.
  EXPECT_EXIT(
      {
        setenv("MELODYSEEKER_API", "http://env.example/v2/", 1);
        TWebAPI::SetConfiguredBaseURL("http://config.example/v2/");
        TWebAPI::SetLocalMode();
        std::exit(TWebAPI::BaseURL() == "http://localhost/api/v2/" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

struct Seen {
  std::string method, path, body, type, referer;
};

// What the server answers next. `broken` ends the body after a few bytes of the announced size;
// `redirect` sends the client there instead.
struct Answer {
  int status = 200;
  std::string type = "text/xml";
  std::string body;
  std::string redirect;
  bool broken = false;
  std::int64_t size = -1;  // >= 0: that many bytes of filler, streamed
};

Answer Reply(int status, std::string type, std::string body) {
  Answer answer;
  answer.status = status;
  answer.type = std::move(type);
  answer.body = std::move(body);
  return answer;
}

class WebAPITest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("MELODYSEEKER_API");
    auto serve = [this](const httplib::Request& req, httplib::Response& res) {
      Answer answer;
      {
        std::lock_guard guard(FLock);
        FSeen.push_back({req.method, req.path, req.body, req.get_header_value("Content-Type"),
                         req.get_header_value("Referer")});
        answer = FAnswer;
      }
      res.status = answer.status;
      if (!answer.redirect.empty()) {
        res.set_redirect(answer.redirect);
      } else if (answer.broken) {
        res.set_content_provider(1000, answer.type.c_str(),
                                 [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                   sink.write("<remoteapi>", 11);
                                   return false;  // the connection breaks off
                                 });
      } else if (answer.size >= 0) {
        server.ServeSlowly(res, static_cast<std::size_t>(answer.size), 256 * 1024, 0ms,
                           answer.type.c_str());
      } else {
        res.set_content(answer.body, answer.type.c_str());
      }
    };
    server.Http().Get("/v2/getState.php", serve);
    server.Http().Get("/v2/getAFPCacheInf.php", serve);
    server.Http().Post("/v2/getAFPTag.php", serve);
    server.Http().Get("/files/afp1.afpbin", serve);
    ASSERT_TRUE(server.Start());
    TWebAPI::SetConfiguredBaseURL(server.Url("/v2"));
  }
  void TearDown() override { TWebAPI::SetConfiguredBaseURL(""); }

  void Serve(Answer answer) {
    std::lock_guard guard(FLock);
    FAnswer = std::move(answer);
    FSeen.clear();
  }
  std::vector<Seen> SeenRequests() {
    std::lock_guard guard(FLock);
    return FSeen;
  }

  WebTestServer server;

 private:
  std::mutex FLock;
  Answer FAnswer;
  std::vector<Seen> FSeen;
};

TEST_F(WebAPITest, GetStateReadsTheStateDocument) {
  const struct {
    const char* name;
    Answer answer;
    bool ok;
    bool online;
    std::string de, en, minvers;
  } cases[] = {
      {"online with line breaks",
       Reply(200, "text/xml; charset=UTF-8",
             "<apistate><online>1</online><message_de>Zeile 1\\nZeile 2 \\</message_de>"
             "<message_en>a\\n\\nb</message_en><client_minvers>1.10</client_minvers></apistate>"),
       true, true, "Zeile 1\r\nZeile 2 \\", "a\r\n\r\nb", "1.10"},
      {"root in capitals, offline",
       Reply(200, "application/xml", "<APISTATE><online>0</online></APISTATE>"), true, false, "",
       "", ""},
      {"online not a number", Reply(200, "text/xml", "<apistate><online>ja</online></apistate>"),
       true, false, "", "", ""},
      {"wrong root", Reply(200, "text/xml", "<state><online>1</online></state>"), false, false, "",
       "", ""},
      {"not XML", Reply(200, "text/plain", "<apistate><online>1</online></apistate>"), false, false,
       "", "", ""},
      {"entity bomb",
       Reply(200, "text/xml",
             "<!DOCTYPE apistate [<!ENTITY a \"1111111111\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;\">]>"
             "<apistate><online>&b;</online></apistate>"),
       false, false, "", "", ""},
      {"service error", Reply(503, "text/html", "<h1>Wartung</h1>"), false, false, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Serve(c.answer);
    TWebAPI api;
    bool online = true;
    std::string de = "x", en = "x", minvers = "x";
    EXPECT_EQ(api.getState(online, de, en, minvers), c.ok);
    EXPECT_EQ(online, c.online);
    EXPECT_EQ(de, c.de);
    EXPECT_EQ(en, c.en);
    EXPECT_EQ(minvers, c.minvers);
    if (!c.ok) {
      EXPECT_FALSE(api.ErrorMessage().empty());
    }
    const auto seen = SeenRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "GET");
  }
}

TEST_F(WebAPITest, GetCacheInfListsFilesInOrderAndRefusesBadSizes) {
  using Files = TWebAPI_CacheFiles;
  const struct {
    const char* name;
    std::string body;
    bool ok;
    Files files;
  } cases[] = {
      {"two files among other children",
       "<AFPCache><info>x</info><afpcachefile size=\"123\">http://h/f/afp1.afpbin</afpcachefile>"
       "<AfpCacheFile size=\" 7 \">\n  http://h/get.php?f=afp2.afpbin&amp;v=2\n</AfpCacheFile>"
       "</AFPCache>",
       true,
       {{"http://h/f/afp1.afpbin", 123}, {"http://h/get.php?f=afp2.afpbin&v=2", 7}}},
      {"no files", "<afpcache/>", true, {}},
      {"size not a number",
       "<afpcache><afpcachefile size=\"1\">http://h/a</afpcachefile>"
       "<afpcachefile size=\"12abc\">http://h/b</afpcachefile></afpcache>",
       false,
       {}},
      {"negative size",
       "<afpcache><afpcachefile size=\"-1\">http://h/a</afpcachefile></afpcache>",
       false,
       {}},
      {"size too large",
       "<afpcache><afpcachefile size=\"99999999999999999999\">http://h/a</afpcachefile></afpcache>",
       false,
       {}},
      {"no size", "<afpcache><afpcachefile>http://h/a</afpcachefile></afpcache>", false, {}},
      {"no address", "<afpcache><afpcachefile size=\"1\"> </afpcachefile></afpcache>", false, {}},
      {"wrong root", "<apistate/>", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Serve(Reply(200, "text/xml", c.body));
    TWebAPI api;
    Files files = {{"stale", 1}};
    EXPECT_EQ(api.getCacheInf(files), c.ok);
    ASSERT_EQ(files.size(), c.files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(files[i].Url, c.files[i].Url);
      EXPECT_EQ(files[i].Size, c.files[i].Size);
    }
    if (!c.ok) {
      EXPECT_EQ(api.ErrorNumber(), WebErrorUnexpectedAnswer);
      EXPECT_FALSE(api.ErrorMessage().empty());
    }
  }
}

TEST_F(WebAPITest, HostileTransfersEndWithACleanFailure) {
  struct {
    const char* name;
    Answer answer;
    std::int64_t error;
  } cases[] = {
      {"2 GB answer", Reply(200, "text/xml", ""), WebErrorTooLarge},
      {"endless redirects", Reply(302, "text/xml", ""), CURLE_TOO_MANY_REDIRECTS},
  };
  cases[0].answer.size = 2048 * MiB;
  cases[1].answer.redirect = "/v2/getAFPCacheInf.php";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Serve(c.answer);
    TWebAPI api;
    TWebAPI_CacheFiles files;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(api.getCacheInf(files));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_TRUE(files.empty());
    EXPECT_EQ(api.ErrorNumber(), c.error);
    EXPECT_FALSE(api.ErrorMessage().empty());
  }
}

TEST_F(WebAPITest, UpdateSendsItsDocumentAndTakesTheServiceValues) {
  Serve(Reply(200, "text/xml",
              "<remoteapi><TITLE>Neu</TITLE><ARTIST>B</ARTIST><TRACK>7</TRACK><YEAR>19x</YEAR>"
              "<GENRE>Pop</GENRE><BPM> 120 </BPM><SYNPOS>3</SYNPOS><FGUID>F-2</FGUID>"
              "<TGUID>T-9</TGUID><RATING>4</RATING></remoteapi>"));
  TWebAPI::SetReferer("MelodySeeker 1.0");
  TWebAPI api;
  TWebAPI::SetReferer("");  // the object keeps the referer it was created with
  TWebAPI_Update update;
  update.FGUID = "fg-1";
  update.Tag = {"T\xC3\xA4nzchen & <Co>", "Die \"\xC3\x84rzte\"", "Album", 0, 1999, "Rock", -5, 12};
  update.retRating = 99;
  ASSERT_TRUE(api.getAFPTag_Update(update)) << api.ErrorMessage();

  const auto seen = SeenRequests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].type, "text/xml");
  EXPECT_EQ(seen[0].referer, "MelodySeeker 1.0");
  EXPECT_EQ(seen[0].body,
            std::string(kDecl) +
                "<remoteapi><FUNCTION>U</FUNCTION><FGUID>fg-1</FGUID>"
                "<TITLE>T\xC3\xA4nzchen &amp; &lt;Co&gt;</TITLE>"
                "<ARTIST>Die \"\xC3\x84rzte\"</ARTIST><ALBUM>Album</ALBUM><TRACK></TRACK>"
                "<YEAR>1999</YEAR><GENRE>Rock</GENRE><BPM></BPM><SYNPOS>12</SYNPOS>"
                "</remoteapi>\n");

  // The answer replaces every value; a missing element or an unreadable number reads as empty/0.
  EXPECT_EQ(update.Tag.Title, "Neu");
  EXPECT_EQ(update.Tag.Artist, "B");
  EXPECT_EQ(update.Tag.Album, "");
  EXPECT_EQ(update.Tag.Track, 7);
  EXPECT_EQ(update.Tag.Year, 0);
  EXPECT_EQ(update.Tag.Genre, "Pop");
  EXPECT_EQ(update.Tag.BPM, 120);
  EXPECT_EQ(update.Tag.SynPos, 3);
  EXPECT_EQ(update.retFGUID, "F-2");
  EXPECT_EQ(update.retTGUID, "T-9");
  EXPECT_EQ(update.retRating, 4);
}

using WebAPIDeathTest = WebAPITest;

TEST_F(WebAPIDeathTest, TestModeMarksUpdatesWithT) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Serve(Reply(200, "text/xml", "<remoteapi/>"));
  EXPECT_EXIT(
      {
        TWebAPI::SetTestMode();
        TWebAPI api;
        TWebAPI_Update update;
        const bool ok = api.getAFPTag_Update(update);
        const auto seen = SeenRequests();
        std::exit(ok && TWebAPI::TestMode() && seen.size() == 1 &&
                          seen[0].body.find("<FUNCTION>T</FUNCTION><FGUID></FGUID>") !=
                              std::string::npos
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(WebAPITest, AddSendsTheRecordAsBase64InLinesOf76) {
  const std::string l1 =
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4";
  const struct {
    std::size_t bytes;
    std::string afppart;  // as the service reads it
  } cases[] = {
      {0, ""},
      {57, l1},
      {58, l1 + "\r\nOQ=="},
      {120, l1 + "\r\nOTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3Bx"
                 "\r\ncnN0dXZ3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    Serve(Reply(200, "text/xml",
                "<remoteapi><TITLE>X</TITLE><FGUID>F</FGUID><TGUID>T</TGUID><RATING>5</RATING>"
                "</remoteapi>"));
    TWebAPI api;
    TWebAPI_Add add;
    for (std::size_t i = 0; i < c.bytes; ++i) add.AFPpart += static_cast<char>(i);
    add.Tag = {"Titel", "", "", 3, 0, "", 0, 0};
    add.retFGUID = "stale";
    ASSERT_TRUE(api.getAFPTag_Add(add)) << api.ErrorMessage();
    EXPECT_EQ(add.Tag.Title, "X");
    EXPECT_EQ(add.Tag.Track, 0);
    EXPECT_EQ(add.retFGUID, "F");
    EXPECT_EQ(add.retTGUID, "T");

    const auto seen = SeenRequests();
    ASSERT_EQ(seen.size(), 1u);
    TWebXmlNode sent;
    std::string error;
    ASSERT_TRUE(WebXmlParse(Bytes(seen[0].body), sent, error)) << error;
    EXPECT_EQ(sent.ChildText("AFPPART"), c.afppart);
    if (c.bytes == 120) {
      // The line breaks travel as CR (escaped, so no parser can drop it) and LF.
      EXPECT_EQ(seen[0].body,
                std::string(kDecl) + "<remoteapi><FUNCTION>A</FUNCTION><AFPPART>" + l1 +
                    "&#13;\nOTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWpr"
                    "bG1ub3Bx&#13;\ncnN0dXZ3</AFPPART><TITLE>Titel</TITLE><ARTIST></ARTIST>"
                    "<ALBUM></ALBUM><TRACK>3</TRACK><YEAR></YEAR><GENRE></GENRE><BPM></BPM>"
                    "<SYNPOS></SYNPOS></remoteapi>\n");
    }
  }
}

TEST_F(WebAPITest, AddCarriesAFingerprintRecordIntact) {
  Serve(Reply(200, "text/xml", "<remoteapi><FGUID>F</FGUID></remoteapi>"));
  RAFP afp;
  afp.typ = AFPTypAudio;
  afp.loaded = true;
  for (int i = 0; i < 700; ++i) {
    afp.p1.push_back(static_cast<std::uint8_t>(i * 7 % 128));
    afp.p2.push_back(static_cast<std::uint8_t>(127 - i % 128));
  }
  std::stringstream record;
  TAfpCacheBin::afptoafpcacheentry(u'6', afp, record);
  TWebAPI api;
  TWebAPI_Add add;
  add.AFPpart = record.str();
  ASSERT_GT(add.AFPpart.size(), 76u * 3 / 4 * 2);  // several lines
  ASSERT_TRUE(api.getAFPTag_Add(add)) << api.ErrorMessage();

  const auto seen = SeenRequests();
  ASSERT_EQ(seen.size(), 1u);
  TWebXmlNode sent;
  std::string error;
  ASSERT_TRUE(WebXmlParse(Bytes(seen[0].body), sent, error)) << error;
  const std::string base64 = sent.ChildText("AFPPART");
  for (std::size_t pos = 76; pos < base64.size(); pos += 78) {
    ASSERT_EQ(base64.substr(pos, 2), "\r\n") << pos;
  }
  const std::string bytes = FromBase64(base64);
  EXPECT_EQ(bytes, add.AFPpart);
  std::string fguid;
  char16_t rev = 0;
  RAFP back;
  ASSERT_TRUE(TAfpCacheBin::DecodeCacheRecord(Bytes(bytes), fguid, rev, back));
  EXPECT_EQ(rev, u'6');
  EXPECT_EQ(back.typ, AFPTypAudio);
  EXPECT_EQ(back.p1, afp.p1);
  EXPECT_EQ(back.p2, afp.p2);
}

TEST_F(WebAPITest, AnyAnswerEndsTheAddAfterOneAttempt) {
  struct {
    const char* name;
    Answer answer;
    std::int64_t error;
  } cases[] = {
      {"server error", Reply(500, "text/html", "kaputt"), 500},
      {"no remoteapi element", Reply(200, "text/xml", "<other/>"), WebErrorUnexpectedAnswer},
      {"not XML", Reply(200, "text/plain", "<remoteapi/>"), WebErrorUnexpectedAnswer},
      {"broken XML", Reply(200, "text/xml", "<remoteapi>"), WebErrorInvalidXml},
      {"answer broken off", Reply(200, "text/xml", ""), CURLE_PARTIAL_FILE},
  };
  cases[4].answer.broken = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Serve(c.answer);
    TWebAPI api;
    TWebAPI_Add add;
    add.AFPpart = "record";
    EXPECT_FALSE(api.getAFPTag_Add(add));
    EXPECT_EQ(SeenRequests().size(), 1u);
    EXPECT_EQ(api.ErrorNumber(), c.error);
    EXPECT_FALSE(api.ErrorMessage().empty());
    if (c.error == 500) {
      EXPECT_EQ(api.ErrorMessage(), "http reponsecode:500 kaputt");
    }
  }
}

TEST_F(WebAPITest, AddIsSentAgainOnlyWhenTheFirstAttemptFoundNoListener) {
  const int port = UnusedPort();
  TWebAPI::SetConfiguredBaseURL("http://127.0.0.1:" + std::to_string(port) + "/v2/");
  WebTestServer late;
  int posts = 0;
  late.Http().Post("/v2/getAFPTag.php", [&](const httplib::Request&, httplib::Response& res) {
    ++posts;
    res.set_content("<remoteapi><TGUID>T-1</TGUID></remoteapi>", "text/xml");
  });
  TWebAPI api;
  std::vector<TWebRequestEventsStatus> ends;
  bool started = false;
  api.SetOnReceiveFinished([&](TWebRequest&, TWebRequestEventsStatus status) {
    ends.push_back(status);
    // The first attempt found nobody; the service comes up before the second.
    if (status == StatusError && !started) {
      started = true;
      ASSERT_TRUE(late.Start(port));
    }
  });
  TWebAPI_Add add;
  add.AFPpart = "record";
  ASSERT_TRUE(api.getAFPTag_Add(add)) << api.ErrorMessage();
  EXPECT_EQ(add.retTGUID, "T-1");
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(ends, (std::vector<TWebRequestEventsStatus>{StatusError, StatusFinished}));

  // With nobody there at all: two attempts, then the transport's error.
  late.Stop();
  ends.clear();
  EXPECT_FALSE(api.getAFPTag_Add(add));
  EXPECT_EQ(ends, (std::vector<TWebRequestEventsStatus>{StatusError, StatusError}));
  EXPECT_EQ(api.ResponseCode(), -1);
  EXPECT_EQ(api.ErrorNumber(), CURLE_COULDNT_CONNECT);
}

class TempDir {
 public:
  TempDir()
      : FPath(std::filesystem::temp_directory_path() /
              ("webapi_test_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(FPath);
  }
  ~TempDir() { std::filesystem::remove_all(FPath); }
  const std::filesystem::path& Path() const { return FPath; }

 private:
  std::filesystem::path FPath;
};

TEST_F(WebAPITest, GetCacheFileStreamsIntoTheTargetWithProgressAndNoTimeLimit) {
  TempDir dir;
  const std::filesystem::path target = dir.Path() / "afp1.afpbin";
  const std::int64_t size = 12 * MiB + 5;
  Answer file = Reply(200, "application/octet-stream", "");
  file.size = size;
  Serve(file);
  TWebAPI api;
  std::vector<std::int64_t> progress;
  api.SetOnReceive([&](std::int64_t received, bool) { progress.push_back(received); });
  {
    std::ofstream out(target, std::ios::binary);
    ASSERT_TRUE(api.getCacheFile(server.Url("/files/afp1.afpbin"), &out)) << api.ErrorMessage();
  }
  EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(target)), size);
  EXPECT_EQ(api.ReceivedBytes(), size);
  ASSERT_EQ(progress.size(), 2u);  // past 5 MiB and past 10 MiB
  EXPECT_GT(progress[0], 5 * MiB);
  EXPECT_GT(progress[1], progress[0] + 5 * MiB);
  EXPECT_FALSE(api.getCacheFile(server.Url("/files/afp1.afpbin"), nullptr));

  // A download may pause longer than the idle time of the XML requests.
  WebTestServer slow;
  slow.Http().Get("/afp2.afpbin", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(8, "application/octet-stream",
                             [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (offset > 0) {
                                 for (int i = 0; i < 150 && !slow.Stopping(); ++i) {
                                   std::this_thread::sleep_for(10ms);
                                 }
                               }
                               return sink.write("abcd", 4);
                             });
  });
  ASSERT_TRUE(slow.Start());
  api.SetTimeouts(50s, 1s);
  std::ostringstream body;
  EXPECT_TRUE(api.getCacheFile(slow.Url("/afp2.afpbin"), &body)) << api.ErrorMessage();
  EXPECT_EQ(body.str(), "abcdabcd");

  Serve(Reply(404, "text/html", "<p>weg</p>"));
  std::ostringstream missing;
  EXPECT_FALSE(api.getCacheFile(server.Url("/files/afp1.afpbin"), &missing));
  EXPECT_EQ(api.ErrorMessage(), "http reponsecode:404 <p>weg</p>");
}

}  // namespace
