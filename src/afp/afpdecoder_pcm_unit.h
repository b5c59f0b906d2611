#pragma once
// The sample feeding shared by all decoders, and the PCM WAV reader.
//
// Decoders push the first channel's sample of every frame through PcbSampleprocessing and know
// nothing of fingerprints. FeedPcmChunk is the one frame walk they all use; its chunk-end rule
// (the walk stops before the last bytes of a chunk) is part of every stored fingerprint, so the
// chunk sizes of the readers below are fixed.
//
// One decoder object serves one call at a time (its buffer is reused); use one per thread.

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "afp/mediainfo_unit.h"

// A non-owning reference to a callable taking (sample, samplespersec): the code and the object
// it runs on. The callable must outlive every call. Decoders hand over runs of samples with
// Samples(); a callable with a member ProcessSamples(const std::int16_t*, std::size_t,
// std::int32_t) takes a run in one call, any other gets one call per sample.
class PcbSampleprocessing {
 public:
  PcbSampleprocessing() = default;
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, PcbSampleprocessing>)
      PcbSampleprocessing(F& f)  // NOLINT(google-explicit-constructor): a method pointer by design
      : fCode([](void* object, std::int16_t sample, std::int32_t samplespersec) {
          (*static_cast<F*>(object))(sample, samplespersec);
        }),
        fRun([](void* object, const std::int16_t* samples, std::size_t count,
                std::int32_t samplespersec) {
          F& f = *static_cast<F*>(object);
          if constexpr (requires { f.ProcessSamples(samples, count, samplespersec); }) {
            f.ProcessSamples(samples, count, samplespersec);
          } else {
            for (std::size_t i = 0; i < count; ++i) f(samples[i], samplespersec);
          }
        }),
        fObject(&f) {}
  void operator()(std::int16_t sample, std::int32_t samplespersec) const {
    fCode(fObject, sample, samplespersec);
  }
  void Samples(const std::int16_t* samples, std::size_t count, std::int32_t samplespersec) const {
    fRun(fObject, samples, count, samplespersec);
  }
  explicit operator bool() const { return fCode != nullptr; }

 private:
  void (*fCode)(void*, std::int16_t, std::int32_t) = nullptr;
  void (*fRun)(void*, const std::int16_t*, std::size_t, std::int32_t) = nullptr;
  void* fObject = nullptr;
};

// Chunk size of the PCM reader and of the external decoder's output walk.
inline constexpr std::size_t AFPPcmChunkSize = 10485760;

// Raises EAFPError("unknown bitspersample") unless the format has 8 or 16 bits per sample, and
// an error for a format without channels (whose frames would have no width).
void CheckFeedFormat(const RWaveFormatEx& format);

// Walks `chunk` frame by frame from offset 0 and calls `cb` with each frame's first sample (8 bit:
// unsigned 0..255; 16 bit: signed little-endian) and nSamplesPerSec. The first frame is always
// fed (bytes missing at the end of a tiny chunk read as zero); the walk goes on while the next
// offset is below chunk length - bytes per sample - 1. REQUIRES: CheckFeedFormat(format) passed.
void FeedPcmChunk(std::span<const std::uint8_t> chunk, const RWaveFormatEx& format,
                  const PcbSampleprocessing& cb);

// The same walk over part of a chunk of `chunk_len` bytes: `piece` holds the chunk's bytes from
// `piece_offset` on. Walking a chunk piece by piece feeds exactly what FeedPcmChunk feeds for the
// whole chunk. REQUIRES: piece_offset is a multiple of the frame size (bytes per sample times
// nChannels), and so is the size of every piece but the chunk's last.
void FeedPcmPiece(std::span<const std::uint8_t> piece, std::size_t piece_offset,
                  std::size_t chunk_len, const RWaveFormatEx& format,
                  const PcbSampleprocessing& cb);

class TAFPDecoder_pcm {
 public:
  TAFPDecoder_pcm() = default;
  TAFPDecoder_pcm(const TAFPDecoder_pcm&) = delete;
  TAFPDecoder_pcm& operator=(const TAFPDecoder_pcm&) = delete;

  // Feeds the whole file, header bytes included, in chunks of AFPPcmChunkSize with the format
  // of hi.Wave. False after the fourth chunk that failed (lasterror "pcm read error ..."). An
  // unusable format or a file that cannot be opened raises EAFPError.
  bool pcmdodecode(const std::string& filename, const RHeaderinf& hi,
                   const PcbSampleprocessing& sampleprocessing, std::string& lasterror);

 private:
  // A chunk is read in pieces of about 1 MiB (whole frames): the walk is the same as over the
  // whole chunk, and the reader touches 1 MiB of memory instead of 10.
  std::vector<std::uint8_t> FpcmBuffer;  // allocated on first use, then reused
};
