#pragma once
// Measures a media file without decoding it: container type, duration and the technical fields of
// the first usable MPEG frame, the FLAC STREAMINFO block or the WAV "fmt " chunk.
//
// The readers are stateless functions; each call fills one RHeaderinf that the caller owns and
// may run on any thread. Files are opened read-only (and only regular files, so a FIFO named like
// a media file never blocks). No length read from a file is trusted: every read is clipped to the
// bytes the file really has. The readers never throw; failures come back as false.
//
// TMediaSource is the byte access the readers and the decoders share: a file, or bytes in memory
// (decoder output held in memory, tests, fuzzing).

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

// The one error type raised inside the fingerprint engine's readers and decoders. The public
// operations catch it and report false plus its message.
class EAFPError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Read-only random access to bytes.
class TMediaSource {
 public:
  virtual ~TMediaSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Copies up to dst.size() bytes from `offset`; returns how many were copied (fewer only at the
  // end of the data, 0 at or past it). Raises EAFPError when the system reports a read error.
  virtual std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> dst) = 0;
};

// Opens the regular file `filename` for reading; raises EAFPError with the reason otherwise.
std::unique_ptr<TMediaSource> OpenMediaFile(const std::string& filename);

// A source over bytes the caller keeps alive.
class TMediaMemorySource final : public TMediaSource {
 public:
  explicit TMediaMemorySource(std::span<const std::uint8_t> bytes) : fBytes(bytes) {}
  std::uint64_t Size() const override { return fBytes.size(); }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> dst) override;

 private:
  std::span<const std::uint8_t> fBytes;
};

enum RHeaderInfFormat : std::int32_t { HIF_UNKNOWN = 0, HIF_MPEG, HIF_FLAC, HIF_WAV };

// Text name of a format ("HIF_WAV").
const char* HeaderInfFormatName(RHeaderInfFormat format);

// The first four bytes of an MPEG frame in file order.
using RFrameHeaderBuf = std::array<std::uint8_t, 4>;

struct RHeaderInfMpeg {
  std::int64_t headerposfirst = -1;  // three bytes before the first frame header; -1: none
  RFrameHeaderBuf headerbuffirst{};
  RFrameHeaderBuf headerbuflastread{};
  std::int64_t headerreadcount = 0;  // frames found
  std::int32_t framegr = 0;          // frame length in bytes (-1 after a full scan)
  double framezeit = 0;              // frame duration in seconds (-1 after a full scan)
  std::string vers;                  // "1", "2" or "2.5"
  std::int32_t layer = 0;
  bool prot = false;
  std::int32_t bitrate = 0;       // kbit/s
  std::int32_t samplingrate = 0;  // Hz
  bool padding = false;
  bool privatebit = false;
  std::int32_t channels = 0;
  std::string channelmode;
  std::string modeextension;
  bool copyright = false;
  bool original = false;
  std::string emphasis;
};

struct RHeaderInfFLAC {
  std::int64_t datapos = 0;  // file position after the metadata blocks
  std::int32_t minBlockSize = 0, maxBlockSize = 0, minFrameSize = 0, maxFrameSize = 0;
  std::int32_t samlingRate = 0, channels = 0, bitsPerSample = 0;
  std::int64_t totalNumberOfSamples = 0;
  std::array<std::uint8_t, 16> md5AudioData{};
};

struct RWaveFormatEx {
  std::uint16_t wFormatTag = 0;
  std::uint16_t nChannels = 0;
  std::uint32_t nSamplesPerSec = 0;
  std::uint32_t nAvgBytesPerSec = 0;
  std::uint16_t nBlockAlign = 0;
  std::uint16_t wBitsPerSample = 0;
  std::uint16_t cbSize = 0;
};

struct RHeaderInfWav {
  std::int64_t datapos = 0;  // first byte of the data chunk's contents; 0: no data chunk
  RWaveFormatEx WaveFormatEx;
};

struct RHeaderinf {
  RHeaderInfFormat Format = HIF_UNKNOWN;
  bool FormatReadOk = false;
  double TimeSec = 0;
  bool isScan = false;
  bool isVBR = false;
  RHeaderInfMpeg Mpeg;
  RHeaderInfFLAC Flac;
  RHeaderInfWav Wave;

  // A WAV header whose format tag is 1 (integer PCM), the only kind the PCM reader takes.
  bool IsPcmWav() const {
    return FormatReadOk && Format == HIF_WAV && Wave.WaveFormatEx.wFormatTag == 1;
  }
};

// Progress text of the MPEG frame scan ("Framescan: 25%"); may be empty.
using PcbStatus = std::function<void(const std::string& Status)>;

// Every field 0, false or empty; headerposfirst -1.
void ClearHeaderinf(RHeaderinf& Headerinf);

class TMediaInfo {
 public:
  // Clears Headerinf, then reads it with the reader the extension asks for (MP3/MP2/AAC lists:
  // MPEG, WAV list: WAV, FLAC list: FLAC). False when no reader fits or the reader fails.
  static bool ReadFrameHeader(const std::string& Filename, bool doalwaysframescan,
                              bool donotframescan, const PcbStatus& cb_status,
                              RHeaderinf& Headerinf);
};
