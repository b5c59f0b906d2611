// The process runner against real child processes (tests/helpers/ms_child), and the small OS
// helpers on real files in a per-test temporary directory.
#include "os/os_api_unit.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ChildPath() { return std::string(MS_BINARY_DIR) + "/tests/helpers/ms_child"; }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// True when every byte is the helper's pattern (byte i is i % 251) from the start.
bool IsPattern(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) != i % 251) return false;
  }
  return true;
}

class OsApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(ChildPath())) << "build the helper target ms_child first";
    std::string templ = (fs::temp_directory_path() / "ms-os-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  TCommandArgs Child(std::vector<std::string> steps) const {
    steps.insert(steps.begin(), ChildPath());
    return steps;
  }

  fs::path dir_;
};

TEST_F(OsApiTest, RunProcessPipedOutcomes) {
  struct Case {
    const char* name;
    std::vector<std::string> steps;
    bool ok;
    std::string output;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"success", {"args", "a b", "c"}, true, "a b\nc\n", ""},
      {"exit code 3 before the child's own error text", {"err", "4", "exit", "3"}, false, "",
       std::string("process exit code 3\r\n") + std::string("\x00\x01\x02\x03", 4)},
      {"a signal death counts as 255", {"kill"}, false, "", "process exit code 255\r\n"},
      {"the process is waited for, not the end of its outputs", {"closeout", "sleep", "300", "exit", "4"},
       false, "", "process exit code 4\r\n"},
      {"standard input is empty and nothing else is inherited", {"stdin", "fds"}, true,
       "stdin:0\nfds:0,1,2\n", ""},
  };
  // A descriptor without close-on-exec in this process must not reach the child.
  const int stray = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "stale", err = "stale";
    EXPECT_EQ(RunProcessPiped(Child(c.steps), out, err, 10000, 1 << 20), c.ok);
    EXPECT_EQ(out, c.output);
    EXPECT_EQ(err, c.error);
  }
  ::close(stray);
}

TEST_F(OsApiTest, TimeoutKillsAndReapsTheChild) {
  std::string out, err;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunProcessPiped(Child({"pid", "err", "3", "sleep", "20000"}), out, err, 300, 1 << 20));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  // The message goes in front of what the child had written before it was killed.
  EXPECT_EQ(err, "processtimeout after 300 ms\r\n" + std::string("\x00\x01\x02", 3));
  ASSERT_EQ(out.rfind("pid:", 0), 0u) << out;
  const pid_t pid = std::atoi(out.c_str() + 4);
  ASSERT_GT(pid, 0);
  // Neither running nor left as a zombie: the pid no longer exists.
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST_F(OsApiTest, ByteLimitWithFiftyMegabytesOnBothStreams) {
  constexpr std::uint32_t kLimit = 1 << 20;
  const std::string fifty_mb = std::to_string(50u << 20);
  std::string out, err;
  // Both streams far beyond any pipe buffer: without reading while waiting the child blocks
  // and the run ends in the time-out.
  ASSERT_TRUE(RunProcessPiped(Child({"out", fifty_mb, "err", fifty_mb}), out, err, 30000, kLimit)) << err.substr(0, 80);
  for (const std::string* s : {&out, &err}) {
    EXPECT_GE(s->size(), kLimit);
    EXPECT_LT(s->size(), 2 * kLimit);  // at most one piece beyond the limit
    EXPECT_TRUE(IsPattern(*s));
  }

  // Below the limit nothing is lost.
  ASSERT_TRUE(RunProcessPiped(Child({"out", "300001"}), out, err, 60000, kLimit));
  EXPECT_EQ(out.size(), 300001u);
  EXPECT_TRUE(IsPattern(out));
}

TEST_F(OsApiTest, MissingProgramGivesTheSystemMessage) {
  const std::string message = std::strerror(ENOENT);
  for (const std::string program : {"/nonexistent/ms-no-such-program", "ms-no-such-program-on-path"}) {
    SCOPED_TRACE(program);
    std::string out, err;
    EXPECT_FALSE(RunProcessPiped(TCommandArgs{program, "x"}, out, err, 5000, 1000));
    EXPECT_EQ(err, message + "\r\n");
    std::string text;
    EXPECT_FALSE(RunProcess(program + " x", 5000, text));
    EXPECT_EQ(text, message);
  }
  std::string out, err = "stale";
  EXPECT_FALSE(RunProcessPiped(std::string_view("   "), out, err, 5000, 1000));
  EXPECT_FALSE(err.empty());
  EXPECT_NE(err, "stale");
}

