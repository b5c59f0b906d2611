#include "tags/tag_advanced_datahandler_unit.h"

#include <algorithm>
#include <cstring>

TAdvancedDatahandler::TAdvancedDatahandler()
    : fBufRW(std::make_unique<std::uint8_t[]>(TagBufferSize)) {  // value-initialised: zeros
  ClearStatus();
}

void TAdvancedDatahandler::ClearStatus() {
  fError.clear();
  ftagtyp = tt_unsupported;
  ftagvers = 0;
  ftagsize = 0;
  ftagpresent = false;
}

void TAdvancedDatahandler::Clear() {
  ClearStatus();
  fTags = RAdvancedTags{};
  // Everything past fBufUsed has never been written since the last clear, so zeroing the used
  // prefix gives the same all-zero buffer as clearing 5 MiB on every load.
  std::memset(fBufRW.get(), 0, fBufUsed);
  fBufUsed = 0;
}

std::span<const std::uint8_t> TAdvancedDatahandler::LoadBuffer(TTagSource& source,
                                                               std::uint64_t offset,
                                                               std::size_t count) {
  if (count > TagBufferSize) throw ETagError("work buffer too small");
  const std::span<std::uint8_t> dst(fBufRW.get(), count);
  // Mark the range first: a read that fails halfway may already have written into it.
  fBufUsed = std::max(fBufUsed, count);
  source.ReadAt(offset, dst);
  return dst;
}
