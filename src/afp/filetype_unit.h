#pragma once
// Classification of media files by their extension. Every decision by file type in the program
// goes through these lists and IsFileType. The lists are constants; lookups are thread-safe.
//
// Each list is an upper-case text of extensions, each with its leading dot and a trailing comma.

#include <string_view>

inline constexpr std::string_view ExtWAV = ".WAV,";
inline constexpr std::string_view ExtMP2 = ".MP2,";
inline constexpr std::string_view ExtMP3 = ".MP3,.MP3(D),";
inline constexpr std::string_view ExtOGG = ".OGG,";
inline constexpr std::string_view ExtAAC = ".AAC,.M4A,";
inline constexpr std::string_view ExtAIFF = ".AIFF,";
inline constexpr std::string_view ExtFLAC = ".FLAC,";
inline constexpr std::string_view ExtMID = ".MID,";
inline constexpr std::string_view ExtWMA = ".WMA,";
inline constexpr std::string_view ExtWMV = ".WMV,";
inline constexpr std::string_view ExtMIDI = ".MID,.MIDI,.RMI,.KAR,.MIZ,";
inline constexpr std::string_view ExtIMAGE = ".GIF,.PNG,.JPG,.JPEG,.BMP,.ICO,.EMF,.WMF,.TIF,.TIFF,";

// The lists are compile-time constants here, so there is nothing to set up; start-up still calls
// this at the points where the lists become valid, which keeps the start-up order readable.
inline void InitFileTypes() {}

// True when the extension of `filename` (text after its last '.', blanks trimmed, ASCII
// upper-cased) is one of `list`. The last dot is searched in the whole name, directories
// included, so "music.old/track" has the extension "OLD/TRACK" and matches nothing.
bool IsFileType(std::string_view filename, std::string_view list);
