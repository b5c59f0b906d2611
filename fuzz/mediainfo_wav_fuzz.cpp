// WAV chunk walk on arbitrary bytes, then (for a PCM header) the frame walk that feeds the
// fingerprint generator, as the external decoder's output takes it.
#include <cstddef>
#include <cstdint>

#include "afp/afpdecode_unit.h"
#include "afp/afpdecoder_ext_unit.h"
#include "afp/mediainfo_wav_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span bytes(data, size);
  TMediaMemorySource source(bytes);
  RHeaderinf hi;
  if (!TMediaInfoWAV::ReadFrameHeaderWAV(source, hi) || !hi.IsPcmWav()) return 0;
  static TAFPDecoder gen;
  gen.ResetDecoderData(true);
  auto process = [](std::int16_t sample, std::int32_t rate) { gen.ProcessSample(sample, rate); };
  std::string error;
  try {
    TAFPDecoder_ext::FeedPcmStream(bytes, hi.Wave.WaveFormatEx, PcbSampleprocessing(process),
                                   error);
  } catch (const EAFPError&) {
    return 0;  // format the walk refuses: reported, never fed
  }
  gen.FinishDecoderData();
  return 0;
}
