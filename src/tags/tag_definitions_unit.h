#pragma once
// Shared vocabulary of the tag readers: tag families, the two value records, the ID3v1 genre
// table, the one error type the readers raise internally, and the byte sources they read from.
//
// Everything here is either a constant, a plain value type or a stateless function, so it may be
// used from any thread. A TTagSource is used by one thread at a time.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// Tag families; the numbers are part of the interface (stored and compared by callers).
enum RTagtyp : std::uint8_t {
  tt_unsupported = 0,
  tt_id3v1 = 1,
  tt_id3v2 = 2,
  tt_vorbis = 3,  // Vorbis comments of an Ogg file
  tt_flac = 4,    // Vorbis comments of a FLAC file
  tt_wma = 5,
  tt_midi = 6,
  tt_wav = 7,
};

// "tt_id3v2" and so on; "tt_unsupported" for values outside the enumeration.
std::string_view TagTypName(RTagtyp typ);

struct RSimpleTags {
  std::string Track, Title, Artist, Album, Year, genre, comment;
};

struct RAdvancedTags {
  std::string Track;  // as found, may be "3/12"
  std::string Title, Artist, Album;
  std::string Year;   // year or date as found
  std::string genre;  // numeric ID3 genre references already resolved
  std::string comment, orgartist, composer, url, copyright, encoder, bpm;
  std::string v_groups;         // groups of our own SONARID rating data
  std::int32_t v_rating = 0;    // 1..5, 0 = none (SONARID data may carry any digit)
  std::int32_t v_synchpos = 0;  // milliseconds
};

// ID3v1 genre names 0..147 (the common extended list, three spellings our own). Index 148
// holds "None", which no lookup returns.
inline constexpr int ID3v1GenreMax = 147;
extern const std::array<std::string_view, 149> ID3v1Genres;

// The genre text of `index`, or empty when index is outside 0..147.
std::string_view ID3v1GenreName(int index);
// Index of a genre name (trimmed, case-insensitive), or -1.
int ID3v1GenreIndex(std::string_view name);

// The one error type raised inside the tag readers; the public load operations catch it and
// report false plus the message.
class ETagError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text helpers of the readers (UTF-8 in, UTF-8 out).
// Removes leading and trailing blanks and control characters (every byte <= 0x20).
std::string TrimTag(std::string_view text);
// ASCII letters to upper case; other bytes unchanged.
std::string UpperAscii(std::string_view text);
// Whole-text decimal integer with an optional sign; false on anything else or overflow.
bool TryParseInt(std::string_view text, std::int32_t& value);

// Rating and groups of our own SONARID data ("SONARID", separator, digit, separator, groups),
// counted in UTF-16 characters: a text of more than 8 characters starting with "SONARID" gives
// the rating from character 8 (when it is a number) and, beyond 10 characters, the groups from
// character 10 on. Other texts change nothing.
void ApplySonarId(std::string_view text, RAdvancedTags& tags);

// A byte view that reads as zero past its end. The readers work on the bytes actually loaded
// from a file; a field that reaches past them sees zeros (the value an empty work buffer has),
// never memory outside the view.
class TZeroPadded {
 public:
  explicit TZeroPadded(std::span<const std::uint8_t> bytes) : fBytes(bytes) {}
  std::uint64_t size() const { return fBytes.size(); }
  std::uint8_t operator[](std::uint64_t i) const { return i < fBytes.size() ? fBytes[i] : 0; }
  // Little- and big-endian 32-bit values with the top bit ignored (never negative).
  std::int32_t LE31(std::uint64_t i) const;
  std::int32_t BE31(std::uint64_t i) const;
  // The part of [from, from + count) that lies inside the view.
  std::span<const std::uint8_t> Clip(std::uint64_t from, std::uint64_t count) const;
  // True when the `text.size()` bytes at `i` equal `text`.
  bool Matches(std::uint64_t i, std::string_view text) const;

 private:
  std::span<const std::uint8_t> fBytes;
};

// Read-only random access to the bytes of one file (or of a memory block in tests and fuzzing).
// ReadAt raises ETagError when fewer than dst.size() bytes are available at `offset`.
class TTagSource {
 public:
  virtual ~TTagSource() = default;
  virtual std::uint64_t Size() const = 0;
  virtual void ReadAt(std::uint64_t offset, std::span<std::uint8_t> dst) = 0;
};

// Opens the regular file `filename` for reading; raises ETagError with the system's message
// when that fails.
std::unique_ptr<TTagSource> OpenTagFile(const std::string& filename);

// A source over bytes the caller keeps alive.
class TTagMemorySource final : public TTagSource {
 public:
  explicit TTagMemorySource(std::span<const std::uint8_t> bytes) : fBytes(bytes) {}
  std::uint64_t Size() const override { return fBytes.size(); }
  void ReadAt(std::uint64_t offset, std::span<std::uint8_t> dst) override;

 private:
  std::span<const std::uint8_t> fBytes;
};

// True when `filename` names an existing regular file (directories, devices and FIFOs are not
// media files; opening a FIFO could block).
bool TagFileExists(const std::string& filename);
