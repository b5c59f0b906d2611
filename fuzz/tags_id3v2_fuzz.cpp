// ID3v2: the frame walk on arbitrary bodies of every version, and the whole reader on the input
// taken as a file.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tags/tag_advanced_id3_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t version = data[0] % 6;
  const bool binary = (data[1] & 1) != 0;
  const std::span<const std::uint8_t> body(data + 2, size - 2);
  RAdvancedTags tags;
  ParseID3v2Frames(body, version, static_cast<std::int32_t>(body.size() + 10), binary, tags);

  static TAdvancedDatahandler handler;
  handler.Clear();
  TAdvancedID3 reader(&handler);
  TTagMemorySource file({data, size});
  reader.loadfromsource_id3v2(file, "fuzz.mp3", tt_id3v2, binary);
  return 0;
}
