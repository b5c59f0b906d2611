// The debug trace on a real "debug.tmp" in a per-test temporary directory, with a capturing UI
// prompt in place of message boxes. The trace is process-wide: every test starts it over with
// Debug_Init and closes it again.
#include "diagnostics/debug_unit.h"

#include "platform/ui_prompt.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

class CapturePrompt final : public TUiPrompt {
 public:
  TPromptResult Show(TPromptKind kind, std::string_view text, TPromptButtons buttons) override {
    std::lock_guard lock(mutex_);
    messages_.emplace_back(kind, std::string(text));
    EXPECT_EQ(buttons, TPromptButtons::Ok);
    return TPromptResult::Ok;
  }
  std::vector<std::pair<TPromptKind, std::string>> Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<TPromptKind, std::string>> messages_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The image's lines up to "(EOF)" (split at CR LF).
std::vector<std::string> ImageLines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(pos));
      break;
    }
    lines.push_back(bytes.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d.%m.%Y", &tm);
  return buf;
}

// "dd.mm.yyyy hh:nn:ss (number)> action".
bool IsSlot(const std::string& line, int number, const std::string& action) {
  const std::string shape = "00.00.0000 00:00:00";
  if (line.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == '0' ? !digit : line[i] != shape[i]) return false;
  }
  return line.substr(shape.size()) == " (" + std::to_string(number) + ")> " + action;
}

constexpr const char* kNotActive = "debugdump fehler: debug nicht aktiv!";
constexpr const char* kNotOpen = "debugdump fehler: debugdatei nicht offen!";

// Runs first and, to be independent of order, in a fresh process of its own.
TEST(DebugLogFreshProcess, DumpBeforeInitReportsInactive) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string dump = Debug_Dump();
        Debug_Log("ignored while inactive");
        std::fputs(Debug_Dump().c_str(), stderr);
        std::_Exit(dump == kNotActive ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "debugdump fehler: debug nicht aktiv!");
}

class DebugLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "ms-debug-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    file_ = dir_ / "debug.tmp";
    previous_ = SetUiPrompt(prompt_);
  }
  void TearDown() override {
    Debug_Done(false);
    SetUiPrompt(previous_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::shared_ptr<CapturePrompt> prompt_ = std::make_shared<CapturePrompt>();
  std::shared_ptr<TUiPrompt> previous_;
  fs::path dir_;
  fs::path file_;
};

TEST_F(DebugLogTest, RingSlotsNumbersAndImageLayout) {
  ASSERT_TRUE(Debug_Init("MelodySeeker 1.00 64Bit RP: /r WP: /w", dir_.string()));  // no trailing '/'
  ASSERT_TRUE(fs::exists(file_));
  EXPECT_EQ(ReadFile(file_), "");
  Debug_Log("eins");
  Debug_Log("zwei");

  std::string bytes = ReadFile(file_);
  std::vector<std::string> lines = ImageLines(bytes);
  ASSERT_EQ(lines.size(), 11u) << bytes;
  EXPECT_EQ(lines[0], "MelodySeeker 1.00 64Bit RP: /r WP: /w");
  EXPECT_EQ(lines[1], "letzte aktion: zwei");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "->letzte Aktionen");
  EXPECT_TRUE(IsSlot(lines[4], 1, "eins")) << lines[4];
  EXPECT_TRUE(IsSlot(lines[5], 2, "zwei")) << lines[5];
  EXPECT_EQ(lines[6], "-");
  EXPECT_EQ(lines[7], "-");
  EXPECT_EQ(lines[8], "-");
  EXPECT_EQ(lines[9], "<-letzte Aktionen");
  EXPECT_EQ(lines[10], std::string("(EOF)\0\0", 7));
  const std::string date = lines[5].substr(0, 10);
  EXPECT_TRUE(date == Today() || lines[5].substr(11, 2) == "00") << date;  // midnight tolerance
  EXPECT_EQ(Debug_Dump(), bytes.substr(0, bytes.size() - 2));

  for (const char* action : {"drei", "vier", "fünf", "sechs"}) Debug_Log(action);
  lines = ImageLines(ReadFile(file_));
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[1], "letzte aktion: sechs");
  // Slot order, not time order: the sixth action took slot 0.
  EXPECT_TRUE(IsSlot(lines[4], 6, "sechs")) << lines[4];
  EXPECT_TRUE(IsSlot(lines[5], 2, "zwei")) << lines[5];
  EXPECT_TRUE(IsSlot(lines[8], 5, "f\xFCnf")) << lines[8];  // U+00FC as its one byte
  EXPECT_TRUE(prompt_->Messages().empty());
}

