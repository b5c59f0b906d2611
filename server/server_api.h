#pragma once
// The HTTP side of the web service: the four endpoints under both "/v2/" and "/api/v2/", and
// the thread that rebuilds the cache files after additions (at most once per interval).
//
//   GET  getState.php          <apistate> online, message_de, message_en, client_minvers
//   GET  getAFPCacheInf.php    <afpcache> one <afpcachefile size="..">address</afpcachefile> each
//   GET  afpcache/N/afpNNNN.afpbin   the files of cache generation N
//   POST getAFPTag.php         <remoteapi> FUNCTION A (add), U (update), T (test: answer only)
//
// Input is checked strictly: request bodies are limited (kMaxRequestBytes), every element has a
// length limit, numbers are plain decimals, and an AFPPART must be exactly one valid audio
// record; anything else is answered with status 400 and a plain-text reason, nothing stored.
//
// Threads: cpp-httplib's worker pool runs the handlers; they share the ServerDb (its own lock)
// and the CacheStore. The rebuild thread uses its own database connection so that a long build
// never holds up a request. Start and Stop from one controlling thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server_cache.h"
#include "server_db.h"
#include "server_status.h"

namespace httplib {
class Server;
}

struct ApiOptions {
  std::string host = "127.0.0.1";
  int port = 8470;  // 0: any free port (see ApiServer::Port)
  // Address the clients reach this server under (e.g. "https://afp.example.org"); the cache
  // file addresses start with it. Empty: taken from the request's Host header.
  std::string public_url;
  // Address under which a static web server serves the cache directory (afpcache/) as it is on
  // disk, e.g. "https://cdn.example.org/afpcache". Set: the cache list names
  // <cache_url>/gN/afpNNNN.afpbin and downloads never reach this process. Empty: this server
  // serves them under afpcache/N/.
  std::string cache_url;
  std::chrono::seconds rebuild_interval{60};
  // Requests are answered by a pool of threads, each serving one connection at a time (for as
  // long as the client keeps it open); more connections than threads wait for a free one.
  int threads = 64;
  bool access_log = false;  // one line per request on standard error
};

inline constexpr std::size_t kMaxRequestBytes = 256 * 1024;
inline constexpr std::size_t kMaxTagTextBytes = 4096;

class ApiServer {
 public:
  // db serves the requests; build_db (another connection to the same file) the rebuilds.
  ApiServer(ServerDb& db, ServerDb& build_db, CacheStore& cache, ApiOptions options);
  ~ApiServer();
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Binds and starts serving in the background.
  ServerStatus Start();
  int Port() const { return FPort; }
  // Stops serving and waits for the threads; safe to call again.
  void Stop();

  // Builds done by the rebuild thread so far (for tests and the log).
  int Rebuilds() const { return FRebuilds.load(); }

 private:
  void Routes();
  void RebuildLoop();

  ServerDb& FDb;
  ServerDb& FBuildDb;
  CacheStore& FCache;
  const ApiOptions FOptions;
  std::unique_ptr<httplib::Server> FHttp;
  std::thread FListenThread, FRebuildThread;
  int FPort = 0;
  std::atomic<int> FRebuilds{0};
  std::mutex FStopLock;  // guards FStopping and FAdded for the rebuild thread's waits
  std::condition_variable FStopCv;
  bool FStopping = false;
  bool FAdded = false;  // a fingerprint was added since the rebuild thread last looked
  bool FStarted = false;
};

// Base64 with the standard alphabet and "=" fill; CR, LF, blanks and tabs between characters
// are skipped. False for any other character or a wrong length or fill.
bool DecodeBase64(std::string_view text, std::string& out);
