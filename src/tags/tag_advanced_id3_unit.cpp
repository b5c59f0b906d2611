#include "tags/tag_advanced_id3_unit.h"

#include <array>
#include <string_view>

#include "tags/tag_toolbox_unit.h"
#include "tags/unicode_util_unit.h"

namespace {

constexpr std::int64_t kMaxFrameText = 104'857'600;

constexpr std::array<std::string_view, 10> kBinaryFrames = {"UFID", "MCDI", "SYTC", "APIC", "GEOB",
                                                            "AENC", "COMR", "ENCR", "GRID", "SIGN"};

bool IsBinaryFrame(std::string_view id) {
  for (auto b : kBinaryFrames) {
    if (id == b) return true;
  }
  return false;
}

// Field of RAdvancedTags a text frame fills, or nullptr.
std::string* TextField(std::string_view id, RAdvancedTags& t) {
  struct Entry {
    std::string_view id;
    std::string RAdvancedTags::*field;
  };
  static constexpr Entry kTable[] = {
      {"TIT2", &RAdvancedTags::Title},     {"TT2", &RAdvancedTags::Title},
      {"TPE1", &RAdvancedTags::Artist},    {"TP1", &RAdvancedTags::Artist},
      {"TALB", &RAdvancedTags::Album},     {"TAL", &RAdvancedTags::Album},
      {"TYER", &RAdvancedTags::Year},      {"TYE", &RAdvancedTags::Year},
      {"TCON", &RAdvancedTags::genre},     {"TCO", &RAdvancedTags::genre},
      {"TRCK", &RAdvancedTags::Track},     {"TRK", &RAdvancedTags::Track},
      {"TOPE", &RAdvancedTags::orgartist}, {"TOA", &RAdvancedTags::orgartist},
      {"TCOM", &RAdvancedTags::composer},  {"TCM", &RAdvancedTags::composer},
      {"WXXX", &RAdvancedTags::url},       {"WOAR", &RAdvancedTags::url},
      {"WXX", &RAdvancedTags::url},        {"COMM", &RAdvancedTags::comment},
      {"COM", &RAdvancedTags::comment},    {"TCOP", &RAdvancedTags::copyright},
      {"WCP", &RAdvancedTags::copyright},  {"TENC", &RAdvancedTags::encoder},
      {"TEN", &RAdvancedTags::encoder},    {"TBPM", &RAdvancedTags::bpm},
  };
  for (const auto& e : kTable) {
    if (e.id == id) return &(t.*e.field);
  }
  return nullptr;
}

// Genre references of the form "(17)" or "(17)Rock and Roll".
std::string ResolveGenre(std::string text) {
  if (Utf16Length(text) <= 3 || text.front() != '(') return text;
  if (text.back() == ')') {
    std::int32_t index;
    if (TryParseInt(TrimTag(std::string_view(text).substr(1, text.size() - 2)), index) &&
        index >= 0 && index <= ID3v1GenreMax) {
      return std::string(ID3v1GenreName(index));
    }
    return text;
  }
  const auto close = text.find(')');
  return close == std::string::npos ? std::string()
                                    : TrimTag(std::string_view(text).substr(close + 1));
}

std::int32_t PopmRating(std::span<const std::uint8_t> content) {
  for (std::size_t i = 0; i + 1 < content.size(); ++i) {
    if (content[i] != 0) continue;
    switch (content[i + 1]) {
      case 1:
        return 1;
      case 64:
        return 2;
      case 128:
        return 3;
      case 196:
        return 4;
      case 255:
        return 5;
      default:
        return 0;
    }
  }
  return 0;
}

// Offset of the text inside a frame's content: URL frames with a description and comments
// start after their encoding byte, language and (empty) description.
std::int64_t TextOffset(std::string_view id, const TZeroPadded& buf, std::uint64_t d) {
  if (id == "WXXX" || id == "WXX") return 1;
  if (id != "COMM" && id != "COM") return 0;
  std::int64_t k = 3;
  const bool single_or_utf16 = buf[d] <= 1;
  static constexpr std::uint8_t kEmptyUtf16Description[] = {0xFF, 0xFE, 0x00, 0x00, 0xFF, 0xFE};
  bool empty_utf16 = single_or_utf16;
  for (std::size_t i = 0; i < sizeof kEmptyUtf16Description && empty_utf16; ++i) {
    empty_utf16 = buf[d + 4 + i] == kEmptyUtf16Description[i];
  }
  if (empty_utf16) k += 4;
  if (single_or_utf16 && buf[d + 4] == 0) k += 1;
  return k;
}

void HandleFrame(const TZeroPadded& buf, std::string_view id, std::uint64_t p, std::uint64_t d,
                 std::int64_t s, bool compressed, std::int32_t tagsize, bool readbinaryobjects,
                 RAdvancedTags& tags) {
  const std::int64_t k = TextOffset(id, buf, d);
  if (s - k < 1 || s - k > kMaxFrameText) return;
  if (static_cast<std::int64_t>(p) + s - k + 9 > tagsize) return;
  const bool binary = IsBinaryFrame(id);
  if (binary && !readbinaryobjects) return;
  // The size check above lets a frame end a few bytes past the body; those bytes read as zero.
  const auto inside = buf.Clip(d, static_cast<std::uint64_t>(s));
  TBytes content(inside.begin(), inside.end());
  content.resize(static_cast<std::size_t>(s), 0);

  std::string text;
  if (!binary) {
    switch (content[0]) {
      case 0:
      case 1:
        text = BufToString(content, k + 1, s - 1 - k, CP_DETECT);
        break;
      case 2:
        text = BufToString(content, k + 1, s - 1 - k, CP_UTF16BE);
        break;
      case 3:
        text = BufToString(content, k + 1, s - 1 - k, CP_UTF8);
        break;
      default:
        text = BufToString(content, k, s - k, CP_DETECT);
        break;
    }
    text = TrimTag(text);
    if (id == "TCON" || id == "TCO") text = ResolveGenre(std::move(text));
  }
  if (compressed) return;

  if (std::string* field = TextField(id, tags)) {
    *field = std::move(text);
  } else if (id == "POSS") {
    if (s == 5 && content[0] == 2) {
      tags.v_synchpos = ReadBE32(content[1], content[2], content[3], content[4]);
    }
  } else if (id == "POPM") {
    if (s > 1) tags.v_rating = PopmRating(content);
  } else if (id == "PRIV") {
    ApplySonarId(text, tags);
  }
}

}  // namespace