TEST_F(DebugLogTest, LongImageIsCutAt10240Bytes) {
  ASSERT_TRUE(Debug_Init("h", dir_.string() + "/"));
  Debug_Log(std::string(20000, 'x'));
  const std::string bytes = ReadFile(file_);
  EXPECT_EQ(bytes.size(), 10240u);
  EXPECT_EQ(bytes.find("(EOF)"), std::string::npos);
  EXPECT_EQ(bytes.substr(0, 18), "h\r\nletzte aktion: ");
  EXPECT_EQ(Debug_Dump(), bytes);
}

TEST_F(DebugLogTest, CharactersAreWrittenAsTheLowByteOfTheirUtf16Unit) {
  ASSERT_TRUE(Debug_Init("h", dir_.string()));
  // U+20AC -> 0xAC, U+00FC -> 0xFC; U+1F600 is D83D DE00, so its second unit becomes a NUL.
  Debug_Log("\xE2\x82\xAC\xC3\xBC\xF0\x9F\x98\x80!");
  const std::string bytes = ReadFile(file_);
  EXPECT_EQ(bytes.substr(0, 23), std::string("h\r\nletzte aktion: \xAC\xFC\x3D\x00!", 23));
  // The dump reads the bytes back as Latin-1 and ends at that NUL.
  EXPECT_EQ(Debug_Dump(), "h\r\nletzte aktion: \xC2\xAC\xC3\xBC=");
}

TEST_F(DebugLogTest, ShorterImageLeavesTheTailOfTheLongerOne) {
  // The size of an image with one action "a" is the header's length plus a fixed part.
  ASSERT_TRUE(Debug_Init("", dir_.string()));
  Debug_Log("a");
  const std::size_t fixed = ReadFile(file_).size();
  ASSERT_LT(fixed, 200u);
  fs::remove(file_);

  ASSERT_TRUE(Debug_Init(std::string(300 - fixed, 'L'), dir_.string()));
  Debug_Log("a");
  const std::string first = ReadFile(file_);
  ASSERT_EQ(first.size(), 300u);

  ASSERT_TRUE(Debug_Init(std::string(200 - fixed, 'S'), dir_.string()));  // counter starts over
  Debug_Log("a");
  const std::string second = ReadFile(file_);
  ASSERT_EQ(second.size(), 300u);
  EXPECT_EQ(second.substr(200), first.substr(200));
  EXPECT_EQ(second.substr(193, 7), std::string("(EOF)\0\0", 7));
  EXPECT_NE(second.find("(1)> a"), std::string::npos);
  const std::string dump = Debug_Dump();
  EXPECT_EQ(dump.size(), 198u);
  EXPECT_EQ(dump, second.substr(0, 198));
}

