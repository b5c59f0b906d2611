#pragma once
// FLAC header reader: STREAMINFO and the position after the metadata blocks. Stateless; see
// mediainfo_unit.h for the contract.

#include <string>

#include "afp/mediainfo_unit.h"

class TMediaInfoFLAC {
 public:
  // Format HIF_FLAC. Extension not in the FLAC list: true without reading; empty name, a file
  // that cannot be opened or is shorter than 100 bytes: false.
  static bool ReadFrameHeaderFLAC(const std::string& Filename, RHeaderinf& Headerinf);
  // The same on bytes already open.
  static bool ReadFrameHeaderFLAC(TMediaSource& source, RHeaderinf& Headerinf);
};
