// WAV INFO: the RIFF chunk walk over the input as a file, and the INFO list parser on its own.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tags/tag_advanced_wav_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RAdvancedTags tags;
  ParseWavInfoList(std::span<const std::uint8_t>(data, size), tags);

  static TAdvancedDatahandler handler;
  handler.Clear();
  TAdvancedWav reader(&handler);
  TTagMemorySource file({data, size});
  reader.loadfromsource_wav(file, tt_wav);
  return 0;
}
