// melodyseeker-server's subcommands as a user runs them: state, stats, build-cache, and the
// errors of a wrong command line.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "server_test_util.h"

namespace {

struct CliRun {
  int code = -1;
  std::string out;
};

CliRun Server(const std::string& args) {
  const std::string cmd =
      std::string("'") + MS_BINARY_DIR + "/server/melodyseeker-server' " + args + " 2>&1";
  CliRun r;
  FILE* pipe = ::popen(cmd.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) r.out.append(buffer, n);
  const int status = ::pclose(pipe);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

class ServerCliTest : public ::testing::TestWithParam<server_test::Backend> {};

TEST_P(ServerCliTest, StateStatsAndBuildCacheOnOneDataDirectory) {
  server_test::TempDir dir;
  std::string data = "--data '" + dir.path() + "/data'";
  if (GetParam() == server_test::Backend::kPostgres) {
    data += " --db '" + server_test::NewDbLocation(GetParam(), dir.path()) + "'";
  }

  CliRun r =
      Server("state " + data + " --offline --message-de 'Wartung\\nheute' --client-minvers 1.10");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("online: 0\nmessage_de: Wartung\\nheute\n"), std::string::npos) << r.out;
  r = Server("state " + data + " --online");
  EXPECT_NE(r.out.find("online: 1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("client_minvers: 1.10\n"), std::string::npos) << r.out;  // kept

  r = Server("stats --json " + data);
  ASSERT_EQ(r.code, 0) << r.out;
  auto stats = nlohmann::json::parse(r.out);
  EXPECT_EQ(stats["fingerprints"], 0);
  EXPECT_EQ(stats["cache_generation"], 0);

  r = Server("build-cache " + data);
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("Built cache generation 1"), std::string::npos) << r.out;
  r = Server("build-cache " + data);
  EXPECT_NE(r.out.find("up to date: generation 1"), std::string::npos) << r.out;
  stats = nlohmann::json::parse(Server("stats --json " + data).out);
  EXPECT_EQ(stats["cache_generation"], 1);
  EXPECT_EQ(stats["cache_files"].size(), 1u);
}

TEST(ServerCommandLineTest, WrongCommandLinesAreRefused) {
  server_test::TempDir dir;
  const struct {
    const char* args;
    const char* says;
  } cases[] = {
      {"", "subcommand"},
      {"state --online --offline", "excludes"},
      {"import", "PATH"},
      {"import --jobs 0 x", "jobs"},
      {"serve --listen nohost", "HOST:PORT"},
      {"serve --listen 127.0.0.1:99999", "HOST:PORT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const CliRun r = Server(std::string(c.args) + " --data '" + dir.path() + "/d'");
    EXPECT_NE(r.code, 0) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, ServerCliTest, server_test::BothBackends(),
                         server_test::BackendName);

}  // namespace
