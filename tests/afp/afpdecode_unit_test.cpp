// Fingerprint generation: the block arithmetic against a literal double-precision reference,
// a golden fingerprint, the block-count limits, and AFPDecode's outcomes.
#include "afp/afpdecode_unit.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <random>

#include "afp/afpdecoder_pcm_unit.h"
#include "afp_audio_fixtures.h"

namespace {

using afptest::MakeWav;
using afptest::TempDir;
using afptest::WriteBytes;

// The generation rules written out plainly, every rounding in doubles: what the stored
// fingerprints were made with.
struct ReferenceGenerator {
  int samples = 0, state = 0, tpval = INT_MAX;
  std::int64_t spnorm = 0, spfilter = 0;
  std::vector<std::pair<int, int>> blocks;

  void Sample(std::int16_t s, int rate) {
    if (state == 0) {
      if (s < 25) return;
      state = 1;
    }
    ++samples;
    tpval = tpval == INT_MAX ? s : static_cast<int>(std::nearbyint((1 - 0.5) * tpval + 0.5 * s));
    spnorm += std::abs(s);
    spfilter += std::abs(s) - std::abs(tpval);
    if (samples == rate / 4) {
      int mp = static_cast<int>(std::nearbyint(static_cast<double>(spnorm) / samples / 2));
      int zc = static_cast<int>(std::nearbyint(static_cast<double>(spfilter) / samples / 2));
      blocks.emplace_back(mp < 0 ? 127 : mp, zc < 0 ? 127 : zc);
      samples = 0;
      spnorm = spfilter = 0;
    }
  }

  // Walks a file's bytes like the PCM reader: from byte 0, 10 MiB chunks, chunk-end rule.
  void Walk(const std::vector<std::uint8_t>& file, int channels, int rate, int bits) {
    const std::size_t b = bits / 8, step = b * channels;
    for (std::size_t start = 0; start < file.size(); start += 10485760) {
      const std::size_t len = std::min<std::size_t>(10485760, file.size() - start);
      std::size_t off = 0;
      do {
        const std::uint8_t* p = file.data() + start + off;
        Sample(bits == 8 ? static_cast<std::int16_t>(p[0])
                         : static_cast<std::int16_t>(p[0] | (p[1] << 8)),
               rate);
        off += step;
      } while (off < len - b - 1);
    }
  }

  bool Finish(RAFP& out) const {
    int n = static_cast<int>(blocks.size());
    if (n < 60) return false;
    if (n > 4800) n = 4800;
    std::vector<std::pair<int, int>> e(blocks.begin(), blocks.begin() + n);
    e.push_back(static_cast<int>(blocks.size()) > n ? blocks[n] : std::pair{0, 0});
    std::int64_t smp = 0, szc = 0;
    for (auto& [mp, zc] : e) smp += mp, szc += zc;
    const int lmp = 2 * static_cast<int>(std::nearbyint(static_cast<double>(smp) / n));
    const int lzc = 2 * static_cast<int>(std::nearbyint(static_cast<double>(szc) / n));
    auto norm = [](int& v, int l) {
      if (l > 0) v = v > l ? l : static_cast<int>(std::nearbyint(static_cast<double>(v) / l * 127));
      if (v > 127) v = 127;
    };
    for (auto& [mp, zc] : e) norm(mp, lmp), norm(zc, lzc);
    int t = -1;
    for (int i = n; i >= 1 && e[i].first < 6.35 && e[i].second < 6.35; --i) t = i;
    if (t >= 0 && t < n) n = t;
    if (n + 1 < 76) return false;
    for (int k = 8; k <= n - 9; ++k) {
      out.p1.push_back(static_cast<std::uint8_t>(e[k].first));
      out.p2.push_back(static_cast<std::uint8_t>(e[k].second));
    }
    return true;
  }
};

TEST(RoundDivHalfEven, AgreesWithDoubleDivisionRounding) {
  struct Case {
    std::int64_t num, den, expected;
  } cases[] = {{5, 2, 2}, {7, 2, 4}, {-1, 2, 0},  {-3, 2, -2}, {-5, 2, -2},
               {1, 3, 0}, {2, 3, 1}, {-2, 3, -1}, {0, 7, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.num) + "/" + std::to_string(c.den));
    EXPECT_EQ(RoundDivHalfEven(c.num, c.den), c.expected);
  }
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const std::int64_t den = 2 * (1 + static_cast<std::int64_t>(rng() % 24000));
    const std::int64_t num = static_cast<std::int64_t>(rng() % 1600000000) - 800000000;
    ASSERT_EQ(RoundDivHalfEven(num, den),
              static_cast<std::int64_t>(std::nearbyint(static_cast<double>(num) / (den / 2) / 2)))
        << num << "/" << den;
  }
}

