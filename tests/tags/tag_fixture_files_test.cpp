// Every fixture of tests/data/tags through the two readers the identification uses: result,
// presence, error text and the complete set of values (fields not listed must be empty).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tag_test_util.h"
#include "tags/tag_advanced_unit.h"
#include "tags/tag_simple_unit.h"

namespace {

using Values = std::map<std::string, std::string>;

Values NonEmpty(const RAdvancedTags& t) {
  const Values all = {{"Track", t.Track},
                      {"Title", t.Title},
                      {"Artist", t.Artist},
                      {"Album", t.Album},
                      {"Year", t.Year},
                      {"genre", t.genre},
                      {"comment", t.comment},
                      {"orgartist", t.orgartist},
                      {"composer", t.composer},
                      {"url", t.url},
                      {"copyright", t.copyright},
                      {"encoder", t.encoder},
                      {"bpm", t.bpm},
                      {"v_groups", t.v_groups},
                      {"v_rating", t.v_rating ? std::to_string(t.v_rating) : ""},
                      {"v_synchpos", t.v_synchpos ? std::to_string(t.v_synchpos) : ""}};
  Values out;
  for (const auto& [k, v] : all) {
    if (!v.empty()) out[k] = v;
  }
  return out;
}

struct Case {
  const char* file;
  bool ok;
  bool present;
  const char* error;  // the error text after the file name (or the whole text)
  Values values;
};

TEST(TagFixtures, AdvancedReaderPerFormat) {
  const std::string ae = "\xC3\xA4";  // ä
  const Case cases[] = {
      // ID3v2
      {"id3v23_frames.mp3",
       true,
       true,
       "",
       {{"Track", "3/12"},
        {"Title", "Title"},
        {"Artist", "Artist"},
        {"Album", "Alb\xC3\xBCm"},
        {"Year", "1999"},
        {"genre", "Rock"},
        {"comment", "hi"},
        {"composer", "Comp"},
        {"url", "http://x.example"},
        {"bpm", "120"},
        {"v_groups", "Pop"},
        {"v_rating", "3"},
        {"v_synchpos", "60000"}}},
      {"id3v23_popm_comm.mp3",
       true,
       true,
       "",
       {{"genre", "Rock and Roll"}, {"comment", "note"}, {"v_rating", "4"}}},
      {"id3v24_plain_frame_size.mp3", true, true, "", {{"Title", "Long"}, {"Artist", "After"}}},
      {"id3v22.mp3",
       true,
       true,
       "",
       {{"Title", "Old Title"}, {"Artist", "Old Artist"}, {"genre", "(9)"}}},
      {"id3v23_padding_only.mp3", true, true, "", {}},
      {"id3v23_compressed.mp3", true, true, "", {{"Artist", "Visible"}}},
      {"id3v23_frame_past_end.mp3", true, true, "", {{"Artist", "Kept"}}},
      {"id3v2_size_zero.mp3",
       false,
       true,
       "id3v2 header len error [<10Bytes] (loadfromfileid3v2)",
       {}},
      {"id3v2_size_top_bit.mp3", true, true, "", {{"Title", "Sync"}}},
      {"id3v2_truncated.mp3", false, true, "Stream read error (loadfromfileid3v2)", {}},
      {"id3v2_512_bytes.mp3", false, false, "@ < 512 (loadfromfileid3v2)", {}},
      {"no_tags.mp3", true, false, "", {}},
      // Vorbis comments in FLAC and Ogg
      {"vorbis_comments.flac",
       true,
       true,
       "",
       {{"Title", "B"}, {"Artist", "Art"}, {"composer", "C"}, {"Year", "2020=01"}}},
      {"vorbis_organization_last.flac", true, true, "", {{"composer", "X"}}},
      {"vorbis_251_comments.flac", true, true, "", {}},
      {"vorbis_picture_only.flac", true, true, "", {}},
      {"vorbis_block_past_end.flac", true, true, "", {}},
      {"vorbis_comment_past_end.flac", true, true, "", {{"Title", "First"}}},
      {"vorbis_zero_length.flac", true, true, "", {{"Title", "Before"}}},
      {"not_flac.flac", true, false, "", {}},
      {"vorbis_comments.ogg",
       true,
       true,
       "",
       {{"Title", "Ogg Title"}, {"Artist", "Ogg Artist"}, {"Track", "2"}, {"encoder", "hand"}}},
      {"not_vorbis.ogg", true, false, "", {}},
      // WAV INFO: size-minus-one texts, pad bytes after odd sizes skipped
      {"info.wav",
       true,
       true,
       "",
       {{"Title", "Hello"},
        {"Track", "Hell"},
        {"Artist", "Odd"},
        {"genre", "Jazz"},
        {"comment", ae + "h"}}},
      {"info_before_data.wav", true, true, "", {{"Title", "Early"}}},
      {"info_list_past_end.wav", true, true, "", {{"Title", "Cut"}}},
      {"info_subchunk_past_end.wav", true, true, "", {{"Artist", "Fine"}, {"Title", "Trunc"}}},
      {"info_not_info.wav", true, false, "", {}},
      {"info_zero_chunk.wav", false, false, "", {}},
      {"info_small.wav", false, false, "", {}},
      // MIDI: leading meta events of the first track only, one length byte
      {"text.mid",
       true,
       true,
       "",
       {{"Title", "Intro"}, {"copyright", "(c)"}, {"Artist", "Singer"}}},
      {"long_text.mid", true, true, "", {{"Title", "\x10" + std::string(128, 'A')}}},
      {"second_track.mid", true, false, "", {}},
      {"text_past_end.mid", true, true, "", {{"comment", "abc"}, {"Title", "End"}}},
      {"small.mid", false, false, "@ < 512 (loadfromfile_midi)", {}},
      // ASF attributes: content description, extended content, metadata, metadata library
      {"attributes.wma",
       true,
       true,
       "",
       {{"Title", "Title W"},
        {"Artist", "Author W"},
        {"comment", "Desc"},
        {"Album", "Album W"},
        {"Track", "5"},
        {"copyright", "Label"},
        {"composer", "Comp W"},
        {"Year", "2004"},
        {"v_groups", "Rock"},
        {"v_rating", "3"}}},
      {"asf_truncated.wma",
       false,
       false,
       "@ konnte nicht ge\xC3\xB6"
       "ffnet werden! (loadfromfile_wma verabeitung)",
       {}},
      {"asf_object_past_header.wma",
       false,
       false,
       "@ konnte nicht ge\xC3\xB6"
       "ffnet werden! (loadfromfile_wma verabeitung)",
       {}},
      {"asf_object_size_zero.wma",
       false,
       false,
       "@ konnte nicht ge\xC3\xB6"
       "ffnet werden! (loadfromfile_wma verabeitung)",
       {}},
      {"asf_descriptor_past_object.wma",
       false,
       false,
       "@ konnte nicht ge\xC3\xB6"
       "ffnet werden! (loadfromfile_wma verabeitung)",
       {}},
      {"not_asf.wma",
       false,
       false,
       "@ konnte nicht ge\xC3\xB6"
       "ffnet werden! (loadfromfile_wma verabeitung)",
       {}},
  };
  TAdvancedTag tag;  // one object for all files: nothing may carry over
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = tagtest::Fixture(c.file);
    EXPECT_EQ(tag.loadfromfile(path, false), c.ok);
    EXPECT_EQ(tag.TagPresent(), c.present);
    std::string error = c.error;
    if (!error.empty() && error[0] == '@') error = path + error.substr(1);
    EXPECT_EQ(tag.Error(), error);
    EXPECT_EQ(NonEmpty(tag.supportedtags()), c.values);
  }
}

