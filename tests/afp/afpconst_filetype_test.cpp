// The fingerprint record's cleared state and the extension lists.
#include "afp/afpconst_unit.h"
#include "afp/filetype_unit.h"

#include <gtest/gtest.h>

namespace {

TEST(RAFP, ClearRestoresTheClearedState) {
  RAFP afp;
  afp.p1 = {1, 2, 3};
  afp.p2 = {4, 5, 6};
  afp.typ = AFPTypAudio;
  afp.loaded = true;
  afp.internalRefCount = 3;
  RAFP copy = afp;  // value semantics: the copy owns its own series
  afp.Clear();
  EXPECT_TRUE(afp.p1.empty());
  EXPECT_TRUE(afp.p2.empty());
  EXPECT_EQ(afp.typ, u' ');
  EXPECT_FALSE(afp.loaded);
  EXPECT_EQ(afp.internalRefCount, 0);
  EXPECT_EQ(copy.p1.size(), 3u);
  EXPECT_EQ(static_cast<int>(dtExtPipe), 2);
}

TEST(IsFileType, ExtensionTable) {
  struct Case {
    const char* name;
    std::string_view list;
    bool expected;
  };
  const Case cases[] = {
      {"/music/a.mp3", ExtMP3, true},
      {"/music/a.MP3 ", ExtMP3, true},
      {"/music/a.Mp3(d)", ExtMP3, true},
      {"/music/a.mp3.bak", ExtMP3, false},
      {"/music/a.mid", ExtMIDI, true},
      {"/music/a.mid", ExtMID, true},
      {"/music/a.midi", ExtMIDI, true},
      {"/music/a.midi", ExtMID, false},
      {"/pics/a.tiff", ExtIMAGE, true},
      {"/pics/a.tif", ExtIMAGE, true},
      {"/music/noext", ExtMP3, false},
      {"/music/a.", ExtMP3, false},
      {"/music.old/track", ExtMP3, false},
      {"/music/a.m4a", ExtAAC, true},
      {"/music/a.mp", ExtMP3, false},  // a prefix of an entry is no match
      {"/music/a.P3", ExtMP3, false},
      {"/music/a.wav", ExtWAV, true},
      {"/music/\xC3\xA4.flac", ExtFLAC, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsFileType(c.name, c.list), c.expected);
  }
}

}  // namespace
