// End to end: the headless service as a daemon. Every control command of melodyseeker-cli on a
// stopped and on a running service, live configuration by SIGHUP, edits that survive the
// shutdown, the status file and its exit codes, the service manager's notifications on a socket
// we listen on, the retry after an offline start, a fresh home, a second instance under another
// name, and a prompt SIGTERM while an external decoder sleeps.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../afp/afp_audio_fixtures.h"
#include "afp/afpcachebin_unit.h"
#include "afp/afpdecode_unit.h"
#include "e2e_service.h"
#include "service/melodyseeker_glob_unit.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace e2e;
using afptest::TempDir;

// melodyseeker-cli identify --xml: the reply document (or the error text).
std::string Identify(const std::string& pipe, const std::string& file) {
  const std::string cmd = std::string(MS_BINARY_DIR) +
                          "/apps/melodyseeker-cli identify --xml --pipe '" + pipe + "' '" + file +
                          "' 2>&1";
  std::FILE* p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Processes of process group `pgid` that still run (zombies do not count: they have ended).
int LiveProcessesInGroup(pid_t pgid) {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadText(e.path().string() + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0, pgrp = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d %d", &state, &ppid, &pgrp) != 3) continue;
    if (pgrp == pgid && state != 'Z' && state != 'X') ++n;
  }
  return n;
}

// A datagram socket in the role of the service manager's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : FPath(path) {
    FFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ::bind(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  ~NotifySocket() { ::close(FFd); }
  // Every message received so far, one after another.
  const std::string& Received() {
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(FFd, buf, sizeof buf, 0)) > 0)
      FText.append(buf, static_cast<std::size_t>(n)) += "|";
    return FText;
  }
  bool WaitFor(const std::string& part, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (Contains(Received(), part)) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

 private:
  std::string FPath, FText;
  int FFd = -1;
};

class DaemonE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    song = dir.File("known.wav");
    afptest::WriteBytes(song, afptest::MakeWav(1, 22050, 16, afptest::MusicLike(22050, 40, 11)));
    TAFPDecoder gen;
    RAFP afp;
    ASSERT_TRUE(gen.AFPDecode(song, afp)) << gen.lasterror();
    const std::string cache = dir.File("afp00001.afpbin");
    {
      TAfpCacheFileWriter writer(cache);
      writer.Add("FG-A", afp);
      writer.Commit();
    }
    service.CacheFile = ReadText(cache);
    // The same sound under a name only an external decoder takes: WAV files never reach it.
    other = dir.File("known.ogg");
    fs::copy_file(song, other);
    pipe = "ms-daemon-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    env = ServiceEnv(dir, service.Base(), pipe);
  }
  CliResult Run(const std::vector<std::string>& args) { return Cli(dir, env, args); }
  std::string Ini() { return ReadText(dir.File("app") + "/MelodySeeker/MelodySeeker.ini"); }
  bool Known(const ServiceProcess& proc, const std::string& file) {
    const std::string reply = Identify(proc.Pipe(), file);
    if (!Contains(reply, "<TITLE>Bekannt</TITLE>")) ADD_FAILURE() << reply;
    return Contains(reply, "<TITLE>Bekannt</TITLE>");
  }

  TempDir dir;
  FakeService service;
  std::string song, other, pipe;
  std::vector<std::string> env;
};