TEST(TagFixtures, SimpleReaderBlocks) {
  struct SimpleCase {
    const char* file;
    bool ok;
    bool present;
    const char* error;
    RSimpleTags tags;
  };
  const SimpleCase cases[] = {
      {"id3v23_frames.mp3",
       true,
       true,
       "",
       {"5", "Song", "V1 Artist", "V1 Album", "2001", "Synthpop", "v1 comment"}},
      {"id3v1_utf8.mp3", true, true, "", {"0", "\xC3\x84rger", "", "", "", "", ""}},
      {"id3v1_200_bytes.mp3", false, false, "@ <= 200 Bytes! (loadfromfileid3v1)", {}},
      {"no_tags.mp3", true, false, "", {}},
      {"vorbis_comments.flac", true, false, "", {}},  // not an ID3v1 format: nothing read
  };
  TSimpleTag tag;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = tagtest::Fixture(c.file);
    EXPECT_EQ(tag.loadfromfile(path), c.ok);
    EXPECT_EQ(tag.tagPresent(), c.present);
    std::string error = c.error;
    if (!error.empty() && error[0] == '@') error = path + error.substr(1);
    EXPECT_EQ(tag.error(), error);
    const RSimpleTags& t = tag.supportedtags();
    EXPECT_EQ(t.Track, c.tags.Track);
    EXPECT_EQ(t.Title, c.tags.Title);
    EXPECT_EQ(t.Artist, c.tags.Artist);
    EXPECT_EQ(t.Album, c.tags.Album);
    EXPECT_EQ(t.Year, c.tags.Year);
    EXPECT_EQ(t.genre, c.tags.genre);
    EXPECT_EQ(t.comment, c.tags.comment);
  }
}

}  // namespace
