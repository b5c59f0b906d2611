#pragma once
// The web service's database: one SQLite file holding titles, their fingerprints and the
// service state that getState.php reports.
//
// Titles carry the eight metadata values and a TGUID; a fingerprint belongs to one title and
// carries its FGUID (30 printable ASCII characters, the reference the cache files hand to the
// clients). Fingerprint ids only grow (AUTOINCREMENT, no deletion), so "every fingerprint up to
// id N" never changes once written; the cache files rely on that.
//
// Thread safety: every call takes the object's lock, so one ServerDb may be shared by the
// request threads. Several objects (or processes) may open the same file: the database runs in
// WAL mode, writers take the write lock at the start of their transaction and wait up to 30 s
// for each other. Every statement is prepared; no SQL text is ever built from input.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "afp/afpconst_unit.h"
#include "server_status.h"

struct sqlite3;

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

class ServerDb {
 public:
  // Opens (creating when missing) the database file and its tables. Null with `error` on failure.
  static std::unique_ptr<ServerDb> Open(const std::string& path, std::string& error);
  ~ServerDb();
  ServerDb(const ServerDb&) = delete;
  ServerDb& operator=(const ServerDb&) = delete;

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

  // Fingerprints with id > after_id in id order; `fn` returns false to stop early.
  using FingerprintFn =
      std::function<bool(std::int64_t id, const std::string& fguid, const RAFP& afp)>;
  ServerStatus ForEachFingerprint(std::int64_t after_id, const FingerprintFn& fn);
  // Number of fingerprints with id <= id.
  std::int64_t CountUpTo(std::int64_t id);

 private:
  explicit ServerDb(sqlite3* db) : Fdb(db) {}
  std::mutex FLock;  // guards every use of Fdb
  sqlite3* Fdb;
};
