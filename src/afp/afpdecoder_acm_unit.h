#pragma once
// The built-in codec decoder: MP3 through libmpg123 and WAV content other than integer PCM
// (ADPCM, IEEE float, A-law, mu-law, extensible formats) through libsndfile, both delivered as
// 16-bit PCM through the same frame walk as the PCM reader (FeedPcmChunk).
//
// MP3 is decoded continuously from the first frame to the last and only the left channel is
// synthesised (the fingerprint uses the first channel alone). One object serves one call at a
// time; its output buffer is reused.

#include <string>
#include <vector>

#include "afp/afpdecoder_pcm_unit.h"
#include "afp/mediainfo_unit.h"

class TAFPDecoder_acm {
 public:
  // Decoded bytes collected before they are walked (the size of the walk's chunks). The codec
  // libraries' output is not the old codec's byte for byte anyway; 1 MiB keeps the buffer in
  // the cache, and the walk's chunk-end rule drops one sample per 1 MiB of mono output.
  static constexpr std::size_t Foutputbuffersize = 1048576;

  TAFPDecoder_acm() = default;
  TAFPDecoder_acm(const TAFPDecoder_acm&) = delete;
  TAFPDecoder_acm& operator=(const TAFPDecoder_acm&) = delete;

  // Files of the MP3 and WAV lists only; any other extension raises "acm decode init error", a
  // file the codec library cannot open raises "acmStreamOpen:" plus its reason. Decoding errors
  // count per chunk: the fourth sets lasterror to "acmdecode error ..." and gives false. `hi` is
  // not needed: the libraries read the format themselves.
  bool acmdodecode(const std::string& filename, const RHeaderinf& hi,
                   const PcbSampleprocessing& sampleprocessing, std::string& lasterror);

 private:
  bool DecodeMpeg(const std::string& filename, const PcbSampleprocessing& cb,
                  std::string& lasterror);
  bool DecodeWave(const std::string& filename, const PcbSampleprocessing& cb,
                  std::string& lasterror);

  std::vector<std::uint8_t> FBufferOut;  // allocated on first use, then reused
};
