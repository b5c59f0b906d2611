// Fingerprint quality across encodings: fingerprints a reference file and several encodings of
// the same recording and compares each with the reference exactly as `melodyseeker-cli compare`
// does (reference as row 1, the identification's thresholds 85/95), once as a plain comparison
// and once with shifting. bench/run drives it; the timings are taken there.
//
// Usage: fingerprint_bench REFERENCE LABEL=FILE[@pipe] ...
//   @pipe decodes FILE through ffmpeg as external decoder in pipe mode.
#include <cstdio>
#include <string>

#include "afp/afpcomp_unit.h"
#include "afp/afpdecode_unit.h"

namespace {

bool Fingerprint(const std::string& file, bool pipe, RAFP& afp) {
  TAFPDecoder gen;
  if (pipe) {
    gen.SetDecodertype(dtExtPipe);
    gen.SetExtDecodercmd("ffmpeg -nostdin -loglevel error -i %i -f wav -c:a pcm_s16le %o");
    gen.SetExtDecoderPipeOutParam("pipe:1");
  }
  if (gen.AFPDecode(file, afp)) return true;
  std::fprintf(stderr, "%s: %s\n", file.c_str(), gen.lasterror().c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s REFERENCE LABEL=FILE[@pipe] ...\n", argv[0]);
    return 2;
  }
  RAFP reference;
  if (!Fingerprint(argv[1], false, reference)) return 1;
  int failures = 0;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    const auto eq = arg.find('=');
    const std::string label = arg.substr(0, eq);
    std::string file = arg.substr(eq + 1);
    const bool pipe = file.size() > 5 && file.compare(file.size() - 5, 5, "@pipe") == 0;
    if (pipe) file.resize(file.size() - 5);
    RAFP afp;
    if (!Fingerprint(file, pipe, afp)) {
      ++failures;
      continue;
    }
    std::printf("  %-34s", label.c_str());
    for (bool shift : {false, true}) {
      TAFPComp comp;
      comp.afpload(-1, reference);
      comp.afpload(-1, afp);
      std::string info1, info2;
      std::int32_t ofs = 0, proz = 0;
      const bool match = comp.afpcomp(0, 1, false, shift, 85, 95, info1, info2, ofs, proz);
      std::printf("  %s %3d %% (%s, offset %d)", shift ? "shift:" : "plain:", proz,
                  match ? "match" : "no match", ofs);
    }
    std::printf("  [%zu vs %zu values]\n", reference.p1.size(), afp.p1.size());
  }
  return failures == 0 ? 0 : 1;
}
