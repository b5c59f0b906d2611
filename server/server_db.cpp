#include "server_db.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <random>
#include <stdexcept>

namespace {

// Raised inside this file only; every public call turns it into a ServerStatus.
class DbError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS titles(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  tguid TEXT NOT NULL UNIQUE,
  title TEXT NOT NULL DEFAULT '',
  artist TEXT NOT NULL DEFAULT '',
  album TEXT NOT NULL DEFAULT '',
  track INTEGER NOT NULL DEFAULT 0,
  year INTEGER NOT NULL DEFAULT 0,
  genre TEXT NOT NULL DEFAULT '',
  bpm INTEGER NOT NULL DEFAULT 0,
  synpos INTEGER NOT NULL DEFAULT 0,
  match_key TEXT,
  rating INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS titles_match_key ON titles(match_key)
  WHERE match_key IS NOT NULL;
CREATE TABLE IF NOT EXISTS fingerprints(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  fguid TEXT NOT NULL UNIQUE CHECK(length(fguid) = 30),
  title_id INTEGER NOT NULL REFERENCES titles(id),
  typ TEXT NOT NULL,
  p1 BLOB NOT NULL,
  p2 BLOB NOT NULL,
  afp_hash INTEGER NOT NULL,
  created INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS fingerprints_hash ON fingerprints(afp_hash);
CREATE INDEX IF NOT EXISTS fingerprints_title ON fingerprints(title_id);
CREATE TABLE IF NOT EXISTS state(
  key TEXT PRIMARY KEY,
  value TEXT NOT NULL);
)sql";

// One prepared statement; reset and finalised by its owner.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : Fdb(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &Fs, nullptr) != SQLITE_OK) {
      throw DbError(std::string("prepare: ") + sqlite3_errmsg(db));
    }
  }
  ~Stmt() { sqlite3_finalize(Fs); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& Bind(int i, std::int64_t v) {
    Check(sqlite3_bind_int64(Fs, i, v));
    return *this;
  }
  Stmt& Bind(int i, std::string_view v) {
    Check(sqlite3_bind_text(Fs, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Stmt& BindBlob(int i, const std::vector<std::uint8_t>& v) {
    Check(sqlite3_bind_blob(Fs, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Stmt& BindNull(int i) {
    Check(sqlite3_bind_null(Fs, i));
    return *this;
  }
  // True while a row is there.
  bool Step() {
    const int rc = sqlite3_step(Fs);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw DbError(std::string("step: ") + sqlite3_errmsg(Fdb));
  }
  // Step for statements whose constraint failure is an expected outcome.
  int StepRc() { return sqlite3_step(Fs); }
  void Reset() {
    sqlite3_reset(Fs);
    sqlite3_clear_bindings(Fs);
  }
  std::int64_t Int(int col) { return sqlite3_column_int64(Fs, col); }
  std::string Text(int col) {
    const auto* p = sqlite3_column_text(Fs, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(Fs, col)))
             : std::string();
  }
  std::vector<std::uint8_t> Blob(int col) {
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(Fs, col));
    const int n = sqlite3_column_bytes(Fs, col);
    return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>();
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) throw DbError(std::string("bind: ") + sqlite3_errmsg(Fdb));
  }
  sqlite3* Fdb;
  sqlite3_stmt* Fs = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string message = err ? err : "unknown error";
    sqlite3_free(err);
    throw DbError(message);
  }
}

// A write transaction that rolls back unless committed. IMMEDIATE takes the write lock at once,
// so the look-up and the insert that follows it cannot interleave with another writer.
class WriteTxn {
 public:
  explicit WriteTxn(sqlite3* db) : Fdb(db) { Exec(db, "BEGIN IMMEDIATE"); }
  ~WriteTxn() {
    if (!Fdone) sqlite3_exec(Fdb, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  WriteTxn(const WriteTxn&) = delete;
  WriteTxn& operator=(const WriteTxn&) = delete;
  void Commit() {
    Exec(Fdb, "COMMIT");
    Fdone = true;
  }

 private:
  sqlite3* Fdb;
  bool Fdone = false;
};

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string_view TrimBlanks(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// Key that joins titles: artist and title without surrounding blanks, ASCII letters folded.
// Null (empty optional as empty string) when either is empty: untagged files never join.
std::string MatchKey(const TitleTags& t) {
  const std::string_view artist = TrimBlanks(t.artist), title = TrimBlanks(t.title);
  if (artist.empty() || title.empty()) return {};
  std::string key;
  key.reserve(artist.size() + title.size() + 1);
  for (char c : artist) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  key += '\x1f';
  for (char c : title) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

// FNV-1a over kind and both series: finds candidates for "the same fingerprint again".
std::int64_t AfpHash(const RAFP& afp) {
  std::uint64_t h = 1469598103934665603ull;
  const auto mix = [&h](std::uint8_t b) {
    h ^= b;
    h *= 1099511628211ull;
  };
  mix(static_cast<std::uint8_t>(afp.typ & 0xFF));
  for (auto v : afp.p1) mix(v);
  mix(0xFF);  // separates p1 from p2 (values are at most 127)
  for (auto v : afp.p2) mix(v);
  return static_cast<std::int64_t>(h);
}

std::string RandomText(std::size_t n) {
  static constexpr char kAlphabet[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  thread_local std::mt19937_64 rng{[] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
  }()};
  std::uniform_int_distribution<int> pick(0, 61);
  std::string s(n, '0');
  for (char& c : s) c = kAlphabet[pick(rng)];
  return s;
}

constexpr const char* kTitleColumns =
    "id, tguid, title, artist, album, track, year, genre, bpm, synpos, rating";

TitleRow ReadTitle(Stmt& s) {
  TitleRow r;
  r.id = s.Int(0);
  r.tguid = s.Text(1);
  r.tags.title = s.Text(2);
  r.tags.artist = s.Text(3);
  r.tags.album = s.Text(4);
  r.tags.track = static_cast<std::int32_t>(s.Int(5));
  r.tags.year = static_cast<std::int32_t>(s.Int(6));
  r.tags.genre = s.Text(7);
  r.tags.bpm = static_cast<std::int32_t>(s.Int(8));
  r.tags.synpos = static_cast<std::int32_t>(s.Int(9));
  r.rating = static_cast<std::int32_t>(s.Int(10));
  return r;
}

TitleRow LoadTitle(sqlite3* db, std::int64_t id) {
  const std::string sql = std::string("SELECT ") + kTitleColumns + " FROM titles WHERE id = ?";
  Stmt s(db, sql.c_str());
  s.Bind(1, id);
  if (!s.Step()) throw DbError("title " + std::to_string(id) + " vanished");
  return ReadTitle(s);
}

// Fills the title's empty fields from `sent`; the join key follows when artist or title were
// empty before, unless another title already holds that key.
void FillEmptyFields(sqlite3* db, const TitleRow& row, const TitleTags& sent) {
  TitleTags t = row.tags;
  bool changed = false;
  const auto fill_text = [&changed](std::string& have, const std::string& give) {
    if (TrimBlanks(have).empty() && !TrimBlanks(give).empty()) {
      have = give;
      changed = true;
    }
  };
  const auto fill_num = [&changed](std::int32_t& have, std::int32_t give) {
    if (have <= 0 && give > 0) {
      have = give;
      changed = true;
    }
  };
  fill_text(t.title, sent.title);
  fill_text(t.artist, sent.artist);
  fill_text(t.album, sent.album);
  fill_num(t.track, sent.track);
  fill_num(t.year, sent.year);
  fill_text(t.genre, sent.genre);
  fill_num(t.bpm, sent.bpm);
  fill_num(t.synpos, sent.synpos);
  if (!changed) return;
  std::string key = MatchKey(t);
  if (!key.empty()) {
    Stmt taken(db, "SELECT 1 FROM titles WHERE match_key = ? AND id <> ?");
    taken.Bind(1, key).Bind(2, row.id);
    if (taken.Step()) key.clear();
  }
  Stmt u(db,
         "UPDATE titles SET title = ?, artist = ?, album = ?, track = ?, year = ?, genre = ?, "
         "bpm = ?, synpos = ?, match_key = COALESCE(match_key, ?) WHERE id = ?");
  u.Bind(1, t.title).Bind(2, t.artist).Bind(3, t.album).Bind(4, t.track).Bind(5, t.year);
  u.Bind(6, t.genre).Bind(7, t.bpm).Bind(8, t.synpos);
  if (key.empty()) {
    u.BindNull(9);
  } else {
    u.Bind(9, key);
  }
  u.Bind(10, row.id);
  u.Step();
}

std::string TypText(char16_t typ) { return std::string(1, static_cast<char>(typ & 0x7F)); }

}  // namespace

std::string NewFguid() { return RandomText(30); }

bool ValidFguid(std::string_view fguid) {
  return fguid.size() == 30 &&
         std::all_of(fguid.begin(), fguid.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

std::unique_ptr<ServerDb> ServerDb::Open(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    error = "cannot open the database " + path + ": " + (db ? sqlite3_errmsg(db) : "no memory");
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<ServerDb> result(new ServerDb(db));
  try {
    sqlite3_busy_timeout(db, 30000);
    Exec(db, "PRAGMA journal_mode = WAL");
    Exec(db, "PRAGMA synchronous = NORMAL");
    Exec(db, "PRAGMA foreign_keys = ON");
    Stmt version(db, "PRAGMA user_version");
    version.Step();
    const std::int64_t have = version.Int(0);
    if (have > kSchemaVersion) {
      error = "the database " + path + " was made by a newer server (schema " +
              std::to_string(have) + ")";
      return nullptr;
    }
    if (have < kSchemaVersion) {
      WriteTxn txn(db);
      Exec(db, kSchema);
      Exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
      txn.Commit();
    }
  } catch (const DbError& e) {
    error = "cannot prepare the database " + path + ": " + e.what();
    return nullptr;
  }
  return result;
}

ServerDb::~ServerDb() { sqlite3_close(Fdb); }

ServerStatus ServerDb::AddFingerprint(const RAFP& afp, const TitleTags& tags, AddResult& out) {
  std::lock_guard lock(FLock);
  out = AddResult{};
  try {
    WriteTxn txn(Fdb);
    const std::int64_t hash = AfpHash(afp);
    {
      Stmt same(Fdb, "SELECT fguid, title_id, typ, p1, p2 FROM fingerprints WHERE afp_hash = ?");
      same.Bind(1, hash);
      while (same.Step()) {
        if (same.Text(2) == TypText(afp.typ) && same.Blob(3) == afp.p1 && same.Blob(4) == afp.p2) {
          out.fguid = same.Text(0);
          out.known_fingerprint = true;
          const TitleRow row = LoadTitle(Fdb, same.Int(1));
          FillEmptyFields(Fdb, row, tags);
          out.title = LoadTitle(Fdb, row.id);
          txn.Commit();
          return ServerStatus::Ok();
        }
      }
    }
    const std::string key = MatchKey(tags);
    std::int64_t title_id = 0;
    if (!key.empty()) {
      Stmt find(Fdb, "SELECT id FROM titles WHERE match_key = ?");
      find.Bind(1, key);
      if (find.Step()) title_id = find.Int(0);
    }
    if (title_id != 0) {
      FillEmptyFields(Fdb, LoadTitle(Fdb, title_id), tags);
    } else {
      Stmt ins(Fdb,
               "INSERT INTO titles(tguid, title, artist, album, track, year, genre, bpm, synpos, "
               "match_key, created) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
      ins.Bind(1, "T" + RandomText(31)).Bind(2, tags.title).Bind(3, tags.artist);
      ins.Bind(4, tags.album).Bind(5, tags.track).Bind(6, tags.year).Bind(7, tags.genre);
      ins.Bind(8, tags.bpm).Bind(9, tags.synpos);
      if (key.empty()) {
        ins.BindNull(10);
      } else {
        ins.Bind(10, key);
      }
      ins.Bind(11, Now());
      ins.Step();
      title_id = sqlite3_last_insert_rowid(Fdb);
      out.new_title = true;
    }
    Stmt ins(Fdb,
             "INSERT INTO fingerprints(fguid, title_id, typ, p1, p2, afp_hash, created) "
             "VALUES(?, ?, ?, ?, ?, ?, ?)");
    // A clash of two random 30-character FGUIDs is practically impossible; retry anyway.
    for (int attempt = 0;; ++attempt) {
      out.fguid = NewFguid();
      ins.Bind(1, out.fguid).Bind(2, title_id).Bind(3, TypText(afp.typ)).BindBlob(4, afp.p1);
      ins.BindBlob(5, afp.p2).Bind(6, hash).Bind(7, Now());
      const int rc = ins.StepRc();
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_CONSTRAINT || attempt >= 3) {
        throw DbError(std::string("insert fingerprint: ") + sqlite3_errmsg(Fdb));
      }
      ins.Reset();
    }
    out.title = LoadTitle(Fdb, title_id);
    txn.Commit();
    return ServerStatus::Ok();
  } catch (const DbError& e) {
    out = AddResult{};
    return ServerStatus::Internal(std::string("database: ") + e.what());
  }
}

ServerStatus ServerDb::MatchedTitle(const std::string& fguid, const TitleTags& sent, bool store,
                                    TitleRow& out) {
  std::lock_guard lock(FLock);
  out = TitleRow{};
  try {
    std::unique_ptr<WriteTxn> txn;
    if (store) txn = std::make_unique<WriteTxn>(Fdb);
    std::int64_t title_id = 0;
    {
      Stmt find(Fdb, "SELECT title_id FROM fingerprints WHERE fguid = ?");
      find.Bind(1, fguid);
      if (!find.Step()) return ServerStatus::NotFound("unknown FGUID \"" + fguid + "\"");
      title_id = find.Int(0);
    }
    if (store) {
      FillEmptyFields(Fdb, LoadTitle(Fdb, title_id), sent);
      Stmt rate(Fdb, "UPDATE titles SET rating = rating + 1 WHERE id = ?");
      rate.Bind(1, title_id);
      rate.Step();
    }
    out = LoadTitle(Fdb, title_id);
    if (txn) txn->Commit();
    return ServerStatus::Ok();
  } catch (const DbError& e) {
    out = TitleRow{};
    return ServerStatus::Internal(std::string("database: ") + e.what());
  }
}

ApiState ServerDb::GetState() {
  std::lock_guard lock(FLock);
  ApiState state;
  try {
    Stmt s(Fdb, "SELECT key, value FROM state");
    while (s.Step()) {
      const std::string key = s.Text(0);
      if (key == "online") state.online = s.Text(1) == "1";
      if (key == "message_de") state.message_de = s.Text(1);
      if (key == "message_en") state.message_en = s.Text(1);
      if (key == "client_minvers") state.client_minvers = s.Text(1);
    }
  } catch (const DbError&) {
    // A database that cannot be read is a service that cannot serve.
    state = ApiState{false, "Datenbankfehler", "database error", {}};
  }
  return state;
}

ServerStatus ServerDb::SetState(const ApiState& state) {
  std::lock_guard lock(FLock);
  try {
    WriteTxn txn(Fdb);
    Stmt s(Fdb,
           "INSERT INTO state(key, value) VALUES(?, ?) "
           "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
    const std::pair<const char*, std::string> rows[] = {{"online", state.online ? "1" : "0"},
                                                        {"message_de", state.message_de},
                                                        {"message_en", state.message_en},
                                                        {"client_minvers", state.client_minvers}};
    for (const auto& [key, value] : rows) {
      s.Bind(1, key).Bind(2, value);
      s.Step();
      s.Reset();
    }
    txn.Commit();
    return ServerStatus::Ok();
  } catch (const DbError& e) {
    return ServerStatus::Internal(std::string("database: ") + e.what());
  }
}

DbStats ServerDb::Stats() {
  std::lock_guard lock(FLock);
  DbStats st;
  try {
    Stmt t(Fdb, "SELECT count(*) FROM titles");
    if (t.Step()) st.titles = t.Int(0);
    Stmt f(Fdb, "SELECT count(*), COALESCE(max(id), 0) FROM fingerprints");
    if (f.Step()) {
      st.fingerprints = f.Int(0);
      st.max_fingerprint_id = f.Int(1);
    }
  } catch (const DbError&) {
    st = DbStats{-1, -1, -1};
  }
  return st;
}

ServerStatus ServerDb::ForEachFingerprint(std::int64_t after_id, const FingerprintFn& fn) {
  std::lock_guard lock(FLock);
  try {
    // One read transaction: the walk sees one snapshot while writers go on.
    Exec(Fdb, "BEGIN");
    struct End {
      sqlite3* db;
      ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } end{Fdb};
    Stmt s(Fdb, "SELECT id, fguid, typ, p1, p2 FROM fingerprints WHERE id > ? ORDER BY id");
    s.Bind(1, after_id);
    RAFP afp;
    while (s.Step()) {
      afp.Clear();
      const std::string typ = s.Text(2);
      afp.typ = typ.empty() ? AFPTypNone : static_cast<char16_t>(typ[0]);
      afp.p1 = s.Blob(3);
      afp.p2 = s.Blob(4);
      afp.loaded = true;
      if (!fn(s.Int(0), s.Text(1), afp)) break;
    }
    return ServerStatus::Ok();
  } catch (const DbError& e) {
    return ServerStatus::Internal(std::string("database: ") + e.what());
  }
}

std::int64_t ServerDb::MaxFingerprintId() {
  std::lock_guard lock(FLock);
  try {
    Stmt s(Fdb, "SELECT COALESCE(max(id), 0) FROM fingerprints");
    return s.Step() ? s.Int(0) : -1;
  } catch (const DbError&) {
    return -1;
  }
}

std::int64_t ServerDb::CountUpTo(std::int64_t id) {
  std::lock_guard lock(FLock);
  try {
    Stmt s(Fdb, "SELECT count(*) FROM fingerprints WHERE id <= ?");
    s.Bind(1, id);
    return s.Step() ? s.Int(0) : -1;
  } catch (const DbError&) {
    return -1;
  }
}
