// Media header readers: WAV chunk walks built in code (and broken on purpose), MP3 and FLAC
// files made by ffmpeg, and the MPEG frame header decoder.
#include "afp/mediainfo_unit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "afp/mediainfo_flac_unit.h"
#include "afp/mediainfo_mp3_unit.h"
#include "afp/mediainfo_wav_unit.h"
#include "afp_audio_fixtures.h"

namespace {

using afptest::MakeWav;
using afptest::PutLE;
using afptest::TempDir;
using afptest::WriteBytes;

RHeaderinf ReadWavBytes(const std::vector<std::uint8_t>& bytes, bool& ok) {
  TMediaMemorySource source(bytes);
  RHeaderinf hi;
  ok = TMediaInfoWAV::ReadFrameHeaderWAV(source, hi);
  return hi;
}

void AddChunk(std::vector<std::uint8_t>& out, const char* id, std::uint32_t declared,
              std::size_t real) {
  out.insert(out.end(), id, id + 4);
  PutLE(out, declared, 4);
  out.insert(out.end(), real, 0x11);
}

TEST(TMediaInfoWAV, CanonicalHeader) {
  const auto wav = MakeWav(2, 22050, 16, std::vector<int>(22050 * 2, 5));
  TempDir dir;
  WriteBytes(dir.File("a.WAV"), wav);
  RHeaderinf hi;
  ASSERT_TRUE(TMediaInfo::ReadFrameHeader(dir.File("a.WAV"), false, false, nullptr, hi));
  EXPECT_EQ(hi.Format, HIF_WAV);
  EXPECT_TRUE(hi.FormatReadOk);
  EXPECT_TRUE(hi.IsPcmWav());
  EXPECT_EQ(hi.Wave.datapos, 44);
  const RWaveFormatEx& f = hi.Wave.WaveFormatEx;
  EXPECT_EQ(f.wFormatTag, 1);
  EXPECT_EQ(f.nChannels, 2);
  EXPECT_EQ(f.nSamplesPerSec, 22050u);
  EXPECT_EQ(f.nAvgBytesPerSec, 88200u);
  EXPECT_EQ(f.nBlockAlign, 4);
  EXPECT_EQ(f.wBitsPerSample, 16);
  EXPECT_DOUBLE_EQ(hi.TimeSec, 1.0);
}

TEST(TMediaInfoWAV, ChunkWalks) {
  std::vector<std::uint8_t> fmt_body;
  PutLE(fmt_body, 3, 2);  // IEEE float
  PutLE(fmt_body, 1, 2);
  PutLE(fmt_body, 8000, 4);
  PutLE(fmt_body, 32000, 4);
  PutLE(fmt_body, 4, 2);
  PutLE(fmt_body, 32, 2);
  auto riff = [] {
    return std::vector<std::uint8_t>{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  };
  auto add_fmt = [&](std::vector<std::uint8_t>& v) {
    v.insert(v.end(), {'f', 'm', 't', ' ', 16, 0, 0, 0});
    v.insert(v.end(), fmt_body.begin(), fmt_body.end());
  };
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool ok, format_ok;
    std::int64_t datapos;
  };
  std::vector<Case> cases;
  {  // data first, then fmt; a LIST chunk of odd length in between
    auto v = riff();
    AddChunk(v, "data", 40, 40);
    AddChunk(v, "LIST", 7, 7);
    add_fmt(v);
    v.resize(160, 0);
    cases.push_back({"data before fmt", v, true, true, 20});
  }
  {  // no data chunk at all: walked to the end
    auto v = riff();
    add_fmt(v);
    AddChunk(v, "junk", 100, 100);
    AddChunk(v, "JUNK", 20, 20);
    cases.push_back({"no data", v, true, true, 0});
  }
  {  // a length that points far past the end
    auto v = riff();
    AddChunk(v, "LIST", 0xFFFFFFF0u, 120);
    cases.push_back({"huge length", v, true, false, 0});
  }
  {  // an upper-case, blank-padded id counts as "fmt"
    auto v = riff();
    v.insert(v.end(), {'F', 'M', 'T', ' ', 16, 0, 0, 0});
    v.insert(v.end(), fmt_body.begin(), fmt_body.end());
    AddChunk(v, "data", 64, 64);
    cases.push_back({"upper-case id", v, true, true, 44});
  }
  {  // short file whose next chunk header lies in its last bytes
    auto v = riff();
    add_fmt(v);
    AddChunk(v, "LIST", 52, 52);
    AddChunk(v, "data", 4, 4);
    cases.push_back({"short file", v, true, true, 104});
  }
  cases.push_back({"99 bytes", std::vector<std::uint8_t>(99, 0), false, false, 0});
  {
    auto v = MakeWav(1, 8000, 16, std::vector<int>(100, 0));
    v[8] = 'X';
    cases.push_back({"not WAVE", v, true, false, 0});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool ok = false;
    const RHeaderinf hi = ReadWavBytes(c.bytes, ok);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(hi.Format, HIF_WAV);
    EXPECT_EQ(hi.FormatReadOk, c.format_ok);
    EXPECT_EQ(hi.Wave.datapos, c.datapos);
    if (c.format_ok) {
      EXPECT_EQ(hi.Wave.WaveFormatEx.wFormatTag, 3);
      EXPECT_EQ(hi.Wave.WaveFormatEx.wBitsPerSample, 32);
      EXPECT_FALSE(hi.IsPcmWav());
    }
  }
}

TEST(TMediaInfo, ExtensionsChooseTheReader) {
  struct Case {
    const char* file;
    bool ok;
    RHeaderInfFormat format;
  } cases[] = {
      // MP2 and AAC end before any read: the files need not exist.
      {"/nonexistent/a.mp2", true, HIF_MPEG},  {"/nonexistent/a.m4a", true, HIF_MPEG},
      {"/nonexistent/a.mp3", false, HIF_MPEG}, {"/nonexistent/a.flac", false, HIF_FLAC},
      {"/nonexistent/a.wav", false, HIF_WAV},  {"/nonexistent/a.ogg", false, HIF_UNKNOWN},
      {"/dev/null.wav", false, HIF_WAV},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    RHeaderinf hi;
    hi.TimeSec = 99;
    EXPECT_EQ(TMediaInfo::ReadFrameHeader(c.file, false, false, nullptr, hi), c.ok);
    EXPECT_EQ(hi.Format, c.format);
    EXPECT_FALSE(hi.FormatReadOk);
    EXPECT_EQ(hi.TimeSec, 0);
  }
}

TEST(TMediaInfoMP3, ParseMpegHeader) {
  struct Case {
    RFrameHeaderBuf b;
    bool ok;
    const char* vers;
    int layer, bitrate, rate, framegr, channels;
    bool prot;
  } cases[] = {
      {{0xFF, 0xFB, 0x90, 0x64}, true, "1", 3, 128, 44100, 417, 2, false},
      {{0xFF, 0xFB, 0x92, 0xC4}, true, "1", 3, 128, 44100, 418, 1, false},  // padded, mono
      {{0xFF, 0xF3, 0x84, 0x00}, true, "2", 3, 64, 24000, 192, 2, false},   // half-length frames
      {{0xFF, 0xE3, 0x48, 0x00}, true, "2.5", 3, 32, 8000, 288, 2, false},
      {{0xFF, 0xFC, 0xA0, 0x00}, true, "1", 2, 192, 44100, 626, 2, true},
      {{0xFF, 0xFF, 0x10, 0x00}, true, "1", 1, 32, 44100, 32, 2, false},
      {{0x00, 0x00, 0x00, 0x00}, false, "", 0, 0, 0, 0, 0, false},
      {{0xFF, 0xE8, 0x90, 0x00}, false, "", 0, 0, 0, 0, 0, false},     // reserved version
      {{0xFF, 0xF0, 0x90, 0x00}, false, "2", 0, 0, 0, 0, 0, false},    // reserved layer
      {{0xFF, 0xFB, 0xF0, 0x00}, false, "1", 3, 0, 0, 0, 0, false},    // bitrate index 15
      {{0xFF, 0xFB, 0x9C, 0x00}, false, "1", 3, 128, 0, 0, 0, false},  // sampling index 3
      {{0xFE, 0xFB, 0x90, 0x00}, false, "", 0, 0, 0, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.b));
    RHeaderInfMpeg m;
    EXPECT_EQ(TMediaInfoMP3::ParseMpegHeader(c.b, m), c.ok);
    EXPECT_EQ(m.vers, c.vers);
    EXPECT_EQ(m.layer, c.layer);
    EXPECT_EQ(m.bitrate, c.bitrate);
    EXPECT_EQ(m.samplingrate, c.rate);
    EXPECT_EQ(m.framegr, c.framegr);
    if (c.ok) {
      EXPECT_EQ(m.channels, c.channels);
      EXPECT_EQ(m.prot, c.prot);
      EXPECT_NEAR(m.framezeit, c.framegr * 8.0 / (c.bitrate * 1000.0), 1e-12);
    }
  }
}

