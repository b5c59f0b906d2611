#pragma once
// One instance per program file: CheckSingleInstance takes an exclusive flock on
// "<program file name>.lock" in $XDG_RUNTIME_DIR (else /tmp) and keeps the descriptor open for
// the life of the process, so the kernel releases it even after a crash. A copy of the program
// under another file name uses another lock file and is not stopped.
//
// The language override of the user interface lives here too, as the only other per-user
// setting outside the data directory: $XDG_CONFIG_HOME/MelodySeeker/language.ini (default
// ~/.config/...), one key per full program path. Main thread only.

#include <string>

// True when this process holds the lock (or the name is empty). False when another process
// holds it; the caller shows the warning and ends. `lockdir` empty: the default directory.
bool CheckSingleInstance(const std::string& programfilename, const std::string& lockdir = {});

// "Anwendung "%s" läuft bereits!" for `programfilename`.
std::string AlreadyRunningText(const std::string& programfilename);

std::string LanguageOverrideFile();
std::string GetLanguageOverride(const std::string& name);
bool SetLanguageOverride(const std::string& name, const std::string& value);
bool ClearLanguageOverride(const std::string& name);
