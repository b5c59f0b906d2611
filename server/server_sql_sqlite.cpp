// SqlConn on SQLite 3: one database file, WAL mode, writers wait up to 30 s for each other.
#include <sqlite3.h>

#include <unordered_map>

#include "server_sql.h"

namespace {

class SqliteConn final : public SqlConn {
 public:
  explicit SqliteConn(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &Fdb,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      const std::string message =
          "cannot open the database " + path + ": " + (Fdb ? sqlite3_errmsg(Fdb) : "no memory");
      sqlite3_close(Fdb);
      Fdb = nullptr;
      throw SqlError(message);
    }
    try {
      sqlite3_busy_timeout(Fdb, 30000);
      Exec("PRAGMA journal_mode = WAL");
      Exec("PRAGMA synchronous = NORMAL");
      Exec("PRAGMA foreign_keys = ON");
    } catch (const SqlError&) {
      sqlite3_close(Fdb);
      throw;
    }
  }
  ~SqliteConn() override {
    for (auto& [sql, stmt] : FStatements) sqlite3_finalize(stmt);
    sqlite3_close(Fdb);
  }
  SqliteConn(const SqliteConn&) = delete;
  SqliteConn& operator=(const SqliteConn&) = delete;

  SqlDialect Dialect() const override { return SqlDialect::kSqlite; }

  SqlRows Query(std::string_view sql, std::initializer_list<SqlParam> params) override {
    SqlRows rows;
    Run(sql, params, [&rows](const SqlRow& row) {
      rows.push_back(row);
      return true;
    });
    return rows;
  }

  void Stream(std::string_view sql, std::initializer_list<SqlParam> params,
              const SqlRowFn& fn) override {
    Run(sql, params, fn);
  }

  void Exec(const std::string& sql) override {
    char* err = nullptr;
    const int rc = sqlite3_exec(Fdb, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
      std::string message = err ? err : sqlite3_errstr(rc);
      sqlite3_free(err);
      throw SqlError(message, IsConflict(rc));
    }
  }

 private:
  // Writers are serialised by SQLite itself, so a unique key can only clash with a value this
  // very transaction chose (a random FGUID or TGUID): running it again draws new ones.
  static bool IsConflict(int rc) { return (rc & 0xFF) == SQLITE_CONSTRAINT; }

  sqlite3_stmt* Prepare(std::string_view sql) {
    auto it = FStatements.find(std::string(sql));
    if (it != FStatements.end()) return it->second;
    // $N -> ?N: numbered parameters with the same numbers.
    std::string text(sql);
    for (char& c : text) {
      if (c == '$') c = '?';
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(Fdb, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
        SQLITE_OK) {
      throw SqlError(std::string("prepare: ") + sqlite3_errmsg(Fdb));
    }
    FStatements.emplace(std::string(sql), stmt);
    return stmt;
  }

  void Run(std::string_view sql, std::initializer_list<SqlParam> params, const SqlRowFn& fn) {
    sqlite3_stmt* s = Prepare(sql);
    // Reset also when a callback throws, so that the statement holds no read lock afterwards.
    struct ResetOnExit {
      sqlite3_stmt* s;
      ~ResetOnExit() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
      }
    } reset{s};
    int i = 1;
    for (const SqlParam& p : params) {
      int rc = SQLITE_OK;
      if (std::holds_alternative<std::nullptr_t>(p)) {
        rc = sqlite3_bind_null(s, i);
      } else if (const auto* v = std::get_if<std::int64_t>(&p)) {
        rc = sqlite3_bind_int64(s, i, *v);
      } else if (const auto* t = std::get_if<std::string_view>(&p)) {
        rc = sqlite3_bind_text64(s, i, t->data(), t->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      } else {
        const auto& b = std::get<SqlBlob>(p).bytes;
        // An empty blob is still a value, not null.
        rc = b.empty() ? sqlite3_bind_zeroblob(s, i, 0)
                       : sqlite3_bind_blob64(s, i, b.data(), b.size(), SQLITE_TRANSIENT);
      }
      if (rc != SQLITE_OK) throw SqlError(std::string("bind: ") + sqlite3_errmsg(Fdb));
      ++i;
    }
    SqlRow row;
    for (;;) {
      const int rc = sqlite3_step(s);
      if (rc == SQLITE_DONE) return;
      if (rc != SQLITE_ROW) throw SqlError(sqlite3_errmsg(Fdb), IsConflict(rc));
      const int n = sqlite3_column_count(s);
      row.cells.assign(static_cast<std::size_t>(n), std::nullopt);
      for (int c = 0; c < n; ++c) {
        switch (sqlite3_column_type(s, c)) {
          case SQLITE_NULL:
            break;
          case SQLITE_INTEGER:
            row.cells[static_cast<std::size_t>(c)] = std::to_string(sqlite3_column_int64(s, c));
            break;
          default: {
            const auto* p = static_cast<const char*>(sqlite3_column_blob(s, c));
            const auto len = static_cast<std::size_t>(sqlite3_column_bytes(s, c));
            row.cells[static_cast<std::size_t>(c)] = p ? std::string(p, len) : std::string();
          }
        }
      }
      if (!fn(row)) return;
    }
  }

  sqlite3* Fdb = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> FStatements;
};

}  // namespace

std::unique_ptr<SqlConn> OpenSqliteConn(const std::string& path) {
  return std::make_unique<SqliteConn>(path);
}
