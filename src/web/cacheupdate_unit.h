#pragma once
// The cache download run at start-up: checks the web service's state and the minimum client
// version, brings the local cache directory in line with the service's file list, downloads what
// is missing or changed, loads every cache file into the comparator and reports ready.
//
// No window here: every status change goes as a TCacheUpdateStatus to the OnStatus callback,
// posted to the main-thread queue (the tray UI shows it in its window, the headless service on
// standard error). OnReady is posted once the cache is loaded; it is the only way the run says
// "ready", and it comes strictly after loadfromafpcache returned true.
//
// Safety beyond the plain sync: a name from the service's list must be a plain "afp*.afpbin"
// name, or the run stops before anything is deleted or written; each file is downloaded into
// "<name>.part" and renamed only when complete, so a broken download never leaves a partial
// file under the real name.
//
// Threads: Start, AbortRequest, Terminate and WaitFor are called from the main thread; the run
// itself is one worker thread owning its TWebAPI. The comparator is owned by the dispatcher and
// must outlive WaitFor.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "web/webapi_unit.h"

class TAFPComp;
class TMainThreadQueue;

struct TCacheUpdateStatus {
  std::string Text;            // the status label's text
  bool Aborted = false;        // Text starts with "Abgebrochen"
  bool Loaded = false;         // "Lokaler Cache vorbereitet"
  bool Download = false;       // a download progress update
  std::int32_t MainMax = 100;  // bar over the file list
  std::int32_t MainPos = 0;
  std::int64_t FileMax = 100;  // bar within the current file
  std::int64_t FilePos = 0;
};

struct TCacheUpdateSettings {
  std::string Cachepath;    // the cache directory, with or without trailing "/"
  std::string Lang;         // language override code; "" or "de" choose the German message
  std::string VersionText;  // this program's version text, compared with client_minvers
};

// A plain "afp*.afpbin" name (no "/", not "." or "..", no control characters).
bool IsPlainCacheFileName(const std::string& name);
// The part of an address after its last "/".
std::string CacheFileNameOfUrl(const std::string& url);
// client_minvers newer than versiontext (plain byte comparison, empty never is).
bool ClientTooOld(const std::string& client_minvers, const std::string& versiontext);
// Deletes plain files of `dir` not in `files` (or of another size) and removes the entries whose
// file is current. Files that cannot be deleted are left alone.
void CleanCacheDir(const std::string& dir, TWebAPI_CacheFiles& files);

class TWebAPICacheUpdateThread {
 public:
  using StatusEvent = std::function<void(const TCacheUpdateStatus&)>;
  using ReadyEvent = std::function<void()>;

  TWebAPICacheUpdateThread(TAFPComp& comp, TCacheUpdateSettings settings,
                           std::shared_ptr<TMainThreadQueue> queue, StatusEvent OnStatus,
                           ReadyEvent OnReady);
  ~TWebAPICacheUpdateThread();  // Terminate, AbortRequest, WaitFor
  TWebAPICacheUpdateThread(const TWebAPICacheUpdateThread&) = delete;
  TWebAPICacheUpdateThread& operator=(const TWebAPICacheUpdateThread&) = delete;

  void Start();
  void AbortRequest();
  void Terminate() { FTerminated.store(true); }
  void WaitFor();
  bool Finished() const { return FFinished.load(); }
  bool Failed() const { return FbError.load(); }
  std::int64_t ReceivedBytes() const;

 private:
  void Execute();
  void Run();
  void Show(TCacheUpdateStatus status);
  void ShowProgress();

  TAFPComp& FComp;
  const TCacheUpdateSettings FSettings;
  const std::shared_ptr<TMainThreadQueue> FQueue;
  StatusEvent FOnStatus;
  ReadyEvent FOnReady;
  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FbError{false};
  std::string fsCurrentMessage;
  TWebAPI_CacheFiles fCacheFiles;
  bool fHaveList = false;
  std::int32_t fiCurrentFile = 0;
  std::int64_t fiTotalSize = 0;
  std::int64_t fiReceive = 0;
  mutable std::mutex FWebLock;  // guards fWebAPI's lifetime against AbortRequest
  std::unique_ptr<TWebAPI> fWebAPI;
};
