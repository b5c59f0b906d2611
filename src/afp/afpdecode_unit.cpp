#include "afp/afpdecode_unit.h"

#include <cmath>
#include <cstdio>

#include "afp/afpdecoder_acm_unit.h"
#include "afp/afpdecoder_ext_unit.h"
#include "afp/afpdecoder_pcm_unit.h"
#include "afp/filetype_unit.h"
#include "afp/mediainfo_unit.h"

namespace {

// Entries kept: blocks 0..AFPMaxBlocks; the one at AFPMaxBlocks takes part in the averages.
constexpr std::int32_t kStoredBlocks = AFPMaxBlocks + 1;

std::int32_t Rnd(double x) { return static_cast<std::int32_t>(std::nearbyint(x)); }

// Scales a block value against the limit L = twice the average.
std::int32_t Normalise(std::int32_t v, std::int32_t limit) {
  if (limit > 0) v = v > limit ? limit : Rnd(static_cast<double>(v) / limit * 127);
  // Keeps every value in the 0..127 range of an audio fingerprint, also when the limit is 0.
  return v > 127 ? 127 : v;
}

}  // namespace

std::int64_t RoundDivHalfEven(std::int64_t num, std::int64_t den) {
  std::int64_t q = num / den;
  std::int64_t r = num % den;
  if (r < 0) {  // floor division
    --q;
    r += den;
  }
  const std::int64_t twice = 2 * r;
  if (twice > den || (twice == den && (q & 1) != 0)) ++q;
  return q;
}

TAFPDecoder::TAFPDecoder()
    : FAFPDecoder_ext(std::make_unique<TAFPDecoder_ext>()),
      FAFPDecoder_pcm(std::make_unique<TAFPDecoder_pcm>()),
      FAFPDecoder_acm(std::make_unique<TAFPDecoder_acm>()) {
  Init();
}

TAFPDecoder::~TAFPDecoder() = default;

void TAFPDecoder::Init() {
  Flasterror.clear();
  ResetDecoderData(true);
}

const std::string& TAFPDecoder::ExtDecodercmd() const { return FAFPDecoder_ext->ExtDecodercmd(); }
void TAFPDecoder::SetExtDecodercmd(const std::string& value) {
  FAFPDecoder_ext->SetExtDecodercmd(value);
}
const std::string& TAFPDecoder::ExtDecoderPipeOutParam() const {
  return FAFPDecoder_ext->ExtDecoderPipeOutParam();
}
void TAFPDecoder::SetExtDecoderPipeOutParam(const std::string& value) {
  FAFPDecoder_ext->SetExtDecoderPipeOutParam(value);
}
const std::string& TAFPDecoder::TempDir() const { return FAFPDecoder_ext->TempDir(); }
void TAFPDecoder::SetTempDir(const std::string& value) { FAFPDecoder_ext->SetTempDir(value); }

void TAFPDecoder::ResetDecoderData(bool full) {
  RAFPDecoderTempData& t = FAFPDecoderTempData;
  t.samples = 0;
  t.spnorm = 0;
  t.spfilter = 0;
  if (full) {
    t.samplestate = 0;
    t.tpval = 2147483647;
    FAFPDecoderData.afpdatenindex = 0;
    FAFPDecoderData.afpdaten.clear();
  }
}

void TAFPDecoder::ProcessSamples(const std::int16_t* samples, std::size_t count,
                                 std::int32_t samplespersec) {
  RAFPDecoderTempData& t = FAFPDecoderTempData;
  std::size_t i = 0;
  if (t.samplestate == 0) {
    while (i < count && samples[i] < 25) ++i;
    if (i == count) return;
    t.samplestate = 1;
  }
  if (samplespersec != FBlockRate) {
    FBlockRate = samplespersec;
    FBlockSamples = samplespersec / 4;
  }
  const std::int32_t block = FBlockSamples;
  std::int32_t n = t.samples;
  std::int32_t tpval = t.tpval;
  std::int64_t spnorm = t.spnorm;
  std::int64_t spfilter = t.spfilter;
  for (; i < count; ++i) {
    const std::int32_t s = samples[i];
    ++n;
    if (tpval == 2147483647) {
      tpval = s;
    } else {
      const std::int32_t sum = tpval + s;
      const std::int32_t q = sum >> 1;
      tpval = q + (sum & q & 1);  // half of an odd sum: to the even neighbour
    }
    const std::int32_t magnitude = s < 0 ? -s : s;
    spnorm += magnitude;
    spfilter += magnitude - (tpval < 0 ? -tpval : tpval);
    if (n >= block) {
      t.samples = n;
      t.spnorm = spnorm;
      t.spfilter = spfilter;
      FinishBlock();
      n = 0;
      spnorm = 0;
      spfilter = 0;
    }
  }
  t.samples = n;
  t.tpval = tpval;
  t.spnorm = spnorm;
  t.spfilter = spfilter;
}

