// The HTTP request layer against a real server on 127.0.0.1: statuses and error texts, what is
// sent, redirects, abort from another thread, the idle time-out, body limits and the XML rule.
#include "web/WebRequest_Unit.h"

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

#include "web/web_test_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr std::int64_t MiB = 1024 * 1024;

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(WebRequestEvents, ReportProgressEachTimeMoreThanFiveMiBHaveArrivedSinceTheLastReport) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> chunks;
    std::vector<std::int64_t> reports;
  };
  const Case cases[] = {
      {"4 MiB chunks",
       {4 * MiB, 4 * MiB, 4 * MiB, 4 * MiB, 4 * MiB, 4 * MiB},
       {8 * MiB, 16 * MiB, 24 * MiB}},
      {"exactly 5 MiB is not more", {5 * MiB, 5 * MiB, 5 * MiB}, {10 * MiB}},
      {"one large chunk", {20 * MiB, 1}, {20 * MiB}},
      {"small answer", {1000, 1000}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TWebRequestEvents events(nullptr);
    std::vector<std::int64_t> reports;
    events.fOnWebRequestEvent = [&](std::int64_t received, bool bytes) {
      EXPECT_TRUE(bytes);
      reports.push_back(received);
    };
    events.OnResponseStart();
    std::int64_t total = 0;
    for (std::int64_t chunk : c.chunks) {
      events.OnResponseDataAvailable(chunk);
      total += chunk;
    }
    EXPECT_EQ(reports, c.reports);
    EXPECT_EQ(events.ReceivedBytes(), total);
    EXPECT_EQ(events.Status(), StatusReceive);
  }
}

TEST(WebXml, ReadsElementsTextsAndAttributesInAnyDeclaredEncoding) {
  TWebXmlNode root;
  std::string error;
  ASSERT_TRUE(WebXmlParse(Bytes("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                                "<r a=\"1 &amp; 2\"><x>T\xE4nzchen</x><x><![CDATA[<b>]]></x>"
                                "<y>a<z>b</z>c</y></r>"),
                          root, error))
      << error;
  EXPECT_EQ(root.Name, "r");
  EXPECT_EQ(root.Attribute("a"), "1 & 2");
  EXPECT_EQ(root.Attribute("b"), std::nullopt);
  ASSERT_EQ(root.Children.size(), 3u);
  EXPECT_EQ(root.ChildText("x"), "T\xC3\xA4nzchen");  // the first of the two
  EXPECT_EQ(root.Children[1].AllText(), "<b>");
  EXPECT_EQ(root.ChildText("y"), "acb");
  EXPECT_EQ(root.ChildText("missing"), "");

  const std::string utf16 = std::string("\xFF\xFE<\0r\0>\0\xE4\0<\0/\0r\0>\0", 18);
  ASSERT_TRUE(WebXmlParse(Bytes(utf16), root, error)) << error;
  EXPECT_EQ(root.AllText(), "\xC3\xA4");
}

