// MIDI: the chunk and leading meta event scan.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tags/tag_advanced_midi_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RAdvancedTags tags;
  ParseMidiText(std::span<const std::uint8_t>(data, size), tags);
  return 0;
}