// Blocks alternating between two levels put ties where rounding can go either way: a block
// mean of exactly x.5 for the limit, and values that scale to exactly x.5.
TEST(TAFPDecoder, BlockMeanAndScalingRoundTiesToEven) {
  struct Case {
    const char* name;
    int level1, level2;  // mp of the even and of the odd blocks
    int scaled1, scaled2;
  } const cases[] = {
      // mean 100.5 gives the limit 2 * 100 (not 2 * 101); 100 / 200 * 127 = 63.5 -> 64
      {"mean 100.5", 100, 101, 64, 64},
      // mean 127, limit 254: 125 -> 62.5 -> 62, 129 -> 64.5 -> 64
      {"scaled 62.5 and 64.5", 125, 129, 62, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TAFPDecoder gen;
    gen.ResetDecoderData(true);
    // 400 Hz: 100 samples a block; a square wave of amplitude 2 * level has mp = level.
    for (int b = 0; b < 80; ++b) {
      const int amp = 2 * (b % 2 ? c.level2 : c.level1);
      for (int i = 0; i < 100; ++i) gen.ProcessSample(static_cast<std::int16_t>(i % 2 ? -amp : amp), 400);
    }
    gen.FinishDecoderData();
    const RAFPDecoderData& d = gen.DecoderData();
    ASSERT_EQ(d.afpdatenindex, 80);
    for (int b = 0; b < 80; ++b) {
      ASSERT_EQ(d.afpdaten[static_cast<std::size_t>(b)].mp, b % 2 ? c.scaled2 : c.scaled1) << b;
    }
  }
}

// Random loud and quiet stretches, negative runs and ties of the filter: the integer
// accumulator must give the blocks of the double formulas exactly.
TEST(TAFPDecoder, AccumulatorMatchesDoubleReferenceOnRandomSignals) {
  for (int rate : {400, 8000, 11025, 44100}) {
    SCOPED_TRACE(rate);
    std::mt19937 rng(99);
    TAFPDecoder gen;
    ReferenceGenerator ref;
    gen.ResetDecoderData(true);
    for (int i = 0; i < rate * 30; ++i) {
      const int scale = (i / (rate / 2)) % 3 == 0 ? 32768 : ((i / rate) % 2 == 0 ? 300 : 20);
      const auto s = static_cast<std::int16_t>(static_cast<int>(rng() % (2u * scale)) - scale);
      gen.ProcessSample(s, rate);
      ref.Sample(s, rate);
    }
    ASSERT_EQ(gen.DecoderData().afpdatenindex, static_cast<int>(ref.blocks.size()));
    // The run entry the decoders use gives the same blocks.
    TAFPDecoder runs;
    runs.ResetDecoderData(true);
    std::mt19937 again(99);
    std::vector<std::int16_t> buf;
    for (int i = 0; i < rate * 30; ++i) {
      const int scale = (i / (rate / 2)) % 3 == 0 ? 32768 : ((i / rate) % 2 == 0 ? 300 : 20);
      buf.push_back(static_cast<std::int16_t>(static_cast<int>(again() % (2u * scale)) - scale));
      if (buf.size() == 777 || i + 1 == rate * 30) {
        runs.ProcessSamples(buf.data(), buf.size(), rate);
        buf.clear();
      }
    }
    ASSERT_EQ(runs.DecoderData().afpdatenindex, gen.DecoderData().afpdatenindex);
    for (int k = 0; k < runs.DecoderData().afpdatenindex && k <= AFPMaxBlocks; ++k) {
      ASSERT_EQ(runs.DecoderData().afpdaten[k].mp, gen.DecoderData().afpdaten[k].mp) << k;
      ASSERT_EQ(runs.DecoderData().afpdaten[k].zc, gen.DecoderData().afpdaten[k].zc) << k;
    }
    for (std::size_t k = 0; k < ref.blocks.size(); ++k) {
      ASSERT_EQ(gen.DecoderData().afpdaten[k].mp, ref.blocks[k].first) << k;
      ASSERT_EQ(gen.DecoderData().afpdaten[k].zc, ref.blocks[k].second) << k;
    }
  }
}

// The fixture's fingerprint, fixed once: any drift in the arithmetic or the reader's walk
// changes it. Layout: stereo 16-bit 44.1 kHz, 30 s of IntegerMusic.
const std::uint8_t kGoldenP1[] = {
    65, 76, 65, 55, 81, 60, 61, 53, 53, 52, 81, 76, 62, 57, 62, 63, 75, 74, 54, 57, 61,
    61, 68, 64, 72, 55, 61, 63, 53, 59, 64, 75, 62, 52, 69, 73, 58, 59, 57, 55, 68, 58,
    54, 58, 64, 66, 79, 66, 68, 61, 64, 66, 64, 53, 61, 68, 70, 70, 76, 68, 60, 58, 62,
    64, 56, 76, 54, 64, 66, 66, 71, 73, 73, 73, 70, 65, 53, 54, 65, 54, 53, 52, 60, 61,
    70, 66, 64, 62, 77, 53, 62, 65, 56, 51, 58, 65, 80, 74, 61, 53, 62, 58, 80, 60,
};
const std::uint8_t kGoldenP2[] = {
    79, 88, 97, 9,  39, 54, 60, 67, 79,  15, 30,  112, 112, 79, 85, 82, 36, 33,  67, 54, 45,
    12, 64, 42, 57, 97, 45, 18, 64, 60,  51, 42,  42,  9,   51, 70, 79, 51, 100, 85, 51, 42,
    60, 57, 42, 12, 33, 45, 45, 42, 112, 88, 109, 70,  51,  39, 36, 15, 39, 42,  48, 60, 42,
    15, 60, 39, 73, 39, 36, 12, 45, 39,  45, 42,  42,  12,  76, 70, 45, 70, 70,  12, 67, 60,
    76, 91, 64, 9,  64, 82, 51, 45, 67,  9,  60,  51,  42,  94, 73, 15, 82, 42,  36, 64,
};

TEST(TAFPDecoder, GoldenFingerprintOfGeneratedWav) {
  TempDir dir;
  const auto wav = MakeWav(2, 44100, 16, afptest::Interleave(afptest::IntegerMusic(44100, 30), 2));
  WriteBytes(dir.File("golden.wav"), wav);
  TAFPDecoder gen;
  RAFP afp;
  ASSERT_TRUE(gen.AFPDecode(dir.File("golden.wav"), afp)) << gen.lasterror();
  EXPECT_EQ(afp.typ, AFPTypAudio);
  EXPECT_TRUE(gen.lasterror().empty());

  ReferenceGenerator ref;
  ref.Walk(wav, 2, 44100, 16);
  RAFP expected;
  ASSERT_TRUE(ref.Finish(expected));
  EXPECT_EQ(afp.p1, expected.p1);
  EXPECT_EQ(afp.p2, expected.p2);

  EXPECT_EQ(afp.p1, RAFPValArray(std::begin(kGoldenP1), std::end(kGoldenP1)));
  EXPECT_EQ(afp.p2, RAFPValArray(std::begin(kGoldenP2), std::end(kGoldenP2)));
}

// One fixture per layout through the PCM reader: the result must be the reference's walk over
// the same bytes (header included, chunk-end rule, first channel only).
TEST(TAFPDecoder, PcmLayoutsMatchReference) {
  struct Case {
    int channels, rate, bits;
  } cases[] = {{1, 8000, 8}, {2, 22050, 8}, {1, 44100, 16}, {2, 48000, 16}, {2, 11025, 16}};
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + "ch " + std::to_string(c.rate) + " Hz " +
                 std::to_string(c.bits));
    auto left = afptest::IntegerMusic(c.rate, 25, static_cast<std::uint32_t>(c.rate + c.bits));
    if (c.bits == 8) {
      for (int& s : left) s = 128 + s / 256;
    }
    const auto wav = MakeWav(c.channels, c.rate, c.bits, afptest::Interleave(left, c.channels));
    WriteBytes(dir.File("l.wav"), wav);
    TAFPDecoder gen;
    RAFP afp;
    ReferenceGenerator ref;
    ref.Walk(wav, c.channels, c.rate, c.bits);
    RAFP expected;
    ASSERT_EQ(gen.AFPDecode(dir.File("l.wav"), afp), ref.Finish(expected)) << gen.lasterror();
    EXPECT_EQ(afp.p1, expected.p1);
    EXPECT_EQ(afp.p2, expected.p2);
    EXPECT_GT(afp.p1.size(), 59u);
  }
}

