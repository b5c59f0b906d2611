#include "service/mainunit.h"

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <exception>
#include <filesystem>

#include "diagnostics/debug_unit.h"
#include "os/os_api_unit.h"
#include "platform/main_thread_queue.h"
#include "platform/ui_prompt.h"
#include "service/cacheaccess_unit.h"
#include "service/melodyseeker_glob_unit.h"
#include "service/startoncemutex_unit.h"
#include "web/WebRequest_Unit.h"
#include "web/webapi_unit.h"

namespace {

constexpr char kLFCR[] = "\n\r";
constexpr char kRefererBase[] = "https://melodyseeker.invalid/";

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// Upper case with the German rule: a-z and ä, ö, ü (UTF-8); everything else unchanged.
std::string UpperDE(std::string s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 'a' && c <= 'z') s[i] = static_cast<char>(c - 32);
    if (c == 0xC3 && i + 1 < s.size()) {
      unsigned char d = static_cast<unsigned char>(s[i + 1]);
      if (d == 0xA4 || d == 0xB6 || d == 0xBC) s[i + 1] = static_cast<char>(d - 0x20);
      ++i;
    }
  }
  return s;
}

std::string SelfExe() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

[[noreturn]] void ReportAndAbort() {
  std::string message = "unbekannte Ausnahme";
  if (std::exception_ptr e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      message = x.what();
    } catch (...) {
    }
  }
  // The process is going down either way; a failure to report must not stop that.
  try {
    Debug_Log("Exception Report: " + message);
    THeadlessPrompt().Show(TPromptKind::Error, "Exception Report: " + message, TPromptButtons::Ok);
  } catch (...) {
  }
  std::abort();
}

}  // namespace

bool OneCoreRequested(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(), [](const std::string& a) {
    const std::string u = UpperDE(Trim(a));
    return !u.empty() && (u == "ONECORE" || u == "/ONECORE");
  });
}

bool LocalModeRequested(const std::vector<std::string>& args) {
  if (args.empty()) return false;
  std::string a = args[0];
  std::transform(a.begin(), a.end(), a.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return a == "local";
}

void BlockServiceSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void InstallExceptionReport() { std::set_terminate(&ReportAndAbort); }

TServiceSignals::TServiceSignals(std::function<void()> onstop, std::function<void()> onreload) {
  FThread = std::thread([this, onstop = std::move(onstop), onreload = std::move(onreload)] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    // A short wait, so that the destructor never needs a signal of its own to end the thread.
    const timespec step{0, 200 * 1000 * 1000};
    while (!FDone.load()) {
      const int sig = sigtimedwait(&set, nullptr, &step);
      if (sig == SIGHUP) {
        if (onreload) onreload();
      } else if (sig == SIGTERM || sig == SIGINT) {
        if (onstop) onstop();
      }
    }
  });
}

TServiceSignals::~TServiceSignals() {
  FDone.store(true);
  if (FThread.joinable()) FThread.join();
}

TMelodySeekerService::TMelodySeekerService(std::shared_ptr<TMainThreadQueue> queue,
                                           TServiceOptions options)
    : FQueue(std::move(queue)), FOptions(std::move(options)) {}

TMelodySeekerService::~TMelodySeekerService() { Shutdown(); }

bool TMelodySeekerService::InitModule() {
  InitPaths();
  FDispatcher = std::make_unique<TCacheAccess>(FQueue, FOptions.PipeName);
  if (!CheckSingleInstance(FOptions.ProgramFile)) {
    ShowMessage(TPromptKind::Warning, AlreadyRunningText(FOptions.ProgramFile));
    FDispatcher.reset();
    FExitCode = 0;
    return false;
  }
  // Without its socket the service could never answer; downloading and loading the whole
  // cache for nobody would only cost time, so it ends here and says why.
  if (!FDispatcher->PipeServerStarted()) {
    const TPipeServer* server = FDispatcher->PipeServer();
    ShowMessage(TPromptKind::Error, server != nullptr
                                        ? server->LastError() + " " + server->LastErrorDetail()
                                        : std::string("Socket-Server nicht gestartet"));
    FDispatcher.reset();
    FExitCode = 1;
    return false;
  }
  return true;
}