TEST_F(DaemonE2E, ControlCommandsWithoutARunningService) {
  {
    // One run leaves a configuration with a user id and a loaded cache behind.
    ServiceProcess once(dir, service.Base(), "once", ServiceOptions{{}, env, {}});
    ASSERT_TRUE(once.WaitFor("MelodySeeker bereit")) << once.Err();
    ASSERT_EQ(once.Terminate(5s), 0);
  }
  CliResult r = Run({"status"});
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.out, "MelodySeeker läuft nicht\n");
  EXPECT_EQ(Run({"status", "--json"}).out, "{\"running\":false}\n");

  // Decoder: preset, refusal of an empty command, show, and the test with the real ffmpeg.
  r = Run({"decoder", "preset", "ffmpeg"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "Aufruf für Decoder/Encoder wurde eingefügt. Nach der Installation des externen "
            "Decoders sollten Sie die Konfiguration über das \"Testen\" Button überprüfen.\n");
  EXPECT_TRUE(Contains(Ini(),
                       "ExtDecoderCMD=#/usr/bin/ffmpeg# -loglevel quiet -i #%i# -f wav "
                       "-fs 50000000 -y #%o#"))
      << Ini();
  r = Run({"decoder", "set", "--cmd", "  "});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "Kein externer Decoder konfiguriert\n");
  EXPECT_TRUE(Contains(Ini(), "ExtDecoderCMD=#/usr/bin/ffmpeg#")) << "refused, so unchanged";
  r = Run({"decoder", "show", "--json"});
  EXPECT_TRUE(Contains(r.out,
                       "\"ExtDecoderVerwenden\":true,\"ExtDecoderPipeModus\":true,"
                       "\"ExtDecoderCMD\":\"\\\"/usr/bin/ffmpeg\\\" -loglevel"))
      << r.out;
  r = Run({"decoder", "test", song});
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_TRUE(
      Contains(r.out, "Der Deocoder wurde erfolgreich getestet. (Ausgabedaten sind PCM)\n("))
      << r.out;
  r = Run({"decoder", "test", "--json", dir.File("fehlt.wav")});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.out, "\"ok\":false")) << r.out;

  // Debug: a script without --yes is not taken as a yes.
  r = Run({"debug", "on"});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(Contains(Ini(), "DebugStart=1"));
  r = Run({"debug", "on", "--yes"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "Achtung: Debugmode aktiv!\nDamit diese Änderung gültig wird, müssen Sie die "
            "Software neu starten!\n");
  EXPECT_TRUE(Contains(Ini(), "DebugStart=1"));
  r = Run({"debug", "off"});
  EXPECT_EQ(r.out,
            "Sie haben den Debug Modus deaktiviert.\nDamit diese Änderung gültig wird, müssen "
            "Sie die Software neu starten!\n");
  EXPECT_TRUE(Contains(Ini(), "DebugStart=0"));

  // Language: stored trimmed and upper case under the service's program path.
  r = Run({"language", "set", " en "});
  EXPECT_EQ(r.out,
            "Sprache EN wurde eingestellt, bitte starten Sie die Anwendung neu damit die "
            "Änderung wirksam wird\n");
  EXPECT_EQ(Run({"language", "show"}).out, "EN\n");
  const std::string languages = ReadText(dir.File("config") + "/MelodySeeker/language.ini");
  EXPECT_TRUE(Contains(languages, std::string(MS_BINARY_DIR) + "/apps/melodyseeker")) << languages;
  EXPECT_TRUE(Contains(languages, "EN")) << languages;
  r = Run({"language", "reset"});
  EXPECT_EQ(r.out,
            "Die Spracheeinstellung wurde zurückgesetzt, bitte starten Sie die Anwendung neu "
            "damit die Änderung wirksam wird\n");
  EXPECT_EQ(Run({"language", "show"}).out, "");

  // Information: directories and the user id with start count and days.
  r = Run({"info"});
  EXPECT_TRUE(Contains(r.out, "Das Programm wurde aus folgendem Pfad gestartet:\n" +
                                  std::string(MS_BINARY_DIR) +
                                  "/apps\n\nDaten werden derzeit in "
                                  "folgendem Verzeichnis abgelegt:\n" +
                                  dir.File("app") + "/MelodySeeker\n"))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex("Ihre UserID lautet:\n[A-Y]{25}_U1_D0\n")))
      << r.out;

  // Configuration: a decoder text set and shown with its double quote, stored with "#".
  r = Run({"config", "set", "DECODER.ExtDecoderTempDir", "/tmp/a\"b"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(Ini(), "ExtDecoderTempDir=/tmp/a#b"));
  EXPECT_TRUE(Contains(Run({"config", "show"}).out, "DECODER.ExtDecoderTempDir=/tmp/a\"b\n"));
  EXPECT_EQ(Run({"config", "set", "nodot", "1"}).code, 2);

  // Cache and configuration reset: refused without --yes, done with it.
  const std::string cachefile = dir.File("app") + "/MelodySeeker/Cache/afp00001.afpbin";
  EXPECT_EQ(Run({"clear-cache"}).code, 1);
  EXPECT_TRUE(fs::exists(cachefile));
  r = Run({"clear-cache", "--yes"});
  EXPECT_EQ(r.out, "Cache erfolgreich gelöscht\n");
  EXPECT_FALSE(fs::exists(cachefile));
  const std::string userid = Ini().substr(Ini().find("userid=") + 7, 25);
  EXPECT_EQ(Run({"config", "reset"}).code, 1);
  EXPECT_TRUE(Contains(Ini(), "UCOUNT=1"));
  r = Run({"config", "reset", "--yes"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "Konfiguration wurde entfernt, Startkonfiguration wird wiederhergestellt !\n\n"
            "Bitte Anwendung neu starten !\n");
  EXPECT_EQ(Ini(), "[KONFIG]\nuserid=" + userid + "\n");
  int backups = 0;
  for (const auto& e : fs::directory_iterator(dir.File("app") + "/MelodySeeker/Backup"))
    backups += e.path().filename().string().rfind("MelodySeeker.inibackup_", 0) == 0;
  EXPECT_EQ(backups, 1);
}

TEST_F(DaemonE2E, LiveConfigurationReachesTheNextRequestAndEditsSurviveTheShutdown) {
  ServiceProcess proc(dir, service.Base(), "live", ServiceOptions{{}, env, {}});
  ASSERT_TRUE(proc.WaitFor("MelodySeeker bereit")) << proc.Err();
  CliResult r = Run({"status"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "(PID " + std::to_string(proc.Pid()) + "): ready\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "Cache: 1 Dateien, 1 Datensätze\n")) << r.out;

  // An external decoder that leaves a mark. The built-in decoders know no Ogg file.
  const std::string marker = dir.File("decoded-externally");
  EXPECT_TRUE(Contains(Identify(proc.Pipe(), other), "<ERROR>")) << "not decodable yet";
  r = Run({"decoder", "set", "--external", "on", "--pipe", "on", "--cmd",
           "sh -c 'touch " + marker + "; exec cat \"$0\"' %i"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Der laufende Dienst (PID " + std::to_string(proc.Pid()) +
                                  ") liest die Konfiguration neu ein."))
      << r.out;
  // The reload runs in the service's main loop, a moment after the signal.
  bool external = false;
  for (int i = 0; i < 40 && !external; ++i) {
    external = Contains(Identify(proc.Pipe(), other), "<TITLE>Bekannt</TITLE>");
    if (!external) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(external) << "the running service did not take the new decoder settings";
  EXPECT_TRUE(fs::exists(marker));

  // Edited behind the service's back (no signal): the shutdown must not write it over.
  std::string error;
  const std::string ini = dir.File("app") + "/MelodySeeker/MelodySeeker.ini";
  ASSERT_TRUE(WriteConfigValues(
      ini, {{"DECODER", "ExtDecoderTempDir", "/von/hand"}, {"KONFIG", "DebugStart", "1"}}, error))
      << error;
  EXPECT_EQ(proc.Terminate(5s), 0);
  EXPECT_TRUE(Contains(Ini(), "ExtDecoderTempDir=/von/hand")) << Ini();
  EXPECT_TRUE(Contains(Ini(), "DebugStart=1")) << Ini();
  EXPECT_TRUE(Contains(Ini(), "ExtDecoderPipeModus=1")) << Ini();
  EXPECT_EQ(Run({"status"}).code, 4);
  EXPECT_FALSE(fs::exists(dir.File("run") + "/MelodySeeker/status.json"));
}

TEST_F(DaemonE2E, StatusAndServiceManagerNotificationsThroughTheDownload) {
  NotifySocket notify(dir.File("notify"));
  service.StateDelayMs = 1500;
  ServiceProcess proc(dir, service.Base(), "notify",
                      ServiceOptions{{}, WithEnv(env, "NOTIFY_SOCKET", dir.File("notify")), {}});
  ASSERT_TRUE(proc.WaitFor("Abfrage der Cache Informationen")) << proc.Err();
  CliResult r = Run({"status", "--json"});
  EXPECT_EQ(r.code, 3) << r.out;
  EXPECT_TRUE(Contains(r.out,
                       "\"phase\":\"downloading\",\"text\":\"Abfrage der Cache "
                       "Informationen\""))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"pid\":" + std::to_string(proc.Pid()))) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"running\":true")) << r.out;
  EXPECT_FALSE(Contains(notify.Received(), "READY=1"));

  ASSERT_TRUE(notify.WaitFor("READY=1")) << notify.Received();
  EXPECT_TRUE(Contains(notify.Received(), "STATUS=Abfrage der Cache Informationen"))
      << notify.Received();
  // Ready only once the cache is loaded.
  const std::string& got = notify.Received();
  ASSERT_TRUE(Contains(got, "STATUS=Lokaler Cache vorbereitet")) << got;
  EXPECT_LT(got.find("STATUS=Lokaler Cache vorbereitet"), got.find("READY=1")) << got;
  r = Run({"status", "--json"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"phase\":\"ready\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"cache_files\":1,\"records\":1,\"clients\":0")) << r.out;

  EXPECT_EQ(proc.Terminate(5s), 0);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1")) << notify.Received();
  EXPECT_EQ(Run({"status"}).code, 4);
}

TEST_F(DaemonE2E, OfflineStartTriesAgainUntilTheWebServiceIsBack) {
  service.Online = false;
  ServiceProcess proc(dir, service.Base(), "retry", ServiceOptions{{"--retry-delay", "1"}, env, {}});
  ASSERT_TRUE(proc.WaitFor("Status: Neuer Versuch in 1 s")) << proc.Err();
  CliResult r = Run({"status", "--json"});
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(Contains(r.out, "\"phase\":\"failed\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"reason\":\"Der Service ist derzeit nicht verfügbar! Wartung\""))
      << r.out;
  EXPECT_FALSE(Contains(r.out, "\"retry_at\":0")) << r.out;
  EXPECT_TRUE(Contains(Run({"status"}).out, "Neuer Versuch: ")) << r.out;
  // Still offline at the second attempt: the wait doubles.
  ASSERT_TRUE(proc.WaitFor("Status: Neuer Versuch in 2 s", 10s)) << proc.Err();
  service.Online = true;
  ASSERT_TRUE(proc.WaitFor("MelodySeeker bereit", 15s)) << proc.Err();
  EXPECT_EQ(Run({"status"}).code, 0);
  EXPECT_TRUE(Known(proc, song));
  EXPECT_EQ(proc.Terminate(5s), 0);
}

TEST_F(DaemonE2E, FreshHomeWithoutDataHomeGetsOne) {
  const std::string home = dir.File("fresh");
  fs::create_directories(home);
  std::vector<std::string> fresh = WithEnv(WithEnv(env, "APPDATA", ""), "HOME", home);
  ServiceProcess proc(dir, service.Base(), "fresh", ServiceOptions{{}, fresh, {}});
  ASSERT_TRUE(proc.WaitFor("MelodySeeker bereit")) << proc.Err();
  EXPECT_EQ(ReadText(home + "/.local/share/MelodySeeker/Cache/afp00001.afpbin"), service.CacheFile);
  EXPECT_EQ(proc.Terminate(5s), 0);
}

TEST_F(DaemonE2E, SecondInstanceUnderAnotherNameEndsWithTheReasonAndDownloadsNothing) {
  ServiceProcess first(dir, service.Base(), "first", ServiceOptions{{}, env, {}});
  ASSERT_TRUE(first.WaitFor("MelodySeeker bereit")) << first.Err();
  const int requests = service.StateRequests.load();
  fs::create_directories(dir.File("bin"));
  const std::string copy = dir.File("bin") + "/melodyseeker-zwei";
  fs::copy_file(std::string(MS_BINARY_DIR) + "/apps/melodyseeker", copy);
  fs::permissions(copy, fs::perms::owner_all);
  ServiceProcess second(dir, service.Base(), "second", ServiceOptions{{}, env, copy});
  EXPECT_EQ(second.Wait(5s), 1) << second.Err();
  EXPECT_TRUE(Contains(second.Err(), "bind")) << second.Err();
  EXPECT_EQ(service.StateRequests.load(), requests);
  EXPECT_TRUE(Known(first, song));
  EXPECT_EQ(Run({"status"}).code, 0) << "the first one's status stays";
}

TEST_F(DaemonE2E, SigtermDuringASleepingExternalDecoderEndsWithinTwoSecondsLeavingNoChild) {
  const std::string pidfile = dir.File("decoder.pid");
  ASSERT_EQ(Run({"decoder", "set", "--external", "on", "--pipe", "on", "--cmd",
                 "sh -c 'echo $$ > " + pidfile + "; sleep 30' %i"})
                .code,
            0);
  ServiceProcess proc(dir, service.Base(), "slow", ServiceOptions{{}, env, {}});
  ASSERT_TRUE(proc.WaitFor("MelodySeeker bereit")) << proc.Err();
  std::thread client([&] { Identify(proc.Pipe(), other); });
  for (int i = 0; i < 250 && ReadText(pidfile).empty(); ++i) std::this_thread::sleep_for(20ms);
  const pid_t decoder = std::atoi(ReadText(pidfile).c_str());
  ASSERT_GT(decoder, 0);
  ASSERT_GE(LiveProcessesInGroup(decoder), 1);  // the shell (or the sleep it became)
  const auto start = std::chrono::steady_clock::now();
  proc.Signal(SIGTERM);
  EXPECT_EQ(proc.Wait(2s), 0) << proc.Err();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 2s);
  std::printf(
      "SIGTERM during the external decoder: ended after %lld ms\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  client.join();
  EXPECT_EQ(LiveProcessesInGroup(decoder), 0);
}

}  // namespace
