// Vorbis comments: the FLAC metadata block walk and the comment block it finds.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tags/tag_advanced_vorbis_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const RVorbisBlock block = FindFlacComments(bytes);
  RAdvancedTags tags;
  std::int32_t tagsize = 0;
  ParseVorbisComments(bytes, block, tags, tagsize);
  return 0;
}
