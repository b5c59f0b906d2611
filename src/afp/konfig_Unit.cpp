#include "afp/konfig_Unit.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include "afp/afpdecoder_ext_unit.h"
#include "afp/mediainfo_unit.h"
#include "afp/mediainfo_wav_unit.h"
#include "os/os_api_unit.h"

namespace fs = std::filesystem;

namespace {

constexpr char kDecodeErrorText[] = "Decode Fehler";
constexpr char kOutputUnreadableText[] = "Die Deocoder Ausgabedatei konnte nicht gelesen werden";

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

// The verdict on a header read from the decoder's output: PCM, or which format tag it has.
TKonfigMessage PcmVerdict(const RHeaderinf& header, double seconds, bool& ok) {
  char text[160];
  if (header.IsPcmWav()) {
    ok = true;
    std::snprintf(text, sizeof text, "%s\r(%2.3f s)",
                  "Der Deocoder wurde erfolgreich getestet. (Ausgabedaten sind PCM)", seconds);
    return {TPromptKind::Information, text};
  }
  ok = false;
  std::snprintf(text, sizeof text, "%s : 0x%04X",
                "Der Deocoder erzeugt kein PCM, Formattag ist kein WAVE_FORMAT_PCM(0x0001)",
                static_cast<unsigned>(header.Wave.WaveFormatEx.wFormatTag));
  return {TPromptKind::Error, text};
}

// Every line of a runner's error stream, each followed by a blank.
std::string LinesWithBlanks(const std::string& error) {
  std::string out;
  std::size_t start = 0;
  while (start < error.size()) {
    std::size_t end = error.find_first_of("\r\n", start);
    if (end == std::string::npos) end = error.size();
    out += error.substr(start, end - start) + " ";
    if (end < error.size() && error[end] == '\r' && end + 1 < error.size() &&
        error[end + 1] == '\n')
      ++end;
    start = end + 1;
  }
  return out;
}

}  // namespace

RKonfigDecoder TrimmedDecoderSettings(RKonfigDecoder settings) {
  settings.ExtDecoderCMD = Trim(settings.ExtDecoderCMD);
  settings.ExtDecoderPipeoutParam = Trim(settings.ExtDecoderPipeoutParam);
  settings.ExtDecoderTempDir = Trim(settings.ExtDecoderTempDir);
  return settings;
}

bool CheckDecoderSettings(const RKonfigDecoder& settings, TKonfigMessage& refusal) {
  if (settings.ExtDecoderVerwenden && Trim(settings.ExtDecoderCMD).empty()) {
    refusal = {TPromptKind::Information, kNoExternalDecoderText};
    return false;
  }
  return true;
}

std::string FfmpegPath() {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    start = end + 1;
    // An empty entry means the current directory; a preset must not depend on where it was made.
    if (dir.empty() || dir.front() != '/') continue;
    const std::string candidate = (dir.back() == '/' ? dir : dir + "/") + "ffmpeg";
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return "/usr/bin/ffmpeg";
}

std::string FfmpegPresetCommand() {
  return "\"" + FfmpegPath() + "\" -loglevel quiet -i \"%i\" -f wav -fs 50000000 -y \"%o\"";
}

void ApplyFfmpegPreset(RKonfigDecoder& settings) {
  settings.ExtDecoderCMD = FfmpegPresetCommand();
  settings.ExtDecoderPipeoutParam = "pipe:1";
  settings.ExtDecoderVerwenden = true;
  settings.ExtDecoderPipeModus = true;
}

TDecoderTestResult TestDecoder(const RKonfigDecoder& settings, const std::string& mediafile) {
  const std::string command = Trim(settings.ExtDecoderCMD);
  if (command.empty()) return {false, {{TPromptKind::Information, kNoExternalDecoderText}}};
  try {
    return settings.ExtDecoderPipeModus
               ? TestPipeMode(command, settings.ExtDecoderPipeoutParam, mediafile)
               : TestFileMode(command, settings.ExtDecoderTempDir, mediafile);
  } catch (const std::exception& e) {
    return {
        false,
        {{TPromptKind::Warning, std::string("Fehler beim Ausführen des Befehls: ") + e.what()}}};
  }
}

TDecoderTestResult TestFileMode(const std::string& command, const std::string& tempdir,
                                const std::string& mediafile) {
  TDecoderTestResult result;
  std::string dir;
  std::error_code ec;
  if (tempdir.empty()) {
    dir = SystemTempDir();
  } else if (fs::is_directory(tempdir, ec)) {
    dir = tempdir;
  } else {
    result.Messages.push_back(
        {TPromptKind::Warning, "Das Angegebene Verzeichnis " + tempdir + " existiert nicht!"});
    return result;
  }
  const std::string output =
      (dir.empty() || dir.back() != '/' ? dir + "/" : dir) + kDecoderTestFileName;
  const TCommandArgs args = ExpandCommandTemplate(command, {{"%i", mediafile}, {"%o", output}});
  std::string error;
  const auto start = Clock::now();
  const bool ran = RunProcess(args, kDecoderTestTimeoutMs, error);
  const auto end = Clock::now();
  if (!ran) {
    result.Messages.push_back(
        {TPromptKind::Information, std::string(kDecodeErrorText) + "\r" + error});
  } else {
    RHeaderinf header;
    if (!TMediaInfo::ReadFrameHeader(output, false, false, nullptr, header)) {
      result.Messages.push_back({TPromptKind::Error, kOutputUnreadableText});
    } else {
      result.Messages.push_back(PcmVerdict(header, Seconds(start, end), result.Ok));
    }
  }
  if (fs::exists(output, ec) && !fs::remove(output, ec))
    result.Messages.push_back({TPromptKind::Warning, "Fehler beim Löschen der temporären Datei"});
  return result;
}

TDecoderTestResult TestPipeMode(const std::string& command, const std::string& pipeparam,
                                const std::string& mediafile) {
  TDecoderTestResult result;
  const TCommandArgs args = ExpandCommandTemplate(command, {{"%i", mediafile}, {"%o", pipeparam}});
  std::string output, error;
  const auto start = Clock::now();
  const bool ran =
      RunProcessPiped(args, output, error, kDecoderTestTimeoutMs, kDecoderTestPipeLimit);
  const auto end = Clock::now();
  if (!ran) {
    result.Messages.push_back(
        {TPromptKind::Information,
         error.empty() ? std::string(kDecodeErrorText)
                       : std::string(kDecodeErrorText) + "\r" + LinesWithBlanks(error)});
    return result;
  }
  if (output.empty()) {
    result.Messages.push_back(
        {TPromptKind::Error, std::string(kOutputUnreadableText) + "\r(size=0)"});
    return result;
  }
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(output.data()), output.size());
  TMediaMemorySource source(bytes);
  RHeaderinf header;
  if (!TMediaInfoWAV::ReadFrameHeaderWAV(source, header)) {
    result.Messages.push_back(
        {TPromptKind::Error, std::string(kOutputUnreadableText) + "\r (readheader)"});
    return result;
  }
  result.Messages.push_back(PcmVerdict(header, Seconds(start, end), result.Ok));
  return result;
}
