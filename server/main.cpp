// melodyseeker-server: the reference fingerprint web service.
//
//   serve [--listen 127.0.0.1:8470] [--data DIR] [--db DB] [--public-url URL] [--cache-url URL]
//   import [--data DIR] [--db DB] [--jobs N] PATH...
//   build-cache [--data DIR] [--db DB]
//   state [--data DIR] [--db DB] [--online|--offline] [--message-de T] [--message-en T]
//         [--client-minvers V]
//   stats [--data DIR] [--db DB] [--json]
//
// The data directory holds the cache files (afpcache/) and, unless --db names another, the
// SQLite database (melodyseeker.db). Default: $MELODYSEEKER_SERVER_DATA, else
// $XDG_DATA_HOME/melodyseeker-server (~/.local/share/melodyseeker-server). The database: --db,
// else $MELODYSEEKER_SERVER_DB, else DIR/melodyseeker.db; a postgresql:// URL selects
// PostgreSQL, which several serve processes (sharing one cache directory) may use at once.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "server_api.h"
#include "server_cache.h"
#include "server_db.h"
#include "server_import.h"

namespace {

std::string DefaultDataDir() {
  if (const char* d = std::getenv("MELODYSEEKER_SERVER_DATA"); d && *d) return d;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) {
    return std::string(x) + "/melodyseeker-server";
  }
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share/melodyseeker-server";
}

struct Data {
  std::unique_ptr<ServerDb> db;
  std::unique_ptr<CacheStore> cache;
};

// Where the database is: --db, else $MELODYSEEKER_SERVER_DB, else the SQLite file in `dir`.
std::string DbLocation(const std::string& dir, const std::string& db) {
  if (!db.empty()) return db;
  if (const char* d = std::getenv("MELODYSEEKER_SERVER_DB"); d && *d) return d;
  return dir + "/melodyseeker.db";
}

bool OpenData(const std::string& dir, const std::string& db, Data& data) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::cerr << "melodyseeker-server: cannot create " << dir << ": " << ec.message() << '\n';
    return false;
  }
  std::string error;
  data.db = ServerDb::Open(DbLocation(dir, db), error);
  if (!data.db) {
    std::cerr << "melodyseeker-server: " << error << '\n';
    return false;
  }
  data.cache = std::make_unique<CacheStore>(dir + "/afpcache");
  return true;
}

bool BuildCache(Data& data, bool force, bool verbose) {
  CacheBuildReport r;
  const ServerStatus st = data.cache->Build(*data.db, force, r);
  if (!st.ok()) {
    std::cerr << "melodyseeker-server: " << st.message << '\n';
    return false;
  }
  if (!r.built) {
    if (verbose) {
      std::cout << "Cache files are up to date: generation " << r.generation << ", " << r.records
                << " fingerprints in " << r.files << " file(s).\n";
    }
    return true;
  }
  const double rate = r.seconds > 0 ? r.records_written / r.seconds : 0;
  std::cout << "Built cache generation " << r.generation << ": " << r.records << " fingerprints in "
            << r.files << " file(s) (" << r.records_written << " written, " << r.files_linked
            << " full file(s) kept) in " << std::fixed << std::setprecision(3) << r.seconds
            << " s, " << std::setprecision(0) << rate << " records/s.\n"
            << std::defaultfloat;
  return true;
}

bool ParseListen(const std::string& listen, std::string& host, int& port) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const std::string p = listen.substr(colon + 1);
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::stoi(p);
  return port <= 65535;
}

