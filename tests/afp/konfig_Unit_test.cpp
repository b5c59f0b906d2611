// The decoder settings logic: the FFmpeg preset, the OK check, and the decoder test with real
// programs as decoders (cp and cat hand out prepared WAV files, sh fails on purpose, ffmpeg
// converts), in file and pipe mode.

#include "afp/konfig_Unit.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "afp_audio_fixtures.h"

namespace {

namespace fs = std::filesystem;
using afptest::TempDir;

class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) {
    if (const char* old = getenv("PATH")) FOld = old;
    setenv("PATH", value.c_str(), 1);
  }
  ~ScopedPath() { setenv("PATH", FOld.c_str(), 1); }

 private:
  std::string FOld;
};

TEST(KonfigPreset, UsesTheFfmpegOnPathWithTheFixedArguments) {
  TempDir dir;
  const std::string bin = dir.File("bin with blank");
  fs::create_directories(bin);
  std::ofstream(bin + "/ffmpeg") << "#!/bin/sh\n";
  ::chmod((bin + "/ffmpeg").c_str(), 0755);
  fs::create_directories(dir.File("empty"));
  {
    // Relative entries and directories without it are skipped; the first executable wins.
    ScopedPath path("relative:" + dir.File("empty") + ":" + bin + ":/usr/bin");
    RKonfigDecoder d;
    ApplyFfmpegPreset(d);
    EXPECT_EQ(d.ExtDecoderCMD, "\"" + bin +
                                   "/ffmpeg\" -loglevel quiet -i \"%i\" -f wav -fs 50000000 -y "
                                   "\"%o\"");
    EXPECT_EQ(d.ExtDecoderPipeoutParam, "pipe:1");
    EXPECT_TRUE(d.ExtDecoderVerwenden);
    EXPECT_TRUE(d.ExtDecoderPipeModus);
  }
  {
    ScopedPath path(dir.File("empty"));
    EXPECT_EQ(FfmpegPath(), "/usr/bin/ffmpeg");
  }
}

RKonfigDecoder Settings(bool external, const std::string& cmd, const std::string& tempdir = "") {
  RKonfigDecoder d;
  d.ExtDecoderVerwenden = external;
  d.ExtDecoderCMD = cmd;
  d.ExtDecoderTempDir = tempdir;
  return d;
}

TEST(KonfigCheck, ExternalDecoderNeedsACommand) {
  TKonfigMessage refusal;
  EXPECT_FALSE(CheckDecoderSettings(Settings(true, "  "), refusal));
  EXPECT_EQ(refusal.Text, "Kein externer Decoder konfiguriert");
  EXPECT_TRUE(CheckDecoderSettings(Settings(true, "ffmpeg"), refusal));
  EXPECT_TRUE(CheckDecoderSettings(Settings(false, ""), refusal));
  EXPECT_EQ(TrimmedDecoderSettings(Settings(false, " a ", "\t/t ")), Settings(false, "a", "/t"));
}

class KonfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pcm16 = dir.File("pcm16.wav");
    pcm24 = dir.File("pcm24.wav");
    floatwav = dir.File("float.wav");
    afptest::WriteBytes(pcm16, afptest::MakeWav(1, 8000, 16, std::vector<int>(800, 100)));
    afptest::WriteBytes(pcm24, afptest::MakeWav(1, 8000, 24, std::vector<int>(800, 100)));
    afptest::WriteBytes(floatwav, afptest::MakeWav(1, 8000, 32, std::vector<int>(800, 0), 3));
    tempdir = dir.File("work");
    fs::create_directories(tempdir);
  }
  TempDir dir;
  std::string pcm16, pcm24, floatwav, tempdir;
};

constexpr char kSuccess[] = "Der Deocoder wurde erfolgreich getestet. (Ausgabedaten sind PCM)\r(";

