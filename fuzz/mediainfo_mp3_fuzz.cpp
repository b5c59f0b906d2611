// MPEG frame scan on arbitrary bytes; the first byte picks the scan flags.
#include <cstddef>
#include <cstdint>

#include "afp/mediainfo_mp3_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  TMediaMemorySource source(std::span(data + 1, size - 1));
  RHeaderinf hi;
  int reports = 0;
  TMediaInfoMP3::ScanMP3(
      source, (flags & 1) != 0, (flags & 2) != 0, [&reports](const std::string&) { ++reports; },
      hi);
  return 0;
}