// MP3 and FLAC files written by ffmpeg from one 12 s generated recording.
class EncodedFiles : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    WriteBytes(dir_->File("src.wav"),
               MakeWav(2, 44100, 16, afptest::Interleave(afptest::MusicLike(44100, 12.0), 2)));
    WriteBytes(dir_->File("mono.wav"), MakeWav(1, 44100, 16, afptest::MusicLike(44100, 12.0)));
    const std::string src = dir_->File("src.wav");
    afptest::Ffmpeg({"-i", src, "-c:a", "libmp3lame", "-b:a", "128k", dir_->File("cbr_id3.mp3")});
    afptest::Ffmpeg({"-i", src, "-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0",
                     "-write_xing", "0", dir_->File("cbr_plain.mp3")});
    afptest::Ffmpeg({"-i", src, "-c:a", "libmp3lame", "-q:a", "2", dir_->File("vbr_id3.mp3")});
    afptest::Ffmpeg({"-i", src, "-c:a", "libmp3lame", "-q:a", "2", "-id3v2_version", "0",
                     dir_->File("vbr_plain.mp3")});
    afptest::Ffmpeg({"-i", dir_->File("mono.wav"), "-c:a", "flac", "-sample_fmt", "s32",
                     "-bits_per_raw_sample", "24", dir_->File("mono24.flac")});
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static TempDir* dir_;
};
TempDir* EncodedFiles::dir_ = nullptr;

