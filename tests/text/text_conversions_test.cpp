// Text conversions and integer readers shared by every tag and header reader.
#include "tags/tag_toolbox_unit.h"
#include "tags/unicode_decode_unit.h"
#include "tags/unicode_util_unit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DecodeText, ByteOrderMarksAndDefaults) {
  struct Case {
    const char* name;
    Bytes bytes;
    int codepage;
    std::string expected;
  };
  const Case cases[] = {
      {"utf8 mark", {0xEF, 0xBB, 0xBF, 0x61}, 0, "a"},
      {"utf16le mark", {0xFF, 0xFE, 0x61, 0x00}, 0, "a"},
      {"utf16be mark", {0xFE, 0xFF, 0x00, 0x61, 0x00, 0xFC}, 0, "a\xC3\xBC"},
      {"no mark is ansi, NUL kept", {0x61, 0x00}, 0, std::string("a\0", 2)},
      {"negative code page detects", {0xFF, 0xFE, 0x62, 0x00}, -1, "b"},
      {"explicit page keeps the mark", {0xFF, 0xFE, 0x61, 0x00}, 1200, "\xEF\xBB\xBF" "a"},
      {"cp1252 euro and umlaut", {0x80, 0xE4}, 1252, "\xE2\x82\xAC\xC3\xA4"},
      {"cp1252 undefined byte is a C1 control", {0x81}, 1252, "\xC2\x81"},
      {"latin1", {0xE4, 0x80}, 28591, "\xC3\xA4\xC2\x80"},
      {"utf8 valid", {0xC3, 0xA4}, 65001, "\xC3\xA4"},
      {"utf8 invalid gives empty", {0xC3, 0x28}, 65001, ""},
      {"utf8 truncated gives empty", {0xE2, 0x82}, 65001, ""},
      {"utf16le surrogate pair", {0x3D, 0xD8, 0x00, 0xDE}, 1200, "\xF0\x9F\x98\x80"},
      {"utf16 odd trailing byte dropped", {0x61, 0x00, 0x62}, 1200, "a"},
      {"iconv code page 1251", {0xC0}, 1251, "\xD0\x90"},
      {"iconv iso-8859-2", {0xB1}, 28592, "\xC4\x85"},
      {"unknown code page gives empty", {0x61}, 77777, ""},
      {"empty input", {}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DecodeText(c.bytes, c.codepage), c.expected);
  }
}

TEST(BufferOperations, NeverReadOutsideTheBuffer) {
  const Bytes buf = {'a', 'b', 'c', 0xE4};
  EXPECT_EQ(BufToBytes(buf, 1, 2), (Bytes{'b', 'c'}));
  EXPECT_TRUE(BufToBytes(buf, -1, 2).empty());
  EXPECT_TRUE(BufToBytes(buf, 0, 0).empty());
  EXPECT_EQ(BufToBytes(buf, 2, 1000), (Bytes{'c', 0xE4}));  // cut at the end
  EXPECT_TRUE(BufToBytes(buf, 4, 1).empty());
  EXPECT_TRUE(BufToBytes(buf, 1LL << 40, 1).empty());
  EXPECT_EQ(BufToString(buf, 0, 4, 1252), "abc\xC3\xA4");
  EXPECT_EQ(BufToString(buf, 0, -1, 1252), "");
  EXPECT_EQ(BufToRawString(buf, 3, 1), "\xC3\xA4");
  EXPECT_EQ(BufToRawString(buf, -5, 1), "");
}

TEST(Utf16, LengthsAndRoundTrips) {
  EXPECT_EQ(Utf16Length("abc"), 3u);
  EXPECT_EQ(Utf16Length("\xC3\xA4"), 1u);
  EXPECT_EQ(Utf16Length("\xF0\x9F\x98\x80"), 2u);
  EXPECT_EQ(Utf16Length("\xFF"), 1u);
  const std::string mixed = "A\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(mixed)), mixed);
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
}

TEST(IntegerReaders, TopBitsAreDropped) {
  EXPECT_EQ(ReadSyncsafe(0, 0, 2, 1), 257);
  EXPECT_EQ(ReadSyncsafe(0xFF, 0xFF, 0xFF, 0xFF), (1 << 28) - 1);
  EXPECT_EQ(ReadBE32(255, 0, 0, 1), 2130706433);
  EXPECT_EQ(ReadBE32(0, 1, 2, 3), 0x010203);
  EXPECT_EQ(MakeWord16(0x12, 0x34), 0x1234);
}

}  // namespace