// Mono 16-bit at 400 Hz (100 samples a block): the 44 header bytes are 22 samples, the walk
// drops the last sample of the file, so B blocks need B * 100 + 1 - 22 data samples.
std::vector<std::uint8_t> WavOfBlocks(int blocks, int quiet_tail = 0) {
  std::vector<int> s;
  std::mt19937 rng(static_cast<unsigned>(blocks));
  for (int b = 0; b < blocks; ++b) {
    const int amp = b >= blocks - quiet_tail ? 30 : 3000 + static_cast<int>(rng() % 6000);
    for (int i = 0; i < 100; ++i) s.push_back((i % 2 ? amp : -amp) + static_cast<int>(rng() % 200));
  }
  s.erase(s.begin(), s.begin() + 21);
  return MakeWav(1, 400, 16, s);
}

TEST(TAFPDecoder, BlockCountLimits) {
  struct Case {
    int blocks, quiet_tail;
    bool ok;
    std::size_t values;
  } cases[] = {
      {59, 0, false, 0},   {60, 0, false, 0}, {74, 0, false, 0},
      {75, 0, true, 59},   {76, 0, true, 60}, {5000, 0, true, 4784},
      {100, 20, true, 64}, {85, 20, false, 0}};  // the quiet tail trimmed leaves 65 blocks: too few
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.blocks) + " blocks, quiet tail " + std::to_string(c.quiet_tail));
    WriteBytes(dir.File("b.wav"), WavOfBlocks(c.blocks, c.quiet_tail));
    TAFPDecoder gen;
    RAFP afp;
    EXPECT_EQ(gen.AFPDecode(dir.File("b.wav"), afp), c.ok);
    EXPECT_EQ(afp.loaded, c.ok);
    EXPECT_EQ(afp.p1.size(), c.values);
    EXPECT_EQ(afp.p2.size(), c.values);
    EXPECT_EQ(gen.lasterror(), c.ok ? "" : "decode result fehler (length)");
  }
}

