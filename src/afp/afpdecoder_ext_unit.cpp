#include "afp/afpdecoder_ext_unit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "afp/mediainfo_wav_unit.h"
#include "os/os_api_unit.h"

namespace {

// A random (version 4) GUID in its usual upper-case text form without braces.
std::string NewGuidText() {
  std::random_device rd;
  std::uint8_t b[16];
  for (int i = 0; i < 16; i += 4) {
    const std::uint32_t v = rd();
    b[i] = static_cast<std::uint8_t>(v);
    b[i + 1] = static_cast<std::uint8_t>(v >> 8);
    b[i + 2] = static_cast<std::uint8_t>(v >> 16);
    b[i + 3] = static_cast<std::uint8_t>(v >> 24);
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string SystemTempDir() {
  const char* dir = std::getenv("TMPDIR");
  return (dir != nullptr && *dir != '\0') ? dir : "/tmp";
}

TAFPDecoder_ext::TAFPDecoder_ext()
    : FTempdir(SystemTempDir()),
      Finstanceuniquetmpname(std::to_string(::gettid()) + "_" + NewGuidText()) {}

bool TAFPDecoder_ext::FeedPcmStream(std::span<const std::uint8_t> stream,
                                    const RWaveFormatEx& format,
                                    const PcbSampleprocessing& sampleprocessing,
                                    std::string& lasterror) {
  CheckFeedFormat(format);
  bool result = false;
  int failures = 0;
  for (std::size_t offset = 0; offset < stream.size(); offset += AFPPcmChunkSize) {
    try {
      FeedPcmChunk(stream.subspan(offset, std::min(AFPPcmChunkSize, stream.size() - offset)),
                   format, sampleprocessing);
      result = true;
    } catch (const std::exception& e) {
      if (++failures >= 4) {
        lasterror = std::string("pcm read error ") + e.what();
        return result;
      }
    }
  }
  return result;
}

bool TAFPDecoder_ext::extdodecode(const std::string& filename, const RHeaderinf& /*hi*/,
                                  const PcbSampleprocessing& sampleprocessing,
                                  std::string& lasterror) {
  const TCommandArgs args =
      ExpandCommandTemplate(Fextdecodercmd, {{"%i", filename}, {"%o", FextDecoderPipeOutParam}});
  std::string output, error;
  if (!RunProcessPiped(args, output, error, FTimeoutMs, ExtOutputLimit)) {
    if (error.empty()) {
      lasterror = "unknown error";
    } else {
      // Every line of the error stream, each followed by a blank.
      std::size_t start = 0;
      while (start < error.size()) {
        std::size_t end = error.find_first_of("\r\n", start);
        if (end == std::string::npos) end = error.size();
        lasterror += error.substr(start, end - start) + " ";
        if (end < error.size() && error[end] == '\r' && end + 1 < error.size() &&
            error[end + 1] == '\n')
          ++end;
        start = end + 1;
      }
    }
    return false;
  }
  if (output.empty()) {
    lasterror = "decoderoutputstream error (empty)";
    return false;
  }
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(output.data()), output.size());
  TMediaMemorySource source(bytes);
  RHeaderinf header;
  if (!TMediaInfoWAV::ReadFrameHeaderWAV(source, header)) {
    lasterror = "decoderoutputstream error (read header)";
    return false;
  }
  if (!header.IsPcmWav()) {
    lasterror = "decoderoutputstream error (not pcm)";
    return false;
  }
  return FeedPcmStream(bytes, header.Wave.WaveFormatEx, sampleprocessing, lasterror);
}

bool TAFPDecoder_ext::extdodecodetofile(const std::string& sinputfile, std::string& soutputfile) {
  std::string dir = (!FTempdir.empty() && IsDirectory(FTempdir)) ? FTempdir : SystemTempDir();
  if (dir.back() != '/') dir += '/';
  soutputfile = dir + Finstanceuniquetmpname + ".wav";
  const TCommandArgs args =
      ExpandCommandTemplate(Fextdecodercmd, {{"%i", sinputfile}, {"%o", soutputfile}});
  std::string error;
  return RunProcess(args, FTimeoutMs, error);
}
