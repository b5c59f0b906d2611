#pragma once
// The fingerprint record and the constants shared by the fingerprint engine.
//
// RAFP is a plain value type: copying it copies both series. Producers (generation, cache
// reading, the comparator) clear the record they are given before filling it, so a failed call
// leaves either the cleared state or loaded == false. No state here; thread safety is the
// owner's business.

#include <cstdint>
#include <vector>

// One series of fingerprint values (0..127 for audio). Empty and missing are the same.
using RAFPValArray = std::vector<std::uint8_t>;

// Kinds of fingerprint, stored as a 16-bit character in RAFP::typ.
inline constexpr char16_t AFPTypNone = u' ';
inline constexpr char16_t AFPTypAudio = u'A';
inline constexpr char16_t AFPTypImage = u'I';

struct RAFP {
  RAFPValArray p1;  // normalised loudness per quarter-second block (audio)
  RAFPValArray p2;  // normalised high-frequency content per block (audio)
  char16_t typ = AFPTypNone;
  bool loaded = false;
  // Lock counter of the comparator's rows; 0 everywhere else.
  std::int32_t internalRefCount = 0;

  // Back to the cleared state: no kind, empty series, not loaded, counter 0.
  void Clear() {
    p1.clear();
    p2.clear();
    typ = AFPTypNone;
    loaded = false;
    internalRefCount = 0;
  }
};

using RAFPcompdataarray = std::vector<RAFP>;

// Decoder for audio that is not plain PCM WAV. The numeric values are stored in the
// configuration file, so they must not change.
enum RAfpDecodertype : std::int32_t {
  dtACM = 0,      // built-in codecs (MP3, compressed WAV)
  dtExtFile = 1,  // external decoder writing a WAV file
  dtExtPipe = 2,  // external decoder writing WAV to its standard output
};

// Weight of the newest sample in the fingerprint generator's low-pass filter.
inline constexpr double AFPFilterWeight = 0.5;
// Group threshold of the comparator's quick rows.
inline constexpr std::int32_t AFPQuickGroup = 20;

// Audio fingerprints hold between these many values per series.
inline constexpr std::size_t AFPMinValues = 59;
inline constexpr std::size_t AFPMaxValues = 4784;
