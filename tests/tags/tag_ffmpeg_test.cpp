// Files tagged by ffmpeg (a common writer) read back through melodyseeker-cli tags --json.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "tag_test_util.h"

namespace {

// Runs a command line of our own making (paths inside a fresh temporary directory) and returns
// its standard output; fails the test on a non-zero exit.
std::string RunCommand(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return {};
  }
  std::string out;
  std::array<char, 4096> chunk{};
  std::size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0)
    out.append(chunk.data(), n);
  const int status = ::pclose(pipe.release());
  EXPECT_EQ(status, 0) << command;
  return out;
}

TEST(TagsFromFfmpeg, CliReadsWhatFfmpegWrote) {
  struct Case {
    const char* file;
    const char* options;
    const char* tag_typ;
  };
  const Case cases[] = {
      {"v23.mp3", "-id3v2_version 3", "tt_id3v2"},
      {"v24.mp3", "-id3v2_version 4", "tt_id3v2"},
      {"a.flac", "", "tt_flac"},
      {"a.ogg", "-c:a libvorbis", "tt_vorbis"},
      {"a.wma", "-c:a wmav2", "tt_wma"},
  };
  const std::string title = "T\xC3\xAFtle \xE2\x82\xAC";  // Tïtle €
  tagtest::TempDir dir;
  const std::string cli = std::string(MS_BINARY_DIR) + "/apps/melodyseeker-cli";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = dir.File(c.file);
    RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i sine=d=0.5 " + std::string(c.options) +
               " -metadata 'title=" + title +
               "' -metadata artist=Artist -metadata album=Album"
               " -metadata track=7/12 '" +
               path + "'");
    const std::string out = RunCommand("'" + cli + "' tags --json '" + path + "'");
    const auto json = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << out;
    EXPECT_EQ(json["file"], path);
    const auto& a = json["advanced"];
    EXPECT_EQ(a["ok"], true) << a["error"];
    EXPECT_EQ(a["TagTyp"], c.tag_typ);
    EXPECT_EQ(a["TagPresent"], true);
    EXPECT_EQ(a["Title"], title);
    EXPECT_EQ(a["Artist"], "Artist");
    EXPECT_EQ(a["Album"], "Album");
    EXPECT_EQ(a["Track"], "7/12");
    EXPECT_EQ(json["simple"]["ok"], true);
  }

  // Plain output for people: title and artist first, only fields with a value, aligned; --all
  // keeps every field of both readers.
  const std::string path = dir.File("a.flac");
  const std::string plain = RunCommand("'" + cli + "' tags '" + path + "'");
  EXPECT_EQ(plain.rfind("FILE:     " + path + "\nTitle:    " + title +
                            "\nArtist:   Artist\n"
                            "Album:    Album\nTrack:    7/12\n",
                        0),
            0u)
      << plain;
  EXPECT_EQ(plain.find("Year"), std::string::npos) << plain;
  EXPECT_NE(plain.find("\nTagTyp:   tt_flac\n"), std::string::npos) << plain;
  const std::string all = RunCommand("'" + cli + "' tags --all '" + path + "'");
  EXPECT_NE(all.find("\nadvanced.Year: \n"), std::string::npos) << all;
  EXPECT_NE(all.find("\nsimple.tagPresent: false\n"), std::string::npos) << all;
}

}  // namespace
