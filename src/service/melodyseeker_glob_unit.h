#pragma once
// Program-wide values of the service: its data paths, version text, and the configuration file
// "MelodySeeker.ini" in the data directory.
//
// The paths and the version text are set once at start-up (InitPaths, InitVersionText) in the
// main thread before any other thread runs and only read afterwards. The configuration values
// are read by connection threads for every request while the main thread may change them, so
// they live behind one lock and are handed out as a copy (GetConfig / SetConfig).
//
// The file is written by writing a temporary file beside it and renaming it over the old one:
// a crash while saving leaves either the old or the new file, never a truncated one. Every
// read-modify-write of the file (start-up, reload, save, the command line's changes) holds an
// flock on "MelodySeeker.ini.lock" beside it, so two writers never lose each other's change.
//
// Others may edit the file while the service runs (melodyseeker-cli, an editor). The service
// remembers what it read for each key it writes back (its baseline): SaveConfig writes a key only
// while the file still holds the baseline, so a value changed by someone else survives the
// shutdown; ReloadConfig takes every key whose file value moved away from the baseline.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "afp/konfig_Unit.h"

inline constexpr char kProductName[] = "MelodySeeker";
inline constexpr char kConfigFileName[] = "MelodySeeker.ini";

struct TMelodySeekerConfig {
  std::string PROGVERS;
  std::int32_t INSTDATUM = 0;
  std::string userid;
  std::int32_t UCOUNT = 0;
  bool DebugStart = false;
  std::int32_t dpabfragepos = 1;
  std::vector<std::string> verz;
  bool ExtDecoderVerwenden = false;
  bool ExtDecoderPipeModus = false;
  std::string ExtDecoderCMD;
  std::string ExtDecoderPipeoutParam;
  std::string ExtDecoderTempDir;
  std::string BaseURL;  // [WEBSERVICE] BaseURL; empty: not configured
};

// Data paths (no trailing "/"); startpfad_write is empty when no data directory was usable.
const std::string& startpfad_read();
const std::string& startpfad_write();
bool WindowsAppsFlag();
// Determines the three values above. Main thread, before other threads start.
void InitPaths();
// For tests and tools that run without InitPaths.
void SetPaths(const std::string& read, const std::string& write);

// "1.00 64Bit" style text of this build (" UWP" appended for such installs).
const std::string& VersionText();
void InitVersionText();

// Whole days from 30 December 1899 to the given date of the proleptic Gregorian calendar
// (1 January 1900 is day 2, 1 March 1900 day 61: 1900 has no 29 February).
std::int32_t DayNumber(int year, unsigned month, unsigned day);
// DayNumber of today's local date.
std::int32_t TodayDayNumber();

// A copy of the current configuration values; any thread.
TMelodySeekerConfig GetConfig();
void SetConfig(const TMelodySeekerConfig& config);

// The decoder values of the current configuration, and storing edited ones (in memory; they
// apply to the next request and are written by SaveConfig).
RKonfigDecoder GetDecoderSettings();
void SetDecoderSettings(const RKonfigDecoder& settings);
RKonfigDecoder DecoderSettingsOf(const TMelodySeekerConfig& config);

// Reads `file` (created empty when missing), applies the start-up rules (version change, new
// user id, start count) and writes the result back. The values become the program-wide ones.
// False with `error` when the file cannot be written.
bool LoadConfig(const std::string& file, const std::string& versiontext, std::string& error);
// Writes the debug flag, dpabfragepos and the decoder values into `file`, keeping every other
// section and key as it is, and every one of those keys that someone else changed in the file
// since it was read.
bool SaveConfig(const std::string& file, std::string& error);
// Reads `file` again: every written key that changed in the file since it was last read takes
// the file's value; the web service address is read anew. False with `error` when unreadable
// (the values stay as they were).
bool ReloadConfig(const std::string& file, std::string& error);

// The values of `file` as LoadConfig would see them, without the start-up rules and without
// touching the program-wide values (tools, the command line). A missing file gives defaults.
bool ReadConfigFile(const std::string& file, TMelodySeekerConfig& config, std::string& error);

// One key of the file as stored (decoder texts in their quoted form).
struct TConfigValue {
  std::string Section;
  std::string Key;
  std::string Value;
};
// Every section and key of `file` in file order; false when unreadable.
bool ReadConfigValues(const std::string& file, std::vector<TConfigValue>& values,
                      std::string& error);
// Sets the given keys in `file` (created when missing), keeping everything else.
bool WriteConfigValues(const std::string& file, const std::vector<TConfigValue>& values,
                       std::string& error);
// The keys of the "DECODER" section for `settings`, texts quoted.
std::vector<TConfigValue> DecoderConfigValues(const RKonfigDecoder& settings);
// Whether the key's value is stored quoted ("DECODER" texts; names compared without case).
bool IsQuotedConfigKey(const std::string& section, const std::string& key);

// Moves the file into `backupdir` as "MelodySeeker.inibackup_<YYYY-MM-DD_hh_mm_ss>" and writes a
// fresh file holding only the old userid. Asks first; false when the user declined or the move
// failed (the message has been shown then).
bool ResetConfiguration(const std::string& file, const std::string& backupdir);

// Quoting of the decoder texts in the file: '"' is stored as '#', and '#' read back as '"'.
std::string QuoteDecoderText(std::string text);
std::string UnquoteDecoderText(std::string text);

// One section of `file` as name=value pairs in file order (empty when the file or the section
// is missing). Used for the window positions the desktop UI keeps beside the settings.
using TConfigSection = std::vector<std::pair<std::string, std::string>>;
TConfigSection ReadConfigSection(const std::string& file, const std::string& section);
// Replaces `section` of `file` by `values`, keeping every other section; written atomically.
bool WriteConfigSection(const std::string& file, const std::string& section,
                        const TConfigSection& values, std::string& error);
