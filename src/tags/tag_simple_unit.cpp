#include "tags/tag_simple_unit.h"

#include <array>

#include "afp/filetype_unit.h"
#include "tags/unicode_util_unit.h"

bool ParseID3v1Block(std::span<const std::uint8_t, ID3v1BlockSize> block, RSimpleTags& tags) {
  if (block[0] != 'T' || block[1] != 'A' || block[2] != 'G') return false;
  const auto text = [&](std::size_t offset, std::size_t length) {
    return TrimTag(BufToString(block, static_cast<std::int64_t>(offset),
                               static_cast<std::int64_t>(length), CP_DETECT));
  };
  tags.Title = text(3, 30);
  tags.Artist = text(33, 30);
  tags.Album = text(63, 30);
  tags.Year = text(93, 4);
  // ID3v1.1: bytes 125 and 126 belong to the track number, never to the comment.
  tags.comment = text(97, 28);
  tags.Track = std::to_string(block[126]);
  tags.genre = std::string(ID3v1GenreName(block[127]));
  return true;
}

void TSimpleTag::cleanup() {
  ClearStatus();
  fTags = RSimpleTags{};
}

bool TSimpleTag::tagsupport(const std::string& filename) {
  return IsFileType(filename, ExtMP3) || IsFileType(filename, ExtMP2) ||
         IsFileType(filename, ExtAIFF) || IsFileType(filename, ExtAAC);
}

bool TSimpleTag::loadfromfile(const std::string& filename) {
  fError.clear();
  cleanup();
  if (!TagFileExists(filename)) {
    fError = filename + " Datei nicht gefunden";
    return false;
  }
  if (!tagsupport(filename)) return true;
  ftagtyp = tt_id3v1;
  ftagvers = 1;
  ftagsize = static_cast<std::int32_t>(ID3v1BlockSize);
  ftagpresent = false;
  try {
    const auto file = OpenTagFile(filename);
    const std::uint64_t size = file->Size();
    if (size <= 200) throw ETagError(filename + " <= 200 Bytes!");
    std::array<std::uint8_t, ID3v1BlockSize> block{};
    file->ReadAt(size - ID3v1BlockSize, block);
    ftagpresent = ParseID3v1Block(block, fTags);
    return true;
  } catch (const ETagError& e) {
    fError = std::string(e.what()) + " (loadfromfileid3v1)";
    return false;
  }
}
