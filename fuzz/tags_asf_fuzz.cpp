// ASF header objects: content description, extended content, header extension with metadata
// and metadata library.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tags/wmvcore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<RWMAttribute> attributes;
  std::string error;
  ParseAsfHeader(std::span<const std::uint8_t>(data, size), attributes, error);
  return 0;
}
