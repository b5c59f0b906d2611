// The decoders: the shared frame walk, the codec decoder (mpg123, sndfile) on files written by
// ffmpeg, and the external decoder run for real in pipe and file mode.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "afp/afpdecode_unit.h"
#include "afp/afpdecoder_acm_unit.h"
#include "afp/afpdecoder_ext_unit.h"
#include "afp/afpdecoder_pcm_unit.h"
#include "afp_audio_fixtures.h"

namespace {

using afptest::MakeWav;
using afptest::TempDir;
using afptest::WriteBytes;

struct Capture {
  std::vector<int> samples;
  std::int32_t rate = 0;
  void operator()(std::int16_t s, std::int32_t r) {
    samples.push_back(s);
    rate = r;
  }
};

TEST(FeedPcmChunk, WalkAndChunkEndRule) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint16_t channels, bits;
    std::vector<int> expected;
  } cases[] = {
      // 16-bit mono: the walk stops while the next offset is not below length - 3, so the last
      // sample of the chunk is not fed.
      {"16 mono", {1, 0, 2, 0, 3, 0, 0xFF, 0xFF, 5, 0}, 1, 16, {1, 2, 3, -1}},
      {"16 stereo", {1, 0, 9, 9, 2, 0, 9, 9, 0, 0x80, 9, 9, 4, 0, 9, 9}, 2, 16, {1, 2, -32768, 4}},
      {"8 mono", {10, 20, 30, 40, 50}, 1, 8, {10, 20, 30}},
      {"8 stereo unsigned", {200, 1, 128, 2, 0, 3, 255, 4}, 2, 8, {200, 128, 0}},
      {"one byte of 16-bit", {7}, 1, 16, {7}},
      {"empty", {}, 1, 16, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RWaveFormatEx f;
    f.nChannels = c.channels;
    f.wBitsPerSample = c.bits;
    f.nSamplesPerSec = 8000;
    Capture cap;
    FeedPcmChunk(c.bytes, f, PcbSampleprocessing(cap));
    EXPECT_EQ(cap.samples, c.expected);
  }
}

// The PCM reader walks a 10 MiB chunk in pieces: piecewise and whole must feed alike, whatever
// the frame size and however the chunk ends.
TEST(FeedPcmChunk, PiecesFeedWhatTheWholeChunkFeeds) {
  struct Case {
    std::uint16_t channels, bits;
    std::size_t len, piece_frames;
  } cases[] = {{1, 16, 10000, 7}, {3, 16, 6001, 5}, {2, 8, 999, 100}, {1, 8, 3, 1}, {5, 16, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + "x" + std::to_string(c.bits) + " len " +
                 std::to_string(c.len));
    std::vector<std::uint8_t> bytes(c.len);
    for (std::size_t i = 0; i < c.len; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + i / 7);
    RWaveFormatEx f;
    f.nChannels = c.channels;
    f.wBitsPerSample = c.bits;
    f.nSamplesPerSec = 44100;
    Capture whole, pieces;
    FeedPcmChunk(bytes, f, PcbSampleprocessing(whole));
    const std::size_t piece = c.piece_frames * c.channels * c.bits / 8;
    for (std::size_t off = 0; off < c.len; off += piece) {
      FeedPcmPiece(std::span(bytes).subspan(off, std::min(piece, c.len - off)), off, c.len, f,
                   PcbSampleprocessing(pieces));
    }
    EXPECT_EQ(pieces.samples, whole.samples);
    EXPECT_FALSE(whole.samples.empty());
  }
}

// Fingerprints of two encodings of one recording, compared position by position at the best
// small shift (decoder delay): mean absolute difference of p1 and p2.
double Distance(const RAFP& a, const RAFP& b) {
  double best = 1e9;
  for (int shift = -3; shift <= 3; ++shift) {
    double sum = 0;
    int count = 0;
    for (int i = 0; i < static_cast<int>(a.p1.size()); ++i) {
      const int j = i + shift;
      if (j < 0 || j >= static_cast<int>(b.p1.size())) continue;
      sum += std::abs(a.p1[i] - b.p1[j]) + std::abs(a.p2[i] - b.p2[j]);
      ++count;
    }
    if (count > 40) best = std::min(best, sum / (2 * count));
  }
  return best;
}

