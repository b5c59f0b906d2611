// A whole library through the real service: `melodyseeker-cli identify` with directory trees,
// names from standard input, parallel connections, JSON Lines, the summary, the progress bar on
// a terminal and Ctrl+C while requests run.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../afp/afp_audio_fixtures.h"
#include "afp/afpcachebin_unit.h"
#include "afp/afpdecode_unit.h"
#include "e2e_service.h"

namespace {

using namespace std::chrono_literals;
using afptest::TempDir;
using e2e::FakeService;
using e2e::ServiceProcess;
namespace fs = std::filesystem;

// One run of melodyseeker-cli: standard input from a text, standard output and error read while
// it runs (standard error through a terminal with `tty`).
class Cli {
 public:
  Cli(const std::vector<std::string>& args, const std::string& input = "", bool tty = false) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    if (tty) {
      int child_side = -1;
      if (::openpty(&err[0], &child_side, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty");
      err[1] = child_side;
    } else if (::pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    const std::string bin = std::string(MS_BINARY_DIR) + "/apps/melodyseeker-cli";
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      std::vector<char*> argv{const_cast<char*>(bin.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(bin.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) ADD_FAILURE() << "stdin";
    ::close(in[1]);
    FOut = out[0];
    FErr = err[0];
  }
  ~Cli() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    ::close(FOut);
    ::close(FErr);
  }

  // Reads what is there, waiting up to `wait` for more.
  void Pump(std::chrono::milliseconds wait) {
    pollfd fds[2] = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0) return;
    char buf[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) (i == 0 ? Out : Err).append(buf, static_cast<std::size_t>(n));
    }
  }
  // Until `done` holds or `limit` passes.
  template <class F>
  bool PumpUntil(F done, std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      Pump(20ms);
    }
    return true;
  }
  void Signal(int sig) { ::kill(FPid, sig); }
  // The exit code (128 + signal when killed), -1 when it did not end within `limit`.
  int Wait(std::chrono::milliseconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        // What is left in the pipes (the pty reports EIO once the child is gone).
        for (int i = 0; i < 20; ++i) Pump(10ms);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > end) return -1;
      Pump(10ms);
    }
  }
  std::size_t Lines() const {
    return static_cast<std::size_t>(std::count(Out.begin(), Out.end(), '\n'));
  }

  std::string Out, Err;

 private:
  pid_t FPid = -1;
  int FOut = -1, FErr = -1;
};

std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    if (nlohmann::json::accept(line)) lines.push_back(nlohmann::json::parse(line));
  }
  return lines;
}

// The summary object on standard error (--json).
nlohmann::json Summary(const std::string& err) {
  const auto at = err.rfind("{\"summary\":");
  if (at == std::string::npos) return {};
  return nlohmann::json::parse(err.substr(at, err.find('\n', at) - at))["summary"];
}

class CliLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    known = dir.File("known.wav");
    unknown = dir.File("unknown.wav");
    afptest::WriteBytes(known, afptest::MakeWav(1, 22050, 16, afptest::MusicLike(22050, 40, 11)));
    afptest::WriteBytes(unknown,
                        afptest::MakeWav(1, 22050, 16, afptest::MusicLike(22050, 40, 977)));
    TAFPDecoder gen;
    RAFP afp;
    ASSERT_TRUE(gen.AFPDecode(known, afp)) << gen.lasterror();
    const std::string cache = dir.File("afp00001.afpbin");
    {
      TAfpCacheFileWriter writer(cache);
      writer.Add("FG-A", afp);
      writer.Commit();
    }
    service.CacheFile = e2e::ReadText(cache);
    // An unmatched file gets an empty title, as one without tags does from a real service.
    service.AddTitle = "";
  }

  std::unique_ptr<ServiceProcess> Start(const std::string& tag, const std::string& ini = "") {
    auto proc = std::make_unique<ServiceProcess>(dir, service.Base(), tag, ini);
    EXPECT_TRUE(proc->WaitFor("MelodySeeker bereit")) << proc->Err();
    return proc;
  }

  TempDir dir;
  FakeService service;
  std::string known, unknown;
};

