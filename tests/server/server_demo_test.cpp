// The whole job end to end, as `make demo` runs it: the real server, the real headless service
// and melodyseeker-cli, with a library made by ffmpeg. Fails when any step of scripts/demo does.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

TEST(DemoTest, ServiceIdentifiesImportedAndNewlyAddedTracksThroughTheServer) {
  const std::string cmd =
      std::string("MS_BUILD_DIR='") + MS_BINARY_DIR + "' '" + MS_SOURCE_DIR + "/scripts/demo' 2>&1";
  FILE* pipe = ::popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int status = ::pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  // (a) metadata of the imported title for an untagged copy
  EXPECT_NE(out.find("title:  Morning Light\n   artist: The Demo Ensemble"), std::string::npos)
      << out;
  // (b) the new track was added, and recognised after the restart
  EXPECT_NE(out.find("the server now holds 6 fingerprints"), std::string::npos) << out;
  const auto first = out.find("title:  Unheard Song");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_NE(out.find("title:  Unheard Song", first + 1), std::string::npos) << out;
  EXPECT_NE(out.find("demo passed"), std::string::npos) << out;
}

}  // namespace
