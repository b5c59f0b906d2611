// End to end: the real `melodyseeker --headless` process against a web service on 127.0.0.1
// (cpp-httplib, documents and cache files made here with our own writer), asked by the real
// `melodyseeker-cli identify` and by a raw socket client.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../afp/afp_audio_fixtures.h"
#include "afp/afpcachebin_unit.h"
#include "afp/afpdecode_unit.h"
#include "e2e_service.h"
#include "service/pipeserver_unit.h"

namespace {

using namespace std::chrono_literals;
using afptest::TempDir;
using e2e::FakeService;
using e2e::ReadText;
using e2e::ServiceProcess;

// melodyseeker-cli identify --xml; the reply document and the exit code.
std::string Identify(const std::string& pipe, const std::string& file, int* code = nullptr) {
  const std::string cmd = std::string(MS_BINARY_DIR) +
                          "/apps/melodyseeker-cli identify --xml --pipe '" + pipe + "' '" + file +
                          "' 2>&1";
  std::FILE* p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  if (code != nullptr) *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

class ServiceE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    // Two songs: A is in the service's cache (under FG-A), B is not.
    songA = dir.File("known.wav");
    songB = dir.File("unknown.wav");
    afptest::WriteBytes(songA, afptest::MakeWav(1, 22050, 16, afptest::MusicLike(22050, 40, 11)));
    afptest::WriteBytes(songB, afptest::MakeWav(1, 22050, 16, afptest::MusicLike(22050, 40, 977)));
    TAFPDecoder gen;
    RAFP afp;
    ASSERT_TRUE(gen.AFPDecode(songA, afp)) << gen.lasterror();
    const std::string cache = dir.File("afp00001.afpbin");
    {
      TAfpCacheFileWriter writer(cache);
      writer.Add("FG-A", afp);
      writer.Commit();
    }
    service.CacheFile = ReadText(cache);
  }

  TempDir dir;
  FakeService service;
  std::string songA, songB;
};

TEST_F(ServiceE2E, AnswersNotReadyThenIdentifiesKnownAndUnknownFiles) {
  service.StateDelayMs = 1500;  // keeps the service not ready for a while
  ServiceProcess proc(dir, service.Base(), "main");
  ASSERT_TRUE(proc.WaitFor("Abfrage der Cache Informationen")) << proc.Err();
  int code = 0;
  EXPECT_NE(Identify(proc.Pipe(), songA, &code)
                .find("<ERROR>Der lokale Server ist noch nicht bereit, bitte warten.</ERROR>"),
            std::string::npos);
  EXPECT_EQ(code, 1);

  ASSERT_TRUE(proc.WaitFor("MelodySeeker bereit")) << proc.Err();
  EXPECT_NE(proc.Err().find("Status: Lokaler Cache vorbereitet"), std::string::npos);

  // A match: the service's metadata, numbers of 0 as empty elements.
  std::string reply = Identify(proc.Pipe(), songA, &code);
  EXPECT_EQ(code, 0) << reply;
  EXPECT_NE(reply.find("<FILENAME>" + songA +
                       "</FILENAME><TITLE>Bekannt</TITLE><ARTIST>Die Band"
                       "</ARTIST><ALBUM>LP</ALBUM><TRACK>4</TRACK><YEAR>1999</YEAR><GENRE>Rock"
                       "</GENRE><BPM></BPM><SYNPOS></SYNPOS>"),
            std::string::npos)
      << reply;

  // Unknown: an add request carrying the fingerprint record, answered with the new title.
  reply = Identify(proc.Pipe(), songB, &code);
  EXPECT_EQ(code, 0) << reply;
  EXPECT_NE(reply.find("<TITLE>Neu angelegt</TITLE>"), std::string::npos) << reply;
  const auto requests = service.TagRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].find("<FUNCTION>U</FUNCTION><FGUID>FG-A</FGUID>"), std::string::npos)
      << requests[0];
  EXPECT_NE(requests[1].find("<FUNCTION>A</FUNCTION>"), std::string::npos) << requests[1];
  EXPECT_NE(requests[1].find("<AFPPART>"), std::string::npos) << requests[1];

  // A missing file and a MIDI file: the error texts with the name and the (empty) trace.
  const std::string missing = dir.File("fehlt.mp3");
  reply = Identify(proc.Pipe(), missing, &code);
  EXPECT_EQ(code, 1);
  EXPECT_NE(reply.find("<ERROR>Es ist ein unbekannter Fehler aufgetreten: Datei existiert nicht:" +
                       missing + " " + missing + " </ERROR>"),
            std::string::npos)
      << reply;
  const std::string midi = dir.File("lied.MID");
  afptest::WriteBytes(midi, {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96});
  reply = Identify(proc.Pipe(), midi, &code);
  EXPECT_NE(reply.find("<ERROR>Es ist ein unbekannter Fehler aufgetreten: Dateityp nicht "
                       "unterstützt " +
                       midi + " </ERROR>"),
            std::string::npos)
      << reply;

  // The cache file arrived under its own name, nothing partial is left, and the configuration
  // was written at start-up.
  const std::string data = dir.File("app") + "/MelodySeeker";
  EXPECT_EQ(ReadText(data + "/Cache/afp00001.afpbin"), service.CacheFile);
  EXPECT_FALSE(std::filesystem::exists(data + "/Cache/afp00001.afpbin.part"));
  EXPECT_NE(ReadText(data + "/MelodySeeker.ini").find("UCOUNT=1"), std::string::npos);
  EXPECT_EQ(proc.Terminate(5s), 0);
}

