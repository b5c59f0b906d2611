#pragma once
// The external decoder: a program the user configures (for example ffmpeg) turns any file into
// a RIFF WAVE stream of 8- or 16-bit PCM, written to its standard output (pipe mode) or to a
// temporary file (file mode).
//
// The command template is split into arguments first; "%i" (input file) and "%o" (pipe
// parameter or output file) are replaced inside single arguments, ignoring case, so no file name
// can change the command. No shell runs. One object serves one call at a time; its temporary
// file name is unique per object (creating thread's id and a random GUID), so parallel requests
// with their own objects never share an output file.

#include <cstdint>
#include <span>
#include <string>

#include "afp/afpdecoder_pcm_unit.h"
#include "afp/mediainfo_unit.h"

class TAFPDecoder_ext {
 public:
  // Output kept in pipe mode, per stream.
  static constexpr std::uint32_t ExtOutputLimit = 262144000;

  TAFPDecoder_ext();
  TAFPDecoder_ext(const TAFPDecoder_ext&) = delete;
  TAFPDecoder_ext& operator=(const TAFPDecoder_ext&) = delete;

  const std::string& ExtDecodercmd() const { return Fextdecodercmd; }
  void SetExtDecodercmd(const std::string& value) { Fextdecodercmd = value; }
  const std::string& ExtDecoderPipeOutParam() const { return FextDecoderPipeOutParam; }
  void SetExtDecoderPipeOutParam(const std::string& value) { FextDecoderPipeOutParam = value; }
  // Directory of the file mode's output; the system's temporary directory after creation.
  const std::string& TempDir() const { return FTempdir; }
  void SetTempDir(const std::string& value) { FTempdir = value; }
  // Time limit of one decoder run (60 s unless changed).
  std::uint32_t TimeoutMs() const { return FTimeoutMs; }
  void SetTimeoutMs(std::uint32_t value) { FTimeoutMs = value; }
  const std::string& InstanceUniqueTmpName() const { return Finstanceuniquetmpname; }

  // Pipe mode: runs the decoder and feeds its standard output (header bytes included) through
  // FeedPcmChunk. False with lasterror "decoderoutputstream error (empty|read header|not pcm)",
  // or with the runner's message and the decoder's error lines, each followed by a blank.
  bool extdodecode(const std::string& filename, const RHeaderinf& hi,
                   const PcbSampleprocessing& sampleprocessing, std::string& lasterror);

  // File mode: sets soutputfile (TempDir/<unique name>.wav) and runs the decoder; true when it
  // exited with code 0. The caller reads the output and deletes it.
  bool extdodecodetofile(const std::string& sinputfile, std::string& soutputfile);

  // Feeds WAV bytes held in memory, from byte 0, in chunks of AFPPcmChunkSize. True once a chunk
  // was fed completely; the fourth failed chunk ends the walk ("pcm read error ...").
  static bool FeedPcmStream(std::span<const std::uint8_t> stream, const RWaveFormatEx& format,
                            const PcbSampleprocessing& sampleprocessing, std::string& lasterror);

 private:
  std::string Fextdecodercmd;
  std::string FextDecoderPipeOutParam;
  std::string FTempdir;
  std::string Finstanceuniquetmpname;
  std::uint32_t FTimeoutMs = 60000;
};

// $TMPDIR when set and not empty, otherwise "/tmp".
std::string SystemTempDir();
