#pragma once
// Fingerprint generation: TAFPDecoder picks a decoder for a file, condenses the first channel's
// samples into one value pair per quarter second (mean magnitude `mp`, high-frequency content
// `zc`), normalises the list against its own average, trims quiet blocks at the end and copies
// the middle part into RAFP::p1/p2.
//
// The block arithmetic is the contract with every fingerprint already stored in a cache: it
// rounds to nearest with ties to even exactly as double-precision division would. Where the
// per-sample work is done in integers, the results are those of the double formulas (see the
// tests that compare both).
//
// One object serves one file at a time (the accumulator lives in it); give each thread its own.
// AFPDecode may be called any number of times; no data survives from one file to the next.
//
// Typical use:
//   TAFPDecoder gen;                       // dtACM: MP3 and compressed WAV built in
//   RAFP afp;
//   if (!gen.AFPDecode("/music/song.mp3", afp)) report(gen.lasterror());

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "afp/afpconst_unit.h"

class TAFPDecoder_ext;
class TAFPDecoder_pcm;
class TAFPDecoder_acm;

struct RAFPDecoderDatapart {
  std::int32_t mp = 0;  // mean magnitude of the block
  std::int32_t zc = 0;  // high-frequency value of the block
};

struct RAFPDecoderData {
  std::vector<RAFPDecoderDatapart> afpdaten;  // grown 100 entries at a time, new entries zero
  std::int32_t afpdatenindex = 0;             // finished blocks = next free entry
};

struct RAFPDecoderTempData {
  std::int32_t samples = 0;         // samples in the open block
  std::int32_t samplestate = 0;     // 0 while leading quiet samples are skipped, then 1
  std::int64_t spnorm = 0;          // sum of sample magnitudes of the open block
  std::int64_t spfilter = 0;        // sum of high-frequency magnitudes of the open block
  std::int32_t tpval = 2147483647;  // low-pass filter value; 2147483647: no sample yet
};

// Blocks used at most; later ones cannot change a fingerprint.
inline constexpr std::int32_t AFPMaxBlocks = 4800;

// x rounded to the nearest integer, ties to the even neighbour, for num / den with den > 0.
// Equal to rint(double(num) / den) whenever num / den is exactly representable or farther than
// one double rounding step from a half (always true for the block sums).
std::int64_t RoundDivHalfEven(std::int64_t num, std::int64_t den);

class TAFPDecoder {
 public:
  TAFPDecoder();
  ~TAFPDecoder();
  TAFPDecoder(const TAFPDecoder&) = delete;
  TAFPDecoder& operator=(const TAFPDecoder&) = delete;

  // Empties the last error and resets the accumulator.
  void Init();

  // Fingerprint of `datei` into `resafp` (cleared first). False with lasterror() holding the
  // reason; silently false (empty error) for an empty name, an image file (typ ' ') and a MIDI
  // file (typ 'A').
  bool AFPDecode(const std::string& datei, RAFP& resafp);
  const std::string& lasterror() const { return Flasterror; }

  RAfpDecodertype Decodertype() const { return FDecodertype; }
  void SetDecodertype(RAfpDecodertype value) { FDecodertype = value; }
  const std::string& ExtDecodercmd() const;
  void SetExtDecodercmd(const std::string& value);
  const std::string& ExtDecoderPipeOutParam() const;
  void SetExtDecoderPipeOutParam(const std::string& value);
  const std::string& TempDir() const;
  void SetTempDir(const std::string& value);
  // The external decoder itself (its time limit, its temporary file name).
  TAFPDecoder_ext& ExtDecoder() { return *FAFPDecoder_ext; }

  // The accumulator, open so that the arithmetic can be driven without a decoder (tests, tools).
  // ProcessSample is the body of the decoders' callback: one call per sample frame.
  void ResetDecoderData(bool full);
  void ProcessSample(std::int16_t sample, std::int32_t samplespersec) {
    RAFPDecoderTempData& t = FAFPDecoderTempData;
    if (t.samplestate == 0) {
      if (sample < 25) return;
      t.samplestate = 1;
    }
    ++t.samples;
    if (t.tpval == 2147483647) {
      t.tpval = sample;
    } else {
      // rnd(0.5 * tpval + 0.5 * sample): the double sum is exact, so halve in integers with
      // ties to even.
      const std::int32_t s = t.tpval + sample;
      const std::int32_t q = s >> 1;  // floor
      t.tpval = ((s & 1) != 0 && (q & 1) != 0) ? q + 1 : q;
    }
    const std::int32_t magnitude = sample < 0 ? -sample : sample;
    t.spnorm += magnitude;
    t.spfilter += magnitude - (t.tpval < 0 ? -t.tpval : t.tpval);
    // A quarter second; the division is redone only when the rate changes (it would otherwise
    // cost more than the rest of this function).
    if (samplespersec != FBlockRate) {
      FBlockRate = samplespersec;
      FBlockSamples = samplespersec / 4;
    }
    if (t.samples >= FBlockSamples) FinishBlock();
  }
  // ProcessSample for a run of samples, with the sums kept in registers: the decoders' path.
  void ProcessSamples(const std::int16_t* samples, std::size_t count, std::int32_t samplespersec);
  void FinishDecoderData();
  const RAFPDecoderData& DecoderData() const { return FAFPDecoderData; }

 private:
  void FinishBlock();

  std::string Flasterror;
  RAfpDecodertype FDecodertype = dtACM;
  std::unique_ptr<TAFPDecoder_ext> FAFPDecoder_ext;
  std::unique_ptr<TAFPDecoder_pcm> FAFPDecoder_pcm;
  std::unique_ptr<TAFPDecoder_acm> FAFPDecoder_acm;
  RAFPDecoderData FAFPDecoderData;
  RAFPDecoderTempData FAFPDecoderTempData;
  std::int32_t FBlockRate = 0;     // sample rate FBlockSamples belongs to
  std::int32_t FBlockSamples = 0;  // samples per block at FBlockRate
};
