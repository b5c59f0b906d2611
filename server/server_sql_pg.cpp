// SqlConn on PostgreSQL through libpq: one server connection, statements prepared once per
// connection, bytes sent in binary, results read as text (bytea arrives hex-encoded).
#include <libpq-fe.h>

#include <memory>
#include <unordered_map>

#include "server_sql.h"

namespace {

constexpr Oid kByteaOid = 17;

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

std::string Trimmed(const char* message) {
  std::string s = message ? message : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// bytea in the server's hex output format: "\x" and two hex digits per byte.
std::string DecodeBytea(const char* text, std::size_t len) {
  if (len < 2 || text[0] != '\\' || text[1] != 'x' || len % 2 != 0) {
    throw SqlError("unexpected bytea text (bytea_output must be hex)");
  }
  std::string out;
  out.resize((len - 2) / 2);
  for (std::size_t i = 2, o = 0; i < len; i += 2, ++o) {
    const int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) throw SqlError("unexpected bytea text");
    out[o] = static_cast<char>(hi << 4 | lo);
  }
  return out;
}

void Ignore(void*, const char*) {}  // notices such as "already exists, skipping"

class PgConn final : public SqlConn {
 public:
  explicit PgConn(const std::string& url) : Fconn(PQconnectdb(url.c_str())) {
    if (Fconn == nullptr) throw SqlError("cannot connect to PostgreSQL: out of memory");
    if (PQstatus(Fconn) != CONNECTION_OK) {
      const std::string message = "cannot connect to PostgreSQL: " + Trimmed(PQerrorMessage(Fconn));
      PQfinish(Fconn);
      throw SqlError(message);
    }
    PQsetNoticeProcessor(Fconn, Ignore, nullptr);
    if (PQsetClientEncoding(Fconn, "UTF8") != 0) {
      PQfinish(Fconn);
      throw SqlError("PostgreSQL refuses the client encoding UTF8");
    }
  }
  ~PgConn() override { PQfinish(Fconn); }
  PgConn(const PgConn&) = delete;
  PgConn& operator=(const PgConn&) = delete;

  SqlDialect Dialect() const override { return SqlDialect::kPostgres; }

  SqlRows Query(std::string_view sql, std::initializer_list<SqlParam> params) override {
    const std::string& name = Prepare(sql);
    Params p(params);
    Result res(PQexecPrepared(Fconn, name.c_str(), p.count(), p.values(), p.lengths(),
                              p.formats(), 0),
               PQclear);
    Check(res.get(), "query");
    SqlRows rows;
    const int n = PQntuples(res.get());
    rows.reserve(static_cast<std::size_t>(n));
    for (int r = 0; r < n; ++r) rows.push_back(ReadRow(res.get(), r));
    return rows;
  }

  void Stream(std::string_view sql, std::initializer_list<SqlParam> params,
              const SqlRowFn& fn) override {
    const std::string& name = Prepare(sql);
    Params p(params);
    if (PQsendQueryPrepared(Fconn, name.c_str(), p.count(), p.values(), p.lengths(), p.formats(),
                            0) != 1 ||
        PQsetSingleRowMode(Fconn) != 1) {
      Failed("query");
    }
    bool wanted = true;
    std::string error;
    bool retry = false;
    // Every result must be read before the connection takes the next command, also after
    // the caller stopped or a callback threw.
    while (PGresult* raw = PQgetResult(Fconn)) {
      Result res(raw, PQclear);
      const ExecStatusType st = PQresultStatus(raw);
      if (st == PGRES_SINGLE_TUPLE) {
        if (!wanted || !error.empty()) continue;
        try {
          wanted = fn(ReadRow(raw, 0));
        } catch (const std::exception& e) {
          error = e.what();
        }
      } else if (st != PGRES_TUPLES_OK && error.empty()) {
        error = Trimmed(PQresultErrorMessage(raw));
        retry = IsConflict(raw);
      }
    }
    if (!error.empty()) throw SqlError(error, retry);
  }