void ParseID3v2Frames(std::span<const std::uint8_t> body, std::uint8_t version,
                      std::int32_t tagsize, bool readbinaryobjects, RAdvancedTags& tags) {
  const TZeroPadded buf(body);
  const bool short_frames = version <= 2;
  const std::uint64_t id_length = short_frames ? 3 : 4;
  const std::uint64_t header_length = short_frames ? 6 : 10;
  const std::uint64_t end = body.size();
  std::uint64_t p = 0;
  while (p < end) {
    const std::string id = UpperAscii(TrimTag(
        BufToRawString(body, static_cast<std::int64_t>(p), static_cast<std::int64_t>(id_length))));
    if (id.empty()) break;  // padding
    std::int64_t size;
    bool compressed = false;
    if (short_frames) {
      size = (std::int64_t{buf[p + 3]} << 16) | (std::int64_t{buf[p + 4]} << 8) | buf[p + 5];
    } else {
      size = buf.BE31(p + 4);
      compressed = (buf[p + 9] & 0x0C) != 0;
    }
    const std::uint64_t d = p + header_length;
    if (d >= end) break;
    if (size >= 1) HandleFrame(buf, id, p, d, size, compressed, tagsize, readbinaryobjects, tags);
    p = d + static_cast<std::uint64_t>(size);
  }
}

bool TAdvancedID3::loadfromfile_id3v2(const std::string& filename, RTagtyp tagtyp_,
                                      bool readbinaryobjects) {
  fDataHandler->BeginLoad(tagtyp_);
  std::unique_ptr<TTagSource> source;
  try {
    source = OpenTagFile(filename);
  } catch (const ETagError& e) {
    fDataHandler->fError = std::string(e.what()) + " (loadfromfileid3v2)";
    return false;
  }
  return loadfromsource_id3v2(*source, filename, tagtyp_, readbinaryobjects);
}

bool TAdvancedID3::loadfromsource_id3v2(TTagSource& source, const std::string& filename,
                                        RTagtyp tagtyp_, bool readbinaryobjects) {
  TAdvancedDatahandler& dh = *fDataHandler;
  dh.BeginLoad(tagtyp_);
  std::span<const std::uint8_t> body;
  try {
    if (source.Size() <= 512) throw ETagError(filename + " < 512");
    std::array<std::uint8_t, 10> header{};
    source.ReadAt(0, header);
    if (header[0] != 'I' || header[1] != 'D' || header[2] != '3') return true;
    dh.ftagpresent = true;
    dh.ftagvers = header[3];
    dh.ftagsize = ReadSyncsafe(header[6], header[7], header[8], header[9]) + 10;
    if (dh.ftagsize <= 10) throw ETagError("id3v2 header len error [<10Bytes]");
    if (dh.ftagsize > static_cast<std::int32_t>(TagBufferReadLimit)) {
      dh.ftagsize = static_cast<std::int32_t>(TagBufferReadLimit);
      dh.fError = "ID3v2-Tag header len error [>buffer]";
    }
    body = dh.LoadBuffer(source, 10, static_cast<std::size_t>(dh.ftagsize - 10));
  } catch (const ETagError& e) {
    dh.fError = std::string(e.what()) + " (loadfromfileid3v2)";
    return false;
  }
  try {
    ParseID3v2Frames(body, dh.ftagvers, dh.ftagsize, readbinaryobjects, dh.fTags);
  } catch (const std::exception& e) {
    dh.fError = std::string(e.what()) + "(loadfromfileid3v2)";
    return false;
  }
  return true;
}
