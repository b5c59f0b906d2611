// One cache record and one 7-bit series: the decoders must stay inside the bytes they are given
// and hand out only 7-bit values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "afp/afpcachebin_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  std::vector<std::uint8_t> values;
  if (TBitStream7::DecodeInto(bytes, values)) {
    for (std::uint8_t v : values)
      if (v > 127) std::abort();
  }
  std::string fguid;
  char16_t rev = 0;
  RAFP afp;
  try {
    const bool valid = TAfpCacheBin::DecodeCacheRecord(bytes, fguid, rev, afp);
    if (valid && (afp.p1.empty() || afp.p2.empty())) std::abort();
    // A valid record written again decodes to the same series.
    if (valid && fguid.size() <= TAfpCacheBin::kFguidLen) {
      std::vector<std::uint8_t> again;
      AppendAfpCacheRecord(fguid, rev, afp, again);
      RAFP back;
      std::string id;
      char16_t rev2 = 0;
      if (!TAfpCacheBin::DecodeCacheRecord(again, id, rev2, back) || back.p1 != afp.p1 ||
          back.p2 != afp.p2 || back.typ != afp.typ)
        std::abort();
    }
  } catch (const EAfpCacheError&) {
  }
  return 0;
}
