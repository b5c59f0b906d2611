#pragma once
// The cache files the clients download: every fingerprint of the database as one revision '6'
// record, in id order, split into "afp0001.afpbin", "afp0002.afpbin", ... of at most
// `records_per_file` records each.
//
// Files are published in generations: a build writes a complete new set into a temporary
// directory (afpcache/tmp-gN), writes its MANIFEST (name, size, records, id range per file),
// renames the directory to afpcache/gN and only then points afpcache/CURRENT at N. A list
// handed to a client therefore only ever names complete files, and a download of generation N
// keeps reading N even while N+1 is being built. Ids only grow and are never deleted, so a full
// file of the previous generation is hard-linked into the new one instead of written again: its
// name and size stay, and clients do not download it again. Superseded generations stay for
// `keep_old` after their successor appeared (clients that fetched the list just before still
// get their files), then they are removed.
//
// CURRENT on disk is the only truth, so a `build-cache` run by another process while the server
// serves is picked up at the next list request. The directory is plain files that any static web
// server can serve as they are (gN/afpNNNN.afpbin, never changed once published). Builds take
// the database's build lock first (one builder among all server processes of a PostgreSQL
// database, wherever they run), then an exclusive flock on afpcache/.lock (one builder among
// the processes of this machine). Thread safety: all calls may be made from any thread.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server_db.h"
#include "server_status.h"

struct CacheFileInfo {
  std::string name;  // "afp0001.afpbin"
  std::int64_t size = 0, records = 0, first_id = 0, last_id = 0;
};

struct CacheGeneration {
  std::int64_t number = 0;
  std::string dir;  // full path of afpcache/gN
  std::int64_t max_id = 0, records = 0;
  std::vector<CacheFileInfo> files;
  std::chrono::system_clock::time_point created;
};

struct CacheBuildReport {
  bool built = false;  // false: the current generation already held every fingerprint
  bool busy = false;   // not built because another process builds right now (wait false)
  std::int64_t generation = 0, files = 0, records = 0, records_written = 0, files_linked = 0;
  double seconds = 0;
};

class CacheStore {
 public:
  static constexpr std::int64_t kRecordsPerFile = 50000;

  explicit CacheStore(std::string cache_dir, std::int64_t records_per_file = kRecordsPerFile,
                      std::chrono::seconds keep_old = std::chrono::minutes(10));
  CacheStore(const CacheStore&) = delete;
  CacheStore& operator=(const CacheStore&) = delete;

  // The generation CURRENT names, or null when there is none yet (or it is unreadable).
  std::shared_ptr<const CacheGeneration> Current();
  // A generation by number while its directory exists; null otherwise.
  std::shared_ptr<const CacheGeneration> Find(std::int64_t number);

  // True when the database holds fingerprints the current generation lacks.
  bool Outdated(ServerDb& db);
  // Writes a new generation when Outdated (or `force`), then removes expired old ones. Without
  // `wait`, returns at once (report.busy) when another process holds a build lock.
  ServerStatus Build(ServerDb& db, bool force, CacheBuildReport& report, bool wait = true);

  const std::string& Dir() const { return FDir; }

 private:
  std::shared_ptr<const CacheGeneration> Load(std::int64_t number);
  void RemoveExpired(std::int64_t current);

  const std::string FDir;
  const std::int64_t FRecordsPerFile;
  const std::chrono::seconds FKeepOld;
  std::mutex FLock;  // guards FLoaded
  std::map<std::int64_t, std::shared_ptr<const CacheGeneration>> FLoaded;
};
