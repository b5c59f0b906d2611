// `import` with real files made by ffmpeg: fingerprints through the service's decoders, tags
// through the tag library, titles joined, known fingerprints and broken files counted.
#include "server_import.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "server_cache.h"
#include "server_test_util.h"

using server_test::Backend;
using server_test::BackendName;
using server_test::BothBackends;
using server_test::ReadCacheDir;
using server_test::TempDir;

namespace {

// 25 s of a tone whose loudness swells, so that every file has its own fingerprint.
void MakeTrack(const std::string& path, int hz, const std::string& tags) {
  const std::string cmd =
      "ffmpeg -loglevel error -y -f lavfi -i 'sine=frequency=" + std::to_string(hz) +
      ":duration=25' -af \"volume='0.2+0.18*sin(2*PI*" + std::to_string(hz % 7 + 1) +
      "*t/10)':eval=frame\" " + tags + " '" + path + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

class ImportTest : public ::testing::TestWithParam<Backend> {};

TEST_P(ImportTest, FingerprintsAndTagsOfEveryAudioFileBelowThePaths) {
  if (FindFfmpeg().empty()) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  const std::string lib = dir.path() + "/library";
  std::filesystem::create_directories(lib + "/sub");
  MakeTrack(lib + "/alpha.mp3", 440,
            "-metadata title=Alpha -metadata artist='Demo Band' -id3v2_version 3");
  MakeTrack(
      lib + "/alpha-live.mp3", 523,
      "-metadata title=alpha -metadata 'artist=demo band' -metadata date=2001 -id3v2_version 3");
  MakeTrack(lib + "/beta.flac", 330,
            "-metadata title=Beta -metadata 'artist=Demo Band' -metadata album='Album B'");
  MakeTrack(lib + "/sub/gamma.wav", 660, "-metadata title=Gamma -metadata 'artist=Other'");
  std::filesystem::copy_file(lib + "/alpha.mp3", lib + "/sub/alpha-copy.mp3");
  std::ofstream(lib + "/sub/broken.mp3") << std::string(5000, 'x');
  std::ofstream(lib + "/notes.txt") << "not audio";

  std::string error;
  auto db = ServerDb::Open(server_test::NewDbLocation(GetParam(), dir.path()), error);
  ASSERT_TRUE(db) << error;
  std::vector<std::string> missing;
  const auto files = FindAudioFiles({lib, dir.path() + "/nowhere"}, missing);
  EXPECT_EQ(files.size(), 6u);
  EXPECT_EQ(missing, std::vector<std::string>{dir.path() + "/nowhere"});

  ImportOptions options;
  options.jobs = 2;
  options.ffmpeg = FindFfmpeg();
  ImportSummary s;
  std::ostringstream progress;
  ImportFiles(*db, files, options, s, progress);
  EXPECT_EQ(s.files, 6);
  EXPECT_EQ(s.imported, 4);
  EXPECT_EQ(s.new_titles, 3);
  EXPECT_EQ(s.joined, 1);
  EXPECT_EQ(s.known, 1);
  ASSERT_EQ(s.failed, 1);
  EXPECT_EQ(s.failures[0].first, lib + "/sub/broken.mp3");
  EXPECT_NE(progress.str().find("6/6"), std::string::npos) << progress.str();
  EXPECT_NE(progress.str().find("tracks/min"), std::string::npos);

  // What a client downloads names the imported titles. Files are stored in name order whatever
  // the jobs do, so "alpha-live.mp3" made the joined title and "alpha.mp3" only joined it.
  CacheStore cache(dir.path() + "/afpcache");
  CacheBuildReport report;
  ASSERT_TRUE(cache.Build(*db, false, report).ok());
  std::set<std::tuple<std::string, std::string, std::string, int>> titles;
  const auto records = ReadCacheDir(cache.Current()->dir);
  EXPECT_EQ(records.size(), 4u);
  for (const auto& r : records) {
    TitleRow t;
    ASSERT_TRUE(db->MatchedTitle(r.fguid, TitleTags{}, false, t).ok());
    titles.emplace(t.tags.title, t.tags.artist, t.tags.album, t.tags.year);
  }
  const std::set<std::tuple<std::string, std::string, std::string, int>> expected{
      {"alpha", "demo band", "", 2001},
      {"Beta", "Demo Band", "Album B", 0},
      {"Gamma", "Other", "", 0}};
  EXPECT_EQ(titles, expected);

  // A second run finds everything known and adds nothing.
  ImportFiles(*db, files, options, s, progress);
  EXPECT_EQ(s.imported, 0);
  EXPECT_EQ(s.known, 5);
  EXPECT_EQ(db->Stats().fingerprints, 4);
}

INSTANTIATE_TEST_SUITE_P(Backends, ImportTest, BothBackends(), BackendName);

}  // namespace
