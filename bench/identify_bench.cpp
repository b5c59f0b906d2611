// One identification at service scale, split into its two costs: the fingerprint of a 240 s MP3
// and the search of the loaded cache (quick scan over every row, full comparison of the hits,
// series read from the cache file as the service runs). Then the throughput of two clients in
// parallel against one, and the resident memory after 100 and after 10,000 identifications
// through IdentifyTitle (decoder, search, tag readers, web client: the web service address
// points at a closed port, so each request ends with the add request's error as an offline
// service would).
//
// Usage: identify_bench MP3 SHORT_WAV CACHE_DIR...
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "afp/afpcomp_unit.h"
#include "afp/afpdecode_unit.h"
#include "identify/afpidentify_unit.h"
#include "tags/tag_advanced_unit.h"
#include "tags/tag_simple_unit.h"
#include "web/webapi_unit.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double ResidentMB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

// The search step of IdentifyTitle for one fingerprint.
void Search(TAFPComp& comp, const RAFP& afp) {
  const std::int32_t rref = comp.afploadtemp(afp);
  comp.afpLockRow(rref);
  std::string guid, trace;
  std::int32_t match = 0;
  TAFPIdentify::SearchBest(comp, rref, afp.p1.size(), afp.p2.size(), guid, match, trace);
  comp.afpUnlockRow(rref);
  comp.afpreleasetemp(rref);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: identify_bench MP3 SHORT_WAV CACHE_DIR...\n");
    return 2;
  }
  const std::string mp3 = argv[1], wav = argv[2];
  RAFP afp;
  std::vector<double> fp;
  for (int i = 0; i < 3; ++i) {
    TAFPDecoder gen;
    const auto t0 = Clock::now();
    if (!gen.AFPDecode(mp3, afp)) {
      std::fprintf(stderr, "fingerprint failed: %s\n", gen.lasterror().c_str());
      return 1;
    }
    fp.push_back(Ms(Clock::now() - t0));
  }
  const double fingerprint_ms = Median(fp);

  std::unique_ptr<TAFPComp> comp;
  for (int c = 3; c < argc; ++c) {
    comp = std::make_unique<TAFPComp>();
    const auto l0 = Clock::now();
    comp->loadfromafpcache(std::string(argv[c]) + "/", false);
    const double load_s = Ms(Clock::now() - l0) / 1000;
    Search(*comp, afp);  // warm the page cache of the hits' records
    std::vector<double> search;
    for (int i = 0; i < 21; ++i) {
      const auto t0 = Clock::now();
      Search(*comp, afp);
      search.push_back(Ms(Clock::now() - t0));
    }
    std::printf(
        "  %9d rows (loaded in %.1f s): fingerprint %6.1f ms + search %6.2f ms = %6.1f ms\n",
        comp->afpcompdata_loaded(), load_s, fingerprint_ms, Median(search),
        fingerprint_ms + Median(search));
  }

  // Throughput: whole identifications (fingerprint + search) by one and by two threads.
  auto run = [&](int threads, int per_thread) {
    std::vector<std::thread> pool;
    const auto t0 = Clock::now();
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&] {
        for (int i = 0; i < per_thread; ++i) {
          TAFPDecoder gen;
          RAFP mine;
          gen.AFPDecode(mp3, mine);
          Search(*comp, mine);
        }
      });
    for (auto& t : pool) t.join();
    return threads * per_thread / (Ms(Clock::now() - t0) / 1000);
  };
  const double one = run(1, 6), two = run(2, 6);
  std::printf(
      "  throughput (last cache): 1 client %.2f/s, 2 clients %.2f/s = %.2f x (target >= 1.7)\n",
      one, two, two / one);

  // Memory over many identifications through IdentifyTitle.
  setenv("MELODYSEEKER_API", "http://127.0.0.1:1/v2/", 1);
  auto identify = [&](int n) {
    for (int i = 0; i < n; ++i) {
      TAFPDecoder gen;
      TWebAPI web;
      TSimpleTag s;
      TAdvancedTag a;
      TWebAPI_Tag local, remote;
      std::string fg, tg, trace;
      std::int32_t match = 0, rating = 0;
      try {
        TAFPIdentify::IdentifyTitle(wav, *comp, gen, web, s, a, local, remote, fg, tg, match,
                                    rating, trace);
      } catch (const std::exception&) {
        // the add request's failure: expected here
      }
    }
  };
  identify(100);
  const double after100 = ResidentMB();
  const auto m0 = Clock::now();
  identify(9900);
  const double after10000 = ResidentMB();
  std::printf(
      "  resident memory: after 100 identifications %.1f MB, after 10,000 %.1f MB: growth "
      "%.1f MB (target < 10 MB; %d comparator rows; %.1f s)\n",
      after100, after10000, after10000 - after100, comp->afpcompdata_rc(),
      Ms(Clock::now() - m0) / 1000);
  return 0;
}