TEST(WebXml, RefusesHostileAndBrokenDocumentsWithAMessage) {
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "<a>";
  const struct {
    const char* name;
    std::string document;
  } cases[] = {
      {"entity expansion bomb",
       "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
       "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
       "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>"
       "<apistate><online>&lol3;</online></apistate>"},
      {"external entity", "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>"},
      {"external DTD", "<!DOCTYPE r SYSTEM \"http://127.0.0.1:1/x.dtd\"><r/>"},
      {"undeclared entity", "<r>&x;</r>"},
      {"nesting beyond any sense", deep},
      {"not well-formed", "<apistate><online>1</apistate>"},
      {"no root", "<?xml version=\"1.0\"?><!-- nothing -->"},
      {"empty", ""},
      {"binary", std::string("\x00\x01\xFF\xFE\x00", 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TWebXmlNode root;
    std::string error;
    EXPECT_FALSE(WebXmlParse(Bytes(c.document), root, error));
    EXPECT_FALSE(error.empty());
  }
}

class WebRequestTest : public ::testing::Test {
 protected:
  WebTestServer server;
};

TEST_F(WebRequestTest, GivesStatusBodyAndTheStartOfErrorPages) {
  std::string page = "<html><body>Nicht gefunden";
  while (page.size() < 800) page += " lorem ipsum";
  server.Http().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello", "text/plain");
  });
  server.Http().Get("/missing", [&](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content(page, "text/html");
  });
  server.Http().Get("/failed", [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("Fehler: \xE4\x80", "text/plain");  // Windows-1252: a-umlaut, euro
  });
  server.Http().Get("/utf8", [](const httplib::Request&, httplib::Response& res) {
    res.status = 400;
    res.set_content(std::string(498, 'x') + "\xC3\xA4", "text/plain");  // 'ae' ends at 500
  });
  server.Http().Get("/cut", [](const httplib::Request&, httplib::Response& res) {
    res.status = 400;
    res.set_content(std::string(499, 'x') + "\xC3\xA4", "text/plain");  // cut inside 'ae'
  });
  server.Http().Get("/nothing",
                    [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  ASSERT_TRUE(server.Start());

  const struct {
    const char* path;
    bool ok;
    int status;
    std::string body;
    std::string message;
  } cases[] = {
      {"/ok", true, 200, "hello", "http reponsecode:200 hello"},
      {"/missing", false, 404, page, "http reponsecode:404 " + page.substr(0, 500)},
      {"/failed", false, 500, "Fehler: \xE4\x80",
       "http reponsecode:500 Fehler: \xC3\xA4\xE2\x82\xAC"},
      {"/utf8", false, 400, std::string(498, 'x') + "\xC3\xA4",
       "http reponsecode:400 " + std::string(498, 'x') + "\xC3\xA4"},
      {"/cut", false, 400, std::string(499, 'x') + "\xC3\xA4",
       "http reponsecode:400 " + std::string(499, 'x')},
      {"/nothing", false, 204, "", "http reponsecode:204 "},
  };
  TWebRequest request;  // one object, reused
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::ostringstream body;
    std::string type = "stale";
    EXPECT_EQ(request.WebRequest_stream(server.Url(c.path), "", false, false, nullptr, &body, type),
              c.ok);
    EXPECT_EQ(request.ResponseCode(), c.status);
    EXPECT_EQ(request.ErrorNumber(), c.status);
    EXPECT_EQ(body.str(), c.body);
    EXPECT_EQ(request.ErrorMessage(), c.message);
    EXPECT_TRUE(request.AnswerStarted());
    EXPECT_EQ(type.empty(), c.status == 204);
  }
}

TEST_F(WebRequestTest, SendsMethodBodyContentTypeAndReferer) {
  struct Seen {
    std::string method, type, referer, body;
    bool has_type = false;
  };
  std::mutex lock;
  std::vector<Seen> seen;
  auto record = [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard guard(lock);
    seen.push_back({req.method, req.get_header_value("Content-Type"),
                    req.get_header_value("Referer"), req.body, req.has_header("Content-Type")});
    res.set_content("ok", "text/plain");
  };
  server.Http().Get("/echo", record);
  server.Http().Post("/echo", record);
  ASSERT_TRUE(server.Start());

  TWebRequest request;
  request.SetRequestReferer("MelodySeeker 1.0");
  std::string type;
  const std::string body = std::string("<a>\0\xFF</a>", 9);
  ASSERT_TRUE(request.WebRequest_stream(server.Url("/echo"), "text/xml", true, false, &body,
                                        nullptr, type));
  ASSERT_TRUE(
      request.WebRequest_stream(server.Url("/echo"), "", true, false, nullptr, nullptr, type));
  request.SetRequestReferer("");
  ASSERT_TRUE(
      request.WebRequest_stream(server.Url("/echo"), "", false, false, &body, nullptr, type));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].type, "text/xml");
  EXPECT_EQ(seen[0].referer, "MelodySeeker 1.0");
  EXPECT_EQ(seen[0].body, body);
  EXPECT_EQ(seen[1].method, "POST");
  EXPECT_FALSE(seen[1].has_type);  // no made-up form type
  EXPECT_EQ(seen[1].body, "");
  EXPECT_EQ(seen[2].method, "GET");  // a GET sends no body
  EXPECT_EQ(seen[2].body, "");
  EXPECT_EQ(seen[2].referer, "");
}