TEST_F(CliLibrary, TreeOfEveryTypeGivesTheSameResultsWithOneAndTwoConnections) {
  // ffmpeg as the external decoder, so that every audio type is decoded by the service.
  auto proc = Start("tree",
                    "[DECODER]\nExtDecoderVerwenden=1\nExtDecoderPipeModus=1\n"
                    "ExtDecoderCMD=ffmpeg -nostdin -loglevel error -i %i -f wav %o\n"
                    "ExtDecoderPipeoutParam=pipe:1\n");
  const std::string lib = dir.File("lib");
  fs::create_directories(lib + "/Band/Album");
  fs::create_directories(lib + "/music.old");
  fs::copy_file(known, lib + "/Band/known.wav");
  fs::copy_file(unknown, lib + "/Band/Album/unknown.WAV");
  const std::vector<std::pair<std::string, std::vector<std::string>>> encoded = {
      {"Band/Album/known.mp3", {"-c:a", "libmp3lame", "-b:a", "128k"}},
      {"Band/Album/known.mp2", {"-c:a", "mp2"}},
      {"Band/Album/known.flac", {"-c:a", "flac"}},
      {"Band/Album/known.ogg", {"-c:a", "libvorbis"}},
      {"Band/Album/known.m4a", {"-c:a", "aac"}},
      {"Band/Album/known.aac", {"-c:a", "aac", "-f", "adts"}},
      {"Band/Album/known.aiff", {"-c:a", "pcm_s16be"}},
      {"Band/Album/known.wma", {"-c:a", "wmav2"}},
      {"Band/Album/known.wmv", {"-c:a", "wmav2", "-f", "asf"}},
  };
  for (const auto& [name, codec] : encoded) {
    std::vector<std::string> args{"-i", known};
    args.insert(args.end(), codec.begin(), codec.end());
    args.push_back(lib + "/" + name);
    afptest::Ffmpeg(args);
  }
  // Not for the service: skipped and counted, never sent. The FIFO would block whoever opened
  // it; the link back up the tree would make the walk endless.
  for (const char* name : {"Band/cover.jpg", "Band/notes.txt", "Band/lied.mid", "Band/README",
                           "music.old/track", "Band/backup.mp3.bak"})
    afptest::WriteBytes(lib + "/" + name, {'x'});
  ASSERT_EQ(::mkfifo((lib + "/Band/stuck.mp3").c_str(), 0600), 0);
  fs::create_directory_symlink(lib, lib + "/Band/loop");
  const std::size_t audio = encoded.size() + 2, skipped = 7;

  std::map<std::string, nlohmann::json> results[2];
  for (int jobs : {1, 2}) {
    SCOPED_TRACE(jobs);
    Cli cli({"identify", "--json", "--pipe", proc->Pipe(), "-r", "-j", std::to_string(jobs), lib});
    EXPECT_EQ(cli.Wait(), 0) << cli.Err;
    const auto lines = JsonLines(cli.Out);
    ASSERT_EQ(lines.size(), audio) << cli.Out;
    std::int64_t titled = 0;
    for (const auto& line : lines) {
      EXPECT_EQ(line["ok"], true) << line;
      EXPECT_EQ(line["FILENAME"], line["file"]);
      titled += line["TITLE"] != "";
      results[jobs - 1][line["file"].get<std::string>()] = line;
    }
    EXPECT_EQ(results[jobs - 1].count(lib + "/Band/known.wav"), 1u);
    EXPECT_EQ(results[jobs - 1][lib + "/Band/known.wav"]["TITLE"], "Bekannt");
    EXPECT_EQ(results[jobs - 1][lib + "/Band/Album/unknown.WAV"]["TITLE"], "");
    const nlohmann::json summary = Summary(cli.Err);
    ASSERT_TRUE(summary.is_object()) << cli.Err;
    EXPECT_EQ(summary["files"], audio);
    EXPECT_EQ(summary["identified"], titled);
    EXPECT_EQ(summary["not_known"], static_cast<std::int64_t>(audio) - titled);
    EXPECT_EQ(summary["errors"], 0);
    EXPECT_EQ(summary["skipped"], skipped);
    EXPECT_EQ(summary["interrupted"], false);
    // Piped: no progress bar.
    EXPECT_EQ(cli.Err.find('\r'), std::string::npos) << cli.Err;
  }
  EXPECT_EQ(results[0], results[1]);
}

