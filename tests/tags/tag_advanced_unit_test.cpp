// The facade: reader choice, missing files, and that nothing of one file survives into the
// next (values and work buffer alike).
#include "tags/tag_advanced_unit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "tag_test_util.h"
#include "tags/tag_advanced_vorbis_unit.h"
#include "tags/tag_simple_unit.h"

namespace {

using tagtest::Bytes;
using tagtest::Fixture;

bool AllZero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

TEST(TAdvancedTag, MissingAndUnsupportedFiles) {
  tagtest::TempDir dir;
  const std::string text = dir.File("notes.txt");
  tagtest::WriteFile(text, Bytes(1000, 'x'));
  TAdvancedTag tag;
  EXPECT_TRUE(tag.loadfromfile(Fixture("id3v23_frames.mp3"), false));
  EXPECT_TRUE(tag.loadfromfile(text, false));
  EXPECT_FALSE(tag.TagPresent());
  EXPECT_EQ(tag.TagTyp(), tt_unsupported);
  EXPECT_EQ(tag.Title(), "");
  EXPECT_EQ(tag.v_synchpos(), 0);

  const std::string missing = dir.File("gone.mp3");
  EXPECT_FALSE(tag.loadfromfile(missing, false));
  EXPECT_EQ(tag.Error(), missing + " Datei wurde nicht gefunden");
  // A directory or a FIFO is no media file, whatever its name says (opening the FIFO would
  // wait for a writer forever).
  EXPECT_FALSE(tag.loadfromfile(dir.File(""), false));
  const std::string fifo = dir.File("fifo.mp3");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(tag.loadfromfile(fifo, false));
  EXPECT_EQ(tag.Error(), fifo + " Datei wurde nicht gefunden");
  TSimpleTag simple;
  EXPECT_FALSE(simple.loadfromfile(fifo));
}

TEST(TAdvancedTag, NothingCarriesOverBetweenFiles) {
  // Each pair: a file full of values, then one of the same family without any.
  const char* const pairs[][2] = {
      {"id3v23_frames.mp3", "no_tags.mp3"},
      {"id3v23_frames.mp3", "id3v23_padding_only.mp3"},
      {"vorbis_comments.flac", "vorbis_picture_only.flac"},
      {"vorbis_comments.ogg", "not_vorbis.ogg"},
      {"info.wav", "info_not_info.wav"},
      {"text.mid", "second_track.mid"},
      {"attributes.wma", "not_asf.wma"},
      {"attributes.wma", "id3v2_truncated.mp3"},
  };
  TAdvancedTag tag;
  for (const auto& pair : pairs) {
    SCOPED_TRACE(std::string(pair[0]) + " then " + pair[1]);
    ASSERT_TRUE(tag.loadfromfile(Fixture(pair[0]), false));
    ASSERT_FALSE(tag.Title().empty());
    tag.loadfromfile(Fixture(pair[1]), false);
    const RAdvancedTags& t = tag.supportedtags();
    for (const std::string* field :
         {&t.Track, &t.Title, &t.Artist, &t.Album, &t.Year, &t.genre, &t.comment, &t.composer,
          &t.url, &t.copyright, &t.encoder, &t.bpm, &t.v_groups}) {
      EXPECT_EQ(*field, "");
    }
    EXPECT_EQ(t.v_rating, 0);
    EXPECT_EQ(t.v_synchpos, 0);
  }
}

TEST(TAdvancedTag, CleanupLeavesAnAllZeroWorkBuffer) {
  TAdvancedTag tag;
  ASSERT_TRUE(tag.loadfromfile(Fixture("vorbis_comments.flac"), false));
  const auto& handler = tag.DataHandler();
  EXPECT_GT(handler.BufferUsed(), 700u);  // the whole small file went into the buffer
  EXPECT_FALSE(AllZero(handler.bufRW().first(handler.BufferUsed())));
  tag.cleanup();
  EXPECT_EQ(handler.BufferUsed(), 0u);
  EXPECT_TRUE(AllZero(handler.bufRW()));
}

// A later, shorter load must never see bytes of an earlier, longer one, even where its own
// sizes point past what it read.
TEST(TAdvancedTag, ShortLoadDoesNotSeeAnEarlierLongOne) {
  tagtest::TempDir dir;
  // A WAV whose INFO list holds a title far into the list ...
  Bytes first = tagtest::B(std::string_view("RIFF\0\0\0\0WAVE", 12));
  tagtest::Append(first, tagtest::B("LIST"));
  tagtest::AppendLE(first, 4 + 8 + 600 + 8 + 7, 4);
  tagtest::Append(first, tagtest::B("INFO"));
  tagtest::Append(first, tagtest::B("IKEY"));
  tagtest::AppendLE(first, 600, 4);
  tagtest::Append(first, Bytes(600, 'k'));
  tagtest::Append(first, tagtest::B("INAM"));
  tagtest::AppendLE(first, 7, 4);
  tagtest::Append(first, tagtest::B(std::string_view("Secret\0", 7)));
  first.resize(1200, 0);
  // ... then the same file cut right after the 600-byte sub-chunk: its list still claims the
  // title's bytes, which now lie past the end of the file.
  const Bytes second(first.begin(), first.begin() + 12 + 8 + 4 + 8 + 600);
  tagtest::WriteFile(dir.File("first.wav"), first);
  tagtest::WriteFile(dir.File("second.wav"), second);

  TAdvancedTag tag;
  ASSERT_TRUE(tag.loadfromfile(dir.File("first.wav"), false));
  ASSERT_EQ(tag.Title(), "Secret");
  ASSERT_TRUE(tag.loadfromfile(dir.File("second.wav"), false));
  EXPECT_TRUE(tag.TagPresent());
  EXPECT_EQ(tag.Title(), "");
}

TEST(TAdvancedVORBIS, OggCommentHeaderBeyondTheReadLimit) {
  tagtest::TempDir dir;
  Bytes ogg = tagtest::B("OggS");
  ogg.resize(28, 0);
  ogg.push_back(1);
  tagtest::Append(ogg, tagtest::B("vorbis"));
  const std::size_t comment_at = VorbisOggReadLimit + 10;
  ogg.resize(comment_at, 0);
  ogg.push_back(3);
  tagtest::Append(ogg, tagtest::B("vorbis"));
  tagtest::AppendLE(ogg, 0, 4);  // vendor
  tagtest::AppendLE(ogg, 1, 4);
  tagtest::AppendLE(ogg, 7, 4);
  tagtest::Append(ogg, tagtest::B("TITLE=x"));
  ogg.resize(ogg.size() + 600, 0);
  tagtest::WriteFile(dir.File("far.ogg"), ogg);
  TAdvancedTag tag;
  EXPECT_TRUE(tag.loadfromfile(dir.File("far.ogg"), false));
  EXPECT_FALSE(tag.TagPresent());
  EXPECT_EQ(tag.Title(), "");
  EXPECT_EQ(tag.DataHandler().BufferUsed(), VorbisOggReadLimit);

  // Moved inside the limit, the same header is found.
  ogg.erase(ogg.begin() + 100, ogg.begin() + static_cast<std::ptrdiff_t>(comment_at));
  tagtest::WriteFile(dir.File("near.ogg"), ogg);
  EXPECT_TRUE(tag.loadfromfile(dir.File("near.ogg"), false));
  EXPECT_EQ(tag.Title(), "x");
}

}  // namespace