  void Exec(const std::string& sql) override {
    Result res(PQexec(Fconn, sql.c_str()), PQclear);
    Check(res.get(), "statement");
  }

 private:
  // The values of one call in the form libpq takes them.
  class Params {
   public:
    explicit Params(std::initializer_list<SqlParam> params) {
      Ftexts.reserve(params.size());
      for (const SqlParam& p : params) {
        if (std::holds_alternative<std::nullptr_t>(p)) {
          Push(nullptr, 0, 0);
        } else if (const auto* v = std::get_if<std::int64_t>(&p)) {
          Ftexts.push_back(std::to_string(*v));
          Push(Ftexts.back().c_str(), 0, 0);
        } else if (const auto* t = std::get_if<std::string_view>(&p)) {
          // Text parameters are sent as counted binary values: no terminating zero needed,
          // and a text is never cut at an embedded zero.
          Push(t->data(), static_cast<int>(t->size()), 1);
        } else {
          const auto& b = std::get<SqlBlob>(p).bytes;
          Push(reinterpret_cast<const char*>(b.data()), static_cast<int>(b.size()), 1);
        }
      }
    }
    int count() const { return static_cast<int>(Fvalues.size()); }
    const char* const* values() const { return Fvalues.data(); }
    const int* lengths() const { return Flengths.data(); }
    const int* formats() const { return Fformats.data(); }

   private:
    void Push(const char* v, int len, int format) {
      Fvalues.push_back(v);
      Flengths.push_back(len);
      Fformats.push_back(format);
    }
    std::vector<std::string> Ftexts;  // reserved up front: pointers into it stay valid
    std::vector<const char*> Fvalues;
    std::vector<int> Flengths, Fformats;
  };

  static bool IsConflict(const PGresult* res) {
    const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    if (state == nullptr) return false;
    const std::string_view s(state);
    return s == "40001" || s == "40P01" || s == "23505";
  }

  const std::string& Prepare(std::string_view sql) {
    auto it = FStatements.find(std::string(sql));
    if (it != FStatements.end()) return it->second;
    std::string name = "ms" + std::to_string(FStatements.size() + 1);
    const std::string text(sql);
    Result res(PQprepare(Fconn, name.c_str(), text.c_str(), 0, nullptr), PQclear);
    Check(res.get(), "prepare");
    return FStatements.emplace(text, std::move(name)).first->second;
  }

  [[noreturn]] void Failed(const char* what) {
    const std::string message = std::string(what) + ": " + Trimmed(PQerrorMessage(Fconn));
    Recover();
    throw SqlError(message);
  }

  void Check(const PGresult* res, const char* what) {
    const ExecStatusType st = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) return;
    if (res == nullptr) Failed(what);
    const std::string message = std::string(what) + ": " + Trimmed(PQresultErrorMessage(res));
    const bool retry = IsConflict(res);
    Recover();
    throw SqlError(message, retry);
  }

  // A lost connection is opened again for the next call; its prepared statements are gone.
  void Recover() {
    if (PQstatus(Fconn) == CONNECTION_OK) return;
    PQreset(Fconn);
    FStatements.clear();
  }

  static SqlRow ReadRow(const PGresult* res, int r) {
    SqlRow row;
    const int cols = PQnfields(res);
    row.cells.resize(static_cast<std::size_t>(cols));
    for (int c = 0; c < cols; ++c) {
      if (PQgetisnull(res, r, c)) continue;
      const char* v = PQgetvalue(res, r, c);
      const auto len = static_cast<std::size_t>(PQgetlength(res, r, c));
      row.cells[static_cast<std::size_t>(c)] =
          PQftype(res, c) == kByteaOid ? DecodeBytea(v, len) : std::string(v, len);
    }
    return row;
  }

  PGconn* Fconn;
  std::unordered_map<std::string, std::string> FStatements;  // SQL text -> statement name
};

}  // namespace

std::unique_ptr<SqlConn> OpenPostgresConn(const std::string& url) {
  return std::make_unique<PgConn>(url);
}