TEST_F(ServiceE2E, FailedDownloadRunsStayNotReady) {
  const struct {
    const char* name;
    bool online;
    std::string minvers;
    bool reachable;
    std::string cachename;
    std::string shown;
  } cases[] = {
      {"offline", false, "", true, "afp00001.afpbin",
       "Status: Abgebrochen Der Service ist derzeit nicht verfügbar! Wartung"},
      {"client too old", true, "9.99", true, "afp00001.afpbin",
       "Status: Abgebrochen Bitte aktualisieren Sie Ihren Client, Sie benötigen mindestens Client "
       "Version 9.99."},
      {"unreachable", true, "", false, "afp00001.afpbin",
       "Status: Abgebrochen Der Service ist nicht erreichbar, möglicherweise sind Sie offline! "},
      {"name with a path", true, "", true, "..%2F..%2Fevil.afpbin",
       "Status: Abgebrochen Ungültiger Name einer Cache-Datei in der Liste des Service: "
       "\"..%2F..%2Fevil.afpbin\""},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    service.Online = c.online;
    service.MinVers = c.minvers;
    service.CacheName = c.cachename;
    const std::string api = c.reachable ? service.Base() : "http://127.0.0.1:1/v2/";
    ServiceProcess proc(dir, api, "fail" + std::to_string(n++));
    ASSERT_TRUE(proc.WaitFor(c.shown)) << proc.Err();
    EXPECT_EQ(proc.Err().find("MelodySeeker bereit"), std::string::npos);
    EXPECT_NE(Identify(proc.Pipe(), songA).find("noch nicht bereit"), std::string::npos);
    EXPECT_EQ(proc.Terminate(5s), 0);
  }
}

TEST_F(ServiceE2E, SigtermWithAConnectedClientEndsWithinTwoSeconds) {
  ServiceProcess proc(dir, service.Base(), "term");
  ASSERT_TRUE(proc.WaitFor("MelodySeeker bereit")) << proc.Err();
  TPipeClient client;
  ASSERT_TRUE(client.Connect(proc.Pipe())) << client.LastError();
  std::this_thread::sleep_for(100ms);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(proc.Terminate(2s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  // The configuration was saved at the end.
  EXPECT_NE(ReadText(dir.File("app") + "/MelodySeeker/MelodySeeker.ini").find("[DECODER]"),
            std::string::npos);
}

TEST_F(ServiceE2E, SecondInstanceEndsAtOnceAndLeavesTheFirstServing) {
  ServiceProcess first(dir, service.Base(), "one");
  ASSERT_TRUE(first.WaitFor("MelodySeeker bereit")) << first.Err();
  ServiceProcess second(dir, service.Base(), "two");
  EXPECT_TRUE(second.WaitFor("Anwendung \"melodyseeker\" läuft bereits!")) << second.Err();
  EXPECT_EQ(second.Terminate(2s), 0);
  EXPECT_NE(Identify(first.Pipe(), songA).find("<TITLE>Bekannt</TITLE>"), std::string::npos);
}

// The same road against the reference web service: import a tagged MP3, build its cache, serve.
TEST(ServiceE2EReference, IdentifiesATitleImportedIntoTheReferenceServer) {
  const std::string server = std::string(MS_BINARY_DIR) + "/server/melodyseeker-server";
  if (!std::filesystem::exists(server)) GTEST_SKIP() << "reference server not built";
  TempDir dir;
  const std::string song = dir.File("known.mp3");
  afptest::WriteBytes(dir.File("known.wav"),
                      afptest::MakeWav(1, 22050, 16, afptest::MusicLike(22050, 40, 21)));
  afptest::Ffmpeg({"-i", dir.File("known.wav"), "-c:a", "libmp3lame", "-b:a", "128k", "-metadata",
                   "title=Referenzlied", "-metadata", "artist=Referenzband", song});
  const std::string data = dir.File("srv");
  auto run = [&](const std::string& args) {
    return std::system((server + " " + args + " --data '" + data + "' >/dev/null 2>&1").c_str());
  };
  ASSERT_EQ(run("import '" + song + "'"), 0);
  ASSERT_EQ(run("build-cache"), 0);

  // A free port: bind a plain socket to port 0, read the port, close the socket (a listening
  // socket left open would share the port with the server and swallow connections).
  int port = 0;
  {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    port = ntohs(addr.sin_port);
    ::close(fd);
  }
  ASSERT_GT(port, 0);
  const std::string listen = "127.0.0.1:" + std::to_string(port);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::execl(server.c_str(), server.c_str(), "serve", "--data", data.c_str(), "--listen",
            listen.c_str(), "--quiet", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // The service asks once at start-up, so the server must be listening by then.
  httplib::Client client("127.0.0.1", port);
  for (int i = 0; i < 250 && !client.Get("/v2/getState.php"); ++i)
    std::this_thread::sleep_for(20ms);
  {
    ServiceProcess proc(dir, "http://" + listen + "/v2/", "ref");
    ASSERT_TRUE(proc.WaitFor("MelodySeeker bereit")) << proc.Err();
    const std::string reply = Identify(proc.Pipe(), song);
    EXPECT_NE(reply.find("<TITLE>Referenzlied</TITLE><ARTIST>Referenzband</ARTIST>"),
              std::string::npos)
        << reply;
    EXPECT_EQ(proc.Terminate(5s), 0);
  }
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace
