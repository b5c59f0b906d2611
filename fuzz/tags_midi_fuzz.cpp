// MIDI: the chunk and leading meta event scan.
#include "tags/tag_advanced_midi_unit.h"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RAdvancedTags tags;
  ParseMidiText(std::span<const std::uint8_t>(data, size), tags);
  return 0;
}