class Encodings : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const std::string src = dir_->File("src.wav");
    // Both channels alike: other encoders write longer WAV headers, and a header that is not a
    // whole number of frames long shifts the walk onto the other channel (as it always did).
    const auto music = afptest::MusicLike(44100, 30.0, 77);
    std::vector<int> both, left_only;
    for (int s : music) {
      both.insert(both.end(), {s, s});
      left_only.insert(left_only.end(), {s, 0});
    }
    WriteBytes(src, MakeWav(2, 44100, 16, both));
    WriteBytes(dir_->File("left.wav"), MakeWav(2, 44100, 16, left_only));
    using afptest::Ffmpeg;
    Ffmpeg({"-i", src, "-c:a", "libmp3lame", "-b:a", "128k", dir_->File("cbr.mp3")});
    Ffmpeg({"-i", src, "-c:a", "libmp3lame", "-q:a", "4", "-id3v2_version", "0",
            dir_->File("vbr.mp3")});
    Ffmpeg({"-i", dir_->File("left.wav"), "-c:a", "libmp3lame", "-b:a", "128k",
            dir_->File("left.mp3")});
    Ffmpeg({"-i", src, "-c:a", "flac", dir_->File("src.flac")});
    Ffmpeg({"-i", src, "-c:a", "pcm_f32le", dir_->File("float.wav")});
    Ffmpeg({"-i", src, "-c:a", "pcm_alaw", dir_->File("alaw.wav")});
    Ffmpeg({"-i", src, "-c:a", "pcm_mulaw", dir_->File("mulaw.wav")});
    Ffmpeg({"-i", src, "-c:a", "adpcm_ima_wav", dir_->File("adpcm.wav")});
    Ffmpeg({"-i", src, "-c:a", "libvorbis", dir_->File("src.ogg")});
    TAFPDecoder gen;
    ASSERT_TRUE(gen.AFPDecode(src, reference_)) << gen.lasterror();
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static TempDir* dir_;
  static RAFP reference_;
};
TempDir* Encodings::dir_ = nullptr;
RAFP Encodings::reference_;

TEST_F(Encodings, CodecDecoderMatchesThePcmFingerprint) {
  // MP3 loses the top octave, which the high-frequency series sees; the WAV codecs keep it.
  struct Case {
    const char* name;
    double limit;
  } cases[] = {{"cbr.mp3", 5.0},  {"vbr.mp3", 5.0},   {"float.wav", 0.5},
               {"alaw.wav", 0.5}, {"mulaw.wav", 0.5}, {"adpcm.wav", 1.5}};
  for (const auto& [name, limit] : cases) {
    SCOPED_TRACE(name);
    TAFPDecoder gen;
    RAFP afp;
    ASSERT_TRUE(gen.AFPDecode(dir_->File(name), afp)) << gen.lasterror();
    EXPECT_NEAR(static_cast<double>(afp.p1.size()), static_cast<double>(reference_.p1.size()), 2);
    EXPECT_LT(Distance(afp, reference_), limit);
  }
}

// The codec decoder hands over the left channel: an MP3 whose right channel is silent still
// gives the full fingerprint, and its samples arrive at the stream's rate.
TEST_F(Encodings, DistanceTellsRecordingsApart) {
  const std::string other = dir_->File("other.wav");
  const auto music = afptest::MusicLike(44100, 30.0, 78);
  WriteBytes(other, MakeWav(1, 44100, 16, music));
  TAFPDecoder gen;
  RAFP afp;
  ASSERT_TRUE(gen.AFPDecode(other, afp));
  EXPECT_GT(Distance(afp, reference_), 10.0);
}

TEST_F(Encodings, CodecDecoderDeliversTheLeftChannel) {
  TAFPDecoder_acm acm;
  Capture cap;
  std::string error;
  ASSERT_TRUE(
      acm.acmdodecode(dir_->File("left.mp3"), RHeaderinf{}, PcbSampleprocessing(cap), error))
      << error;
  EXPECT_EQ(cap.rate, 44100);
  EXPECT_NEAR(static_cast<double>(cap.samples.size()), 30.0 * 44100, 3000);
  std::int64_t energy = 0;
  for (int s : cap.samples) energy += std::abs(s);
  EXPECT_GT(energy / static_cast<std::int64_t>(cap.samples.size()), 1000);
}

