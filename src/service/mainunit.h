#pragma once
// The service's start-up and shutdown steps, shared by every front end. The core owns the order
// and prints nothing; a front end owns what the user sees and the main loop.
//
// How a front end composes the steps (apps/melodyseeker is the composition root):
//
//   BlockServiceSignals();                          // first, before any thread exists
//   auto queue = <the front end's TMainThreadQueue>;
//   TMelodySeekerService service(queue, options);
//   service.OnStatus = ...;  service.OnReady = ...;  // show the download's progress
//   if (!service.InitModule()) return service.ExitCode();       // paths, socket, one instance
//   <create the windows>
//   if (!service.StartMainWindow()) return service.ExitCode();  // dirs, config, debug trace
//   TServiceSignals signals(stop -> service.RequestStop(), reload -> post ReloadConfiguration);
//   100 ms later: service.StartDownload();
//   about every 250 ms: service.Tick();             // client count, retry of the download
//   on "Beenden" (after the front end's own question) or StopRequested(): service.Shutdown();
//
// The headless front end prints OnStatus on standard error and leaves every message box to the
// headless TUiPrompt. The tray installs its own TUiPrompt and a Qt queue before the first step,
// shows OnStatus in its download window, runs Tick from a timer, and asks about open clients
// (PipeServerClientCount) before Shutdown. Both publish the same status (servicestatus_unit).
//
// Threads: everything runs in the queue's main thread except RequestStop and StopRequested,
// which any thread may call (the signal thread does).

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/servicestatus_unit.h"
#include "web/cacheupdate_unit.h"

class TCacheAccess;
class TMainThreadQueue;

// Arguments without the program name. True when the process should bind itself to CPU 0.
bool OneCoreRequested(const std::vector<std::string>& args);
// First argument "local" (any case).
bool LocalModeRequested(const std::vector<std::string>& args);

// Longest wait between two download attempts of the headless service.
inline constexpr std::chrono::seconds kMaxRetryDelay{3600};

struct TServiceOptions {
  std::vector<std::string> Args;  // the design's arguments: "local" first, "ONECORE" anywhere
  std::string ProgramFile;        // the program's file name: single instance, language key
  std::string PipeName;
  // After a failed download, try again after RetryDelay, then twice as long each time up to
  // kMaxRetryDelay. Off: the run stays not ready until the next start.
  bool RetryDownload = false;
  std::chrono::seconds RetryDelay{60};
};

class TMelodySeekerService {
 public:
  TMelodySeekerService(std::shared_ptr<TMainThreadQueue> queue, TServiceOptions options);
  ~TMelodySeekerService();  // Shutdown() when a step succeeded and it was not called
  TMelodySeekerService(const TMelodySeekerService&) = delete;
  TMelodySeekerService& operator=(const TMelodySeekerService&) = delete;

  // Data paths; the dispatcher with its socket (listening at once, not ready); the single-
  // instance check. False when the process must end (ExitCode): another instance (0), the
  // socket could not be created (1, with the reason shown).
  bool InitModule();
  // The main window's start-up without a window: local mode, version text, referer, ONECORE,
  // data directory, Cache and Backup, configuration, debug trace, the exception report. False
  // when the process must end (ExitCode 1, message shown).
  bool StartMainWindow();
  // The start timer's work: the cache download thread.
  void StartDownload();
  // Periodic work of the main thread: publishes the client count, starts a planned retry.
  void Tick();
  // SIGHUP: reads the configuration file again; decoder settings apply to the next request.
  void ReloadConfiguration();

  // Any thread: ends running decoders and transfers at once and marks the stop; the front end's
  // loop sees StopRequested and calls Shutdown.
  void RequestStop();
  bool StopRequested() const { return FStopRequested.load(); }
  // "Beenden" without the question: abort, stop serving, release, save the configuration,
  // withdraw the status. Safe to call more than once.
  void Shutdown();

  int ExitCode() const { return FExitCode; }
  int PipeServerClientCount() const;
  TCacheAccess* Dispatcher() { return FDispatcher.get(); }
  const std::string& ConfigFile() const { return FConfigFile; }
  // The language override key: the full path of the program file.
  std::string LanguageKey() const;
  const TServiceStatus& Status() const { return FStatus; }

  // Set before the steps run. All run in the main thread.
  std::function<void(const TCacheUpdateStatus&)> OnStatus;   // every status of the download
  std::function<void()> OnReady;                             // the service now answers requests
  std::function<void(std::chrono::seconds)> OnRetryPlanned;  // next attempt after this delay

 private:
  void StartDownloadRun();
  void DownloadStatus(const TCacheUpdateStatus& s);
  void DownloadReady();
  void Publish();

  const std::shared_ptr<TMainThreadQueue> FQueue;
  const TServiceOptions FOptions;
  std::unique_ptr<TCacheAccess> FDispatcher;
  std::unique_ptr<TWebAPICacheUpdateThread> FDownload;
  TServiceStatusPublisher FPublisher;
  TServiceStatus FStatus;
  std::string FConfigFile;
  std::atomic<bool> FStopRequested{false};
  bool FStarted = false;  // StartMainWindow succeeded: Shutdown saves the configuration
  bool FShutDown = false;
  int FExitCode = 0;
  int FFailedRuns = 0;
  std::chrono::steady_clock::time_point FRetryDue{};
  bool FRetryPlanned = false;
};

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread, so every thread started later
// inherits the mask and only TServiceSignals takes them; ignores SIGPIPE. Call first in main().
void BlockServiceSignals();

// Writes an exception that escapes a thread (or the main loop) to the debug trace as
// "Exception Report: <message>" and to standard error before the process ends.
void InstallExceptionReport();

// One thread that takes the blocked signals: SIGTERM and SIGINT call `onstop`, SIGHUP calls
// `onreload`, both in that thread (so they must be thread-safe, e.g. post to the queue).
class TServiceSignals {
 public:
  TServiceSignals(std::function<void()> onstop, std::function<void()> onreload);
  ~TServiceSignals();
  TServiceSignals(const TServiceSignals&) = delete;
  TServiceSignals& operator=(const TServiceSignals&) = delete;

 private:
  std::atomic<bool> FDone{false};
  std::thread FThread;
};
