#include "tags/tag_advanced_midi_unit.h"

#include <algorithm>

#include "tags/unicode_util_unit.h"

namespace {

std::string* MetaField(std::uint8_t type, RAdvancedTags& t) {
  switch (type) {
    case 1:
      return &t.comment;
    case 2:
      return &t.copyright;
    case 3:
      return &t.Title;
    case 8:
      return &t.Title;
    case 9:
      return &t.Artist;
    case 10:
      return &t.copyright;
    default:
      return nullptr;
  }
}

}  // namespace

bool ParseMidiText(std::span<const std::uint8_t> data, RAdvancedTags& tags) {
  const TZeroPadded buf(data);
  bool present = false;
  std::uint64_t chunk = 0;
  while (chunk < data.size()) {
    const std::int32_t length = buf.BE31(chunk + 4);
    if (length == 0) break;
    if (!buf.Matches(chunk, "MTrk")) {
      chunk += static_cast<std::uint64_t>(length) + 8;
      continue;
    }
    std::uint64_t pos = chunk + 8;
    while (true) {
      if (buf[pos] != 0x00 || buf[pos + 1] != 0xFF) return present;  // ends the whole scan
      const std::uint8_t type = buf[pos + 2];
      const std::uint8_t n = buf[pos + 3];
      pos += 4;
      if (type <= 10) {
        present = true;
        if (std::string* field = MetaField(type, tags)) {
          *field = BufToRawString(data, static_cast<std::int64_t>(pos), n);
        }
      }
      pos += n;
    }
  }
  return present;
}

bool TAdvancedMIDI::loadfromfile_midi(const std::string& filename, RTagtyp tagtyp_) {
  fDataHandler->BeginLoad(tagtyp_);
  std::unique_ptr<TTagSource> source;
  try {
    source = OpenTagFile(filename);
  } catch (const ETagError& e) {
    fDataHandler->fError = std::string(e.what()) + " (loadfromfile_midi)";
    return false;
  }
  return loadfromsource_midi(*source, filename, tagtyp_);
}

bool TAdvancedMIDI::loadfromsource_midi(TTagSource& source, const std::string& filename,
                                        RTagtyp tagtyp_) {
  TAdvancedDatahandler& dh = *fDataHandler;
  dh.BeginLoad(tagtyp_);
  try {
    const std::uint64_t size = source.Size();
    if (size <= 512) throw ETagError(filename + " < 512");
    const auto data = dh.LoadBuffer(
        source, 0, static_cast<std::size_t>(std::min<std::uint64_t>(size, MidiReadLimit)));
    if (ParseMidiText(data, dh.fTags)) dh.ftagpresent = true;
    return true;
  } catch (const ETagError& e) {
    dh.fError = std::string(e.what()) + " (loadfromfile_midi)";
    return false;
  }
}
