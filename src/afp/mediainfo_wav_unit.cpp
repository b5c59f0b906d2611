#include "afp/mediainfo_wav_unit.h"

#include <algorithm>
#include <cstring>

#include "afp/filetype_unit.h"

namespace {

constexpr std::size_t kWindow = 100;

std::uint32_t LE32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
std::uint16_t LE16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool TMediaInfoWAV::ReadFrameHeaderWAV(const std::string& Filename, RHeaderinf& Headerinf) {
  if (Filename.empty()) return false;
  if (!IsFileType(Filename, ExtWAV)) return true;
  try {
    auto source = OpenMediaFile(Filename);
    return ReadFrameHeaderWAV(*source, Headerinf);
  } catch (const std::exception&) {
    Headerinf.Format = HIF_WAV;
    Headerinf.FormatReadOk = false;
    return false;
  }
}

bool TMediaInfoWAV::ReadFrameHeaderWAV(TMediaSource& stream, RHeaderinf& hi) {
  hi.Format = HIF_WAV;
  hi.FormatReadOk = false;
  hi.TimeSec = 0;
  hi.isScan = false;
  hi.isVBR = false;
  try {
    const std::uint64_t size = stream.Size();
    if (size < kWindow) return false;  // "filesizeerror"
    // Eight bytes more than a window: the format fields sit 8..23 bytes after a chunk start.
    std::uint8_t w[kWindow + 8] = {};
    if (stream.ReadAt(0, std::span(w, kWindow)) != kWindow) return false;
    if (std::memcmp(w, "RIFF", 4) != 0 || std::memcmp(w + 8, "WAVE", 4) != 0) return true;

    RWaveFormatEx& f = hi.Wave.WaveFormatEx;
    std::uint64_t chunkpos = 12;
    std::size_t off = 12;
    do {
      char id[5] = {};
      std::memcpy(id, w + off, 4);
      std::string name(id);
      while (!name.empty() && static_cast<unsigned char>(name.back()) <= ' ') name.pop_back();
      while (!name.empty() && static_cast<unsigned char>(name.front()) <= ' ') name.erase(0, 1);
      for (char& c : name) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      const std::uint32_t len = LE32(w + off + 4) & 0x7FFFFFFFu;
      if (name == "fmt") {
        const std::uint8_t* p = w + off + 8;
        f.wFormatTag = LE16(p);
        f.nChannels = LE16(p + 2);
        f.nSamplesPerSec = LE32(p + 4) & 0x7FFFFFFFu;
        f.nAvgBytesPerSec = LE32(p + 8) & 0x7FFFFFFFu;
        f.nBlockAlign = LE16(p + 12);
        f.wBitsPerSample = LE16(p + 14);
        f.cbSize = 0;
        hi.FormatReadOk = true;
      } else if (name == "data") {
        // The contents start right after this chunk's 8 header bytes.
        hi.Wave.datapos = static_cast<std::int64_t>(chunkpos + 8);
      }
      chunkpos += std::uint64_t{len} + 8;
      // Every chunk header is read from a window at its own position (zeros past the end), so
      // near the end of a short stream no stale bytes are taken for a chunk.
      off = 0;
      if (chunkpos < size) {
        std::memset(w, 0, sizeof w);
        stream.ReadAt(chunkpos, std::span(w, kWindow));
      }
    } while (chunkpos + 8 < size && !(hi.FormatReadOk && hi.Wave.datapos > 0));

    if (hi.FormatReadOk && f.nAvgBytesPerSec != 0) {
      hi.TimeSec = static_cast<double>(static_cast<std::int64_t>(size) - hi.Wave.datapos) /
                   f.nAvgBytesPerSec;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