int Serve(const std::string& dir, const std::string& db, const std::string& listen,
          const std::string& public_url, const std::string& cache_url, int interval, bool quiet) {
  ApiOptions options;
  if (!ParseListen(listen, options.host, options.port)) {
    std::cerr << "melodyseeker-server: --listen wants HOST:PORT, not \"" << listen << "\"\n";
    return 2;
  }
  options.public_url = public_url;
  options.cache_url = cache_url;
  options.rebuild_interval = std::chrono::seconds(interval);
  options.access_log = !quiet;
  // Signals are taken by sigwait below; every thread started from here on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Data data, builder;
  if (!OpenData(dir, db, data) || !OpenData(dir, db, builder)) return 1;
  if (!BuildCache(data, false, true)) return 1;
  ApiServer server(*data.db, *builder.db, *data.cache, options);
  const ServerStatus st = server.Start();
  if (!st.ok()) {
    std::cerr << "melodyseeker-server: " << st.message << '\n';
    return 1;
  }
  const std::string host =
      options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  std::cout << "Serving " << dir << " (" << data.db->Engine() << " database "
            << RedactedLocation(DbLocation(dir, db)) << ") at http://" << host << ':'
            << server.Port() << "/v2/ and /api/v2/ (Ctrl+C ends)" << std::endl;
  int sig = 0;
  sigwait(&signals, &sig);
  std::cout << "Stopping." << std::endl;
  server.Stop();
  return 0;
}

int Import(const std::string& dir, const std::string& db_location, int jobs,
           const std::vector<std::string>& paths) {
  Data data;
  if (!OpenData(dir, db_location, data)) return 1;
  std::vector<std::string> missing;
  const auto files = FindAudioFiles(paths, missing);
  for (const auto& m : missing) std::cerr << "melodyseeker-server: not found: " << m << '\n';
  ImportOptions options;
  options.jobs = jobs;
  options.ffmpeg = FindFfmpeg();
  options.tty = ::isatty(STDERR_FILENO) == 1;
  std::cout << "Importing " << files.size() << " audio file(s) with " << jobs << " job(s)"
            << (options.ffmpeg.empty() ? " (no ffmpeg: MP3 and WAV only)" : "") << '\n'
            << std::flush;
  ImportSummary s;
  ImportFiles(*data.db, files, options, s, std::cerr);
  const double rate = s.seconds > 0 ? s.files * 60.0 / s.seconds : 0;
  std::cout << "Imported " << s.imported << " of " << s.files << " file(s): " << s.new_titles
            << " new title(s), " << s.joined << " joined an existing title, " << s.known
            << " already known, " << s.failed << " failed; " << std::fixed << std::setprecision(1)
            << s.seconds << " s, " << rate << " tracks/min.\n"
            << std::defaultfloat;
  for (const auto& [file, reason] : s.failures)
    std::cout << "  failed: " << file << ": " << reason << '\n';
  const DbStats db = data.db->Stats();
  std::cout
      << "The database now holds " << db.titles << " title(s) and " << db.fingerprints
      << " fingerprint(s); a running server publishes them within a minute, or run build-cache.\n";
  return (s.failed > 0 || !missing.empty()) ? 1 : 0;
}

int State(const std::string& dir, const std::string& db, std::optional<bool> online,
          const std::optional<std::string>& de, const std::optional<std::string>& en,
          const std::optional<std::string>& minvers) {
  Data data;
  if (!OpenData(dir, db, data)) return 1;
  ApiState st = data.db->GetState();
  if (online || de || en || minvers) {
    if (online) st.online = *online;
    if (de) st.message_de = *de;
    if (en) st.message_en = *en;
    if (minvers) st.client_minvers = *minvers;
    const ServerStatus saved = data.db->SetState(st);
    if (!saved.ok()) {
      std::cerr << "melodyseeker-server: " << saved.message << '\n';
      return 1;
    }
  }
  std::cout << "online: " << (st.online ? 1 : 0) << "\nmessage_de: " << st.message_de
            << "\nmessage_en: " << st.message_en << "\nclient_minvers: " << st.client_minvers
            << '\n';
  return 0;
}

