#pragma once
// Helpers of the tag tests: fixture paths, a per-test temporary directory and byte builders.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace tagtest {

using Bytes = std::vector<std::uint8_t>;

inline std::string Fixture(std::string_view name) {
  return std::string(MS_SOURCE_DIR) + "/tests/data/tags/" + std::string(name);
}

// A fresh directory, removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ms_tags_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    fPath = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(fPath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(std::string_view name) const { return (fPath / name).string(); }

 private:
  std::filesystem::path fPath;
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline void Append(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}
inline void Append(Bytes& out, const Bytes& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}
inline void AppendLE(Bytes& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
inline void AppendBE(Bytes& out, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
inline Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }

// One ID3v2.3 frame: identifier, 4-byte size, flags, content.
inline Bytes Frame(std::string_view id, const Bytes& content, std::uint8_t flags2 = 0) {
  Bytes out = B(id);
  AppendBE(out, content.size(), 4);
  out.push_back(0);
  out.push_back(flags2);
  Append(out, content);
  return out;
}

}  // namespace tagtest
