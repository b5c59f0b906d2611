// The ID3v2 frame walk on bodies built in code, and the work-buffer limit on a large file.
#include "tags/tag_advanced_id3_unit.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tag_test_util.h"
#include "tags/tag_advanced_unit.h"

namespace {

using tagtest::B;
using tagtest::Bytes;
using tagtest::Frame;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) tagtest::Append(out, p);
  return out;
}

RAdvancedTags Walk(const Bytes& body, std::uint8_t version = 3) {
  RAdvancedTags tags;
  ParseID3v2Frames(body, version, static_cast<std::int32_t>(body.size() + 10), false, tags);
  return tags;
}

TEST(ID3v2Frames, GenreReferences) {
  struct Case {
    const char* text;
    const char* genre;
  };
  const Case cases[] = {
      {"(17)", "Rock"},
      {"( 79 )", "Hard Rock"},
      {"(17)Rock and Roll", "Rock and Roll"},
      {"(300)", "(300)"},
      {"(abc)", "(abc)"},
      {"(9)", "(9)"},  // three characters or fewer stay as they are
      {"(123", ""},    // opened, never closed
      {"Trance", "Trance"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Bytes content{0};
    tagtest::Append(content, c.text);
    EXPECT_EQ(Walk(Frame("TCON", content)).genre, c.genre);
  }
}

TEST(ID3v2Frames, PopularimeterRating) {
  struct Case {
    Bytes content;
    std::int32_t rating;
  };
  const Case cases[] = {
      {{'x', 0, 0}, 0},   {{'x', 0, 1}, 1},   {{'x', 0, 64}, 2},  {{'x', 0, 128}, 3},
      {{'x', 0, 196}, 4}, {{'x', 0, 255}, 5}, {{'x', 0, 100}, 0}, {{'x', 'y', 196}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.content));
    // A SONARID rating first: POPM replaces it, even by 0.
    const Bytes priv =
        Cat({B(std::string_view("\0SONARID\xA1"
                                "9\xA1",
                                11))});
    EXPECT_EQ(Walk(Cat({Frame("PRIV", priv), Frame("POPM", c.content)})).v_rating, c.rating);
  }
}