TEST_F(KonfigTest, FileAndPipeModeVerdicts) {
  const struct {
    const char* name;
    bool pipe;
    std::string command;
    bool ok;
    TPromptKind kind;
    std::string text;  // the whole text, or its start for the success message
  } cases[] = {
      {"file, 16-bit PCM", false, "cp " + pcm16 + " %o", true, TPromptKind::Information, kSuccess},
      // Only the format tag counts, so 24 bits pass.
      {"file, 24-bit PCM", false, "cp " + pcm24 + " %O", true, TPromptKind::Information, kSuccess},
      {"file, float", false, "cp " + floatwav + " %o", false, TPromptKind::Error,
       "Der Deocoder erzeugt kein PCM, Formattag ist kein WAVE_FORMAT_PCM(0x0001) : 0x0003"},
      {"file, decoder fails", false, "sh -c 'exit 4'", false, TPromptKind::Information,
       "Decode Fehler\rprocess exit code 4"},
      {"file, no output", false, "true %i %o", false, TPromptKind::Error,
       "Die Deocoder Ausgabedatei konnte nicht gelesen werden"},
      {"file, real ffmpeg", false, "ffmpeg -loglevel quiet -i %i -f wav -y %o", true,
       TPromptKind::Information, kSuccess},
      {"pipe, 16-bit PCM", true, "cat " + pcm16, true, TPromptKind::Information, kSuccess},
      {"pipe, float", true, "cat " + floatwav, false, TPromptKind::Error,
       "Der Deocoder erzeugt kein PCM, Formattag ist kein WAVE_FORMAT_PCM(0x0001) : 0x0003"},
      {"pipe, empty output", true, "true", false, TPromptKind::Error,
       "Die Deocoder Ausgabedatei konnte nicht gelesen werden\r(size=0)"},
      {"pipe, no WAV", true, "echo hello", false, TPromptKind::Error,
       "Die Deocoder Ausgabedatei konnte nicht gelesen werden\r (readheader)"},
      {"pipe, fails with messages", true, "sh -c 'echo kaputt >&2; echo zwei >&2; exit 3'", false,
       TPromptKind::Information, "Decode Fehler\rprocess exit code 3 kaputt zwei "},
      {"pipe, real ffmpeg", true, "ffmpeg -loglevel quiet -i %i -f wav %o", true,
       TPromptKind::Information, kSuccess},
      {"no command", true, "   ", false, TPromptKind::Information,
       "Kein externer Decoder konfiguriert"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RKonfigDecoder settings = Settings(true, c.command, tempdir);
    settings.ExtDecoderPipeModus = c.pipe;
    settings.ExtDecoderPipeoutParam = "pipe:1";
    const TDecoderTestResult r = TestDecoder(settings, pcm16);
    EXPECT_EQ(r.Ok, c.ok);
    ASSERT_EQ(r.Messages.size(), 1u);
    EXPECT_EQ(r.Messages[0].Kind, c.kind);
    if (c.ok) {
      EXPECT_EQ(r.Messages[0].Text.rfind(c.text, 0), 0u) << r.Messages[0].Text;
      EXPECT_EQ(r.Messages[0].Text.substr(r.Messages[0].Text.size() - 3), " s)");
    } else {
      EXPECT_EQ(r.Messages[0].Text, c.text);
    }
    // The test's output file never stays behind.
    EXPECT_FALSE(fs::exists(tempdir + "/TestOut.Wav"));
  }
}

TEST_F(KonfigTest, FileModeWithAMissingWorkDirectoryRunsNothing) {
  const std::string marker = dir.File("ran");
  const std::string gone = dir.File("gone/");
  const TDecoderTestResult r = TestFileMode("touch " + marker, gone, pcm16);
  EXPECT_FALSE(r.Ok);
  ASSERT_EQ(r.Messages.size(), 1u);
  EXPECT_EQ(r.Messages[0].Kind, TPromptKind::Warning);
  EXPECT_EQ(r.Messages[0].Text, "Das Angegebene Verzeichnis " + gone + " existiert nicht!");
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(KonfigTest, FileModeWithoutWorkDirectoryUsesTheTemporaryDirectory) {
  const std::string tmp = dir.File("tmp");
  fs::create_directories(tmp);
  const std::string seen = dir.File("seen");
  const char* old = getenv("TMPDIR");
  const std::string saved = old != nullptr ? old : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  // The decoder records where it was asked to write, then writes there.
  const TDecoderTestResult r =
      TestFileMode("sh -c 'echo \"$1\" > " + seen + "; cp " + pcm16 + " \"$1\"' x %o", "", pcm16);
  if (old != nullptr)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
  EXPECT_TRUE(r.Ok);
  std::ifstream in(seen);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, tmp + "/TestOut.Wav");
}

}  // namespace