int Stats(const std::string& dir, const std::string& db_location, bool json) {
  Data data;
  if (!OpenData(dir, db_location, data)) return 1;
  const DbStats db = data.db->Stats();
  const auto gen = data.cache->Current();
  std::int64_t bytes = 0;
  nlohmann::ordered_json files = nlohmann::json::array();
  if (gen) {
    for (const auto& f : gen->files) {
      bytes += f.size;
      files.push_back({{"name", f.name}, {"size", f.size}, {"records", f.records}});
    }
  }
  const std::int64_t pending = gen ? data.db->Stats().fingerprints - gen->records : db.fingerprints;
  if (json) {
    nlohmann::ordered_json out{{"titles", db.titles},
                               {"fingerprints", db.fingerprints},
                               {"cache_generation", gen ? gen->number : 0},
                               {"cache_records", gen ? gen->records : 0},
                               {"cache_bytes", bytes},
                               {"cache_files", files},
                               {"pending", pending}};
    std::cout << out.dump() << '\n';
  } else {
    std::cout << "titles: " << db.titles << "\nfingerprints: " << db.fingerprints
              << "\ncache generation: " << (gen ? gen->number : 0)
              << "\ncache files: " << files.size() << " (" << bytes << " bytes, "
              << (gen ? gen->records : 0) << " records)\nnot yet in the cache: " << pending << '\n';
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"melodyseeker-server: the reference fingerprint web service"};
  app.require_subcommand(1);
  std::string dir = DefaultDataDir(), db;
  const auto data_option = [&dir, &db](CLI::App* sub) {
    sub->add_option("--data", dir, "Data directory (cache files, and the SQLite database)")
        ->capture_default_str();
    sub->add_option("--db", db,
                    "Database: an SQLite file or a postgresql:// URL (default: "
                    "$MELODYSEEKER_SERVER_DB, else DATA/melodyseeker.db)");
  };

  auto* serve = app.add_subcommand("serve", "Answer the web API");
  std::string listen = "127.0.0.1:8470", public_url, cache_url;
  int interval = 60;
  bool quiet = false;
  data_option(serve);
  serve->add_option("--listen", listen, "Address to listen on, HOST:PORT")->capture_default_str();
  serve->add_option("--public-url", public_url,
                    "Address clients reach this server under (default: from each request's Host)");
  serve->add_option("--cache-url", cache_url,
                    "Address where a static web server serves DATA/afpcache/ as it is; the cache "
                    "list then points there");
  serve
      ->add_option("--rebuild-interval", interval, "Seconds between cache rebuilds after additions")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
  serve->add_flag("--quiet", quiet, "No request log");

  auto* import = app.add_subcommand("import", "Fingerprint and tag audio files into the database");
  int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::string> paths;
  data_option(import);
  import->add_option("--jobs,-j", jobs, "Files worked on at the same time")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  import->add_option("PATH", paths, "Audio files or directories")->required();

  auto* build = app.add_subcommand("build-cache", "Write the cache files for the database now");
  bool force = false;
  data_option(build);
  build->add_flag("--force", force, "Write a new generation even when nothing changed");

  auto* state = app.add_subcommand("state", "Show or change what getState.php reports");
  bool online = false, offline = false;
  std::optional<std::string> de, en, minvers;
  data_option(state);
  auto* on = state->add_flag("--online", online, "Report the service online");
  state->add_flag("--offline", offline, "Report the service offline")->excludes(on);
  state->add_option("--message-de", de, "German message (\\n for a line break)");
  state->add_option("--message-en", en, "English message (\\n for a line break)");
  state->add_option("--client-minvers", minvers, "Oldest client version served (empty: any)");

  auto* stats = app.add_subcommand("stats", "Titles, fingerprints and cache files");
  bool json = false;
  data_option(stats);
  stats->add_flag("--json", json, "One JSON object");

  CLI11_PARSE(app, argc, argv);
  if (serve->parsed()) return Serve(dir, db, listen, public_url, cache_url, interval, quiet);
  if (import->parsed()) return Import(dir, db, jobs, paths);
  if (build->parsed()) {
    Data data;
    return OpenData(dir, db, data) && BuildCache(data, force, true) ? 0 : 1;
  }
  if (state->parsed()) {
    std::optional<bool> flag;
    if (online) flag = true;
    if (offline) flag = false;
    return State(dir, db, flag, de, en, minvers);
  }
  if (stats->parsed()) return Stats(dir, db, json);
  return 2;
}