bool TMelodySeekerService::StartMainWindow() {
  if (LocalModeRequested(FOptions.Args)) TWebAPI::SetLocalMode();
  InitVersionText();
  TWebAPI::SetReferer(std::string(kRefererBase) + "#" + kProductName + VersionText());
  if (OneCoreRequested(FOptions.Args)) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
      ShowMessage(TPromptKind::Warning, "Fehler beim Ausführen der Prozessorzuordnung");
  }
  auto fail = [this] {
    FDispatcher.reset();
    FExitCode = 1;
    return false;
  };
  if (startpfad_read().empty() || startpfad_write().empty()) {
    ShowMessage(TPromptKind::Warning,
                std::string("Interner Fehler: Es konnte kein Datenpfad gefunden/erzeugt werden!") +
                    kLFCR +
                    "Sollte dieses Problem permanent auftreten, wenden Sie sich bitte an den "
                    "technischen Support!" +
                    kLFCR + "startpfad_read:" + startpfad_read() + kLFCR +
                    "startpfad_write:" + startpfad_write() + kLFCR);
    return fail();
  }
  for (const char* sub : {"Cache", "Backup"}) {
    const std::string dir = startpfad_write() + "/" + sub;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec) && !std::filesystem::create_directory(dir, ec)) {
      ShowMessage(TPromptKind::Warning,
                  std::string("Fehler: Verzeichnisstuktur konnte nicht angelegt werden!") + kLFCR +
                      "startpfad_write: " + startpfad_write());
      return fail();
    }
  }
  FConfigFile = startpfad_write() + "/" + kConfigFileName;
  std::string error;
  if (!LoadConfig(FConfigFile, VersionText(), error)) ShowMessage(TPromptKind::Warning, error);
  const TMelodySeekerConfig config = GetConfig();
  if (!config.BaseURL.empty()) TWebAPI::SetConfiguredBaseURL(config.BaseURL);
  if (config.DebugStart)
    Debug_Init(std::string(kProductName) + " " + VersionText() + " RP: " + startpfad_read() +
                   " WP: " + startpfad_write(),
               startpfad_write());
  InstallExceptionReport();
  FStarted = true;

  FStatus.Phase = TServicePhase::Starting;
  FStatus.Text = "MelodySeeker startet";
  FStatus.Pid = ::getpid();
  FStatus.Version = VersionText();
  FStatus.DataDir = startpfad_write();
  FStatus.Pipe = FOptions.PipeName;
  FStatus.Program = LanguageKey();
  FStatus.Exe = SelfExe();
  Publish();
  return true;
}

std::string TMelodySeekerService::LanguageKey() const {
  return startpfad_read() + "/" + FOptions.ProgramFile;
}

int TMelodySeekerService::PipeServerClientCount() const {
  return FDispatcher ? FDispatcher->PipeServerClientCount() : 0;
}

void TMelodySeekerService::Publish() {
  FStatus.Clients = PipeServerClientCount();
  FPublisher.Publish(FStatus);
}

void TMelodySeekerService::StartDownload() {
  if (!FStarted || FShutDown || FDownload) return;
  StartDownloadRun();
}

void TMelodySeekerService::StartDownloadRun() {
  if (FDownload) {
    FDownload->WaitFor();  // the failed run posted its last status; it is ending or ended
    FDownload.reset();
    // A run that failed while loading may have filled rows; the next one starts empty.
    FDispatcher->AfpComp().afploadsetup(0);
  }
  FRetryPlanned = false;
  FStatus.RetryAt = 0;
  TCacheUpdateSettings settings{startpfad_write() + "/Cache/", GetLanguageOverride(LanguageKey()),
                                VersionText()};
  FDownload = std::make_unique<TWebAPICacheUpdateThread>(
      FDispatcher->AfpComp(), settings, FQueue,
      [this](const TCacheUpdateStatus& s) { DownloadStatus(s); }, [this] { DownloadReady(); });
  FDownload->Start();
}