TEST(TAFPDecoder, LeadingQuietAndNegativeSamplesDoNotStartTheFirstBlock) {
  auto run = [](const std::vector<int>& lead) {
    TAFPDecoder gen;
    gen.ResetDecoderData(true);
    for (int s : lead) gen.ProcessSample(static_cast<std::int16_t>(s), 400);
    for (int i = 0; i < 100 * 80; ++i)
      gen.ProcessSample(static_cast<std::int16_t>((i * 7919) % 5000 + 25), 400);
    gen.FinishDecoderData();
    return gen.DecoderData().afpdaten.size();
  };
  const auto plain = run({});
  EXPECT_EQ(plain, 81u);
  EXPECT_EQ(run(std::vector<int>(1000, 0)), plain);
  EXPECT_EQ(run({-30000, -25, 24, 0, 24, -1}), plain);
}

TEST(TAFPDecoder, NegativeHighFrequencySumGives127) {
  TAFPDecoder gen;
  gen.ResetDecoderData(true);
  // A loud first sample, then silence: the filter decays slower than the samples, so the sum of
  // |sample| - |filter| goes negative.
  gen.ProcessSample(20000, 400);
  for (int i = 1; i < 100; ++i) gen.ProcessSample(0, 400);
  ASSERT_EQ(gen.DecoderData().afpdatenindex, 1);
  EXPECT_EQ(gen.DecoderData().afpdaten[0].zc, 127);
  EXPECT_EQ(gen.DecoderData().afpdaten[0].mp, 100);  // 20000 / 100 / 2
}

