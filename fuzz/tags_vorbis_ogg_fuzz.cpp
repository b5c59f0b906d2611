// Vorbis comments: locating the comment header in an Ogg file and parsing it.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tags/tag_advanced_vorbis_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const RVorbisBlock block = FindOggVorbisComments(bytes);
  RAdvancedTags tags;
  std::int32_t tagsize = 0;
  ParseVorbisComments(bytes, block, tags, tagsize);
  // The comment block parser on its own, at offset 0 with every length.
  RVorbisBlock raw{true, true, 0, size};
  ParseVorbisComments(bytes, raw, tags, tagsize);
  return 0;
}
