#pragma once
// WAV INFO reader of TAdvancedTag: the LIST/INFO chunk of a RIFF WAVE file.
//
// Chunks are walked by their sizes, skipping the RIFF pad byte after odd sizes; a sub-chunk's
// text is its size minus one bytes (the terminating zero dropped), as the writers of old did.
// A list chunk larger than the work buffer or the rest of the file is cut to what is there.
// Works on the shared data handler, which it does not own; one thread at a time.

#include <cstdint>
#include <span>
#include <string>

#include "tags/tag_advanced_datahandler_unit.h"

// Parses the data of a list chunk (list type first). Returns false, touching nothing, when the
// list type is not "INFO".
bool ParseWavInfoList(std::span<const std::uint8_t> list, RAdvancedTags& tags);

class TAdvancedWav {
 public:
  explicit TAdvancedWav(TAdvancedDatahandler* dataHandler) : fDataHandler(dataHandler) {}

  // False (error text empty) for files below 512 bytes, a chunk size below 1 and read errors;
  // true otherwise, TagPresent telling whether a LIST/INFO chunk was read.
  bool loadfromfile_wav(const std::string& filename, RTagtyp tagtyp_);
  bool loadfromsource_wav(TTagSource& source, RTagtyp tagtyp_);

 private:
  TAdvancedDatahandler* fDataHandler;
};