TEST(TAFPDecoder, SilentFailuresAndTypes) {
  struct Case {
    const char* name;
    char16_t typ;
  } cases[] = {{"", AFPTypNone},
               {"/nowhere/cover.JPG", AFPTypNone},
               {"/nowhere/song.mid", AFPTypAudio},
               {"/nowhere/song.KAR", AFPTypAudio}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TAFPDecoder gen;
    RAFP afp;
    afp.p1 = {1, 2};
    EXPECT_FALSE(gen.AFPDecode(c.name, afp));
    EXPECT_EQ(afp.typ, c.typ);
    EXPECT_FALSE(afp.loaded);
    EXPECT_TRUE(afp.p1.empty());
    EXPECT_EQ(gen.lasterror(), "");
  }
}

TEST(TAFPDecoder, ErrorTexts) {
  TempDir dir;
  // 24-bit PCM with format tag 1: the walk knows 8 and 16 bits only.
  WriteBytes(dir.File("s24.wav"), MakeWav(2, 44100, 24, std::vector<int>(44100 * 2 * 20, 1000)));
  WriteBytes(dir.File("x.ogg"), std::vector<std::uint8_t>(4000, 0x4F));
  WriteBytes(dir.File("zero.wav"), MakeWav(0, 44100, 16, std::vector<int>(1000, 1000)));
  struct Case {
    std::string file;
    RAfpDecodertype type;
    const char* error;
  } cases[] = {{dir.File("s24.wav"), dtACM, "unknown bitspersample"},
               {dir.File("zero.wav"), dtACM, "unknown nchannels"},
               {dir.File("x.ogg"), dtACM, "acm decode init error"},
               {dir.File("x.ogg"), static_cast<RAfpDecodertype>(7), "invalid FDecodertype"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TAFPDecoder gen;
    gen.SetDecodertype(c.type);
    RAFP afp;
    EXPECT_FALSE(gen.AFPDecode(c.file, afp));
    EXPECT_EQ(gen.lasterror(), c.error);
    EXPECT_EQ(afp.typ, AFPTypAudio);
  }
}

TEST(TAFPDecoder, ReuseGivesTheResultsOfFreshObjects) {
  TempDir dir;
  WriteBytes(dir.File("a.wav"), MakeWav(1, 8000, 16, afptest::IntegerMusic(8000, 30, 1)));
  WriteBytes(dir.File("b.wav"),
             MakeWav(2, 8000, 16, afptest::Interleave(afptest::IntegerMusic(8000, 40, 2), 2)));
  TAFPDecoder reused;
  RAFP ra1, ra2, ra3, fa, fb;
  ASSERT_TRUE(reused.AFPDecode(dir.File("a.wav"), ra1));
  ASSERT_FALSE(reused.AFPDecode(dir.File("missing.wav"), ra3));
  ASSERT_TRUE(reused.AFPDecode(dir.File("b.wav"), ra2));
  ASSERT_TRUE(TAFPDecoder().AFPDecode(dir.File("a.wav"), fa));
  ASSERT_TRUE(TAFPDecoder().AFPDecode(dir.File("b.wav"), fb));
  EXPECT_EQ(ra1.p1, fa.p1);
  EXPECT_EQ(ra2.p1, fb.p1);
  EXPECT_EQ(ra2.p2, fb.p2);
  EXPECT_NE(fa.p1, fb.p1);
}

}  // namespace
