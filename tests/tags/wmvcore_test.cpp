// Our ASF header reader and the WMA handler on top of it, with headers built in code.
#include "tags/wmvcore.h"

#include <gtest/gtest.h>

#include "tag_test_util.h"
#include "tags/tag_advanced_wma_unit.h"

namespace {

using tagtest::Append;
using tagtest::AppendLE;
using tagtest::Bytes;

const Bytes kHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                       0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Bytes kContent = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                        0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Bytes kExtended = {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                         0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
const Bytes kHeaderExt = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                          0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const Bytes kMetadata = {0xEA, 0xCB, 0xF8, 0xC5, 0xAF, 0x5B, 0x77, 0x48,
                         0x84, 0x67, 0xAA, 0x8C, 0x44, 0xFA, 0x4C, 0xCA};

Bytes Utf16z(std::u16string_view text) {
  Bytes out;
  for (char16_t c : text) AppendLE(out, c, 2);
  AppendLE(out, 0, 2);
  return out;
}

Bytes Object(const Bytes& guid, const Bytes& data) {
  Bytes out = guid;
  AppendLE(out, data.size() + 24, 8);
  Append(out, data);
  return out;
}

Bytes Header(const std::vector<Bytes>& objects) {
  Bytes body;
  for (const auto& o : objects) Append(body, o);
  Bytes out = kHeader;
  AppendLE(out, body.size() + 30, 8);
  AppendLE(out, objects.size(), 4);
  Append(out, Bytes{1, 2});
  Append(out, body);
  return out;
}

// Extended content descriptors: name, stored type (0 string, 3 DWORD, ...), value.
struct Descriptor {
  std::u16string name;
  std::uint16_t type;
  Bytes value;
};

Bytes Extended(const std::vector<Descriptor>& descriptors) {
  Bytes data;
  AppendLE(data, descriptors.size(), 2);
  for (const auto& d : descriptors) {
    const Bytes name = Utf16z(d.name);
    AppendLE(data, name.size(), 2);
    Append(data, name);
    AppendLE(data, d.type, 2);
    AppendLE(data, d.value.size(), 2);
    Append(data, d.value);
  }
  return Object(kExtended, data);
}

Bytes Dword(std::uint32_t v) {
  Bytes out;
  AppendLE(out, v, 4);
  return out;
}

Bytes MetadataObject(std::u16string_view name, std::uint16_t stream, const Bytes& value) {
  Bytes data;
  AppendLE(data, 1, 2);
  const Bytes n = Utf16z(name);
  AppendLE(data, 0, 2);
  AppendLE(data, stream, 2);
  AppendLE(data, n.size(), 2);
  AppendLE(data, 0, 2);  // string
  AppendLE(data, value.size(), 4);
  Append(data, n);
  Append(data, value);
  Bytes ext(16, 0);
  AppendLE(ext, 6, 2);
  const Bytes inner = Object(kMetadata, data);
  AppendLE(ext, inner.size(), 4);
  Append(ext, inner);
  return Object(kHeaderExt, ext);
}

TEST(AsfHeader, EditorOperations) {
  Bytes cdo;
  for (std::size_t len :
       {Utf16z(u"T").size(), std::size_t{0}, std::size_t{0}, std::size_t{0}, std::size_t{0}}) {
    AppendLE(cdo, len, 2);
  }
  Append(cdo, Utf16z(u"T"));
  const Bytes header = Header({Object(kContent, cdo), Extended({{u"WM/Year", 0, Utf16z(u"1990")}}),
                               MetadataObject(u"WM/Composer", 2, Utf16z(u"C"))});
  tagtest::TempDir dir;
  tagtest::WriteFile(dir.File("a.wma"), header);

  std::unique_ptr<IWMMetadataEditor> editor;
  ASSERT_EQ(WMCreateEditor(editor), WM_S_OK);
  IWMHeaderInfo3* info = nullptr;
  EXPECT_LT(editor->QueryHeaderInfo3(info), 0);  // nothing open yet
  ASSERT_EQ(editor->Open(dir.File("a.wma")), WM_S_OK);
  ASSERT_EQ(editor->QueryHeaderInfo3(info), WM_S_OK);
  std::uint16_t count = 0;
  ASSERT_EQ(info->GetAttributeCountEx(WMAllStreams, count), WM_S_OK);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(info->GetAttributeCountEx(2, count), WM_S_OK);
  EXPECT_EQ(count, 1);

  // Sizes first, then the data; a buffer one short is refused.
  std::uint16_t name_length = 0;
  std::uint32_t value_length = 0;
  WMT_ATTR_DATATYPE type{};
  std::uint16_t language = 0;
  ASSERT_EQ(info->GetAttributeByIndexEx(WMAllStreams, 1, nullptr, name_length, type, language,
                                        nullptr, value_length),
            WM_S_OK);
  EXPECT_EQ(name_length, 8);  // "WM/Year" and its terminator
  EXPECT_EQ(value_length, 10u);
  EXPECT_EQ(type, WMT_TYPE_STRING);
  std::u16string name(name_length, u'?');
  Bytes value(value_length);
  std::uint16_t short_name = name_length - 1;
  EXPECT_EQ(info->GetAttributeByIndexEx(WMAllStreams, 1, name.data(), short_name, type, language,
                                        value.data(), value_length),
            WM_E_BUFFER_TOO_SMALL);
  ASSERT_EQ(info->GetAttributeByIndexEx(WMAllStreams, 1, name.data(), name_length, type, language,
                                        value.data(), value_length),
            WM_S_OK);
  EXPECT_EQ(name, std::u16string(u"WM/Year\0", 8));
  EXPECT_EQ(value, Utf16z(u"1990"));
  EXPECT_LT(info->GetAttributeByIndexEx(WMAllStreams, 3, nullptr, name_length, type, language,
                                        nullptr, value_length),
            0);
  EXPECT_EQ(editor->Close(), WM_S_OK);
  EXPECT_LT(editor->Open(dir.File("missing.wma")), 0);
}

TEST(AsfHeader, EveryTruncationAndLyingSizeIsRefused) {
  const Bytes good = Header({Extended({{u"Title", 0, Utf16z(u"x")}, {u"N", 3, Dword(1)}}),
                             MetadataObject(u"WM/Composer", 0, Utf16z(u"C"))});
  std::vector<RWMAttribute> attributes;
  std::string error;
  ASSERT_TRUE(ParseAsfHeader(good, attributes, error)) << error;
  ASSERT_EQ(attributes.size(), 3u);
  EXPECT_EQ(attributes[1].type, WMT_TYPE_DWORD);  // stored type 3 is the editor's DWORD
  for (std::size_t n = 0; n < good.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(ParseAsfHeader(std::span(good).first(n), attributes, error));
    EXPECT_FALSE(error.empty());
  }
  // Sizes one byte larger than what follows: the header's own and its first object's.
  for (std::size_t size_field : {std::size_t{16}, std::size_t{30 + 16}}) {
    SCOPED_TRACE(size_field);
    Bytes lying = good;
    ++lying[size_field];
    EXPECT_FALSE(ParseAsfHeader(lying, attributes, error));
    EXPECT_TRUE(attributes.empty());
  }
}

TEST(TAdvancedWMA, AttributeNamesTypesAndRatings) {
  struct Case {
    const char* name;
    std::vector<Descriptor> descriptors;
    std::string RAdvancedTags::*field;
    std::string text;
    std::int32_t rating;
  };
  const std::u16string sonar = u"SONARID\u00A14\u00A1Rock";
  const Case cases[] = {
      {"names compare without case",
       {{u"Author", 0, Utf16z(u"X")}},
       &RAdvancedTags::Artist,
       "X",
       0},
      {"shared rating 75", {{u"wm/SharedUserRating", 3, Dword(75)}}, nullptr, "", 4},
      {"shared rating 60", {{u"WM/SharedUserRating", 3, Dword(60)}}, nullptr, "", 0},
      {"shared rating 99", {{u"WM/SharedUserRating", 3, Dword(99)}}, nullptr, "", 5},
      {"SONARID rating", {{u"Rating", 0, Utf16z(sonar)}}, &RAdvancedTags::v_groups, "Rock", 4},
      {"other RATING text",
       {{u"RATING", 0, Utf16z(u"five stars")}},
       &RAdvancedTags::v_groups,
       "",
       0},
      {"track as DWORD", {{u"WM/TrackNumber", 3, Dword(12)}}, &RAdvancedTags::Track, "12", 0},
      {"track as text", {{u"WM/TrackNumber", 0, Utf16z(u"3/9")}}, &RAdvancedTags::Track, "3/9", 0},
      {"title as DWORD fills nothing", {{u"Title", 3, Dword(1)}}, &RAdvancedTags::Title, "", 0},
      {"BPM", {{u"WM/BeatsPerMinute", 0, Utf16z(u"128")}}, &RAdvancedTags::bpm, "128", 0},
      {"empty value skipped", {{u"Title", 0, {}}}, &RAdvancedTags::Title, "", 0},
  };
  tagtest::TempDir dir;
  TAdvancedDatahandler handler;
  TAdvancedWMA wma(&handler);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tagtest::WriteFile(dir.File("a.wma"), Header({Extended(c.descriptors)}));
    handler.Clear();
    ASSERT_TRUE(wma.loadfromfile_wma(dir.File("a.wma"), tt_wma)) << handler.fError;
    EXPECT_TRUE(handler.ftagpresent);
    if (c.field != nullptr) {
      EXPECT_EQ(handler.fTags.*c.field, c.text);
    }
    EXPECT_EQ(handler.fTags.v_rating, c.rating);
  }
}

TEST(TAdvancedWMA, WithoutAnEditorOnlyWmaFails) {
  TAdvancedDatahandler handler;
  TAdvancedWMA wma(&handler, nullptr);
  EXPECT_FALSE(wma.loadfromfile_wma(tagtest::Fixture("attributes.wma"), tt_wma));
  EXPECT_EQ(handler.fError, std::string(WMEditorMissingText) + " (loadfromfile_wma verabeitung)");
  EXPECT_EQ(handler.ftagtyp, tt_wma);
  EXPECT_FALSE(handler.ftagpresent);
}

}  // namespace