TEST(ID3v2Frames, SpecialAndTextFrames) {
  struct Case {
    const char* name;
    Bytes body;
    std::string RAdvancedTags::*field;
    std::string expected;
    std::int32_t synchpos;
  };
  const Case cases[] = {
      {"POSS in milliseconds", Frame("POSS", {2, 0, 0, 0xEA, 0x60}), nullptr, "", 60000},
      {"POSS of 6 bytes", Frame("POSS", {2, 0, 0, 0xEA, 0x60, 0}), nullptr, "", 0},
      {"POSS in frames", Frame("POSS", {1, 0, 0, 0xEA, 0x60}), nullptr, "", 0},
      {"UTF-16BE", Frame("TIT2", {2, 0, 'H', 0, 'i'}), &RAdvancedTags::Title, "Hi", 0},
      {"UTF-8", Frame("TIT2", {3, 0xC3, 0xA9}), &RAdvancedTags::Title, "\xC3\xA9", 0},
      {"lower-case identifier", Frame("tit2", {0, 'l', 'c'}), &RAdvancedTags::Title, "lc", 0},
      {"later frame wins", Cat({Frame("TIT2", {0, 'A'}), Frame("TIT2", {0, 'B'})}),
       &RAdvancedTags::Title, "B", 0},
      {"zero-size frame", Cat({Frame("TIT2", {}), Frame("TPE1", {0, 'Z'})}), &RAdvancedTags::Artist,
       "Z", 0},
      {"COMM with a description keeps the separator",
       Frame("COMM", {0, 'e', 'n', 'g', 'd', 0, 'h', 'i'}), &RAdvancedTags::comment,
       std::string("d\0hi", 4), 0},
      {"COMM without text", Frame("COMM", {0, 'e', 'n', 'g'}), &RAdvancedTags::comment, "", 0},
      {"WOAR without encoding byte", Frame("WOAR", B("http://a")), &RAdvancedTags::url, "http://a",
       0},
      {"SONARID as owner identifier",
       Frame("PRIV", B(std::string_view("SONARID\0"
                                        "7\xA1Grp",
                                        13))),
       &RAdvancedTags::v_groups, "Grp", 0},
      {"TBPM", Frame("TBPM", {0, '9', '0'}), &RAdvancedTags::bpm, "90", 0},
      {"TCOP and TENC", Cat({Frame("TCOP", {0, 'c'}), Frame("TENC", {0, 'e'})}),
       &RAdvancedTags::encoder, "e", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RAdvancedTags tags = Walk(c.body);
    if (c.field != nullptr) {
      EXPECT_EQ(tags.*c.field, c.expected);
    }
    EXPECT_EQ(tags.v_synchpos, c.synchpos);
  }
}

TEST(ID3v2Frames, FramesAtTheEndOfTheBody) {
  // The size check lets a frame run up to a few bytes past the body; those read as zeros.
  Bytes body = Frame("TIT2", {0, 'A', 'b'});
  body[7] = 8;  // size 8, only 3 content bytes present
  RAdvancedTags tags;
  ParseID3v2Frames(body, 3, static_cast<std::int32_t>(body.size() + 10), false, tags);
  EXPECT_EQ(tags.Title, "Ab");

  // Far past the body: skipped, and the walk ends.
  body = Cat({Frame("TPE1", {0, 'K'}), Frame("TIT2", {0, 'X'})});
  body[11 + 7] = 0x40;  // TIT2 size 0x40 with 2 bytes present
  tags = {};
  ParseID3v2Frames(body, 3, static_cast<std::int32_t>(body.size() + 10), false, tags);
  EXPECT_EQ(tags.Artist, "K");
  EXPECT_EQ(tags.Title, "");

  // A header cut by the end of the body ends the walk without reading past it.
  body = Cat({Frame("TPE1", {0, 'K'}), B("TIT2\0\0")});
  tags = {};
  ParseID3v2Frames(body, 3, static_cast<std::int32_t>(body.size() + 10), false, tags);
  EXPECT_EQ(tags.Artist, "K");
}

TEST(ID3v2File, TagLargerThanTheWorkBufferIsCut) {
  tagtest::TempDir dir;
  const std::string path = dir.File("big.mp3");
  constexpr std::uint32_t kAnnounced = 6'000'000;
  constexpr std::size_t kBodyRead = 5'241'847;  // the work buffer minus 1,024 bytes, minus 10
  Bytes head = B("ID3");
  tagtest::Append(head, Bytes{3, 0, 0});
  for (int shift : {21, 14, 7, 0})
    head.push_back(static_cast<std::uint8_t>((kAnnounced >> shift) & 0x7F));
  const Bytes title = Frame("TIT2", {0, 'B', 'i', 'g'});
  tagtest::Append(head, title);
  // An unmapped frame fills the body up to an album frame that ends exactly at the cut ...
  const Bytes album = Frame("TALB", {0, 'I', 'n'});
  const std::size_t filler = kBodyRead - title.size() - album.size() - 10;
  tagtest::Append(head, B("TXXX"));
  tagtest::AppendBE(head, filler, 4);
  tagtest::Append(head, Bytes{0, 0});
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(head.data()),
              static_cast<std::streamsize>(head.size()));
    out.seekp(static_cast<std::streamoff>(10 + kBodyRead - album.size()));
    out.write(reinterpret_cast<const char*>(album.data()),
              static_cast<std::streamsize>(album.size()));
    // ... and an artist frame lies beyond it, inside the announced tag.
    const Bytes artist = Frame("TPE1", {0, 'O', 'u', 't'});
    out.write(reinterpret_cast<const char*>(artist.data()),
              static_cast<std::streamsize>(artist.size()));
    out.seekp(10 + kAnnounced + 1000);
    out.put(0);
  }
  TAdvancedTag tag;
  EXPECT_TRUE(tag.loadfromfile(path, false));
  EXPECT_EQ(tag.Error(), "ID3v2-Tag header len error [>buffer]");
  EXPECT_EQ(tag.TagSize(), 5'241'857);
  EXPECT_EQ(tag.Title(), "Big");
  EXPECT_EQ(tag.Album(), "In");
  EXPECT_EQ(tag.Artist(), "");
  EXPECT_EQ(tag.DataHandler().BufferUsed(), kBodyRead);
}

}  // namespace
