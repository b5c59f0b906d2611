#pragma once
// Directory helpers of the service: where the program lies, where its data may live, and the
// write test that decides whether a directory is usable. Every result is a path without a
// trailing "/", or empty. Stateless; safe on any thread (environment reads only).

#include <string>

std::string GetExeDir();
// Whether the program directory contains "WindowsApps" (any case); kept for the data directory
// name rule, practically always false on Linux.
bool IsWindowsAppsInstall();
// $APPDATA when it names an existing directory, else $XDG_DATA_HOME, else ~/.local/share (each
// only when it exists); empty otherwise.
std::string GetAppDataDir();
// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share; whether or not it exists.
std::string GetXdgDataHome();
// $ALLUSERSPROFILE when it names an existing directory, else empty.
std::string GetAllUsersDir();
// $TMPDIR or /tmp.
std::string GetTempDir();
// Writes and removes "schreibtest.debug" (16 zero bytes) in `dir`.
bool DirWriteTest(const std::string& dir);
// Creates `dir` with all missing levels; false for an empty name or when it does not exist after.
bool ForceDir(const std::string& dir);
// The data directory `name` under the first usable candidate (see the .cpp); empty when none.
std::string FindDataPath(const std::string& name, bool create);
