#include "afp/mediainfo_flac_unit.h"

#include "afp/filetype_unit.h"

bool TMediaInfoFLAC::ReadFrameHeaderFLAC(const std::string& Filename, RHeaderinf& Headerinf) {
  Headerinf.Format = HIF_FLAC;
  Headerinf.FormatReadOk = false;
  Headerinf.TimeSec = 0;
  Headerinf.isScan = false;
  Headerinf.isVBR = false;
  if (!IsFileType(Filename, ExtFLAC)) return true;
  if (Filename.empty()) return false;
  try {
    auto source = OpenMediaFile(Filename);
    return ReadFrameHeaderFLAC(*source, Headerinf);
  } catch (const std::exception&) {
    return false;
  }
}

bool TMediaInfoFLAC::ReadFrameHeaderFLAC(TMediaSource& source, RHeaderinf& hi) {
  hi.Format = HIF_FLAC;
  hi.FormatReadOk = false;
  hi.TimeSec = 0;
  hi.isScan = false;
  hi.isVBR = false;
  try {
    const std::uint64_t size = source.Size();
    if (size < 100) return false;  // "filesizeerror"
    std::uint8_t b[100] = {};
    if (source.ReadAt(0, b) != sizeof b) return false;
    if (!(b[0] == 0x66 && b[1] == 0x4C && b[2] == 0x61 && b[3] == 0x43)) return true;

    RHeaderInfFLAC& f = hi.Flac;
    const std::uint32_t first_len = (std::uint32_t{b[5]} << 16) | (std::uint32_t{b[6]} << 8) | b[7];
    if ((b[4] & 0x7F) == 0 && first_len == 34) {
      const std::uint8_t* s = b + 8;
      f.minBlockSize = (s[0] << 8) | s[1];
      f.maxBlockSize = (s[2] << 8) | s[3];
      f.minFrameSize = (s[4] << 16) | (s[5] << 8) | s[6];
      f.maxFrameSize = (s[7] << 16) | (s[8] << 8) | s[9];
      f.samlingRate = (s[10] << 12) | (s[11] << 4) | (s[12] >> 4);
      f.channels = ((s[12] >> 1) & 7) + 1;
      f.bitsPerSample = (((s[12] & 1) << 4) | (s[13] >> 4)) + 1;
      f.totalNumberOfSamples = (std::int64_t{s[13] & 0x0F} << 32) | (std::int64_t{s[14]} << 24) |
                               (std::int64_t{s[15]} << 16) | (std::int64_t{s[16]} << 8) | s[17];
      for (int i = 0; i < 16; ++i) f.md5AudioData[i] = s[18 + i];
      if (f.totalNumberOfSamples > 0 && f.samlingRate > 0) {
        hi.TimeSec = static_cast<double>(f.totalNumberOfSamples) / f.samlingRate;
      }
      hi.FormatReadOk = true;
    }

    // Walk the metadata blocks to the first audio frame. A length from the file may point past
    // its end; the walk then simply ends there.
    std::uint64_t pos = 4;
    for (;;) {
      if (size - pos < 4) break;
      std::uint8_t h[4];
      if (source.ReadAt(pos, h) != 4) break;
      const std::uint32_t len = (std::uint32_t{h[1]} << 16) | (std::uint32_t{h[2]} << 8) | h[3];
      pos += 4 + std::uint64_t{len};
      if ((h[0] & 0x80) != 0 || (h[0] & 0x7F) == 127) break;
      if (h[0] == 0xFF && h[1] >= 0xF8 && h[1] <= 0xFB) break;
      if (pos >= size) break;
    }
    f.datapos = static_cast<std::int64_t>(pos);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
