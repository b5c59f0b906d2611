// melodyseeker-cli cache and compare, run as the user runs them.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "afp/afp_audio_fixtures.h"
#include "afp/afp_cache_test_util.h"

namespace {

struct CliRun {
  int status = -1;
  std::string out;
};

CliRun RunCli(const std::string& args) {
  const std::string command =
      std::string(MS_BINARY_DIR) + "/apps/melodyseeker-cli " + args + " 2>/dev/null";
  CliRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) run.out.append(buf, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

TEST(CliCache, CountsFilesRecordsValidAndQuickRows) {
  afpcachetest::TempDir dir;
  {
    TAfpCacheFileWriter writer(dir.file("afp_1.afpbin"));
    for (std::uint32_t i = 0; i < 4; ++i) writer.Add(afpcachetest::Guid(i), afpcachetest::MakeAfp(i == 2 ? 60 : 700, i));
    writer.Commit();
  }
  afpcachetest::WriteBytes(dir.file("afp_2.afpbin"),
                           afpcachetest::Record("old", u'4', afpcachetest::MakeAfp(700, 9)));
  CliRun run = RunCli("cache --json " + dir.path());
  ASSERT_EQ(run.status, 0) << run.out;
  auto j = nlohmann::json::parse(run.out);
  EXPECT_EQ(j["dir"], dir.path());
  EXPECT_EQ(j["files"], 2);
  EXPECT_EQ(j["records"], 5);
  EXPECT_EQ(j["valid"], 4);
  EXPECT_EQ(j["quick"], 3);
  EXPECT_EQ(j["error"], "");

  run = RunCli("cache --json " + dir.file("missing"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(nlohmann::json::parse(run.out)["error"], "Verzeichnis nicht gefunden: " + dir.file("missing"));

  afpcachetest::WriteBytes(dir.file("afp_3.afpbin"), {0x00});
  run = RunCli("cache --json " + dir.path());
  EXPECT_EQ(run.status, 1);
  j = nlohmann::json::parse(run.out);
  EXPECT_EQ(j["error"], "AfpCache DoConvert(): Fehler beim Konvertieren des AFP Cache: " +
                            dir.file("afp_3.afpbin") + " afpds_start");
}

TEST(CliCompare, SameMusicMatchesOtherMusicDoesNot) {
  afpcachetest::TempDir dir;
  afptest::WriteBytes(dir.file("a.wav"), afptest::MakeWav(1, 22050, 16, afptest::IntegerMusic(22050, 40)));
  afptest::WriteBytes(dir.file("c.wav"), afptest::MakeWav(1, 22050, 16, afptest::IntegerMusic(22050, 40, 99)));
  CliRun run = RunCli("compare --json " + dir.file("a.wav") + " " + dir.file("a.wav"));
  ASSERT_EQ(run.status, 0) << run.out;
  auto j = nlohmann::json::parse(run.out);
  EXPECT_EQ(j["result"], true);
  EXPECT_EQ(j["vglresproz"], 100);
  EXPECT_EQ(j["vglresofs"], 0);
  EXPECT_EQ(j["vglinfo1"], "100% Übereinstimmung durch kleineren Datei bei Position 0%");
  EXPECT_EQ(j["vglinfo2"], "100% Übereinstimmung in größeren Datei bei Position 0%");

  run = RunCli("compare --json " + dir.file("a.wav") + " " + dir.file("c.wav"));
  j = nlohmann::json::parse(run.out);
  EXPECT_EQ(j["result"], false);
  EXPECT_LT(j["vglresproz"].get<int>(), 85);

  run = RunCli("compare " + dir.file("a.wav") + " " + dir.file("missing.wav"));
  EXPECT_EQ(run.status, 1);
}
