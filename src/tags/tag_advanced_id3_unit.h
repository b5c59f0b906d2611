#pragma once
// ID3v2 reader of TAdvancedTag: the tag at the start of MP3, MP2 and AAC/M4A files.
//
// A tolerant reader: frame layouts of versions 2, 3 and 4, unknown frames skipped, padding or
// garbage ends the walk quietly. Unsynchronisation is not undone and an extended header is not
// skipped; in version 4 frame sizes are read as plain big-endian numbers (as common writers of
// the time did). Works on the shared data handler, which it does not own; one thread at a time.

#include <cstdint>
#include <span>
#include <string>

#include "tags/tag_advanced_datahandler_unit.h"

// Walks the frames of a tag body (the bytes after the 10-byte tag header, at most `tagsize` − 10
// of them) and adds what it finds to `tags`. `version` is the major version from the header.
// Never reads outside `body`: bytes past its end count as zero.
void ParseID3v2Frames(std::span<const std::uint8_t> body, std::uint8_t version,
                      std::int32_t tagsize, bool readbinaryobjects, RAdvancedTags& tags);

class TAdvancedID3 {
 public:
  explicit TAdvancedID3(TAdvancedDatahandler* dataHandler) : fDataHandler(dataHandler) {}

  // Reads the tag of `filename` into the data handler (which the caller has cleaned up).
  // False with an error text for files of at most 512 bytes, a size field below 1, and files
  // shorter than the tag claims. A tag larger than the work buffer is cut: true, with an error
  // text saying so.
  bool loadfromfile_id3v2(const std::string& filename, RTagtyp tagtyp_, bool readbinaryobjects);
  bool loadfromsource_id3v2(TTagSource& source, const std::string& filename, RTagtyp tagtyp_,
                            bool readbinaryobjects);

 private:
  TAdvancedDatahandler* fDataHandler;
};
