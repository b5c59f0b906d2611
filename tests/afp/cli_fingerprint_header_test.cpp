// melodyseeker-cli fingerprint and header: the JSON lines scripts rely on, run as a real process.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "afp/afpdecode_unit.h"
#include "afp_audio_fixtures.h"

namespace {

std::vector<nlohmann::json> RunCli(const std::vector<std::string>& args, int& exit_code) {
  TCommandArgs cmd{std::string(MS_BINARY_DIR) + "/apps/melodyseeker-cli"};
  cmd.insert(cmd.end(), args.begin(), args.end());
  std::string out, err;
  const bool ok = RunProcessPiped(cmd, out, err, 60000, 1 << 24);
  exit_code = ok ? 0 : (err.rfind("process exit code 1", 0) == 0 ? 1 : -1);
  std::vector<nlohmann::json> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

TEST(CliFingerprintHeader, JsonLines) {
  afptest::TempDir dir;
  const std::string wav = dir.File("t.wav");
  afptest::WriteBytes(wav, afptest::MakeWav(1, 8000, 16, afptest::IntegerMusic(8000, 30)));
  RAFP expected;
  TAFPDecoder gen;
  ASSERT_TRUE(gen.AFPDecode(wav, expected));

  int code = -1;
  auto lines =
      RunCli({"fingerprint", "--json", wav, dir.File("missing.mp3"), dir.File("cover.png")}, code);
  EXPECT_EQ(code, 1);
  ASSERT_EQ(lines.size(), 3u);
  // Files run in parallel and are printed as they finish: order them as given.
  std::vector<nlohmann::json> fp;
  for (const std::string& name : {wav, dir.File("missing.mp3"), dir.File("cover.png")}) {
    for (const auto& line : lines)
      if (line["file"] == name) fp.push_back(line);
  }
  ASSERT_EQ(fp.size(), 3u);
  EXPECT_EQ(fp[0]["file"], wav);
  EXPECT_EQ(fp[0]["ok"], true);
  EXPECT_EQ(fp[0]["typ"], "A");
  EXPECT_EQ(fp[0]["loaded"], true);
  EXPECT_EQ(fp[0]["p1"].get<std::vector<int>>(),
            std::vector<int>(expected.p1.begin(), expected.p1.end()));
  EXPECT_EQ(fp[0]["p2"].get<std::vector<int>>(),
            std::vector<int>(expected.p2.begin(), expected.p2.end()));
  EXPECT_EQ(fp[0]["error"], "");
  EXPECT_EQ(fp[1]["ok"], false);
  EXPECT_NE(fp[1]["error"], "");
  EXPECT_EQ(fp[2]["typ"], " ");

  // A directory walk with two workers takes the audio file only and fingerprints it the same.
  afptest::WriteBytes(dir.File("cover.png"), {'x'});
  auto walked = RunCli({"fingerprint", "--json", "-r", "-j", "2", dir.path()}, code);
  EXPECT_EQ(code, 0);
  ASSERT_EQ(walked.size(), 1u);
  EXPECT_EQ(walked[0]["file"], wav);
  EXPECT_EQ(walked[0]["p1"], fp[0]["p1"]);

  auto hd = RunCli({"header", "--json", wav}, code);
  EXPECT_EQ(code, 0);
  ASSERT_EQ(hd.size(), 1u);
  EXPECT_EQ(hd[0]["Format"], "HIF_WAV");
  EXPECT_EQ(hd[0]["FormatReadOk"], true);
  EXPECT_DOUBLE_EQ(hd[0]["TimeSec"].get<double>(), 30.0);
  EXPECT_EQ(hd[0]["Wave"]["datapos"], 44);
  EXPECT_EQ(hd[0]["Wave"]["nSamplesPerSec"], 8000);
  EXPECT_EQ(hd[0]["Wave"]["cbSize"], 0);
  EXPECT_EQ(hd[0]["Mpeg"]["headerposfirst"], -1);
  EXPECT_TRUE(hd[0]["Flac"].contains("samlingRate"));

  // Plain header for people: the WAV record only, fields with a value, aligned; --all as before.
  {
    std::string out, err;
    const std::string cli = std::string(MS_BINARY_DIR) + "/apps/melodyseeker-cli";
    ASSERT_TRUE(RunProcessPiped(TCommandArgs{cli, "header", wav}, out, err, 60000, 1 << 20)) << err;
    EXPECT_EQ(out.rfind("FILE:                  " + wav +
                            "\nok:                    true\n"
                            "Format:                HIF_WAV\n",
                        0),
              0u)
        << out;
    EXPECT_NE(out.find("\nWave.nSamplesPerSec:   8000\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Mpeg."), std::string::npos) << out;
    EXPECT_EQ(out.find("cbSize"), std::string::npos) << out;
    ASSERT_TRUE(
        RunProcessPiped(TCommandArgs{cli, "header", "--all", wav}, out, err, 60000, 1 << 20));
    EXPECT_NE(out.find("\nMpeg.headerposfirst: -1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nWave.cbSize: 0\n"), std::string::npos) << out;
  }

  auto pipe = RunCli({"fingerprint", "--json", "--decoder", "ext-pipe", "--ext-cmd",
                      "ffmpeg -nostdin -loglevel error -i %i -f wav %o", dir.File("x.ogg")},
                     code);
  EXPECT_EQ(code, 1);
  ASSERT_EQ(pipe.size(), 1u);
  EXPECT_EQ(pipe[0]["error"], "ext decode error (pipemode)");
}

}  // namespace