TEST_F(CliLibrary, NamesFromStandardInputAndWhatCannotBeUsed) {
  auto proc = Start("stdin");
  const std::string odd = dir.File("new\nline.wav");
  fs::copy_file(unknown, odd);
  fs::create_directories(dir.File("album"));
  fs::copy_file(known, dir.File("album/track.wav"));
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int code;
    std::vector<std::string> files;  // each with ok true, in any order
    std::vector<std::string> failed;
  } cases[] = {
      {"one a line, a directory walked",
       {"-r", "-"},
       known + "\n\n" + dir.File("album") + "\n",
       0,
       {known, dir.File("album/track.wav")},
       {}},
      {"NUL-separated, a newline in a name, - twice",
       {"-0", "-", "-"},
       odd + std::string(1, '\0') + known,
       0,
       {odd, known},
       {}},
      {"the same file twice is asked once", {known, dir.File("./known.wav")}, "", 0, {known}, {}},
      {"a directory without -r", {known, dir.File("album")}, "", 1, {known}, {dir.File("album")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"identify", "--json", "--pipe", proc->Pipe()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Cli cli(args, c.input);
    EXPECT_EQ(cli.Wait(), c.code) << cli.Err;
    std::vector<std::string> ok, failed;
    for (const auto& line : JsonLines(cli.Out))
      (line["ok"] == true ? ok : failed).push_back(line["file"]);
    std::sort(ok.begin(), ok.end());
    auto want = c.files;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(ok, want) << cli.Out;
    EXPECT_EQ(failed, c.failed) << cli.Out;
    EXPECT_EQ(Summary(cli.Err)["errors"], c.failed.size()) << cli.Err;
  }

  // No service behind the name: exit 2 before any file.
  Cli none({"identify", "--json", "--pipe", proc->Pipe() + "-none", known});
  EXPECT_EQ(none.Wait(), 2);
  EXPECT_EQ(none.Out, "");
  EXPECT_NE(none.Err.find("not reachable"), std::string::npos) << none.Err;
}

TEST_F(CliLibrary, CtrlCStopsWithTheSummarySoFar) {
  auto proc = Start("sigint");
  std::vector<std::string> args{"identify", "--json", "--pipe", proc->Pipe(), "-j", "2"};
  for (int i = 0; i < 12; ++i) {
    const std::string copy = dir.File("copy" + std::to_string(i) + ".wav");
    fs::copy_file(unknown, copy);
    args.push_back(copy);
  }
  {
    // Once: running requests finish and are printed; no new one starts.
    service.TagDelayMs = 400;
    Cli cli(args);
    ASSERT_TRUE(cli.PumpUntil([&] { return cli.Lines() >= 2; })) << cli.Err;
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(5s), 130) << cli.Err;
    const auto lines = JsonLines(cli.Out);
    EXPECT_LT(lines.size(), 12u);
    for (const auto& line : lines) EXPECT_EQ(line["ok"], true) << line;
    const nlohmann::json summary = Summary(cli.Err);
    ASSERT_TRUE(summary.is_object()) << cli.Err;
    EXPECT_EQ(summary["files"], lines.size());
    EXPECT_EQ(summary["not_done"], 12 - lines.size());
    EXPECT_EQ(summary["interrupted"], true);
  }
  {
    // Twice: requests that hang are abandoned at once.
    service.TagDelayMs = 60000;
    const std::size_t before = service.TagRequests().size();
    Cli cli(args);
    ASSERT_TRUE(cli.PumpUntil([&] { return service.TagRequests().size() >= before + 2; }));
    cli.Signal(SIGINT);
    ASSERT_TRUE(cli.PumpUntil([&] { return cli.Err.find("Stopping") != std::string::npos; }, 5s))
        << cli.Err;
    const auto start = std::chrono::steady_clock::now();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(5s), 130) << cli.Err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(cli.Out, "");
    EXPECT_EQ(Summary(cli.Err)["not_done"], 12) << cli.Err;
  }
  // The service took no harm from the abandoned connections.
  service.TagDelayMs = 0;
  Cli after({"identify", "--json", "--pipe", proc->Pipe(), known});
  EXPECT_EQ(after.Wait(), 0) << after.Err;
  EXPECT_NE(after.Out.find("\"TITLE\":\"Bekannt\""), std::string::npos) << after.Out;
}

TEST_F(CliLibrary, ProgressBarOnATerminalOnly) {
  auto proc = Start("tty");
  Cli cli({"identify", "--json", "--pipe", proc->Pipe(), "-j", "2", known, unknown}, "", true);
  EXPECT_EQ(cli.Wait(), 0) << cli.Err;
  EXPECT_EQ(JsonLines(cli.Out).size(), 2u);
  // The bar is drawn over itself with a carriage return and ends at the full count.
  EXPECT_NE(cli.Err.find("\r[="), std::string::npos) << cli.Err;
  EXPECT_NE(cli.Err.find("100% 2/2"), std::string::npos) << cli.Err;
}

}  // namespace
