// Cache files of the web service: split into files, read back by the client's reader, full files
// kept across generations, expired generations removed.
#include "server_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "server_db.h"
#include "server_test_util.h"

using server_test::Backend;
using server_test::BackendName;
using server_test::BothBackends;
using server_test::MakeAfp;
using server_test::ReadCacheDir;
using server_test::TempDir;

namespace {

class CacheStoreTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    std::string error;
    db = ServerDb::Open(server_test::NewDbLocation(GetParam(), dir.path()), error);
    ASSERT_TRUE(db) << error;
  }
  // Adds fingerprints seed..seed+n-1, each to its own title; returns their FGUIDs.
  std::vector<std::string> Add(std::uint32_t seed, int n) {
    std::vector<std::string> fguids;
    for (int i = 0; i < n; ++i) {
      AddResult r;
      TitleTags tags;
      tags.title = "t" + std::to_string(seed + i);
      tags.artist = "a";
      EXPECT_TRUE(db->AddFingerprint(MakeAfp(seed + i), tags, r).ok());
      fguids.push_back(r.fguid);
    }
    return fguids;
  }
  static ino_t Inode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  TempDir dir;
  std::unique_ptr<ServerDb> db;
};

TEST_P(CacheStoreTest, SplitsRecordsIntoFilesTheClientReaderLoadsBack) {
  CacheStore cache(dir.path() + "/afpcache", 3);
  const auto fguids = Add(1, 7);
  CacheBuildReport r;
  ASSERT_TRUE(cache.Build(*db, false, r).ok());
  EXPECT_TRUE(r.built);
  const auto gen = cache.Current();
  ASSERT_TRUE(gen);
  ASSERT_EQ(gen->files.size(), 3u);
  EXPECT_EQ(gen->files[0].name, "afp0001.afpbin");
  EXPECT_EQ(gen->files[2].name, "afp0003.afpbin");
  EXPECT_EQ(gen->files[2].records, 1);
  for (const auto& f : gen->files) {
    EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(gen->dir + "/" + f.name)),
              f.size);
  }
  const auto records = ReadCacheDir(gen->dir);
  ASSERT_EQ(records.size(), 7u);
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i].fguid, fguids[i]);
    EXPECT_EQ(records[i].afp.p1, MakeAfp(1 + static_cast<std::uint32_t>(i)).p1);
    EXPECT_EQ(records[i].afp.p2, MakeAfp(1 + static_cast<std::uint32_t>(i)).p2);
    EXPECT_EQ(records[i].afp.typ, AFPTypAudio);
  }

  // Up to date: no new generation.
  ASSERT_TRUE(cache.Build(*db, false, r).ok());
  EXPECT_FALSE(r.built);
  EXPECT_EQ(cache.Current()->number, gen->number);
}

TEST_P(CacheStoreTest, NewGenerationKeepsFullFilesAndRewritesOnlyTheRest) {
  CacheStore cache(dir.path() + "/afpcache", 3, std::chrono::hours(1));
  Add(1, 7);
  CacheBuildReport r;
  ASSERT_TRUE(cache.Build(*db, false, r).ok());
  const auto first = cache.Current();
  Add(100, 3);
  ASSERT_TRUE(cache.Build(*db, false, r).ok());
  const auto second = cache.Current();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->number, first->number + 1);
  EXPECT_EQ(r.files_linked, 2);
  EXPECT_EQ(r.records_written, 4);
  ASSERT_EQ(second->files.size(), 4u);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(second->files[i].size, first->files[i].size);
    EXPECT_EQ(Inode(second->dir + "/" + second->files[i].name),
              Inode(first->dir + "/" + first->files[i].name));
  }
  EXPECT_EQ(ReadCacheDir(second->dir).size(), 10u);
  // The previous generation stays for clients that fetched its list.
  EXPECT_TRUE(cache.Find(first->number));
  EXPECT_EQ(ReadCacheDir(first->dir).size(), 7u);
}

TEST_P(CacheStoreTest, EmptyDatabaseGivesOneEmptyFileAndExpiredAndHalfBuiltGenerationsGo) {
  CacheStore cache(dir.path() + "/afpcache", 3, std::chrono::seconds(0));
  CacheBuildReport r;
  ASSERT_TRUE(cache.Build(*db, false, r).ok());
  const auto empty = cache.Current();
  ASSERT_TRUE(empty);
  ASSERT_EQ(empty->files.size(), 1u);
  EXPECT_EQ(empty->files[0].name, "afp0001.afpbin");
  EXPECT_EQ(empty->files[0].size, 0);

  // Left over by a build that died half-way.
  std::filesystem::create_directories(dir.path() + "/afpcache/tmp-g7");
  Add(1, 1);
  ASSERT_TRUE(cache.Build(*db, false, r).ok());
  EXPECT_FALSE(std::filesystem::exists(empty->dir));
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/afpcache/tmp-g7"));
  EXPECT_FALSE(cache.Find(empty->number));
  EXPECT_EQ(cache.Current()->records, 1);
}

TEST_P(CacheStoreTest, GenerationWithAMissingOrShortFileIsNotServed) {
  CacheStore cache(dir.path() + "/afpcache", 3);
  Add(1, 4);
  CacheBuildReport r;
  ASSERT_TRUE(cache.Build(*db, false, r).ok());
  const std::string dir_of_gen = cache.Current()->dir;
  const std::int64_t number = cache.Current()->number;
  std::filesystem::resize_file(dir_of_gen + "/afp0002.afpbin", 5);
  CacheStore reopened(dir.path() + "/afpcache", 3);  // no memory of the intact files
  EXPECT_FALSE(reopened.Find(number));
  // A forced build repairs it under a new generation.
  ASSERT_TRUE(reopened.Build(*db, true, r).ok());
  EXPECT_EQ(ReadCacheDir(reopened.Current()->dir).size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Backends, CacheStoreTest, BothBackends(), BackendName);

}  // namespace