TEST_F(EncodedFiles, Mp3ConstantAndVariableBitrate) {
  struct Case {
    const char* file;
    bool id3, vbr;
  } cases[] = {{"cbr_id3.mp3", true, false},
               {"cbr_plain.mp3", false, false},
               {"vbr_id3.mp3", true, true},
               {"vbr_plain.mp3", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string file = dir_->File(c.file);
    const auto bytes = afptest::ReadBytes(file);
    RHeaderinf hi;
    ASSERT_TRUE(TMediaInfo::ReadFrameHeader(file, false, false, nullptr, hi));
    EXPECT_EQ(hi.Format, HIF_MPEG);
    EXPECT_TRUE(hi.FormatReadOk);
    EXPECT_EQ(hi.isVBR, c.vbr);
    EXPECT_FALSE(hi.isScan);
    EXPECT_EQ(hi.Mpeg.samplingrate, 44100);
    EXPECT_EQ(hi.Mpeg.channels, 2);
    EXPECT_EQ(hi.Mpeg.layer, 3);
    EXPECT_EQ(hi.Mpeg.vers, "1");
    const std::int64_t first = hi.Mpeg.headerposfirst + 3;  // three bytes before the header
    if (c.id3) {
      const std::int64_t tag = ((bytes[6] & 0x7F) << 21 | (bytes[7] & 0x7F) << 14 |
                                (bytes[8] & 0x7F) << 7 | (bytes[9] & 0x7F)) +
                               10;
      EXPECT_EQ(first, tag);
    } else {
      EXPECT_EQ(first, 0);
    }
    ASSERT_LT(first + 1, static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(bytes[static_cast<std::size_t>(first)], 0xFF);
    EXPECT_EQ(hi.Mpeg.headerbuffirst[0], 0xFF);
    if (c.vbr) {
      EXPECT_NEAR(hi.TimeSec, 12.0, 0.1);  // summed frame durations
      EXPECT_GT(hi.Mpeg.headerreadcount, 450);
      EXPECT_EQ(hi.Mpeg.framegr, -1);
    } else {
      EXPECT_EQ(hi.TimeSec, 12.0);  // whole seconds from the file size
      EXPECT_EQ(hi.Mpeg.headerreadcount, MinScanFrames);
      EXPECT_EQ(hi.Mpeg.bitrate, 128);
      EXPECT_GT(hi.Mpeg.framegr, 416);
    }
  }
}

TEST_F(EncodedFiles, ForcedScanReportsProgress) {
  std::vector<std::string> status;
  RHeaderinf hi;
  ASSERT_TRUE(TMediaInfo::ReadFrameHeader(
      dir_->File("cbr_id3.mp3"), true, false, [&](const std::string& s) { status.push_back(s); },
      hi));
  EXPECT_TRUE(hi.isScan);
  EXPECT_FALSE(hi.isVBR);
  EXPECT_NEAR(hi.TimeSec, 12.0, 0.1);
  EXPECT_GT(hi.Mpeg.headerreadcount, 450);
  EXPECT_EQ(hi.Mpeg.bitrate, 128);
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), "Framescan: 0%");
}