TEST_F(Encodings, ExternalDecoderPipeAndFileMode) {
  const std::string ffmpeg_pipe = "ffmpeg -nostdin -loglevel error -i %i -f wav -c:a pcm_s16le %o";
  struct Case {
    const char* name;
    RAfpDecodertype type;
    std::string cmd;
  } cases[] = {
      {"pipe", dtExtPipe, ffmpeg_pipe},
      {"pipe, %I and no %o", dtExtPipe,
       "ffmpeg -nostdin -loglevel error -i %I -f wav -c:a pcm_s16le -"},
      {"file", dtExtFile, "ffmpeg -nostdin -loglevel error -y -i %i -c:a pcm_s16le %O"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    TAFPDecoder gen;
    gen.SetDecodertype(c.type);
    gen.SetExtDecodercmd(c.cmd);
    gen.SetExtDecoderPipeOutParam("pipe:1");
    gen.SetTempDir(tmp.path());
    RAFP afp;
    ASSERT_TRUE(gen.AFPDecode(dir_->File("src.flac"), afp)) << gen.lasterror();
    EXPECT_LT(Distance(afp, reference_), 0.5);
    // File mode cleans up its output.
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
  }
}

TEST_F(Encodings, ExternalDecoderFailures) {
  struct Case {
    const char* name;
    RAfpDecodertype type;
    std::string cmd;
    const char* afp_error;
  } cases[] = {
      {"pipe exit 1", dtExtPipe, "sh -c 'echo bad input >&2; exit 1' %i",
       "ext decode error (pipemode)"},
      {"pipe empty", dtExtPipe, "true %i %o", "ext decode error (pipemode)"},
      {"file exit 1", dtExtFile, "sh -c 'exit 1' %i %o", "ext decode error (filemode,decode)"},
      // Float output is no PCM WAV: nothing is fed.
      {"file not pcm", dtExtFile, "ffmpeg -nostdin -loglevel error -y -i %i -c:a pcm_f32le %o",
       "decode result fehler (length)"},
      {"pipe missing program", dtExtPipe, "/nonexistent/decoder %i", "ext decode error (pipemode)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TAFPDecoder gen;
    gen.SetDecodertype(c.type);
    gen.SetExtDecodercmd(c.cmd);
    RAFP afp;
    EXPECT_FALSE(gen.AFPDecode(dir_->File("src.flac"), afp));
    EXPECT_EQ(gen.lasterror(), c.afp_error);
  }
}

TEST_F(Encodings, ExternalDecoderMessages) {
  const std::string mp3 = dir_->File("cbr.mp3");
  struct Case {
    const char* name;
    std::string cmd;
    std::string starts;
  } cases[] = {
      {"exit 1", "sh -c 'echo bad input >&2; exit 1' %i", "process exit code 1 bad input "},
      {"empty", "true %i", "decoderoutputstream error (empty)"},
      {"short output", "echo hello %o", "decoderoutputstream error (read header)"},
      {"not WAV", "head -c 5000 %i", "decoderoutputstream error (not pcm)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TAFPDecoder_ext ext;
    ext.SetExtDecodercmd(c.cmd);
    Capture cap;
    std::string error;
    EXPECT_FALSE(ext.extdodecode(mp3, RHeaderinf{}, PcbSampleprocessing(cap), error));
    EXPECT_EQ(error.substr(0, c.starts.size()), c.starts) << error;
    EXPECT_TRUE(cap.samples.empty());
  }
}

TEST(TAFPDecoder_ext, DecoderThatOutlivesTheTimeLimitIsKilled) {
  TAFPDecoder_ext ext;
  ext.SetExtDecodercmd("sh -c 'sleep 30' %i");
  ext.SetTimeoutMs(300);
  Capture cap;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ext.extdodecode("in.flac", RHeaderinf{}, PcbSampleprocessing(cap), error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(error.rfind("processtimeout after 300 ms", 0), 0u) << error;
}

TEST(TAFPDecoder_ext, FileModeNameIsUniquePerInstance) {
  TAFPDecoder_ext a, b;
  EXPECT_NE(a.InstanceUniqueTmpName(), b.InstanceUniqueTmpName());
  a.SetTempDir("/nonexistent/dir");
  a.SetExtDecodercmd("true %i %o");
  std::string out;
  EXPECT_TRUE(a.extdodecodetofile("x.flac", out));
  EXPECT_EQ(out, SystemTempDir() + "/" + a.InstanceUniqueTmpName() + ".wav");
}

TEST_F(Encodings, CodecDecoderRefusesOtherExtensions) {
  TAFPDecoder gen;
  RAFP afp;
  EXPECT_FALSE(gen.AFPDecode(dir_->File("src.ogg"), afp));
  EXPECT_EQ(gen.lasterror(), "acm decode init error");
  EXPECT_FALSE(gen.AFPDecode(dir_->File("src.flac"), afp));
  EXPECT_EQ(gen.lasterror(), "acm decode init error");
}

}  // namespace
