#include "tags/tag_advanced_wav_unit.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "tags/unicode_util_unit.h"

namespace {

std::string* InfoField(std::string_view id, RAdvancedTags& t) {
  struct Entry {
    std::string_view id;
    std::string RAdvancedTags::*field;
  };
  static constexpr Entry kTable[] = {
      {"ITRK", &RAdvancedTags::Track},   {"INAM", &RAdvancedTags::Title},
      {"IART", &RAdvancedTags::Artist},  {"IALB", &RAdvancedTags::Album},
      {"IYER", &RAdvancedTags::Year},    {"IGNR", &RAdvancedTags::genre},
      {"ICMT", &RAdvancedTags::comment}, {"ICOM", &RAdvancedTags::composer},
      {"IURL", &RAdvancedTags::url},     {"BCPR", &RAdvancedTags::copyright},
      {"ISFT", &RAdvancedTags::encoder}, {"IPBM", &RAdvancedTags::bpm},
  };
  for (const auto& e : kTable) {
    if (e.id == id) return &(t.*e.field);
  }
  return nullptr;
}

}  // namespace

bool ParseWavInfoList(std::span<const std::uint8_t> list, RAdvancedTags& tags) {
  const TZeroPadded buf(list);
  if (!buf.Matches(0, "INFO")) return false;
  const std::uint64_t end = list.size();
  std::uint64_t pos = 4;
  while (end > 0 && pos < end - 1) {
    const std::string id = BufToRawString(list, static_cast<std::int64_t>(pos), 4);
    const std::int32_t size = buf.LE31(pos + 4);
    pos += 8;
    if (size > 0) {
      // The last byte (the terminating zero of a well-formed chunk) is not part of the text;
      // a text running past the list is cut at its end.
      const auto text = buf.Clip(pos, static_cast<std::uint64_t>(size - 1));
      if (std::string* field = InfoField(id, tags)) {
        *field = BufToString(text, 0, static_cast<std::int64_t>(text.size()), CP_UTF8);
      }
      // RIFF pads odd sizes to even; without skipping the pad byte every later sub-chunk of
      // a well-formed file would be misread.
      pos += static_cast<std::uint64_t>(size) + (size & 1);
    }
  }
  return true;
}

bool TAdvancedWav::loadfromfile_wav(const std::string& filename, RTagtyp tagtyp_) {
  fDataHandler->BeginLoad(tagtyp_);
  try {
    const auto source = OpenTagFile(filename);
    return loadfromsource_wav(*source, tagtyp_);
  } catch (const ETagError&) {
    return false;  // this reader reports failures by its result alone
  }
}

bool TAdvancedWav::loadfromsource_wav(TTagSource& source, RTagtyp tagtyp_) {
  TAdvancedDatahandler& dh = *fDataHandler;
  dh.BeginLoad(tagtyp_);
  try {
    const std::uint64_t size = source.Size();
    if (size < 512) throw ETagError("filesizeerror");
    std::array<std::uint8_t, 100> head{};
    source.ReadAt(0, head);
    const TZeroPadded first(head);
    if (!first.Matches(0, "RIFF") || !first.Matches(8, "WAVE")) return true;

    std::uint64_t pos = 12;
    std::uint64_t list_offset = 0;
    std::int32_t list_size = 0;
    std::array<std::uint8_t, 8> chunk{};
    std::copy_n(head.begin() + 12, 8, chunk.begin());
    while (true) {
      const TZeroPadded header(chunk);
      const std::int32_t chunk_size = header.LE31(4);
      const std::string id = BufToRawString(chunk, 0, 4);
      if (chunk_size < 1) {
        throw ETagError("framelen" + std::to_string(chunk_size) + " at frame " +
                        std::to_string(pos) + "/" + id);
      }
      if (UpperAscii(TrimTag(id)) == "LIST") {
        list_offset = pos;
        list_size = chunk_size;
        break;
      }
      pos += static_cast<std::uint64_t>(chunk_size) + 8 + (chunk_size & 1);  // RIFF pad byte
      if (pos >= size - 8) break;
      source.ReadAt(pos, chunk);
    }

    if (list_offset > 0 && list_size > 4) {
      const std::uint64_t available = size - (list_offset + 8);
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(
          {static_cast<std::uint64_t>(list_size), available, TagBufferSize}));
      const auto list = dh.LoadBuffer(source, list_offset + 8, count);
      if (ParseWavInfoList(list, dh.fTags)) dh.ftagpresent = true;
    }
    return true;
  } catch (const std::exception&) {
    return false;  // this reader reports failures by its result alone
  }
}
