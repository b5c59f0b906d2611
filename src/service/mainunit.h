#pragma once
// The service's spine without windows: start-up in the designed order, the main loop that
// drains the main-thread queue, and the orderly shutdown.
//
// Start-up: data paths; the dispatcher with its socket server (listening at once, not ready);
// the single-instance check; version text, referer, "ONECORE" binding, Cache and Backup
// directories, configuration, debug log; 100 ms later the cache download thread. Its ready
// message switches the dispatcher to serverReady in the main thread.
//
// Shutdown on SIGTERM/SIGINT (the headless "Beenden", without the question): abort the cache
// load and the download, stop the socket server and wait for its connections, release the
// comparator, save the configuration. The signals are blocked in every thread and taken by one
// sigwait thread, which only asks the main loop to quit; nothing runs in a signal handler.
//
// Headless output (standard error): message boxes as one line each (ui_prompt), status changes
// of the download as "Status: <text>", download progress at most once per second, and the line
// "MelodySeeker bereit" once requests are served.

#include <string>
#include <vector>

// Arguments without the program name. True when the process should bind itself to CPU 0.
bool OneCoreRequested(const std::vector<std::string>& args);
// First argument "local" (any case).
bool LocalModeRequested(const std::vector<std::string>& args);

// The whole service; returns the process exit code.
int MelodySeekerMain(int argc, char** argv);
