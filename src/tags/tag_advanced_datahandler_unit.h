#pragma once
// State shared by the format handlers of one TAdvancedTag: the tag values, the status of the
// last operation and the work buffer the readers load tag data into.
//
// The work buffer has a fixed size (5 MiB + 1 byte) that several read limits are derived from.
// Owned by TAdvancedTag; the format handlers hold a plain pointer to it. One thread at a time.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "tags/tag_definitions_unit.h"

inline constexpr std::size_t TagBufferSize = 0x500001;  // 5,242,881 bytes
// Largest amount of tag data a reader loads: the buffer minus 1,024 bytes.
inline constexpr std::size_t TagBufferReadLimit = TagBufferSize - 1024;  // 5,241,857

class TAdvancedDatahandler {
 public:
  TAdvancedDatahandler();
  TAdvancedDatahandler(const TAdvancedDatahandler&) = delete;
  TAdvancedDatahandler& operator=(const TAdvancedDatahandler&) = delete;

  // Empty error text, type tt_unsupported, version and size 0, not present.
  void ClearStatus();
  // The start of every format reader: empty error text, type `typ`, version and size 0, not
  // present. The tag values stay (the facade cleaned them up before).
  void BeginLoad(RTagtyp typ) {
    ClearStatus();
    ftagtyp = typ;
  }
  // ClearStatus, empty texts, rating and position 0, and a work buffer of zeros. Only the part
  // of the buffer the loads since the last cleanup handed out is cleared: the rest is still zero.
  void Clear();

  // Reads `count` bytes (at most TagBufferSize) from `source` at `offset` into the start of the
  // work buffer and returns them. Raises ETagError when the source has fewer bytes there.
  // Parsers must look at the returned span only, never at the buffer beyond it.
  std::span<const std::uint8_t> LoadBuffer(TTagSource& source, std::uint64_t offset,
                                           std::size_t count);

  // How many bytes at the start of the work buffer may be non-zero.
  std::size_t BufferUsed() const { return fBufUsed; }
  // The whole work buffer, for checks of the cleanup.
  std::span<const std::uint8_t> bufRW() const { return {fBufRW.get(), TagBufferSize}; }

  std::string fError;
  RTagtyp ftagtyp = tt_unsupported;
  std::uint8_t ftagvers = 0;
  std::int32_t ftagsize = 0;
  bool ftagpresent = false;
  RAdvancedTags fTags;

 private:
  std::unique_ptr<std::uint8_t[]> fBufRW;
  std::size_t fBufUsed = 0;
};
