#pragma once
// Status shared by the simple (ID3v1) tag reader: the last error text and what the last load
// found. A plain value holder; one thread at a time.

#include <cstdint>
#include <string>

#include "tags/tag_definitions_unit.h"

class TSimpleBaseTag {
 public:
  TSimpleBaseTag() { ClearStatus(); }
  virtual ~TSimpleBaseTag() = default;

  const std::string& error() const { return fError; }
  RTagtyp tagTyp() const { return ftagtyp; }
  std::uint8_t tagVers() const { return ftagvers; }
  std::int32_t tagSize() const { return ftagsize; }
  bool tagPresent() const { return ftagpresent; }

 protected:
  // Empty error text, type tt_unsupported, version and size 0, not present.
  void ClearStatus() {
    fError.clear();
    ftagtyp = tt_unsupported;
    ftagvers = 0;
    ftagsize = 0;
    ftagpresent = false;
  }

  std::string fError;
  RTagtyp ftagtyp = tt_unsupported;
  std::uint8_t ftagvers = 0;
  std::int32_t ftagsize = 0;
  bool ftagpresent = false;
};
