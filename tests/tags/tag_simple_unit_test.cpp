// The ID3v1 block parser and genre table.
#include "tags/tag_simple_unit.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "tag_test_util.h"

namespace {

using Block = std::array<std::uint8_t, ID3v1BlockSize>;

Block MakeBlock(std::string_view title, std::uint8_t track, std::uint8_t genre) {
  Block b{};
  std::memcpy(b.data(), "TAG", 3);
  std::memcpy(b.data() + 3, title.data(), std::min<std::size_t>(title.size(), 30));
  b[126] = track;
  b[127] = genre;
  return b;
}

TEST(ID3v1Block, FieldsAndGenres) {
  struct Case {
    const char* name;
    std::string title_bytes;
    std::uint8_t genre;
    std::string title;
    std::string genre_text;
  };
  const Case cases[] = {
      {"zero padded", "Song", 0, "Song", "Blues"},
      {"blanks and controls trimmed", " \tSong \x01", 12, "Song", "Other"},
      {"UTF-8 mark", "\xEF\xBB\xBF\xC3\xA4h", 147, "\xC3\xA4h", "Synthpop"},
      {"UTF-16 mark",
       std::string("\xFF\xFE"
                   "A\0",
                   4),
       146, "A", "Jpop"},
      {"8-bit code page", "\xE4\x80", 107, "\xC3\xA4\xE2\x82\xAC", "Booty Brass"},
      {"genre past the table", "x", 148, "x", ""},
      {"no genre", "x", 255, "x", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RSimpleTags tags;
    ASSERT_TRUE(ParseID3v1Block(MakeBlock(c.title_bytes, 0, c.genre), tags));
    EXPECT_EQ(tags.Title, c.title);
    EXPECT_EQ(tags.genre, c.genre_text);
    EXPECT_EQ(tags.Track, "0");
  }
}

TEST(ID3v1Block, TrackBytesNeverJoinTheComment) {
  Block b = MakeBlock("", 200, 255);
  std::memset(b.data() + 97, 'c', 28);
  b[125] = 'X';  // a v1.0 writer's 29th comment character is not read
  RSimpleTags tags;
  ASSERT_TRUE(ParseID3v1Block(b, tags));
  EXPECT_EQ(tags.comment, std::string(28, 'c'));
  EXPECT_EQ(tags.Track, "200");

  b[2] = 'g';
  RSimpleTags untouched;
  untouched.Title = "keep";
  EXPECT_FALSE(ParseID3v1Block(b, untouched));
  EXPECT_EQ(untouched.Title, "keep");
}

TEST(ID3v1Genres, TableAndLookup) {
  EXPECT_EQ(ID3v1Genres[17], "Rock");
  EXPECT_EQ(ID3v1Genres[85], "Bebob");
  EXPECT_EQ(ID3v1Genres[118], "Rhytmic Soul");
  EXPECT_EQ(ID3v1Genres[123], "A capella");
  EXPECT_EQ(ID3v1Genres[148], "None");
  EXPECT_EQ(ID3v1GenreIndex("  synthPOP "), 147);
  EXPECT_EQ(ID3v1GenreIndex("AlternRock"), 40);
  EXPECT_EQ(ID3v1GenreIndex("None"), -1);
  EXPECT_EQ(ID3v1GenreName(-1), "");
}

TEST(TSimpleTag, SizeLimitAndExtensions) {
  tagtest::TempDir dir;
  tagtest::WriteFile(dir.File("a.mp3"), tagtest::Bytes(201, 0));
  tagtest::WriteFile(dir.File("b.mp3"), tagtest::Bytes(200, 0));
  TSimpleTag tag;
  EXPECT_TRUE(tag.loadfromfile(dir.File("a.mp3")));
  EXPECT_FALSE(tag.tagPresent());
  EXPECT_EQ(tag.tagTyp(), tt_id3v1);
  EXPECT_EQ(tag.tagSize(), 128);
  EXPECT_FALSE(tag.loadfromfile(dir.File("b.mp3")));
  EXPECT_EQ(tag.error(), dir.File("b.mp3") + " <= 200 Bytes! (loadfromfileid3v1)");
  EXPECT_FALSE(tag.loadfromfile(dir.File("c.mp3")));
  EXPECT_EQ(tag.error(), dir.File("c.mp3") + " Datei nicht gefunden");
  EXPECT_TRUE(TSimpleTag::tagsupport("x.aiff"));
  EXPECT_TRUE(TSimpleTag::tagsupport("x.M4A"));
  EXPECT_FALSE(TSimpleTag::tagsupport("x.ogg"));
}

}  // namespace
