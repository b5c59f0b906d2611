#pragma once
// Helpers shared by the web service tests: a temporary data directory, a fresh database on
// either engine, fingerprints made in code, records and Base64 as a client sends them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "afp/afpcachebin_unit.h"
#include "afp/afpconst_unit.h"
#include "pg_cluster.h"

namespace server_test {

// Every test of the database runs on both engines (TEST_P with BothBackends()).
enum class Backend { kSqlite, kPostgres };
inline auto BothBackends() { return ::testing::Values(Backend::kSqlite, Backend::kPostgres); }
inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSqlite ? "SQLite" : "PostgreSQL";
}
inline void PrintTo(Backend backend, std::ostream* os) {
  *os << (backend == Backend::kSqlite ? "SQLite" : "PostgreSQL");
}

// The location of a new, empty database: a file in `dir`, or a new database of this process's
// PostgreSQL cluster. Empty (with a test failure) when the cluster cannot run here.
inline std::string NewDbLocation(Backend backend, const std::string& dir) {
  if (backend == Backend::kSqlite) return dir + "/db";
  PgCluster& pg = PgCluster::Get();
  const std::string url = pg.NewDatabase();
  EXPECT_FALSE(url.empty()) << pg.error();
  return url;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ms-server-XXXXXX").string();
    Fpath = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Fpath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return Fpath; }

 private:
  std::string Fpath;
};

// An audio fingerprint of n values per series, different for every seed.
inline RAFP MakeAfp(std::uint32_t seed, std::size_t n = 120) {
  RAFP afp;
  afp.typ = AFPTypAudio;
  afp.loaded = true;
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    afp.p1.push_back(static_cast<std::uint8_t>((x >> 8) & 0x7F));
    afp.p2.push_back(static_cast<std::uint8_t>((x >> 20) & 0x7F));
  }
  return afp;
}

// One record as the client uploads it: FGUID of zero bytes, revision '6' unless told.
inline std::string RecordBytes(const RAFP& afp, char16_t rev = u'6') {
  std::vector<std::uint8_t> out;
  AppendAfpCacheRecord({}, rev, afp, out);
  return std::string(out.begin(), out.end());
}

inline std::string Base64(const std::string& bytes) {
  static constexpr char kA[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += {kA[v >> 18 & 63], kA[v >> 12 & 63], kA[v >> 6 & 63], kA[v & 63]};
  }
  if (bytes.size() - i == 1) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    out += {kA[v >> 18 & 63], kA[v >> 12 & 63], '=', '='};
  } else if (bytes.size() - i == 2) {
    const unsigned v =
        static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += {kA[v >> 18 & 63], kA[v >> 12 & 63], kA[v >> 6 & 63], '='};
  }
  return out;
}

// Every record of a cache directory as (FGUID, fingerprint), in file order.
struct CacheRecord {
  std::string fguid;
  RAFP afp;
};
inline std::vector<CacheRecord> ReadCacheDir(const std::string& dir) {
  std::vector<CacheRecord> out;
  TAfpCacheBin bin;
  bin.Init(dir, [&out](std::int32_t, std::int32_t, std::int64_t, const std::string& fguid,
                       const RAFP& afp) {
    out.push_back({fguid, afp});
  });
  return out;
}

}  // namespace server_test
