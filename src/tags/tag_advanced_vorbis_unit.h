#pragma once
// Vorbis comment reader of TAdvancedTag, for Ogg Vorbis and FLAC files.
//
// Reading is bounded: the first 100 KiB of an Ogg file (the comment header must lie in one piece
// there; Ogg pages are not followed), at most TagBufferReadLimit bytes of a FLAC file. Works on
// the shared data handler, which it does not own; one thread at a time.

#include <cstdint>
#include <span>
#include <string>

#include "tags/tag_advanced_datahandler_unit.h"

inline constexpr std::size_t VorbisOggReadLimit = 102'400;

// Result of locating the comment block in the first bytes of a file.
struct RVorbisBlock {
  bool present = false;       // the file carries a comment (or, in FLAC, a picture) block
  bool has_comments = false;  // [offset, offset + length) holds a comment block to parse
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Finds the comment header of an Ogg Vorbis stream in `data` (the first bytes of the file).
RVorbisBlock FindOggVorbisComments(std::span<const std::uint8_t> data);
// Walks the FLAC metadata blocks in `data` (the first bytes of the file).
RVorbisBlock FindFlacComments(std::span<const std::uint8_t> data);
// Parses the comment block at block.offset of `data` into `tags` and adds the bytes of every
// comment read to `tagsize`. Stops at a comment that runs past the end of `data`.
void ParseVorbisComments(std::span<const std::uint8_t> data, const RVorbisBlock& block,
                         RAdvancedTags& tags, std::int32_t& tagsize);

class TAdvancedVORBIS {
 public:
  explicit TAdvancedVORBIS(TAdvancedDatahandler* dataHandler) : fDataHandler(dataHandler) {}

  // `tagtyp_` selects the container: tt_flac for FLAC, anything else Ogg. False with an error
  // text for files of at most 512 bytes and read errors; true otherwise (TagPresent false when
  // the file is no Ogg Vorbis / FLAC file).
  bool loadfromfile_vorbis(const std::string& filename, RTagtyp tagtyp_);
  bool loadfromsource_vorbis(TTagSource& source, const std::string& filename, RTagtyp tagtyp_);

 private:
  TAdvancedDatahandler* fDataHandler;
};
