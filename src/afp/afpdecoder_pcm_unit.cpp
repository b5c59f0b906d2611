#include "afp/afpdecoder_pcm_unit.h"

#include <algorithm>
#include <bit>
#include <cstring>

void CheckFeedFormat(const RWaveFormatEx& format) {
  if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16)
    throw EAFPError("unknown bitspersample");
  if (format.nChannels == 0) throw EAFPError("unknown nchannels");
}

void FeedPcmChunk(std::span<const std::uint8_t> chunk, const RWaveFormatEx& format,
                  const PcbSampleprocessing& cb) {
  FeedPcmPiece(chunk, 0, chunk.size(), format, cb);
}

void FeedPcmPiece(std::span<const std::uint8_t> piece, std::size_t piece_offset,
                  std::size_t chunk_len, const RWaveFormatEx& format,
                  const PcbSampleprocessing& cb) {
  if (piece.empty()) return;
  const std::size_t bytes = format.wBitsPerSample / 8u;
  const std::size_t step = bytes * format.nChannels;
  const auto rate = static_cast<std::int32_t>(format.nSamplesPerSec & 0x7FFFFFFFu);
  // The walk goes on while the next offset is below chunk length - bytes - 1; the first frame is
  // always fed. A chunk shorter than one sample plus one byte has only that first frame.
  const std::size_t limit = chunk_len > bytes + 1 ? chunk_len - bytes - 1 : 0;
  // Frames at offsets below `upper` are fed; the chunk's first frame in any case.
  const std::size_t end = piece_offset + piece.size();
  const std::size_t upper = std::max<std::size_t>(std::min(end, limit), piece_offset == 0 ? 1 : 0);
  if (piece_offset >= upper) return;
  const std::size_t frames = (upper - piece_offset + step - 1) / step;
  std::int16_t run[4096];
  if (bytes == 2 && step == 2 && std::endian::native == std::endian::little) {
    // Mono 16-bit (the codec decoder's output): the bytes already are the samples.
    const std::size_t whole = std::min(frames, piece.size() / 2);
    for (std::size_t done = 0; done < whole;) {
      const std::size_t n = std::min(whole - done, std::size(run));
      std::memcpy(run, piece.data() + 2 * done, 2 * n);
      cb.Samples(run, n, rate);
      done += n;
    }
    if (whole == frames) return;
    // Only a one-byte chunk leaves a frame without its second byte (read as zero).
    run[0] = static_cast<std::int16_t>(piece[2 * whole]);
    cb.Samples(run, 1, rate);
    return;
  }
  std::size_t count = 0;
  for (std::size_t j = 0, at = 0; j < frames; ++j, at += step) {
    if (bytes == 1) {
      run[count++] = static_cast<std::int16_t>(piece[at]);
    } else {
      // Past the end of a tiny chunk the missing byte reads as zero.
      const std::uint8_t high = at + 1 < piece.size() ? piece[at + 1] : 0;
      run[count++] = static_cast<std::int16_t>(piece[at] | (high << 8));
    }
    if (count == std::size(run)) {
      cb.Samples(run, count, rate);
      count = 0;
    }
  }
  if (count > 0) cb.Samples(run, count, rate);
}

bool TAFPDecoder_pcm::pcmdodecode(const std::string& filename, const RHeaderinf& hi,
                                  const PcbSampleprocessing& sampleprocessing,
                                  std::string& lasterror) {
  lasterror.clear();
  const RWaveFormatEx& format = hi.Wave.WaveFormatEx;
  // A format the walk cannot take fails every chunk the same way: say so once, up front.
  CheckFeedFormat(format);
  auto source = OpenMediaFile(filename);
  const std::size_t step = (format.wBitsPerSample / 8u) * format.nChannels;
  const std::size_t piece_size = step * std::max<std::size_t>(1, (std::size_t{1} << 20) / step);
  if (FpcmBuffer.size() != piece_size) FpcmBuffer.assign(piece_size, 0);
  std::uint64_t offset = 0;
  const std::uint64_t size = source->Size();
  int failures = 0;
  while (offset < size) {
    const auto chunk_len =
        static_cast<std::size_t>(std::min<std::uint64_t>(AFPPcmChunkSize, size - offset));
    std::size_t done = 0;
    try {
      while (done < chunk_len) {
        const std::size_t want = std::min(piece_size, chunk_len - done);
        const std::size_t got = source->ReadAt(offset + done, std::span(FpcmBuffer.data(), want));
        if (got == 0) break;  // the file shrank while we read it
        // A short read ends the chunk there, as if the file had ended.
        const std::size_t len = got < want ? done + got : chunk_len;
        FeedPcmPiece(std::span(FpcmBuffer.data(), got), done, len, format, sampleprocessing);
        done += got;
        if (got < want) break;
      }
    } catch (const EAFPError&) {
      throw;  // the file itself failed: no later chunk can be read either
    } catch (const std::exception& e) {
      if (++failures >= 4) {
        lasterror = std::string("pcm read error ") + e.what();
        return false;
      }
    }
    if (done < chunk_len) break;
    offset += chunk_len;
  }
  return true;
}