TEST_F(OsApiTest, RunProcessOutcomes) {
  struct Case {
    std::vector<std::string> steps;
    std::uint32_t timeout_ms;
    bool ok;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"out", "100000", "exit", "0"}, 10000, true, ""},
      {{"exit", "3"}, 10000, false, "process exit code 3"},
      {{"sleep", "20000"}, 200, false, "processtimeout after 200 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    std::string error = "stale";
    EXPECT_EQ(RunProcess(Child(c.steps), c.timeout_ms, error), c.ok);
    EXPECT_EQ(error, c.error);
  }
}

TEST_F(OsApiTest, HostileFileNameStaysOneArgument) {
  const std::string marker_x = (dir_ / "x").string();
  const std::string marker_y = (dir_ / "y").string();
  const std::string name = (dir_ / "").string() + "a \"b\"; $(touch " + marker_x + ") `touch " + marker_y +
                           "` 'c' \\ | & > " + (dir_ / "z.wav").string();
  const std::string child = ChildPath();
  for (const std::string& templ : {child + " args -i %i -o %O", child + " args -i \"%i\" -o '%o'"}) {
    SCOPED_TRACE(templ);
    const TCommandArgs args = ExpandCommandTemplate(templ, {{"%i", name}, {"%o", "%i.out"}});
    std::string out, err;
    ASSERT_TRUE(RunProcessPiped(args, out, err, 10000, 1 << 20)) << err;
    // The inserted output name holds "%i" but is not expanded again.
    EXPECT_EQ(out, "-i\n" + name + "\n-o\n%i.out\n");
  }
  EXPECT_FALSE(fs::exists(marker_x));
  EXPECT_FALSE(fs::exists(marker_y));
  EXPECT_FALSE(fs::exists(dir_ / "z.wav"));
}

