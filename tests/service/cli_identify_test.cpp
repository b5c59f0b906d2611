// melodyseeker-cli identify as a real child process against a real socket server whose data
// event answers with the protocol's documents.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/melodyseeker_share_unit.h"
#include "service/pipeserver_unit.h"

namespace {

using namespace std::chrono_literals;

struct CliRun {
  int exit_code = -1;
  std::string out;
};

const std::string kTitle = "T\xC3\xA4nzchen";

std::string ErrorFor(const std::string& name) {
  return "Es ist ein unbekannter Fehler aufgetreten: Datei existiert nicht:" + name;
}

class CliIdentifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cli_ = std::string(MS_BINARY_DIR) + "/apps/melodyseeker-cli";
    ASSERT_TRUE(std::filesystem::exists(cli_)) << "build melodyseeker-cli first: " << cli_;
    name_ = "ms-cli-test-" + std::to_string(getpid());
    server_ = std::make_unique<TPipeServer>(name_, queue_);
    // Names ending in ok.mp3 are "identified"; everything else is the missing-file error.
    server_->SetOnReceive([](TPipeServerIOHandler&, std::span<const std::uint8_t> in,
                             std::vector<std::uint8_t>& out) {
      std::string name, error, reply;
      if (!ClientXmlReadFilename(in, name, error))
        reply = ClientXmlError(error);
      else if (name.ends_with("ok.mp3"))
        reply = ClientXmlResult(name, kTitle, "Artist", "Album", 3, 0, "Pop", 0, 12);
      else
        reply = ClientXmlError(ErrorFor(name));
      out.assign(reply.begin(), reply.end());
    });
    ASSERT_TRUE(server_->Start()) << server_->LastErrorDetail();
  }

  void TearDown() override { server_->Stop(); }

  // Runs the CLI through the shell while this (main) thread drains the queue.
  CliRun Run(const std::string& arguments) {
    CliRun run;
    std::atomic<bool> done{false};
    std::thread child([&] {
      FILE* pipe = popen((cli_ + " " + arguments + " 2>/dev/null").c_str(), "r");
      if (pipe != nullptr) {
        std::array<char, 4096> buffer;
        std::size_t n;
        while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
          run.out.append(buffer.data(), n);
        int status = pclose(pipe);
        run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done && std::chrono::steady_clock::now() < deadline) queue_->wait_and_process(5ms);
    child.join();
    return run;
  }

  std::string cli_;
  std::string name_;
  std::shared_ptr<TPlainMainThreadQueue> queue_ = std::make_shared<TPlainMainThreadQueue>();
  std::unique_ptr<TPipeServer> server_;
};

std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

TEST_F(CliIdentifyTest, JsonReportsEveryFileWithAbsolutePathAndExitCode) {
  const std::string cwd = std::filesystem::current_path().string();
  CliRun run = Run("identify --json --pipe " + name_ + " rel/ok.mp3 /abs/missing.mp3");
  EXPECT_EQ(run.exit_code, 1);  // one ERROR reply
  auto lines = JsonLines(run.out);
  ASSERT_EQ(lines.size(), 2u) << run.out;
  // Replies are printed as they arrive, from two connections by default.
  if (lines[0]["ok"] == false) std::swap(lines[0], lines[1]);
  EXPECT_EQ(lines[0]["ok"], true);
  EXPECT_EQ(lines[0]["FILENAME"], cwd + "/rel/ok.mp3");
  EXPECT_EQ(lines[0]["TITLE"], kTitle);
  EXPECT_EQ(lines[0]["TRACK"], "3");
  EXPECT_EQ(lines[0]["YEAR"], "");
  EXPECT_EQ(lines[0]["BPM"], "");
  EXPECT_EQ(lines[0]["SYNPOS"], "12");
  EXPECT_EQ(lines[1]["ok"], false);
  EXPECT_EQ(lines[1]["file"], "/abs/missing.mp3");
  EXPECT_EQ(lines[1]["ERROR"], ErrorFor("/abs/missing.mp3"));
}

TEST_F(CliIdentifyTest, OutputFormatsAndServiceDiscovery) {
  struct Case {
    const char* what;
    std::string arguments;
    int exit_code;
    std::string expected_out;  // exact, or a part of it when `contains`
    bool contains;
  };
  const Case cases[] = {
      {"xml prints the reply as received", "identify --xml --pipe " + name_ + " /m/ok.mp3", 0,
       ClientXmlResult("/m/ok.mp3", kTitle, "Artist", "Album", 3, 0, "Pop", 0, 12), false},
      {"text shows the values there are, aligned", "identify --pipe " + name_ + " /m/ok.mp3", 0,
       "FILENAME:  /m/ok.mp3\nTITLE:     " + kTitle +
           "\nARTIST:    Artist\nALBUM:     Album\nTRACK:     3\nGENRE:     Pop\n"
           "SYNPOS:    12\n\n",
       false},
      {"--all lists every value", "identify --all --pipe " + name_ + " /m/ok.mp3", 0,
       "FILENAME: /m/ok.mp3\nTITLE: " + kTitle +
           "\nARTIST: Artist\nALBUM: Album\nTRACK: 3\n"
           "YEAR: \nGENRE: Pop\nBPM: \nSYNPOS: 12\n\n",
       false},
      {"text shows the error", "identify --pipe " + name_ + " /m/x.mp3", 1,
       "FILENAME:  /m/x.mp3\nERROR:     " + ErrorFor("/m/x.mp3") + "\n\n", false},
      {"environment names the channel", "identify --json /m/ok.mp3", 0, "\"ok\":true", true},
      {"a name XML cannot carry fails alone, output stays valid UTF-8",
       "identify --json --pipe " + name_ + " \"$(printf '/m/\\344.mp3')\" /m/ok.mp3", 1,
       "{\"error\":\"the file name is not valid UTF-8 or contains control characters\","
       "\"file\":\"/m/\xEF\xBF\xBD.mp3\",\"ok\":false}\n",
       true},
      {"service unreachable", "identify --pipe ms-nobody-listens-" + name_ + " /m/ok.mp3", 2, "",
       false},
  };
  setenv("MELODYSEEKER_PIPE", name_.c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CliRun run = Run(c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code);
    if (c.contains)
      EXPECT_NE(run.out.find(c.expected_out), std::string::npos) << run.out;
    else
      EXPECT_EQ(run.out, c.expected_out);
  }
  unsetenv("MELODYSEEKER_PIPE");
}

}  // namespace
