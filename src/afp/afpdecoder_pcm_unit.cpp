#include "afp/afpdecoder_pcm_unit.h"

#include <algorithm>

void CheckFeedFormat(const RWaveFormatEx& format) {
  if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) throw EAFPError("unknown bitspersample");
  if (format.nChannels == 0) throw EAFPError("unknown nchannels");
}

void FeedPcmChunk(std::span<const std::uint8_t> chunk, const RWaveFormatEx& format,
                  const PcbSampleprocessing& cb) {
  const std::size_t len = chunk.size();
  if (len == 0) return;
  const std::size_t bytes = format.wBitsPerSample / 8u;
  const std::size_t step = bytes * format.nChannels;
  const auto rate = static_cast<std::int32_t>(format.nSamplesPerSec & 0x7FFFFFFFu);
  // A chunk shorter than one sample plus one byte has no limit to walk to: only its first frame.
  const std::size_t limit = len > bytes + 1 ? len - bytes - 1 : 0;
  if (bytes == 1) {
    cb(static_cast<std::int16_t>(chunk[0]), rate);
    for (std::size_t off = step; off < limit; off += step) cb(static_cast<std::int16_t>(chunk[off]), rate);
  } else {
    const std::uint8_t second = len > 1 ? chunk[1] : 0;
    cb(static_cast<std::int16_t>(chunk[0] | (second << 8)), rate);
    for (std::size_t off = step; off < limit; off += step) {
      cb(static_cast<std::int16_t>(chunk[off] | (chunk[off + 1] << 8)), rate);
    }
  }
}

bool TAFPDecoder_pcm::pcmdodecode(const std::string& filename, const RHeaderinf& hi,
                                  const PcbSampleprocessing& sampleprocessing, std::string& lasterror) {
  lasterror.clear();
  const RWaveFormatEx& format = hi.Wave.WaveFormatEx;
  // A format the walk cannot take fails every chunk the same way: say so once, up front.
  CheckFeedFormat(format);
  auto source = OpenMediaFile(filename);
  if (FpcmBuffer.size() != AFPPcmChunkSize) FpcmBuffer.assign(AFPPcmChunkSize, 0);
  std::uint64_t offset = 0;
  const std::uint64_t size = source->Size();
  int failures = 0;
  while (offset < size) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(AFPPcmChunkSize, size - offset));
    const std::size_t got = source->ReadAt(offset, std::span(FpcmBuffer.data(), want));
    if (got == 0) break;  // the file shrank while we read it
    try {
      FeedPcmChunk(std::span(FpcmBuffer.data(), got), format, sampleprocessing);
    } catch (const std::exception& e) {
      if (++failures >= 4) {
        lasterror = std::string("pcm read error ") + e.what();
        return false;
      }
    }
    offset += got;
  }
  return true;
}