TEST_F(OsApiTest, ConcurrentRunsKeepTheirOwnOutputs) {
  constexpr int kThreads = 4;
  constexpr int kRuns = 8;
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRuns; ++r) {
        const std::string tag = "t" + std::to_string(t) + "r" + std::to_string(r);
        std::string out, err;
        // A pipe end of a sibling run leaking into this child would show up in its fd list.
        if (!RunProcessPiped(Child({"fds", "args", tag}), out, err, 20000, 1 << 20) ||
            out != "fds:0,1,2\n" + tag + "\n") {
          failures[t] += tag + ": " + out + err + "; ";
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (const std::string& f : failures) EXPECT_EQ(f, "");
}

TEST(SplitCommandLine, ShellQuotingWithoutExpansion) {
  struct Case {
    const char* input;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"a  b\tc", {"a", "b", "c"}},
      {"   ", {}},
      {"\"a b\" c", {"a b", "c"}},
      {"'a \"b\"' c", {"a \"b\"", "c"}},
      {R"("x\"y\\z\$\`w\n")", {R"(x"y\z$`w\n)"}},
      {R"(a\ b)", {"a b"}},
      {"\"\" ''", {"", ""}},
      {"a\"\"b'c'd", {"abcd"}},
      {R"('it'\''s')", {"it's"}},
      {"\"unterminated arg", {"unterminated arg"}},
      {"'unterminated arg", {"unterminated arg"}},
      {"$(touch x) ;|& `y` $HOME", {"$(touch", "x)", ";|&", "`y`", "$HOME"}},
      {R"("C:\Program Files\ffmpeg.exe" -i "%i")", {R"(C:\Program Files\ffmpeg.exe)", "-i", "%i"}},
      {"trailing\\", {"trailing\\"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(SplitCommandLine(c.input), c.expected);
  }
}

TEST(QuoteIfNeeded, Table) {
  struct Case {
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {"", ""},
      {"a b", "\"a b\""},
      {"\"a b\"", "\"a b\""},
      {"\"starts only", "\"starts only"},
      {"ends only\"", "ends only\""},
      {"\"", "\""},
      {"mid\"dle", "\"mid\"dle\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(QuoteIfNeeded(c.input), c.expected);
  }
}

TEST_F(OsApiTest, MoveOrReplaceFile) {
  const fs::path a = dir_ / "a", b = dir_ / "b", c = dir_ / "c";
  WriteFile(a, "A");
  WriteFile(b, "B");
  // The plain move never replaces: both files stay as they were.
  EXPECT_FALSE(MoveOrReplaceFile(a, b, true));
  EXPECT_EQ(ReadFile(a), "A");
  EXPECT_EQ(ReadFile(b), "B");

  EXPECT_TRUE(MoveOrReplaceFile(a, c, true));
  EXPECT_FALSE(fs::exists(a));
  EXPECT_EQ(ReadFile(c), "A");

  EXPECT_TRUE(MoveOrReplaceFile(c, b, false));
  EXPECT_FALSE(fs::exists(c));
  EXPECT_EQ(ReadFile(b), "A");

  EXPECT_FALSE(MoveOrReplaceFile(a, c, true));
  EXPECT_FALSE(MoveOrReplaceFile(a, c, false));
}

TEST(AppVersion, Formats) {
  struct Case {
    int major, minor, release, build;
    const char* full;
    const char* brief;
  };
  const Case cases[] = {
      {1, 0, 0, 0, "1.00.00.00", "1.00"},
      {3, 2, 1, 7, "3.02.01.07", "3.02a"},
      {10, 12, 26, 123, "10.12.26.123", "10.12z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.full);
    EXPECT_EQ(FormatAppVersion(c.major, c.minor, c.release, c.build, true), c.full);
    EXPECT_EQ(FormatAppVersion(c.major, c.minor, c.release, c.build, false), c.brief);
  }
  // This build is version 1.0.0 of the project (CMakeLists.txt); a new version changes these.
  EXPECT_EQ(GetAppVersionStr(false), "1.00");
  EXPECT_EQ(GetAppVersionStr(true), "1.00.00.00");
}

TEST(OSVersion, KernelAndDistribution) {
  std::int32_t major = -1, minor = -1;
  std::string text;
  ASSERT_TRUE(GetOSVersionString(major, minor, text));
  utsname uts{};
  ASSERT_EQ(::uname(&uts), 0);
  const std::string release = uts.release;
  EXPECT_EQ(release.rfind(std::to_string(major) + "." + std::to_string(minor), 0), 0u) << release;
  EXPECT_EQ(text.rfind(std::string(uts.sysname) + " " + std::to_string(major) + "." + std::to_string(minor), 0), 0u)
      << text;
  std::ifstream os_release("/etc/os-release");
  std::string line;
  while (std::getline(os_release, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0 && line.size() > 14 && line[12] == '"') {
      EXPECT_NE(text.find(" [" + line.substr(13, line.size() - 14) + "]"), std::string::npos) << text;
    }
  }
  EXPECT_EQ(text.find("WINE"), std::string::npos);
}

// ShellOpen runs a stand-in xdg-open found first on PATH that records where and with what it ran.
TEST_F(OsApiTest, ShellOpenHandsTheFileOverAsOneArgument) {
  const fs::path bin = dir_ / "bin";
  fs::create_directory(bin);
  const fs::path record = dir_ / "record";
  WriteFile(bin / "xdg-open", "#!/bin/sh\n{ pwd; printf '%s|' \"$#\" \"$@\"; } > '" + record.string() +
                                  ".tmp'\nmv '" + record.string() + ".tmp' '" + record.string() + "'\n");
  fs::permissions(bin / "xdg-open", fs::perms::owner_all);
  const fs::path doc = dir_ / "Hand buch \"1\".pdf";
  WriteFile(doc, "%PDF");

  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path ? old_path : "";
  ::setenv("PATH", (bin.string() + ":" + saved).c_str(), 1);

  EXPECT_EQ(ShellOpen("Open", doc, "", dir_, 5), 42);
  for (int i = 0; i < 500 && !fs::exists(record); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ReadFile(record), dir_.string() + "\n1|" + doc.string() + "|");

  EXPECT_EQ(ShellOpen("Open", "", "", "", 5), 2147483647);
  EXPECT_EQ(ShellOpen("", doc, "", "", 5), 2147483647);
  EXPECT_EQ(ShellOpen("Open", (dir_ / "missing.pdf").string(), "", "", 5), 2);

  ::setenv("PATH", (dir_ / "empty").c_str(), 1);  // no xdg-open anywhere
  EXPECT_EQ(ShellOpen("Open", "https://example.org/", "", "", 5), 2);
  ::setenv("PATH", saved.c_str(), 1);
}

}  // namespace
