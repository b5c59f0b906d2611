#include "tags/tag_advanced_vorbis_unit.h"

#include <algorithm>
#include <string_view>

#include "tags/unicode_util_unit.h"

namespace {

constexpr std::int32_t kMaxComments = 250;
constexpr std::int32_t kMaxCommentLength = 1'048'575;

std::string* CommentField(std::string_view name, RAdvancedTags& t) {
  struct Entry {
    std::string_view name;
    std::string RAdvancedTags::*field;
  };
  static constexpr Entry kTable[] = {
      {"TITLE", &RAdvancedTags::Title},
      {"ARTIST", &RAdvancedTags::Artist},
      {"ALBUM", &RAdvancedTags::Album},
      {"TRACKNUMBER", &RAdvancedTags::Track},
      {"GENRE", &RAdvancedTags::genre},
      {"DATE", &RAdvancedTags::Year},
      {"COPYRIGHT", &RAdvancedTags::copyright},
      {"PERFORMER", &RAdvancedTags::orgartist},
      {"ORGANIZATION", &RAdvancedTags::composer},
      {"COMMENT", &RAdvancedTags::comment},
      {"BPM", &RAdvancedTags::bpm},
      {"ENCODER", &RAdvancedTags::encoder},
      {"ENCODED_USING", &RAdvancedTags::encoder},
      {"COMPOSER", &RAdvancedTags::composer},
  };
  for (const auto& e : kTable) {
    if (e.name == name) return &(t.*e.field);
  }
  return nullptr;
}

}  // namespace

RVorbisBlock FindOggVorbisComments(std::span<const std::uint8_t> data) {
  const TZeroPadded buf(data);
  RVorbisBlock block;
  if (!buf.Matches(0, "OggS") || buf[28] != 1 || !buf.Matches(29, "vorbis")) return block;
  for (std::uint64_t i = 35; i < data.size(); ++i) {
    if (data[i] == 3 && buf.Matches(i + 1, "vorbis")) {
      // The block is taken to run to the last byte read but one; the page structure is not
      // followed, so a block split over pages reads the page header as comment bytes.
      block.present = true;
      block.offset = i + 7;
      block.length = data.size() - 1 > block.offset ? data.size() - 1 - block.offset : 0;
      block.has_comments = true;
      return block;
    }
  }
  return block;
}

RVorbisBlock FindFlacComments(std::span<const std::uint8_t> data) {
  const TZeroPadded buf(data);
  RVorbisBlock block;
  if (!buf.Matches(0, "fLaC")) return block;
  bool found_comment = false;
  bool found_picture = false;
  std::uint64_t pos = 4;
  while (pos < data.size()) {
    const std::uint8_t b0 = buf[pos];
    const std::uint8_t type = b0 & 0x7F;
    if (type == 127 || (b0 == 0xFF && buf[pos + 1] >= 0xF8 && buf[pos + 1] <= 0xFB)) break;
    const std::uint64_t length =
        (std::uint64_t{buf[pos + 1]} << 16) | (std::uint64_t{buf[pos + 2]} << 8) | buf[pos + 3];
    if (type == 4) {
      found_comment = true;
      block.offset = pos + 4;  // the last comment block wins
      block.length = length;
    } else if (type == 6) {
      found_picture = true;
    }
    pos += 4 + length;
    if (b0 & 0x80) break;
  }
  block.present = found_comment || found_picture;
  block.has_comments = found_comment && block.length > 0 && block.offset < data.size() &&
                       block.length <= data.size() - block.offset;
  return block;
}

void ParseVorbisComments(std::span<const std::uint8_t> data, const RVorbisBlock& block,
                         RAdvancedTags& tags, std::int32_t& tagsize) {
  if (!block.has_comments) return;
  const TZeroPadded buf(data);
  std::uint64_t pos = block.offset;
  const std::uint64_t vendor_length = static_cast<std::uint64_t>(buf.LE31(pos));
  pos += 4 + vendor_length;  // the vendor string is not kept
  const std::int32_t count = buf.LE31(pos);
  pos += 4;
  if (count == 0 || count > kMaxComments) return;
  const std::uint64_t limit = pos + block.length;
  for (std::int32_t i = 1; i <= count && pos <= limit; ++i) {
    const std::int32_t length = buf.LE31(pos);
    if (length <= 0 || length > kMaxCommentLength) break;
    pos += 4;
    // A comment cut off by the end of what was read is not taken (its rest is unknown).
    if (pos >= data.size() || static_cast<std::uint64_t>(length) > data.size() - pos) break;
    const std::string text = BufToString(data, static_cast<std::int64_t>(pos), length, CP_UTF8);
    pos += static_cast<std::uint64_t>(length);
    tagsize += length + 4;
    const auto eq = text.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = UpperAscii(TrimTag(std::string_view(text).substr(0, eq)));
    std::string value = TrimTag(std::string_view(text).substr(eq + 1));
    if (name.empty() || value.empty()) continue;
    if (std::string* field = CommentField(name, tags)) *field = std::move(value);
  }
}

bool TAdvancedVORBIS::loadfromfile_vorbis(const std::string& filename, RTagtyp tagtyp_) {
  fDataHandler->BeginLoad(tagtyp_);
  std::unique_ptr<TTagSource> source;
  try {
    source = OpenTagFile(filename);
  } catch (const ETagError& e) {
    fDataHandler->fError = std::string(e.what()) + " (loadfromfile_vorbis)";
    return false;
  }
  return loadfromsource_vorbis(*source, filename, tagtyp_);
}

bool TAdvancedVORBIS::loadfromsource_vorbis(TTagSource& source, const std::string& filename,
                                            RTagtyp tagtyp_) {
  TAdvancedDatahandler& dh = *fDataHandler;
  dh.BeginLoad(tagtyp_);
  try {
    const std::uint64_t size = source.Size();
    if (size <= 512) throw ETagError(filename + " < 512");
    std::uint64_t limit = tagtyp_ == tt_flac ? TagBufferReadLimit : VorbisOggReadLimit;
    limit = std::min<std::uint64_t>({limit, size, TagBufferReadLimit});
    const auto data = dh.LoadBuffer(source, 0, static_cast<std::size_t>(limit));
    const RVorbisBlock block =
        tagtyp_ == tt_flac ? FindFlacComments(data) : FindOggVorbisComments(data);
    if (block.present) {
      dh.ftagpresent = true;
      ParseVorbisComments(data, block, dh.fTags, dh.ftagsize);
    }
    return true;
  } catch (const std::exception& e) {
    dh.fError = std::string(e.what()) + " (loadfromfile_vorbis)";
    return false;
  }
}
