// ID3v1 block parser on arbitrary 128-byte blocks.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tags/tag_simple_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < ID3v1BlockSize) return 0;
  RSimpleTags tags;
  ParseID3v1Block(std::span<const std::uint8_t, ID3v1BlockSize>(data, ID3v1BlockSize), tags);
  return 0;
}
