#pragma once
// Fixture helpers of the cache and comparator tests: fingerprints made in code, a per-test
// temporary directory and writers of cache files.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "afp/afpcachebin_unit.h"

namespace afpcachetest {

// A fingerprint of n values per series with a varied melody (values 0..127).
inline RAFP MakeAfp(std::size_t n, std::uint32_t seed, char16_t typ = AFPTypAudio) {
  RAFP afp;
  std::mt19937 rng(seed);
  afp.p1.resize(n);
  afp.p2.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    afp.p1[i] = static_cast<std::uint8_t>(rng() % 128);
    afp.p2[i] = static_cast<std::uint8_t>(rng() % 128);
  }
  afp.typ = typ;
  afp.loaded = true;
  return afp;
}

inline std::string Guid(std::uint32_t i) {
  std::string g = "GUID-" + std::to_string(i);
  return g;
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "msafpXXXXXX").string();
    path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> Record(const std::string& guid, char16_t rev, const RAFP& afp) {
  std::vector<std::uint8_t> out;
  AppendAfpCacheRecord(guid, rev, afp, out);
  return out;
}

}  // namespace afpcachetest
