#include "service/mainunit.h"

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "diagnostics/debug_unit.h"
#include "melodyseeker_version.h"
#include "platform/main_thread_queue.h"
#include "platform/ui_prompt.h"
#include "service/cacheaccess_unit.h"
#include "service/melodyseeker_glob_unit.h"
#include "service/startoncemutex_unit.h"
#include "web/cacheupdate_unit.h"
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

void PrintUsage() {
  std::fprintf(stdout,
               "Usage: melodyseeker [--headless] [local] [ONECORE|/ONECORE]\n"
               "  The MelodySeeker service: answers identification requests of local clients.\n"
               "  local        use the web service's local mode (first argument only)\n"
               "  ONECORE      bind the process to the first processor\n"
               "  --headless   no tray UI; messages and status go to standard error\n"
               "  --help       this text\n"
               "  --version    the version\n"
               "Environment: APPDATA (data directory base), MELODYSEEKER_API (web service "
               "address), MELODYSEEKER_PIPE (socket name)\n");
}

// Prints download status changes at once and download progress at most once a second.
class THeadlessStatus {
 public:
  void operator()(const TCacheUpdateStatus& s) {
    const auto now = std::chrono::steady_clock::now();
    if (s.Text != FLastText) {
      FLastText = s.Text;
      FLastPrint = now;
      std::fprintf(stderr, "Status: %s\n", s.Text.c_str());
      return;
    }
    if (s.Download && now - FLastPrint >= std::chrono::seconds(1)) {
      FLastPrint = now;
      std::fprintf(stderr, "Status: %s (%lld / %lld Bytes)\n", s.Text.c_str(),
                   static_cast<long long>(s.FilePos), static_cast<long long>(s.FileMax));
    }
  }

 private:
  std::string FLastText;
  std::chrono::steady_clock::time_point FLastPrint{};
};

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

int MelodySeekerMain(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      PrintUsage();
      return 0;
    }
    if (a == "--version") {
      std::printf("MelodySeeker %s\n", MELODYSEEKER_VERSION_STRING);
      return 0;
    }
    if (a == "--headless") continue;
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::fprintf(stderr, "melodyseeker: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
    args.push_back(a);
  }

  // Blocked before any thread exists, so every thread inherits the mask and only the sigwait
  // thread below ever takes them.
  sigset_t stopsignals;
  sigemptyset(&stopsignals);
  sigaddset(&stopsignals, SIGTERM);
  sigaddset(&stopsignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopsignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Module initialisation.
  InitPaths();
  auto queue = std::make_shared<TPlainMainThreadQueue>();
  auto dispatcher = std::make_unique<TCacheAccess>(queue, PipeNameFromEnvironment());
  const std::string programfile =
      std::filesystem::path(argc > 0 ? argv[0] : "").filename().string();
  if (!CheckSingleInstance(programfile)) {
    ShowMessage(TPromptKind::Warning, AlreadyRunningText(programfile));
    dispatcher.reset();
    return 0;
  }
  if (!dispatcher->PipeServerStarted()) {
    const TPipeServer* server = dispatcher->PipeServer();
    ShowMessage(TPromptKind::Error, (server ? server->LastError() + " " + server->LastErrorDetail()
                                            : std::string("Socket-Server nicht gestartet")));
  }

  // Start-up of the main window's logic.
  if (LocalModeRequested(args)) TWebAPI::SetLocalMode();
  InitVersionText();
  TWebAPI::SetReferer(std::string(kRefererBase) + "#" + kProductName + VersionText());
  if (OneCoreRequested(args)) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
      ShowMessage(TPromptKind::Warning, "Fehler beim Ausführen der Prozessorzuordnung");
  }
  if (startpfad_read().empty() || startpfad_write().empty()) {
    ShowMessage(TPromptKind::Warning,
                std::string("Interner Fehler: Es konnte kein Datenpfad gefunden/erzeugt werden!") +
                    kLFCR +
                    "Sollte dieses Problem permanent auftreten, wenden Sie sich bitte an den "
                    "technischen Support!" +
                    kLFCR + "startpfad_read:" + startpfad_read() + kLFCR +
                    "startpfad_write:" + startpfad_write() + kLFCR);
    dispatcher.reset();
    return 1;
  }
  for (const char* sub : {"Cache", "Backup"}) {
    const std::string dir = startpfad_write() + "/" + sub;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec) && !std::filesystem::create_directory(dir, ec)) {
      ShowMessage(TPromptKind::Warning,
                  std::string("Fehler: Verzeichnisstuktur konnte nicht angelegt werden!") + kLFCR +
                      "startpfad_write: " + startpfad_write());
      dispatcher.reset();
      return 1;
    }
  }
  const std::string configfile = startpfad_write() + "/" + kConfigFileName;
  std::string error;
  if (!LoadConfig(configfile, VersionText(), error)) ShowMessage(TPromptKind::Warning, error);
  const TMelodySeekerConfig config = GetConfig();
  if (!config.BaseURL.empty()) TWebAPI::SetConfiguredBaseURL(config.BaseURL);
  if (config.DebugStart)
    Debug_Init(std::string(kProductName) + " " + VersionText() + " RP: " + startpfad_read() +
                   " WP: " + startpfad_write(),
               startpfad_write());

  std::thread signalthread([&stopsignals, queue] {
    int sig = 0;
    sigwait(&stopsignals, &sig);
    queue->quit();
  });

  std::fprintf(stderr, "MelodySeeker %s: Socket \"%s\", Daten %s\n", VersionText().c_str(),
               PipeNameFromEnvironment().c_str(), startpfad_write().c_str());

  // The download starts 100 ms after start-up, like the window's start timer.
  std::unique_ptr<TWebAPICacheUpdateThread> download;
  THeadlessStatus status;
  TCacheAccess* dispatcherptr = dispatcher.get();
  queue->wait_and_process(std::chrono::milliseconds(100));
  TCacheUpdateSettings settings{startpfad_write() + "/Cache/",
                                GetLanguageOverride(startpfad_read() + "/" + programfile),
                                VersionText()};
  download = std::make_unique<TWebAPICacheUpdateThread>(
      dispatcher->AfpComp(), settings, queue, [&status](const TCacheUpdateStatus& s) { status(s); },
      [dispatcherptr] {
        if (dispatcherptr->PipeServerState() == serverInit) {
          dispatcherptr->SetPipeServerState(serverReady);
          std::fprintf(stderr, "MelodySeeker bereit\n");
        }
      });
  download->Start();

  queue->run();

  // "Beenden": abort the load and the download, stop serving, release, save.
  Debug_Log("Programmende: Shutdown (Signal)");
  download->Terminate();
  download->AbortRequest();
  dispatcher->Abort();
  download->WaitFor();
  dispatcher->Destroy();
  queue->process_pending();
  download.reset();
  dispatcher.reset();
  if (!SaveConfig(configfile, error)) ShowMessage(TPromptKind::Warning, error);

  // The sigwait thread ends with the signal that got us here; when quit came another way, wake it.
  pthread_kill(signalthread.native_handle(), SIGTERM);
  signalthread.join();
  return 0;
}
