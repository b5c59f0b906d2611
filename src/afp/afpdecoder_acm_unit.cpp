#include "afp/afpdecoder_acm_unit.h"

#include <fcntl.h>
#include <mpg123.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "afp/filetype_unit.h"

namespace {

// A read-only descriptor of a regular file (a FIFO must not block the decoder).
class TReadOnlyFd {
 public:
  explicit TReadOnlyFd(const std::string& filename) {
    fFd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fFd < 0) throw EAFPError(std::string("acmStreamOpen:") + std::strerror(errno));
    struct stat st {};
    if (::fstat(fFd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fFd);
      throw EAFPError("acmStreamOpen:not a regular file");
    }
  }
  ~TReadOnlyFd() { ::close(fFd); }
  TReadOnlyFd(const TReadOnlyFd&) = delete;
  TReadOnlyFd& operator=(const TReadOnlyFd&) = delete;
  int get() const { return fFd; }

 private:
  int fFd = -1;
};

struct MpgDeleter {
  void operator()(mpg123_handle* h) const {
    mpg123_close(h);
    mpg123_delete(h);
  }
};
struct SndDeleter {
  void operator()(SNDFILE* f) const { sf_close(f); }
};

// Counts failed chunks; the fourth ends the decode.
struct TChunkFailures {
  int count = 0;
  bool Fail(const std::string& message, std::string& lasterror) {
    if (++count < 4) return false;
    lasterror = "acmdecode error " + message;
    return true;
  }
};

}  // namespace

bool TAFPDecoder_acm::acmdodecode(const std::string& filename, const RHeaderinf& /*hi*/,
                                  const PcbSampleprocessing& sampleprocessing,
                                  std::string& lasterror) {
  lasterror.clear();
  if (IsFileType(filename, ExtMP3)) return DecodeMpeg(filename, sampleprocessing, lasterror);
  if (IsFileType(filename, ExtWAV)) return DecodeWave(filename, sampleprocessing, lasterror);
  throw EAFPError("acm decode init error");
}

bool TAFPDecoder_acm::DecodeMpeg(const std::string& filename, const PcbSampleprocessing& cb,
                                 std::string& lasterror) {
  static std::once_flag init_once;
  std::call_once(init_once, [] { mpg123_init(); });
  TReadOnlyFd fd(filename);
  int err = MPG123_OK;
  std::unique_ptr<mpg123_handle, MpgDeleter> mh(mpg123_new(nullptr, &err));
  if (!mh) throw EAFPError(std::string("acmStreamOpen:") + mpg123_plain_strerror(err));
  // Left channel only, no messages on stderr, 16-bit at the stream's own rate (no resampling).
  mpg123_param(mh.get(), MPG123_ADD_FLAGS, MPG123_MONO_LEFT | MPG123_QUIET, 0);
  mpg123_format_none(mh.get());
  const long* rates = nullptr;
  std::size_t rate_count = 0;
  mpg123_rates(&rates, &rate_count);
  for (std::size_t i = 0; i < rate_count; ++i) {
    mpg123_format(mh.get(), rates[i], MPG123_MONO, MPG123_ENC_SIGNED_16);
  }
  if (mpg123_open_fd(mh.get(), fd.get()) != MPG123_OK) {
    throw EAFPError(std::string("acmStreamOpen:") + mpg123_strerror(mh.get()));
  }

  if (FBufferOut.size() != Foutputbuffersize) FBufferOut.assign(Foutputbuffersize, 0);
  RWaveFormatEx format;
  format.wFormatTag = 1;
  format.wBitsPerSample = 16;
  format.nChannels = 1;
  std::size_t fill = 0;
  TChunkFailures failures;
  bool fed_any = false;
  auto flush = [&] {
    if (fill > 0) {
      FeedPcmChunk(std::span(FBufferOut.data(), fill), format, cb);
      fed_any = true;
    }
    fill = 0;
  };
  for (;;) {
    std::size_t done = 0;
    const int r = mpg123_read(mh.get(), FBufferOut.data() + fill, Foutputbuffersize - fill, &done);
    fill += done;
    if (r == MPG123_NEW_FORMAT) {
      flush();
      long rate = 0;
      int channels = 0, encoding = 0;
      mpg123_getformat(mh.get(), &rate, &channels, &encoding);
      format.nSamplesPerSec = static_cast<std::uint32_t>(rate);
      format.nChannels = static_cast<std::uint16_t>(channels > 0 ? channels : 1);
      continue;
    }
    if (fill == Foutputbuffersize) flush();
    if (r == MPG123_OK) continue;
    if (r == MPG123_DONE || r == MPG123_NEED_MORE) break;
    // A damaged stretch: the library resyncs on the next call.
    if (failures.Fail(std::string("acmStreamConvert:") + mpg123_strerror(mh.get()), lasterror))
      return false;
  }
  flush();
  if (!fed_any && failures.Fail("Convert outputbuffer < 1", lasterror)) return false;
  return true;
}

bool TAFPDecoder_acm::DecodeWave(const std::string& filename, const PcbSampleprocessing& cb,
                                 std::string& lasterror) {
  TReadOnlyFd fd(filename);
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndDeleter> sf(sf_open_fd(fd.get(), SFM_READ, &info, SF_FALSE));
  if (!sf) throw EAFPError(std::string("acmStreamOpen:") + sf_strerror(nullptr));
  if (info.channels < 1 || info.channels > 65535 || info.samplerate < 1) {
    throw EAFPError("acmStreamOpen:invalid format");
  }
  if (FBufferOut.size() != Foutputbuffersize) FBufferOut.assign(Foutputbuffersize, 0);
  RWaveFormatEx format;
  format.wFormatTag = 1;
  format.wBitsPerSample = 16;
  format.nChannels = static_cast<std::uint16_t>(info.channels);
  format.nSamplesPerSec = static_cast<std::uint32_t>(info.samplerate);
  const std::size_t frame_bytes = 2u * static_cast<std::size_t>(info.channels);
  const auto frames_per_chunk = static_cast<sf_count_t>(Foutputbuffersize / frame_bytes);
  auto* out = reinterpret_cast<short*>(FBufferOut.data());
  // Floating-point content is converted here, full scale to 32767, so that the conversion does
  // not depend on the library's scaling settings.
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  const bool is_float = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
  std::vector<float> floats(is_float ? static_cast<std::size_t>(frames_per_chunk) * info.channels
                                     : 0);
  TChunkFailures failures;
  bool fed_any = false;
  for (;;) {
    sf_count_t got = 0;
    if (is_float) {
      got = sf_readf_float(sf.get(), floats.data(), frames_per_chunk);
      for (std::size_t i = 0; i < static_cast<std::size_t>(got > 0 ? got : 0) * info.channels;
           ++i) {
        const float v = std::nearbyint(floats[i] * 32767.0f);
        out[i] = static_cast<short>(v > 32767.0f ? 32767
                                                 : (v < -32768.0f ? -32768 : static_cast<int>(v)));
      }
    } else {
      got = sf_readf_short(sf.get(), out, frames_per_chunk);
    }
    if (got <= 0) {
      if (sf_error(sf.get()) != SF_ERR_NO_ERROR &&
          failures.Fail(std::string("acmStreamConvert:") + sf_strerror(sf.get()), lasterror)) {
        return false;
      }
      break;
    }
    FeedPcmChunk(std::span(FBufferOut.data(), static_cast<std::size_t>(got) * frame_bytes), format,
                 cb);
    fed_any = true;
  }
  if (!fed_any && failures.Fail("Convert outputbuffer < 1", lasterror)) return false;
  return true;
}