void TAFPDecoder::FinishBlock() {
  RAFPDecoderTempData& t = FAFPDecoderTempData;
  RAFPDecoderData& d = FAFPDecoderData;
  // rnd(sum / samples / 2) in doubles equals the exact ties-to-even quotient: the quotient is
  // either exact or at least 1/(2 * samples) away from a half.
  auto mp = static_cast<std::int32_t>(RoundDivHalfEven(t.spnorm, 2 * std::int64_t{t.samples}));
  auto zc = static_cast<std::int32_t>(RoundDivHalfEven(t.spfilter, 2 * std::int64_t{t.samples}));
  if (mp < 0) mp = 127;
  if (zc < 0) zc = 127;
  // Blocks past the last one kept are only counted: a 10-hour file needs no 10-hour list.
  if (d.afpdatenindex < kStoredBlocks) {
    if (static_cast<std::size_t>(d.afpdatenindex) >= d.afpdaten.size())
      d.afpdaten.resize(d.afpdaten.size() + 100);
    d.afpdaten[static_cast<std::size_t>(d.afpdatenindex)] = {mp, zc};
  }
  if (d.afpdatenindex < 2147483647) ++d.afpdatenindex;
  ResetDecoderData(false);
}

void TAFPDecoder::FinishDecoderData() {
  RAFPDecoderData& d = FAFPDecoderData;
  std::int32_t n = d.afpdatenindex;
  if (n < 60) {
    d.afpdaten.clear();
    d.afpdatenindex = 0;
    return;
  }
  if (n > AFPMaxBlocks) n = AFPMaxBlocks;
  // Entry n is an extra one: zero, or the block that followed block n - 1 when the list was cut.
  d.afpdaten.resize(static_cast<std::size_t>(n) + 1);
  std::int64_t smp = 0, szc = 0;
  for (const RAFPDecoderDatapart& e : d.afpdaten) {
    smp += e.mp;
    szc += e.zc;
  }
  const std::int32_t lmp = 2 * Rnd(static_cast<double>(smp) / n);
  const std::int32_t lzc = 2 * Rnd(static_cast<double>(szc) / n);
  for (RAFPDecoderDatapart& e : d.afpdaten) {
    e.mp = Normalise(e.mp, lmp);
    e.zc = Normalise(e.zc, lzc);
  }
  // Quiet blocks at the end (both values 6 or less) are dropped; entry 0 is never looked at.
  std::int32_t t = -1;
  for (std::int32_t i = n; i >= 1; --i) {
    const RAFPDecoderDatapart& e = d.afpdaten[static_cast<std::size_t>(i)];
    if (!(e.mp < 6.35 && e.zc < 6.35)) break;
    t = i;
  }
  if (t >= 0 && t < n) {
    n = t;
    d.afpdaten.resize(static_cast<std::size_t>(t) + 1);
  }
  d.afpdatenindex = n;
}

bool TAFPDecoder::AFPDecode(const std::string& datei, RAFP& resafp) {
  Flasterror.clear();
  resafp.Clear();
  if (datei.empty()) return false;
  if (IsFileType(datei, ExtIMAGE)) return false;
  resafp.typ = AFPTypAudio;
  if (IsFileType(datei, ExtMIDI)) return false;

  std::string extoutput;
  bool result = false;
  try {
    ResetDecoderData(true);
    struct Sink {
      TAFPDecoder* d;
      void operator()(std::int16_t sample, std::int32_t rate) const {
        d->ProcessSample(sample, rate);
      }
      void ProcessSamples(const std::int16_t* s, std::size_t n, std::int32_t rate) const {
        d->ProcessSamples(s, n, rate);
      }
    } sink{this};
    const PcbSampleprocessing cb(sink);
    RHeaderinf hi;
    if (TMediaInfo::ReadFrameHeader(datei, false, false, nullptr, hi) && hi.IsPcmWav()) {
      if (!FAFPDecoder_pcm->pcmdodecode(datei, hi, cb, Flasterror))
        throw EAFPError("pcm decode error");
    } else {
      switch (FDecodertype) {
        case dtACM:
          // A failure shows up as too few blocks below.
          FAFPDecoder_acm->acmdodecode(datei, hi, cb, Flasterror);
          break;
        case dtExtFile: {
          if (!FAFPDecoder_ext->extdodecodetofile(datei, extoutput)) {
            throw EAFPError("ext decode error (filemode,decode)");
          }
          RHeaderinf ho;
          if (TMediaInfo::ReadFrameHeader(extoutput, false, false, nullptr, ho) && ho.IsPcmWav()) {
            if (!FAFPDecoder_pcm->pcmdodecode(extoutput, ho, cb, Flasterror)) {
              throw EAFPError("ext decode error (filemode,pcmread)");
            }
          }
          break;
        }
        case dtExtPipe:
          if (!FAFPDecoder_ext->extdodecode(datei, hi, cb, Flasterror))
            throw EAFPError("ext decode error (pipemode)");
          break;
        default:
          throw EAFPError("invalid FDecodertype");
      }
    }
    FinishDecoderData();
    if (FAFPDecoderData.afpdaten.size() < 76) throw EAFPError("decode result fehler (length)");
    const auto n = static_cast<std::size_t>(FAFPDecoderData.afpdatenindex);
    resafp.p1.resize(n - 16);
    resafp.p2.resize(n - 16);
    for (std::size_t k = 0; k + 16 < n; ++k) {
      resafp.p1[k] = static_cast<std::uint8_t>(FAFPDecoderData.afpdaten[k + 8].mp & 0xFF);
      resafp.p2[k] = static_cast<std::uint8_t>(FAFPDecoderData.afpdaten[k + 8].zc & 0xFF);
    }
    resafp.loaded = true;
    result = true;
  } catch (const std::exception& e) {
    Flasterror = e.what();
  }
  FAFPDecoderData.afpdaten.clear();
  FAFPDecoderData.afpdatenindex = 0;
  if (!extoutput.empty()) std::remove(extoutput.c_str());
  return result;
}
