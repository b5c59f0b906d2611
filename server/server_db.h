#pragma once
// The web service's database: titles, their fingerprints and the service state that
// getState.php reports, in SQLite (one file, the embedded default) or in PostgreSQL (chosen by a
// postgresql:// URL, shared by several server processes). Both engines sit behind this one
// class: the logic is written once against SqlConn (server_sql.h), and the tests run it on both.
//
// Titles carry the eight metadata values and a TGUID; a fingerprint belongs to one title and
// carries its FGUID (30 printable ASCII characters, the reference the cache files hand to the
// clients). Fingerprint ids only grow (no deletion), so "every fingerprint up to id N" never
// changes once the cache has published it; the cache files rely on that. On PostgreSQL ids are
// drawn before commit, so a walk first waits for the additions in flight (see
// ForEachFingerprint) and never publishes an id while a smaller one may still appear.
//
// The schema is versioned; Open applies the missing migrations in one transaction, and a
// database made by a newer server is refused. Every statement is prepared; no SQL text is ever
// built from input.
//
// Thread safety: all calls may be made from any thread. SQLite: one connection behind a lock, as
// SQLite serialises writers anyway; several objects (or processes) may open the same file (WAL
// mode, writers wait up to 30 s for each other). PostgreSQL: a pool of connections, so requests
// run in parallel; conflicting transactions are run again.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "afp/afpconst_unit.h"
#include "server_status.h"

class SqlConn;

// The eight metadata values of a title. Numbers: 0 = none.
struct TitleTags {
  std::string title, artist, album;
  std::int32_t track = 0, year = 0;
  std::string genre;
  std::int32_t bpm = 0, synpos = 0;
};

struct TitleRow {
  std::int64_t id = 0;
  std::string tguid;
  TitleTags tags;
  std::int32_t rating = 0;  // confirmations by update requests
};

struct AddResult {
  std::string fguid;
  TitleRow title;
  bool new_title = false;          // false: joined a title with the same artist and title
  bool known_fingerprint = false;  // the very same fingerprint was stored before; nothing added
};

struct ApiState {
  bool online = true;
  std::string message_de, message_en, client_minvers;
};

struct DbStats {
  std::int64_t titles = 0, fingerprints = 0, max_fingerprint_id = 0;
};

// A new FGUID: 30 characters from [0-9A-Za-z], from the system's random source.
std::string NewFguid();
// True for exactly 30 printable ASCII characters (0x20..0x7E).
bool ValidFguid(std::string_view fguid);

// True for the addresses that select PostgreSQL ("postgresql://..." or "postgres://...").
bool IsPostgresUrl(std::string_view location);
// The location with any password of a URL replaced by "***", for messages and logs.
std::string RedactedLocation(const std::string& location);

class ServerDb {
 public:
  // Opens the database at `location`: a PostgreSQL URL, or else the path of an SQLite file
  // (created when missing). Brings its schema up to date. Null with `error` on failure.
  static std::unique_ptr<ServerDb> Open(const std::string& location, std::string& error);
  ~ServerDb();
  ServerDb(const ServerDb&) = delete;
  ServerDb& operator=(const ServerDb&) = delete;

  // "sqlite" or "postgresql".
  const char* Engine() const;

  // Stores an audio fingerprint for the title with the same artist and title (both non-empty,
  // compared without case and surrounding blanks), filling that title's empty fields from
  // `tags`, or for a new title made from `tags`. A fingerprint identical to a stored one adds
  // nothing and answers with the stored one and its title.
  ServerStatus AddFingerprint(const RAFP& afp, const TitleTags& tags, AddResult& out);

  // The title of fingerprint `fguid` (404 when unknown). With `store`, the title's empty fields
  // are filled from `sent` and its rating counts one more confirmation.
  ServerStatus MatchedTitle(const std::string& fguid, const TitleTags& sent, bool store,
                            TitleRow& out);

  ApiState GetState();
  ServerStatus SetState(const ApiState& state);
  DbStats Stats();
  // Highest fingerprint id (0 when none): cheap, unlike counting.
  std::int64_t MaxFingerprintId();

  // Fingerprints with id > after_id in id order; `fn` returns false to stop early. The walk sees
  // one snapshot, and no fingerprint with a smaller id than the last one handed out can be
  // committed after it.
  using FingerprintFn =
      std::function<bool(std::int64_t id, const std::string& fguid, const RAFP& afp)>;
  ServerStatus ForEachFingerprint(std::int64_t after_id, const FingerprintFn& fn);
  // Number of fingerprints with id <= id.
  std::int64_t CountUpTo(std::int64_t id);

  // The lock that lets one process at a time build cache files for this database. PostgreSQL:
  // a session advisory lock on a connection of its own, so it holds across machines and goes
  // with the process if that dies. SQLite: the file lives on one machine, where the cache
  // store's own directory lock already serialises builders; the lease is empty.
  class Lease {
   public:
    virtual ~Lease() = default;
  };
  // With `wait`, blocks until the lock is free. Without, null and an empty `error` when another
  // process holds it. Null with `error` on failure.
  std::unique_ptr<Lease> LockCacheBuild(bool wait, std::string& error);

  struct Pool;  // connections of one location (server_db.cpp)

 private:
  explicit ServerDb(std::unique_ptr<Pool> pool);
  std::unique_ptr<Pool> FPool;
};

// Key of the session advisory lock LockCacheBuild takes on PostgreSQL.
inline constexpr std::int64_t kCacheBuildLockKey = 0x4d53434143484531;  // "MSCACHE1"
