#pragma once
// MPEG audio header reader: finds the first frames of an MP3 (after an ID3v2 tag or a RIFF
// wrapper), tells constant from variable bitrate and computes the duration. A file with one
// bitrate above 64 kbit/s in its first ten frames costs one or two small reads; other files are
// scanned to the end in 100 kB chunks. Stateless; see mediainfo_unit.h for the contract.

#include <span>
#include <string>

#include "afp/mediainfo_unit.h"

// Frames needed before a constant bitrate is believed.
inline constexpr int MinScanFrames = 10;
// Bitrate changes that make a file VBR.
inline constexpr int VbrChangeLimit = 1;
// Frames of this bitrate (kbit/s) or less force the full scan.
inline constexpr int LowBitrateLimit = 64;
// Past this many bytes, a file with 300 times more misses than frames is given up.
inline constexpr std::int64_t MissCheckOffset = 512000;

class TMediaInfoMP3 {
 public:
  // Format HIF_MPEG. MP2 and AAC extensions end at once with FormatReadOk false and true;
  // an empty name or a file that cannot be opened gives false. FormatReadOk is true when at
  // least one frame was found.
  static bool ReadFrameHeaderMP3(const std::string& Filename, bool doalwaysframescan,
                                 bool donotframescan, const PcbStatus& cb_status,
                                 RHeaderinf& Headerinf);
  // The scan on bytes already open (the extension has been checked by the caller).
  static bool ScanMP3(TMediaSource& source, bool doalwaysframescan, bool donotframescan,
                      const PcbStatus& cb_status, RHeaderinf& Headerinf);
  // Decodes one four-byte frame header into Mpeg, field by field (a header that fails part-way
  // leaves the fields decoded so far). framegr and framezeit change only when bitrate and
  // sampling rate are both known.
  static bool ParseMpegHeader(const RFrameHeaderBuf& b, RHeaderInfMpeg& Mpeg);
};
