// Reading the tags of a 100 MB MP3 with a small ID3v2 tag at its start and an ID3v1 block at its
// end: both readers must touch only those, so a load costs milliseconds however large the file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tags/tag_advanced_unit.h"
#include "tags/tag_simple_unit.h"

namespace {

constexpr std::size_t kFileSize = 100u << 20;

// Writes the file once per process (real bytes, not a sparse file) and removes it at exit.
const std::string& BigMp3() {
  static const std::string path = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "ms_tags_bench_XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) std::abort();
    const std::string file = dir + "/big.mp3";
    std::vector<char> tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
    auto frame = [&](const char* id, const std::string& text) {
      tag.insert(tag.end(), id, id + 4);
      const std::size_t n = text.size() + 1;
      for (int shift : {24, 16, 8, 0}) tag.push_back(static_cast<char>((n >> shift) & 0xFF));
      tag.push_back(0);
      tag.push_back(0);
      tag.push_back(0);  // ISO-8859-1
      tag.insert(tag.end(), text.begin(), text.end());
    };
    frame("TIT2", "Bench Title");
    frame("TPE1", "Bench Artist");
    frame("TALB", "Bench Album");
    tag.resize(tag.size() + 256, 0);  // padding
    const std::size_t body = tag.size() - 10;
    tag[6] = static_cast<char>((body >> 21) & 0x7F);
    tag[7] = static_cast<char>((body >> 14) & 0x7F);
    tag[8] = static_cast<char>((body >> 7) & 0x7F);
    tag[9] = static_cast<char>(body & 0x7F);

    std::ofstream out(file, std::ios::binary);
    out.write(tag.data(), static_cast<std::streamsize>(tag.size()));
    std::vector<char> audio(1 << 20, static_cast<char>(0x55));
    std::size_t written = tag.size();
    while (written + audio.size() + 128 <= kFileSize) {
      out.write(audio.data(), static_cast<std::streamsize>(audio.size()));
      written += audio.size();
    }
    std::vector<char> v1(128, 0);
    v1[0] = 'T', v1[1] = 'A', v1[2] = 'G';
    v1[3] = 'x';
    out.write(audio.data(), static_cast<std::streamsize>(kFileSize - written - 128));
    out.write(v1.data(), 128);
    out.close();
    if (!out) std::abort();
    std::atexit([] { std::filesystem::remove_all(std::filesystem::path(BigMp3()).parent_path()); });
    return file;
  }();
  return path;
}

void BM_AdvancedTag_100MB_Mp3(benchmark::State& state) {
  const std::string& file = BigMp3();
  TAdvancedTag tag;
  for (auto _ : state) {
    if (!tag.loadfromfile(file, false) || tag.Title() != "Bench Title") {
      state.SkipWithError("tag not read");
      break;
    }
  }
}
BENCHMARK(BM_AdvancedTag_100MB_Mp3)->Unit(benchmark::kMillisecond);

void BM_SimpleTag_100MB_Mp3(benchmark::State& state) {
  const std::string& file = BigMp3();
  TSimpleTag tag;
  for (auto _ : state) {
    if (!tag.loadfromfile(file) || !tag.tagPresent()) {
      state.SkipWithError("tag not read");
      break;
    }
  }
}
BENCHMARK(BM_SimpleTag_100MB_Mp3)->Unit(benchmark::kMillisecond);

// A new reader per file, as each identification request makes one (allocates the work buffer).
void BM_AdvancedTag_CreateAndLoad(benchmark::State& state) {
  const std::string& file = BigMp3();
  for (auto _ : state) {
    TAdvancedTag tag;
    benchmark::DoNotOptimize(tag.loadfromfile(file, false));
  }
}
BENCHMARK(BM_AdvancedTag_CreateAndLoad)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
