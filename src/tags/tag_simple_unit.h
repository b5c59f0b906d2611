#pragma once
// The ID3v1 reader: the fixed 128-byte block at the very end of MP3 and similar files. It only
// ever reads those 128 bytes, so a file of any size costs one small read.
//
// Independent of TAdvancedTag; one object per thread at a time, reusable for many files (each
// load starts from the cleared state).

#include <cstdint>
#include <span>
#include <string>

#include "tags/tag_simple_base_unit.h"

inline constexpr std::size_t ID3v1BlockSize = 128;

// Parses one ID3v1.1 block (texts in the 8-bit code page unless a byte-order mark says
// otherwise; byte 126 the track, 127 the genre). Returns false, leaving `tags` alone, when the
// block does not start with "TAG".
bool ParseID3v1Block(std::span<const std::uint8_t, ID3v1BlockSize> block, RSimpleTags& tags);

class TSimpleTag : public TSimpleBaseTag {
 public:
  TSimpleTag() { cleanup(); }

  // Empties the error text, the seven texts and the status.
  void cleanup();
  // True for the extensions whose files carry ID3v1 blocks (MP3, MP2, AIFF, AAC).
  static bool tagsupport(const std::string& filename);
  // Reads the block of `filename`. False (with error()) for a missing file, a file of at most
  // 200 bytes or a read error; true otherwise, tagPresent() telling whether a block was there.
  bool loadfromfile(const std::string& filename);

  const RSimpleTags& supportedtags() const { return fTags; }
  void setSupportedtags(const RSimpleTags& tags) { fTags = tags; }
  const std::string& Track() const { return fTags.Track; }
  const std::string& Title() const { return fTags.Title; }
  const std::string& Artist() const { return fTags.Artist; }
  const std::string& Album() const { return fTags.Album; }
  const std::string& Year() const { return fTags.Year; }
  const std::string& genre() const { return fTags.genre; }
  const std::string& comment() const { return fTags.comment; }

 private:
  RSimpleTags fTags;
};