TEST_F(EncodedFiles, FlacMono24Bit) {
  const std::string file = dir_->File("mono24.flac");
  RHeaderinf hi;
  ASSERT_TRUE(TMediaInfo::ReadFrameHeader(file, false, false, nullptr, hi));
  EXPECT_EQ(hi.Format, HIF_FLAC);
  EXPECT_TRUE(hi.FormatReadOk);
  EXPECT_EQ(hi.Flac.channels, 1);
  EXPECT_EQ(hi.Flac.bitsPerSample, 24);
  EXPECT_EQ(hi.Flac.samlingRate, 44100);
  EXPECT_EQ(hi.Flac.totalNumberOfSamples, 44100 * 12);
  EXPECT_DOUBLE_EQ(hi.TimeSec, 12.0);
  // datapos is where the first audio frame begins (frame sync 0xFFF8/0xFFF9).
  const auto bytes = afptest::ReadBytes(file);
  ASSERT_LT(hi.Flac.datapos + 1, static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(bytes[static_cast<std::size_t>(hi.Flac.datapos)], 0xFF);
  EXPECT_EQ(bytes[static_cast<std::size_t>(hi.Flac.datapos) + 1] & 0xFE, 0xF8);
}

TEST(TMediaInfoFLAC, BrokenHeaders) {
  std::vector<std::uint8_t> v{'f', 'L', 'a', 'C', 0x00, 0, 0, 34};
  v.resize(120, 0);
  v[8 + 10] = 0x0A;  // 44100 Hz = 0x0AC44
  v[8 + 11] = 0xC4;
  v[8 + 12] = 0x42;  // 2 channels, 16 bits
  v[8 + 13] = 0xF0;
  v[42] = 0x84;  // last block, type 4, length far past the end
  v[43] = 0xFF;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool ok, format_ok;
  } cases[] = {{"long length", v, true, true},
               {"short", std::vector<std::uint8_t>(v.begin(), v.begin() + 99), false, false},
               {"no marker", std::vector<std::uint8_t>(120, 0x66), true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TMediaMemorySource source(c.bytes);
    RHeaderinf hi;
    EXPECT_EQ(TMediaInfoFLAC::ReadFrameHeaderFLAC(source, hi), c.ok);
    EXPECT_EQ(hi.FormatReadOk, c.format_ok);
    if (c.format_ok) {
      EXPECT_EQ(hi.Flac.samlingRate, 44100);
      EXPECT_EQ(hi.Flac.channels, 2);
      EXPECT_EQ(hi.Flac.bitsPerSample, 16);
      EXPECT_EQ(hi.Flac.datapos, 42 + 4 + 0xFF0000);
    }
  }
}

// Byte soup named .mp3: the scan ends on the miss limit instead of reading 3 MB byte by byte,
// and reports no frames.
TEST(TMediaInfoMP3, GarbageEndsWithoutFrames) {
  std::vector<std::uint8_t> v(3 * 1024 * 1024);
  std::uint32_t x = 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>((x >> 16) & 0x7F);  // never 0xFF: no sync anywhere
  }
  TMediaMemorySource source(v);
  RHeaderinf hi;
  EXPECT_TRUE(TMediaInfoMP3::ScanMP3(source, false, false, nullptr, hi));
  EXPECT_FALSE(hi.FormatReadOk);
  EXPECT_EQ(hi.Mpeg.headerposfirst, -1);
  EXPECT_EQ(hi.TimeSec, 0);
}

}  // namespace