void TMelodySeekerService::DownloadStatus(const TCacheUpdateStatus& s) {
  if (FShutDown) return;
  if (OnStatus) OnStatus(s);
  FStatus.Text = s.Text;
  if (s.Aborted) {
    FStatus.Phase = TServicePhase::Failed;
    static constexpr std::string_view kAborted = "Abgebrochen ";
    FStatus.Reason =
        s.Text.compare(0, kAborted.size(), kAborted) == 0 ? s.Text.substr(kAborted.size()) : s.Text;
    if (FOptions.RetryDownload && !FStopRequested.load() && !FRetryPlanned) {
      // 1, 2, 4, ... times the first delay, never longer than the cap.
      std::chrono::seconds delay = FOptions.RetryDelay;
      for (int i = 0; i < FFailedRuns && delay < kMaxRetryDelay; ++i) delay *= 2;
      delay = std::min(delay, kMaxRetryDelay);
      ++FFailedRuns;
      FRetryPlanned = true;
      FRetryDue = std::chrono::steady_clock::now() + delay;
      FStatus.RetryAt = static_cast<std::int64_t>(std::time(nullptr)) + delay.count();
      if (OnRetryPlanned) OnRetryPlanned(delay);
    }
  } else if (!s.Loaded && FStatus.Phase != TServicePhase::Ready) {
    FStatus.Phase = TServicePhase::Downloading;
    FStatus.Reason.clear();
    if (s.Download) {
      FStatus.FileIndex = s.MainPos + 1;
      FStatus.FileCount = s.MainMax + 1;
      FStatus.Bytes = s.FilePos;
      FStatus.TotalBytes = s.FileMax;
    }
  }
  Publish();
}

void TMelodySeekerService::DownloadReady() {
  if (FShutDown || !FDispatcher) return;
  if (FDispatcher->PipeServerState() != serverInit) return;
  FDispatcher->SetPipeServerState(serverReady);
  FFailedRuns = 0;
  FStatus.Phase = TServicePhase::Ready;
  FStatus.Reason.clear();
  FStatus.RetryAt = 0;
  if (auto cache = FDispatcher->AfpComp().afpcache()) {
    FStatus.CacheFiles = cache->FileCount();
    FStatus.Records = cache->RecordCount();
  }
  Publish();
  if (OnReady) OnReady();
}

void TMelodySeekerService::Tick() {
  if (!FStarted || FShutDown) return;
  if (FRetryPlanned && !FStopRequested.load() && std::chrono::steady_clock::now() >= FRetryDue)
    StartDownloadRun();
  if (PipeServerClientCount() != FStatus.Clients) Publish();
}

void TMelodySeekerService::ReloadConfiguration() {
  if (!FStarted || FShutDown) return;
  std::string error;
  if (!ReloadConfig(FConfigFile, error)) {
    ShowMessage(TPromptKind::Warning, error);
    return;
  }
  const TMelodySeekerConfig config = GetConfig();
  if (!config.BaseURL.empty()) TWebAPI::SetConfiguredBaseURL(config.BaseURL);
  Debug_Log("Konfiguration neu eingelesen");
}

void TMelodySeekerService::RequestStop() {
  FStopRequested.store(true);
  // Whatever runs now would hold the shutdown up: an external decoder may take a minute, a
  // transfer half an hour. Neither result is wanted any more.
  AbortAllProcesses();
  TWebRequest::AbortAll();
  FQueue->post([] {});  // wakes the main loop
}

void TMelodySeekerService::Shutdown() {
  if (FShutDown) return;
  FShutDown = true;
  if (!FDispatcher && !FDownload) return;
  if (FStarted) {
    FStatus.Phase = TServicePhase::Stopping;
    FStatus.Text = "MelodySeeker wird beendet";
    FStatus.RetryAt = 0;
    FPublisher.Publish(FStatus);
  }
  AbortAllProcesses();
  TWebRequest::AbortAll();
  if (FDownload) {
    FDownload->Terminate();
    FDownload->AbortRequest();
  }
  if (FDispatcher) FDispatcher->Abort();
  if (FDownload) FDownload->WaitFor();
  if (FDispatcher) FDispatcher->Destroy();
  FQueue->process_pending();
  FDownload.reset();
  FDispatcher.reset();
  if (FStarted) {
    std::string error;
    if (!SaveConfig(FConfigFile, error)) ShowMessage(TPromptKind::Warning, error);
  }
  FPublisher.Withdraw();
}