TEST_F(WebRequestTest, FailsWithTheTransportErrorWhenNothingAnswers) {
  const int port = UnusedPort();
  TWebRequest request;
  std::vector<TWebRequestEventsStatus> ends;
  request.SetOnReceiveFinished([&](TWebRequest& sender, TWebRequestEventsStatus status) {
    EXPECT_EQ(&sender, &request);
    ends.push_back(status);
  });
  std::string type;
  EXPECT_FALSE(request.WebRequest_stream("http://127.0.0.1:" + std::to_string(port) + "/x", "",
                                         false, false, nullptr, nullptr, type));
  EXPECT_EQ(request.ResponseCode(), -1);
  EXPECT_FALSE(request.AnswerStarted());
  EXPECT_EQ(request.ErrorNumber(), CURLE_COULDNT_CONNECT);
  EXPECT_NE(request.ErrorMessage().find(std::to_string(port)), std::string::npos)
      << request.ErrorMessage();
  EXPECT_EQ(request.InquiryTime(), 0);
  EXPECT_EQ(ends, std::vector<TWebRequestEventsStatus>{StatusError});

  EXPECT_FALSE(
      request.WebRequest_stream("not a url at all", "", false, false, nullptr, nullptr, type));
  EXPECT_EQ(request.ResponseCode(), -1);
  EXPECT_FALSE(request.ErrorMessage().empty());
}

TEST_F(WebRequestTest, FollowsAtMostThreeRedirectsAndOnlyToHttp) {
  server.Http().Get(R"(/hop/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
    const int left = std::stoi(req.matches[1]);
    if (left == 0) {
      res.set_content("arrived", "text/plain");
    } else {
      res.set_redirect("/hop/" + std::to_string(left - 1));
    }
  });
  server.Http().Get(
      "/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
  server.Http().Get("/tofile", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("file:///etc/passwd");
  });
  ASSERT_TRUE(server.Start());
  const struct {
    const char* path;
    bool ok;
    long error;
  } cases[] = {
      {"/hop/3", true, 0},
      {"/hop/4", false, CURLE_TOO_MANY_REDIRECTS},
      {"/loop", false, CURLE_TOO_MANY_REDIRECTS},
      {"/tofile", false, CURLE_UNSUPPORTED_PROTOCOL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TWebRequest request;
    std::ostringstream body;
    std::string type;
    EXPECT_EQ(request.WebRequest_stream(server.Url(c.path), "", false, false, nullptr, &body, type),
              c.ok);
    if (c.ok) {
      EXPECT_EQ(body.str(), "arrived");
    } else {
      EXPECT_EQ(request.ResponseCode(), -1);
      EXPECT_EQ(request.ErrorNumber(), c.error);
      EXPECT_FALSE(request.ErrorMessage().empty());
      EXPECT_EQ(body.str(), "");  // neither the redirect pages nor the file
    }
  }
}

TEST(WebRequestHttps, RefusesACertificateNoAuthorityVouchesFor) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("webrequest_tls_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + cert + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  {
    WebTestServer server(cert, key);
    server.Http().Get("/x", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("secret", "text/plain");
    });
    ASSERT_TRUE(server.Start());
    TWebRequest request;
    std::ostringstream body;
    std::string type;
    EXPECT_FALSE(request.WebRequest_stream(server.Url("/x", "https"), "", false, false, nullptr,
                                           &body, type));
    EXPECT_EQ(request.ResponseCode(), -1);
    EXPECT_EQ(request.ErrorNumber(), CURLE_PEER_FAILED_VERIFICATION) << request.ErrorMessage();
    EXPECT_EQ(body.str(), "");
  }
  std::filesystem::remove_all(dir);
}

TEST_F(WebRequestTest, AbortFromAnotherThreadEndsASlowDownloadAtOnce) {
  server.Http().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
    server.ServeSlowly(res, 50 * MiB, 64 * 1024, 20ms);  // about 15 s for the whole file
  });
  ASSERT_TRUE(server.Start());

  TWebRequest request;
  Clock::time_point aborted;
  std::thread aborter([&] {
    while (request.ReceivedBytes() < MiB) std::this_thread::sleep_for(5ms);
    aborted = Clock::now();
    request.AbortRequest();
  });
  std::ostringstream body;
  std::string type;
  const bool ok =
      request.WebRequest_stream(server.Url("/slow"), "", false, true, nullptr, &body, type);
  const auto returned = Clock::now();
  aborter.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(returned - aborted, 2s);
  EXPECT_EQ(request.ResponseCode(), -1);
  EXPECT_EQ(request.ErrorNumber(), WebErrorAborted);
  EXPECT_LT(body.str().size(), static_cast<std::size_t>(50 * MiB));
}

