#include "afp/mediainfo_mp3_unit.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "afp/filetype_unit.h"
#include "tags/tag_toolbox_unit.h"

namespace {

// kbit/s by bitrate index 0..14: MPEG-1 layers 1..3, then MPEG-2/2.5 layer 1 and layers 2/3.
constexpr std::int32_t kRatesV1[3][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
constexpr std::int32_t kRatesV2L1[15] = {0,   32,  48,  56,  64,  80,  96, 112,
                                         128, 144, 160, 176, 192, 224, 256};
constexpr std::int32_t kRatesV2L23[15] = {0,  8,  16, 24,  32,  40,  48, 56,
                                          64, 80, 96, 112, 128, 144, 160};

constexpr std::size_t kFirstChunk = 10240;
constexpr std::size_t kNextChunk = 102400;
// A frame header may straddle the chunk end: its missing bytes are read along with the chunk.
constexpr std::size_t kOverlap = 3;

}  // namespace

bool TMediaInfoMP3::ParseMpegHeader(const RFrameHeaderBuf& b, RHeaderInfMpeg& m) {
  const std::uint32_t h =
      (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
  if (h == 0 || (h >> 21) != 0x7FF) return false;
  switch ((h >> 19) & 3) {
    case 0:
      m.vers = "2.5";
      break;
    case 2:
      m.vers = "2";
      break;
    case 3:
      m.vers = "1";
      break;
    default:
      return false;
  }
  switch ((h >> 17) & 3) {
    case 1:
      m.layer = 3;
      break;
    case 2:
      m.layer = 2;
      break;
    case 3:
      m.layer = 1;
      break;
    default:
      return false;
  }
  m.prot = ((h >> 16) & 1) == 0;
  const unsigned rate_index = (h >> 12) & 15;
  if (rate_index == 15) return false;
  if (m.vers == "1") {
    m.bitrate = kRatesV1[m.layer - 1][rate_index];
  } else {
    m.bitrate = m.layer == 1 ? kRatesV2L1[rate_index] : kRatesV2L23[rate_index];
  }
  const unsigned freq_index = (h >> 10) & 3;
  if (freq_index == 3) return false;
  static constexpr std::int32_t kFreq[3][3] = {
      {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
  m.samplingrate = kFreq[m.vers == "1" ? 0 : (m.vers == "2" ? 1 : 2)][freq_index];
  m.padding = ((h >> 9) & 1) != 0;
  m.privatebit = ((h >> 8) & 1) != 0;
  static constexpr const char* kModes[4] = {"Stereo", "Joint stereo", "Dual channel",
                                            "Single channel"};
  const unsigned mode = (h >> 6) & 3;
  m.channelmode = kModes[mode];
  m.channels = mode == 3 ? 1 : 2;
  static constexpr const char* kExtBands[4] = {"bands 4 - 31", "bands 8 - 31", "bands 12 - 31",
                                               "bands 16 - 31"};
  static constexpr const char* kExtL3[4] = {"-", "Intensity stereo", "MS stereo",
                                            "MS+Intensity stereo"};
  m.modeextension = m.layer == 3 ? kExtL3[(h >> 4) & 3] : kExtBands[(h >> 4) & 3];
  m.copyright = ((h >> 3) & 1) != 0;
  m.original = ((h >> 2) & 1) != 0;
  static constexpr const char* kEmphasis[4] = {"-", "50/12 ms", "reversed", "CCIT J.17"};
  m.emphasis = kEmphasis[h & 3];
  if (m.bitrate > 0 && m.samplingrate > 0) {
    const std::int32_t pad = m.padding ? 1 : 0;
    if (m.layer == 1) {
      m.framegr = static_cast<std::int32_t>(m.bitrate * 12000 / m.samplingrate + pad) * 4;
    } else {
      // Layer 3 of MPEG-2 and 2.5 carries 576 samples per frame, half of MPEG-1's 1152: its frames
      // are half as long for the same bitrate. Stepping by the MPEG-1 length would land inside
      // the next frame and lose every other one.
      const std::int32_t factor = (m.layer == 3 && m.vers != "1") ? 72000 : 144000;
      m.framegr = static_cast<std::int32_t>(
          static_cast<std::int64_t>(m.bitrate) * factor / m.samplingrate + pad);
    }
    m.framezeit = static_cast<double>(m.framegr) / (m.bitrate * 1000.0) * 8;
  }
  return true;
}

bool TMediaInfoMP3::ReadFrameHeaderMP3(const std::string& Filename, bool doalwaysframescan,
                                       bool donotframescan, const PcbStatus& cb_status,
                                       RHeaderinf& Headerinf) {
  Headerinf.Format = HIF_MPEG;
  Headerinf.FormatReadOk = false;
  Headerinf.TimeSec = 0;
  Headerinf.isScan = false;
  Headerinf.isVBR = false;
  if (!IsFileType(Filename, ExtMP3)) return true;
  if (Filename.empty()) return false;
  try {
    auto source = OpenMediaFile(Filename);
    return ScanMP3(*source, doalwaysframescan, donotframescan, cb_status, Headerinf);
  } catch (const std::exception&) {
    return false;
  }
}

bool TMediaInfoMP3::ScanMP3(TMediaSource& source, bool doalwaysframescan, bool donotframescan,
                            const PcbStatus& cb_status, RHeaderinf& hi) {
  hi.Format = HIF_MPEG;
  hi.FormatReadOk = false;
  hi.TimeSec = 0;
  hi.isScan = false;
  hi.isVBR = false;
  try {
    RHeaderInfMpeg& m = hi.Mpeg;
    const std::int64_t filesize = static_cast<std::int64_t>(source.Size());
    std::uint8_t head[100] = {};
    source.ReadAt(0, head);
    std::int64_t start = 0;
    if (head[0] == 'I' && head[1] == 'D' && head[2] == '3') {
      start = std::int64_t{ReadSyncsafe(head[6], head[7], head[8], head[9])} + 10;
    } else if (head[0] == 'R' && head[1] == 'I' && head[2] == 'F' && head[3] == 'F') {
      start = 44;
    }

    std::vector<std::uint8_t> chunk(kNextChunk + kOverlap);
    std::int64_t chunkstart = start;
    std::int64_t chunklen = 0;
    auto read_chunk = [&](std::size_t size) {
      std::fill(chunk.begin(), chunk.end(), 0);
      const std::int64_t left = std::max<std::int64_t>(0, filesize - chunkstart);
      const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(size, left));
      const std::size_t got =
          source.ReadAt(static_cast<std::uint64_t>(chunkstart),
                        std::span(chunk.data(), want == 0 ? 0 : want + kOverlap));
      chunklen = static_cast<std::int64_t>(std::min(got, want));
    };
    read_chunk(kFirstChunk);

    std::int64_t pos = 0, frames = 0, misses = 0, bitratesum = 0;
    std::int32_t changes = 0, lastbitrate = 0, lastreported = 0;
    int resyncwindow = 0;
    double totaltime = 0;
    for (;;) {
      while (chunklen > 0 && pos >= chunklen) {
        chunkstart += chunklen;
        pos -= chunklen;
        read_chunk(kNextChunk);
        const auto p = static_cast<std::int32_t>(
            std::nearbyint(static_cast<double>(chunkstart) / static_cast<double>(filesize) * 100));
        if (p >= lastreported + 5) {
          if (cb_status) cb_status("Framescan: " + std::to_string(lastreported) + "%");
          lastreported = p;
        }
      }
      if (chunklen == 0) break;

      const auto at = static_cast<std::size_t>(pos);
      RFrameHeaderBuf b{chunk[at], chunk[at + 1], chunk[at + 2], chunk[at + 3]};
      bool found = ParseMpegHeader(b, m);
      if (!found && resyncwindow > 0) {
        // The previous frame's length led nowhere: look a few bytes back for a sync.
        for (std::int64_t l = 0; l <= resyncwindow && pos - l >= 3; ++l) {
          const auto q = static_cast<std::size_t>(pos - l - 3);
          if (chunk[q] == 0xFF && (chunk[q + 1] & 0xE0) == 0xE0) {
            const RFrameHeaderBuf c{chunk[q], chunk[q + 1], chunk[q + 2], chunk[q + 3]};
            if (ParseMpegHeader(c, m)) {
              b = c;
              found = true;
              break;
            }
          }
        }
      }
      if (found) {
        if (m.bitrate < 1) {
          changes = 9999;
        } else if (lastbitrate > 0 && m.bitrate != lastbitrate && changes < 9999) {
          ++changes;
        }
        if (m.bitrate <= LowBitrateLimit) changes = 9999;
        lastbitrate = m.bitrate;
        totaltime += m.framezeit;
        bitratesum += m.bitrate;
        m.headerbuflastread = b;
        if (frames == 0) {
          m.headerposfirst = chunkstart + pos - 3;
          m.headerbuffirst = b;
        }
        ++frames;
        resyncwindow = 5;
        pos += m.framegr < 1 ? 1 : m.framegr;
      } else {
        ++misses;
        resyncwindow = 0;
        ++pos;
      }
      if (!doalwaysframescan) {
        if (frames >= MinScanFrames && changes < VbrChangeLimit) break;
        if (donotframescan && frames >= MinScanFrames) break;
      }
      if (chunkstart + m.headerposfirst > MissCheckOffset && misses > 300 * frames) break;
      if (chunkstart + pos >= filesize) break;
    }

    if (frames > 0) ParseMpegHeader(m.headerbuflastread, m);
    m.headerreadcount = frames;
    hi.isVBR = changes >= VbrChangeLimit;
    hi.isScan = doalwaysframescan;
    if (hi.isVBR || hi.isScan) {
      hi.TimeSec = totaltime;
      m.bitrate = static_cast<std::int32_t>(std::nearbyint(
          static_cast<double>(bitratesum) / static_cast<double>(frames > 0 ? frames : 1)));
      m.framegr = -1;
      m.framezeit = -1;
    } else if (filesize >= 1 && frames > 0 && m.bitrate >= 1) {
      // headerposfirst is -3 for a frame at byte 0; the audio still starts at 0 there.
      const std::int64_t audio = filesize - std::max<std::int64_t>(m.headerposfirst, 0);
      hi.TimeSec = std::nearbyint(static_cast<double>(audio) / m.bitrate * 8 / 1000);
    }
    hi.FormatReadOk = frames > 0;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
