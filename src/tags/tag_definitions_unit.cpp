#include "tags/tag_definitions_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "tags/unicode_util_unit.h"

const std::array<std::string_view, 149> ID3v1Genres = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
    "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
    "Industrial", "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno",
    "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental",
    "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "AlternRock", "Bass", "Soul", "Punk",
    "Space", "Meditative", "Instrumental Pop", "Instrumental Rock", "Ethnic", "Gothic", "Darkwave",
    "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance", "Dream", "Southern Rock", "Comedy",
    "Cult", "Gangsta", "Top 40", "Christian Rap", "Pop/Funk", "Jungle", "Native American",
    "Cabaret", "New Wave", "Psychadelic", "Rave", "Showtunes", "Trailer", "Lo-Fi", "Tribal",
    "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll", "Hard Rock",
    // 80..147: the widely used extension of the list
    "Folk", "Folk-Rock", "National Folk", "Swing", "Fast Fusion", "Bebob", "Latin", "Revival",
    "Celtic", "Bluegrass", "Avantgarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock",
    "Symphonic Rock", "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour",
    "Speech", "Chanson", "Opera", "Chamber Music", "Sonata", "Symphony", "Booty Brass", "Primus",
    "Porn Groove", "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad",
    "Power Ballad", "Rhytmic Soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A capella",
    "Euro-House", "Dance Hall", "Goa", "Drum & Bass", "Club-House", "Hardcore", "Terror", "Indie",
    "BritPop", "Negerpunk", "Polsk Punk", "Beat", "Christian Gangsta Rap", "Heavy Metal",
    "Black Metal", "Crossover", "Contemporary Christian", "Christian Rock", "Merengue", "Salsa",
    "Thrash Metal", "Anime", "Jpop", "Synthpop",
    // never returned by a lookup
    "None"};

std::string_view TagTypName(RTagtyp typ) {
  switch (typ) {
    case tt_id3v1:
      return "tt_id3v1";
    case tt_id3v2:
      return "tt_id3v2";
    case tt_vorbis:
      return "tt_vorbis";
    case tt_flac:
      return "tt_flac";
    case tt_wma:
      return "tt_wma";
    case tt_midi:
      return "tt_midi";
    case tt_wav:
      return "tt_wav";
    case tt_unsupported:
      break;
  }
  return "tt_unsupported";
}

std::string_view ID3v1GenreName(int index) {
  if (index < 0 || index > ID3v1GenreMax) return {};
  return ID3v1Genres[static_cast<std::size_t>(index)];
}

int ID3v1GenreIndex(std::string_view name) {
  const std::string wanted = UpperAscii(TrimTag(name));
  for (int i = 0; i <= ID3v1GenreMax; ++i) {
    if (UpperAscii(ID3v1Genres[static_cast<std::size_t>(i)]) == wanted) return i;
  }
  return -1;
}

std::string TrimTag(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return std::string(text);
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool TryParseInt(std::string_view text, std::int32_t& value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  std::int64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
    if (result > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return false;
  }
  if (negative) result = -result;
  if (result > std::numeric_limits<std::int32_t>::max()) return false;
  value = static_cast<std::int32_t>(result);
  return true;
}

void ApplySonarId(std::string_view text, RAdvancedTags& tags) {
  // Positions count UTF-16 characters: the separators are U+00A1, two bytes in UTF-8.
  const std::u16string units = Utf8ToUtf16(text);
  if (units.size() <= 8 || units.compare(0, 7, u"SONARID") != 0) return;
  std::int32_t rating;
  if (TryParseInt(Utf16ToUtf8(units.substr(8, 1)), rating)) tags.v_rating = rating;
  if (units.size() > 10) tags.v_groups = Utf16ToUtf8(units.substr(10));
}

std::int32_t TZeroPadded::LE31(std::uint64_t i) const {
  return static_cast<std::int32_t>(((static_cast<std::uint32_t>((*this)[i + 3]) & 0x7F) << 24) |
                                   (static_cast<std::uint32_t>((*this)[i + 2]) << 16) |
                                   (static_cast<std::uint32_t>((*this)[i + 1]) << 8) | (*this)[i]);
}

std::int32_t TZeroPadded::BE31(std::uint64_t i) const {
  return static_cast<std::int32_t>(((static_cast<std::uint32_t>((*this)[i]) & 0x7F) << 24) |
                                   (static_cast<std::uint32_t>((*this)[i + 1]) << 16) |
                                   (static_cast<std::uint32_t>((*this)[i + 2]) << 8) |
                                   (*this)[i + 3]);
}

std::span<const std::uint8_t> TZeroPadded::Clip(std::uint64_t from, std::uint64_t count) const {
  if (from >= fBytes.size()) return {};
  const std::uint64_t remaining = fBytes.size() - from;
  return fBytes.subspan(static_cast<std::size_t>(from),
                        static_cast<std::size_t>(count > remaining ? remaining : count));
}

bool TZeroPadded::Matches(std::uint64_t i, std::string_view text) const {
  for (std::size_t k = 0; k < text.size(); ++k) {
    if ((*this)[i + k] != static_cast<std::uint8_t>(text[k])) return false;
  }
  return true;
}

void TTagMemorySource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> dst) {
  if (offset > fBytes.size() || dst.size() > fBytes.size() - offset) {
    throw ETagError("Stream read error");
  }
  std::memcpy(dst.data(), fBytes.data() + offset, dst.size());
}

namespace {

class TTagFileSource final : public TTagSource {
 public:
  explicit TTagFileSource(const std::string& filename) {
    // Non-blocking open: a FIFO named like a media file must not stall the caller.
    fFd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fFd < 0) throw ETagError(std::strerror(errno));
    struct stat st {};
    if (::fstat(fFd, &st) != 0) {
      const int err = errno;
      ::close(fFd);
      throw ETagError(std::strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fFd);
      throw ETagError("not a regular file");
    }
    fSize = static_cast<std::uint64_t>(st.st_size);
  }
  ~TTagFileSource() override { ::close(fFd); }
  TTagFileSource(const TTagFileSource&) = delete;
  TTagFileSource& operator=(const TTagFileSource&) = delete;

  std::uint64_t Size() const override { return fSize; }

  void ReadAt(std::uint64_t offset, std::span<std::uint8_t> dst) override {
    std::size_t done = 0;
    while (done < dst.size()) {
      const ssize_t n =
          ::pread(fFd, dst.data() + done, dst.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        throw ETagError(std::strerror(errno));
      }
      if (n == 0) throw ETagError("Stream read error");
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  int fFd = -1;
  std::uint64_t fSize = 0;
};

}  // namespace

std::unique_ptr<TTagSource> OpenTagFile(const std::string& filename) {
  return std::make_unique<TTagFileSource>(filename);
}

bool TagFileExists(const std::string& filename) {
  struct stat st {};
  return ::stat(filename.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