TEST_F(DebugLogTest, DumpReadsUpToTheFirstNulAfterTheFirstByte) {
  struct Case {
    const char* name;
    std::string file;
    std::string dump;
  };
  const std::vector<Case> cases = {
      {"empty file", "", ""},
      {"no NUL", "abc", "abc"},
      {"stops at the first NUL", std::string("ab\0cd\0", 6), "ab"},
      {"a leading NUL is kept", std::string("\0ab\0cd", 6), std::string("\0ab", 3)},
      {"Latin-1 bytes", "\xE9t\xE9", "\xC3\xA9t\xC3\xA9"},
      {"at most 10241 bytes", std::string(10300, 'z'), std::string(10241, 'z')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(file_, c.file);  // an existing file is kept as it is by Debug_Init
    ASSERT_TRUE(Debug_Init("h", dir_.string()));
    EXPECT_EQ(Debug_Dump(), c.dump);
    EXPECT_EQ(ReadFile(file_), c.file);
    Debug_Done(true);
  }
}

TEST_F(DebugLogTest, InitWithEmptyDirectoryFailsSilentlyAndClosesTheFile) {
  EXPECT_FALSE(Debug_Init("h", ""));
  ASSERT_TRUE(Debug_Init("h", dir_.string()));
  Debug_Log("eins");
  EXPECT_FALSE(Debug_Init("h", ""));
  EXPECT_TRUE(prompt_->Messages().empty());
  // Still active, but the file is closed: logging is skipped and the dump says why.
  EXPECT_EQ(Debug_Dump(), kNotOpen);
  const std::string before = ReadFile(file_);
  Debug_Log("zwei");
  EXPECT_EQ(ReadFile(file_), before);
}

TEST_F(DebugLogTest, InitThatCannotOpenWarnsAndStaysInactive) {
  EXPECT_FALSE(Debug_Init("h", (dir_ / "missing" / "sub").string()));
  const auto messages = prompt_->Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first, TPromptKind::Warning);
  EXPECT_EQ(messages[0].second, "Debug_Init Fehler!\r" + std::string(std::strerror(ENOENT)));
  EXPECT_EQ(Debug_Dump(), kNotActive);
}

TEST_F(DebugLogTest, DoneClosesAndDeletes) {
  ASSERT_TRUE(Debug_Init("h", dir_.string()));
  Debug_Log("eins");
  ASSERT_TRUE(Debug_Done(false));
  EXPECT_TRUE(fs::exists(file_));
  EXPECT_EQ(Debug_Dump(), kNotOpen);

  ASSERT_TRUE(Debug_Init("h", dir_.string()));
  Debug_Log("eins");
  ASSERT_TRUE(Debug_Done(true));
  EXPECT_FALSE(fs::exists(file_));
  Debug_Log("zwei");  // skipped: the file must not come back
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_TRUE(Debug_Done(true));  // nothing left to delete is fine
  EXPECT_TRUE(prompt_->Messages().empty());
}

TEST_F(DebugLogTest, ConcurrentActionsKeepConsistentNumbers) {
  ASSERT_TRUE(Debug_Init("h", dir_.string()));
  constexpr int kThreads = 4;
  constexpr int kActions = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kActions; ++i) Debug_Log("t" + std::to_string(t) + "-" + std::to_string(i));
    });
  }
  for (std::thread& th : threads) th.join();
  const std::vector<std::string> lines = ImageLines(ReadFile(file_));
  ASSERT_EQ(lines.size(), 11u);
  std::set<int> numbers;
  std::string last_action;
  for (int slot = 4; slot < 9; ++slot) {
    const std::string& line = lines[slot];
    const std::size_t open = line.find(" ("), close = line.find(")> ");
    ASSERT_TRUE(open != std::string::npos && close != std::string::npos) << line;
    const int number = std::stoi(line.substr(open + 2, close - open - 2));
    ASSERT_TRUE(IsSlot(line, number, line.substr(close + 3))) << line;
    numbers.insert(number);
    if (number == kThreads * kActions) last_action = line.substr(close + 3);
  }
  const int n = kThreads * kActions;
  EXPECT_EQ(numbers, (std::set<int>{n - 4, n - 3, n - 2, n - 1, n}));
  EXPECT_EQ(lines[1], "letzte aktion: " + last_action);
}

}  // namespace
