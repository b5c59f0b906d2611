#pragma once
// The decoder settings and the decoder test, without a window: the five values the user edits,
// the ready-made FFmpeg command, the check done before the values are accepted, and the test of
// the configured external decoder on one media file with its messages.
//
// Both front ends use it: the desktop dialog shows the messages in message boxes, the command
// line prints them. Nothing here shows anything or touches the configuration file; the caller
// reads the values from the configuration and stores them back (GetDecoderSettings /
// SetDecoderSettings of the service).
//
// Stateless free functions; any thread. The tests block the caller while the decoder runs (at
// most kDecoderTestTimeoutMs) and never throw.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui_prompt.h"

// The decoder values of the configuration section "DECODER".
struct RKonfigDecoder {
  bool ExtDecoderVerwenden = false;
  bool ExtDecoderPipeModus = false;
  std::string ExtDecoderCMD;
  std::string ExtDecoderPipeoutParam;
  std::string ExtDecoderTempDir;

  bool operator==(const RKonfigDecoder&) const = default;
};

// One message of a settings operation, shown in this order by the caller.
struct TKonfigMessage {
  TPromptKind Kind = TPromptKind::Information;
  std::string Text;
};

struct TDecoderTestResult {
  bool Ok = false;  // the decoder ran and produced PCM
  std::vector<TKonfigMessage> Messages;
};

inline constexpr std::uint32_t kDecoderTestTimeoutMs = 60000;
inline constexpr std::uint32_t kDecoderTestPipeLimit = 262144000;
inline constexpr char kDecoderTestFileName[] = "TestOut.Wav";

// Texts of the dialog shown around the operations below.
inline constexpr char kNoExternalDecoderText[] = "Kein externer Decoder konfiguriert";
inline constexpr char kRestartToApplyText[] =
    "Bitte Anwendung neu starten um etwalige Konfigurationsänderungen anzuwenden";
inline constexpr char kPresetInsertedText[] =
    "Aufruf für Decoder/Encoder wurde eingefügt. Nach der Installation des externen Decoders "
    "sollten Sie die Konfiguration über das \"Testen\" Button überprüfen.";
inline constexpr char kChooseTestFileText[] =
    "Bitte wählen Sie eine Mediendatei eines beliebigen Formates um den Decoder zu testen";

// The three texts trimmed, as the dialog stores them.
RKonfigDecoder TrimmedDecoderSettings(RKonfigDecoder settings);

// The check of the OK button: the external decoder chosen with an empty command is refused with
// kNoExternalDecoderText (the values must then stay as they were). True when acceptable.
bool CheckDecoderSettings(const RKonfigDecoder& settings, TKonfigMessage& refusal);

// The full path of the "ffmpeg" found on PATH, else "/usr/bin/ffmpeg".
std::string FfmpegPath();
// "\"<FfmpegPath>\" -loglevel quiet -i \"%i\" -f wav -fs 50000000 -y \"%o\"".
std::string FfmpegPresetCommand();
// Puts the preset command and "pipe:1" into the values and chooses the external decoder in pipe
// mode; the caller then shows kPresetInsertedText.
void ApplyFfmpegPreset(RKonfigDecoder& settings);

// The test button without its file dialog: an empty (trimmed) command gives
// kNoExternalDecoderText; otherwise TestPipeMode or TestFileMode by ExtDecoderPipeModus. An
// exception on the way gives "Fehler beim Ausführen des Befehls: <message>".
TDecoderTestResult TestDecoder(const RKonfigDecoder& settings, const std::string& mediafile);

// The decoder writes "TestOut.Wav" into `tempdir` (the system's temporary directory when empty;
// a missing directory runs nothing); its WAV header must say PCM. The output file is removed.
TDecoderTestResult TestFileMode(const std::string& command, const std::string& tempdir,
                                const std::string& mediafile);
// The decoder writes a WAV stream to its standard output (`pipeparam` stands for "%o").
TDecoderTestResult TestPipeMode(const std::string& command, const std::string& pipeparam,
                                const std::string& mediafile);
