#pragma once
// WAV header reader: the "fmt " chunk's format fields and the position of the data chunk's
// contents, by a walk over the RIFF chunks. Works on a file or on any TMediaSource (the external
// decoder's output held in memory). Stateless; see mediainfo_unit.h for the contract.

#include <string>

#include "afp/mediainfo_unit.h"

class TMediaInfoWAV {
 public:
  // Empty name: false. Extension not in the WAV list: true, nothing read. Otherwise the file is
  // read with the stream reader below.
  static bool ReadFrameHeaderWAV(const std::string& Filename, RHeaderinf& Headerinf);
  // Format HIF_WAV. Fewer than 100 bytes or a read error: false. Not "RIFF....WAVE": true with
  // FormatReadOk false. FormatReadOk turns true once a "fmt " chunk was read.
  static bool ReadFrameHeaderWAV(TMediaSource& FileStream, RHeaderinf& Headerinf);
};
