// The MelodySeeker service: the composition root. It parses the command line, picks the front
// end and runs the core's start-up and shutdown steps (src/service/mainunit.h) with it. Only the
// headless front end exists here: message boxes are lines on standard error (the core's
// headless prompt), the download window becomes "Status:" lines, and the signals stand in for
// the tray's "Beenden".
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/debug_unit.h"
#include "melodyseeker_version.h"
#include "platform/main_thread_queue.h"
#include "service/mainunit.h"
#include "service/melodyseeker_glob_unit.h"
#include "service/pipeserver_unit.h"

namespace {

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
  // The next attempt starts with the same status texts again; they are printed again too.
  void Reset() { FLastText.clear(); }

 private:
  std::string FLastText;
  std::chrono::steady_clock::time_point FLastPrint{};
};

int RunHeadless(TServiceOptions options) {
  auto queue = std::make_shared<TPlainMainThreadQueue>();
  TMelodySeekerService service(queue, std::move(options));
  THeadlessStatus status;
  service.OnStatus = [&status](const TCacheUpdateStatus& s) { status(s); };
  service.OnReady = [] { std::fprintf(stderr, "MelodySeeker bereit\n"); };
  service.OnRetryPlanned = [&status](std::chrono::seconds delay) {
    status.Reset();
    std::fprintf(stderr, "Status: Neuer Versuch in %lld s\n",
                 static_cast<long long>(delay.count()));
  };

  if (!service.InitModule()) return service.ExitCode();
  if (!service.StartMainWindow()) return service.ExitCode();
  TServiceSignals signals(
      [&service] { service.RequestStop(); },
      [&service, queue] { queue->post([&service] { service.ReloadConfiguration(); }); });
  std::fprintf(stderr, "MelodySeeker %s: Socket \"%s\", Daten %s\n", VersionText().c_str(),
               PipeNameFromEnvironment().c_str(), startpfad_write().c_str());

  // The download starts 100 ms after start-up, like the window's start timer.
  const auto starttimer = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (!service.StopRequested() && std::chrono::steady_clock::now() < starttimer)
    queue->wait_and_process(std::chrono::milliseconds(100));
  if (!service.StopRequested()) service.StartDownload();
  while (!service.StopRequested()) {
    queue->wait_and_process(std::chrono::milliseconds(250));
    service.Tick();
  }

  Debug_Log("Programmende: Shutdown (Signal)");
  service.Shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask.
  BlockServiceSignals();

  CLI::App app{"The MelodySeeker service: answers identification requests of local clients."};
  app.set_version_flag("--version", std::string("MelodySeeker ") + MELODYSEEKER_VERSION_STRING);
  bool headless = false;
  int retrydelay = 60;
  std::vector<std::string> args;
  app.add_flag("--headless", headless,
               "no tray UI; messages and status go to standard error (the only front end of "
               "this build)");
  app.add_option("--retry-delay", retrydelay,
                 "seconds before the first new attempt after a failed download; doubled after "
                 "each failure, at most one hour")
      ->check(CLI::Range(1, 3600));
  app.add_option("args", args,
                 "local: the web service's local mode (first argument only); ONECORE or "
                 "/ONECORE: bind the process to the first processor");
  app.footer(
      "Environment: APPDATA or XDG_DATA_HOME (data directory base), MELODYSEEKER_API (web "
      "service address), MELODYSEEKER_PIPE (socket name), XDG_RUNTIME_DIR (status and lock)\n"
      "Signals: SIGTERM, SIGINT end the service; SIGHUP reads the configuration again.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  (void)headless;

  TServiceOptions options;
  options.Args = args;
  options.ProgramFile = std::filesystem::path(argc > 0 ? argv[0] : "").filename().string();
  options.PipeName = PipeNameFromEnvironment();
  options.RetryDownload = true;
  options.RetryDelay = std::chrono::seconds(retrydelay);
  return RunHeadless(std::move(options));
}