TEST_F(WebRequestTest, APeerThatFallsSilentEndsTheRequestUnlessTimeIsUnlimited) {
  server.Http().Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(20, "text/plain",
                             [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (offset == 10) {
                                 // silent for 2.5 s, then the rest
                                 for (int i = 0; i < 250 && !server.Stopping(); ++i) {
                                   std::this_thread::sleep_for(10ms);
                                 }
                               }
                               return sink.write("0123456789", 10);
                             });
  });
  ASSERT_TRUE(server.Start());
  for (bool infinite : {false, true}) {
    SCOPED_TRACE(infinite ? "unlimited" : "limited");
    TWebRequest request;
    request.SetTimeouts(50s, 1s);
    std::ostringstream body;
    std::string type;
    const auto start = Clock::now();
    const bool ok =
        request.WebRequest_stream(server.Url("/stall"), "", false, infinite, nullptr, &body, type);
    EXPECT_EQ(ok, infinite);
    if (infinite) {
      EXPECT_EQ(body.str(), "01234567890123456789");
    } else {
      EXPECT_LT(Clock::now() - start, 2400ms);
      EXPECT_EQ(request.ResponseCode(), -1);
      EXPECT_EQ(request.ErrorNumber(), CURLE_OPERATION_TIMEDOUT);
    }
  }
}

TEST_F(WebRequestTest, BodyLimitAndFailingTargetEndTheRequestCleanly) {
  server.Http().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
    server.ServeSlowly(res, 64 * MiB, 256 * 1024, 0ms);
  });
  ASSERT_TRUE(server.Start());
  TWebRequest request;
  std::ostringstream body;
  std::string type;
  EXPECT_FALSE(
      request.WebRequest_stream(server.Url("/big"), "", false, false, nullptr, &body, type, MiB));
  EXPECT_EQ(request.ErrorNumber(), WebErrorTooLarge);
  EXPECT_EQ(request.ResponseCode(), -1);
  EXPECT_TRUE(request.AnswerStarted());
  EXPECT_LE(body.str().size(), static_cast<std::size_t>(MiB));

  std::ofstream unopened;  // every write fails
  EXPECT_FALSE(
      request.WebRequest_stream(server.Url("/big"), "", false, false, nullptr, &unopened, type));
  EXPECT_EQ(request.ErrorNumber(), WebErrorWrite);
  EXPECT_FALSE(request.ErrorMessage().empty());
}

TEST_F(WebRequestTest, ParsesXmlOnlyForXmlContentTypes) {
  std::mutex lock;
  std::string answer_type, answer_body;
  int answer_status = 200;
  server.Http().Get("/doc", [&](const httplib::Request&, httplib::Response& res) {
    std::lock_guard guard(lock);
    res.status = answer_status;
    res.set_content(answer_body, answer_type.c_str());
  });
  ASSERT_TRUE(server.Start());
  const std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xE4</r>";
  const struct {
    const char* name;
    int status;
    const char* type;
    std::string body;
    bool ok;
    bool parsed;
    std::int64_t error;
  } cases[] = {
      {"capitals with charset", 200, "TEXT/XML; charset=ISO-8859-1", latin1, true, true, 200},
      {"application/xml", 200, "application/xml", "<r>\xC3\xA4</r>", true, true, 200},
      {"plain text", 200, "text/plain", "<r>x</r>", true, false, 200},
      {"html", 200, "text/html", "<r>x</r>", true, false, 200},
      {"broken xml", 200, "text/xml", "<r>x", false, false, WebErrorInvalidXml},
      {"bomb", 200, "text/xml",
       "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;\">]><r>&b;</r>",
       false, false, WebErrorInvalidXml},
      {"error status", 404, "text/xml", "<r>x</r>", false, false, 404},
  };
  TWebRequest request;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard guard(lock);
      answer_status = c.status;
      answer_type = c.type;
      answer_body = c.body;
    }
    std::optional<TWebXmlNode> doc;
    EXPECT_EQ(request.WebRequest_xml(server.Url("/doc"), false, nullptr, doc), c.ok);
    EXPECT_EQ(doc.has_value(), c.parsed);
    if (doc) {
      EXPECT_EQ(doc->AllText(), "\xC3\xA4");
    }
    EXPECT_EQ(request.ErrorNumber(), c.error);
  }
}

}  // namespace
