#pragma once
// The two database engines the web service runs on (SQLite 3 and PostgreSQL), reduced to what
// ServerDb needs: parameterised statements, results as rows of raw values, and plain statements
// for the schema and for transaction control. ServerDb writes its logic once against this.
//
// SQL text uses the placeholders $1, $2, ... on both engines (the SQLite side reads them as
// ?1, ?2, ...). Values only ever travel as bound parameters; SQL text comes from constants of
// this program and never contains request data. Each connection prepares a statement the first
// time it sees its text and reuses it afterwards.
//
// Errors are thrown as SqlError. `retry` marks a conflict with another transaction (deadlock,
// serialisation failure, a unique key taken meanwhile): the transaction was rolled back and may
// simply be run again.
//
// Thread safety: a SqlConn is one connection and is used by one thread at a time; ServerDb's
// pool hands them out.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

enum class SqlDialect { kSqlite, kPostgres };

class SqlError : public std::runtime_error {
 public:
  explicit SqlError(const std::string& what, bool retry_it = false)
      : std::runtime_error(what), retry(retry_it) {}
  bool retry;
};

struct SqlBlob {
  std::span<const std::uint8_t> bytes;
};
// A bound value: null, an integer, a text (UTF-8) or bytes.
using SqlParam = std::variant<std::nullptr_t, std::int64_t, std::string_view, SqlBlob>;

// One result row: each column's raw value (texts and bytes as they are, integers as decimal
// text), or nothing for null.
struct SqlRow {
  std::vector<std::optional<std::string>> cells;

  bool Null(std::size_t col) const { return col >= cells.size() || !cells[col]; }
  std::int64_t Int(std::size_t col) const;  // 0 for null
  std::string Text(std::size_t col) const { return Null(col) ? std::string() : *cells[col]; }
  std::vector<std::uint8_t> Blob(std::size_t col) const;
};
using SqlRows = std::vector<SqlRow>;
using SqlRowFn = std::function<bool(const SqlRow&)>;  // false stops the walk

class SqlConn {
 public:
  virtual ~SqlConn() = default;
  virtual SqlDialect Dialect() const = 0;
  // One statement with parameters; all its rows.
  virtual SqlRows Query(std::string_view sql, std::initializer_list<SqlParam> params = {}) = 0;
  // One statement with parameters, its rows handed over one at a time so that a walk over
  // millions of fingerprints never holds them all in memory.
  virtual void Stream(std::string_view sql, std::initializer_list<SqlParam> params,
                      const SqlRowFn& fn) = 0;
  // Statements without parameters, several separated by ";" allowed (schema, BEGIN, COMMIT).
  virtual void Exec(const std::string& sql) = 0;
};

// REQUIRES for both: nothing; both throw SqlError when the database cannot be reached.
std::unique_ptr<SqlConn> OpenSqliteConn(const std::string& path);
std::unique_ptr<SqlConn> OpenPostgresConn(const std::string& url);
