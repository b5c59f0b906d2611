// A whole cache file: the chunked reader, the index, Get by number and the comparator filled
// from it (quick rows, fetch on demand, comparisons of every row with the first).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "afp/afpcomp_unit.h"

namespace {

const std::string& Dir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/msafpfuzzXXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    return std::string(tmpl);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = Dir() + "/afp0.afpbin";
  FILE* out = std::fopen(file.c_str(), "wb");
  if (!out) std::abort();
  if (size > 0) std::fwrite(data, 1, size, out);
  std::fclose(out);

  TAFPComp comp;
  try {
    comp.loadfromafpcache(Dir(), false);
  } catch (const EAfpCacheError&) {
  }
  const std::int32_t rows = comp.afpcompdata_rc();
  std::string info1, info2, ref;
  std::int32_t ofs = 0, proz = 0;
  for (std::int32_t r = 0; r < rows && r < 64; ++r) {
    comp.getReference(r, ref);
    for (bool vortest : {true, false}) comp.afpcomp(0, r, vortest, true, 85, 95, info1, info2, ofs, proz);
    if (proz < 0) std::abort();
  }
  std::vector<RAFPQuickHit> hits;
  comp.afpquickscan(0, 0, rows, true, 0, 0, hits);
  return 0;
}
