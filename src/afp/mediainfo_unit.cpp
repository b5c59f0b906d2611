#include "afp/mediainfo_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "afp/filetype_unit.h"
#include "afp/mediainfo_flac_unit.h"
#include "afp/mediainfo_mp3_unit.h"
#include "afp/mediainfo_wav_unit.h"

namespace {

class TMediaFileSource final : public TMediaSource {
 public:
  explicit TMediaFileSource(const std::string& filename) {
    // Non-blocking open: a FIFO named like a media file must not stall the caller.
    fFd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fFd < 0) throw EAFPError(std::strerror(errno));
    struct stat st {};
    if (::fstat(fFd, &st) != 0) {
      const int err = errno;
      ::close(fFd);
      throw EAFPError(std::strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fFd);
      throw EAFPError("not a regular file");
    }
    fSize = static_cast<std::uint64_t>(st.st_size);
  }
  ~TMediaFileSource() override { ::close(fFd); }
  TMediaFileSource(const TMediaFileSource&) = delete;
  TMediaFileSource& operator=(const TMediaFileSource&) = delete;

  std::uint64_t Size() const override { return fSize; }

  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> dst) override {
    std::size_t done = 0;
    while (done < dst.size()) {
      const ssize_t n =
          ::pread(fFd, dst.data() + done, dst.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        throw EAFPError(std::strerror(errno));
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }

 private:
  int fFd = -1;
  std::uint64_t fSize = 0;
};

}  // namespace

std::unique_ptr<TMediaSource> OpenMediaFile(const std::string& filename) {
  return std::make_unique<TMediaFileSource>(filename);
}

std::size_t TMediaMemorySource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> dst) {
  if (offset >= fBytes.size()) return 0;
  const std::uint64_t remaining = fBytes.size() - offset;
  const std::size_t n = dst.size() < remaining ? dst.size() : static_cast<std::size_t>(remaining);
  std::memcpy(dst.data(), fBytes.data() + offset, n);
  return n;
}

const char* HeaderInfFormatName(RHeaderInfFormat format) {
  switch (format) {
    case HIF_MPEG:
      return "HIF_MPEG";
    case HIF_FLAC:
      return "HIF_FLAC";
    case HIF_WAV:
      return "HIF_WAV";
    default:
      return "HIF_UNKNOWN";
  }
}

void ClearHeaderinf(RHeaderinf& Headerinf) { Headerinf = RHeaderinf{}; }

bool TMediaInfo::ReadFrameHeader(const std::string& Filename, bool doalwaysframescan,
                                 bool donotframescan, const PcbStatus& cb_status,
                                 RHeaderinf& Headerinf) {
  ClearHeaderinf(Headerinf);
  if (IsFileType(Filename, ExtMP3) || IsFileType(Filename, ExtMP2) ||
      IsFileType(Filename, ExtAAC)) {
    return TMediaInfoMP3::ReadFrameHeaderMP3(Filename, doalwaysframescan, donotframescan, cb_status,
                                             Headerinf);
  }
  if (IsFileType(Filename, ExtWAV)) return TMediaInfoWAV::ReadFrameHeaderWAV(Filename, Headerinf);
  if (IsFileType(Filename, ExtFLAC))
    return TMediaInfoFLAC::ReadFrameHeaderFLAC(Filename, Headerinf);
  return false;
}
