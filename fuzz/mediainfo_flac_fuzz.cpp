// FLAC STREAMINFO and metadata block walk on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "afp/mediainfo_flac_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TMediaMemorySource source(std::span(data, size));
  RHeaderinf hi;
  TMediaInfoFLAC::ReadFrameHeaderFLAC(source, hi);
  return 0;
}
