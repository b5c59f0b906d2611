#pragma once
// The tray menu's commands without the tray: the texts and questions of the debug switch, the
// cache deletion, the language items and the information boxes, and how a tool finds the
// service's data and tells a running service that its configuration changed.
//
// The flows ask and inform through ShowMessage (platform/ui_prompt.h), so the tray shows them
// as message boxes and melodyseeker-cli on the terminal, with the same texts. Storing a result
// is the caller's: the tray keeps it in memory until the configuration is saved, the command
// line writes the file and signals the running service (NotifyConfigurationChanged).
//
// Main thread of the caller; no state of its own.

#include <cstdint>
#include <string>

#include "service/melodyseeker_glob_unit.h"
#include "service/servicestatus_unit.h"

// "Informationen zu den Programmverzeichnissen".
std::string DirectoryInfoText(const std::string& readpath, const std::string& writepath);
// "Benutzerinformationen": user id, start count and days since the installation day.
std::string UserInfoText(const TMelodySeekerConfig& config, std::int32_t today);
// The user identifier as support asks for it: "<userid>_U<UCOUNT>_D<days>".
std::string UserInfoId(const TMelodySeekerConfig& config, std::int32_t today);

// "Programmdebug" switched to `on`: asks first when switching on; the flag that results (false
// when the question was declined), after the closing information.
bool AskDebugTrace(bool on);

// "Lokalen Cache löschen": asks, then deletes every plain file of `cachedir` and says whether
// all went. False when declined or a file stayed.
bool ClearLocalCache(const std::string& cachedir);

// A language code as stored: trimmed and in upper case (no check of its length).
std::string NormalizeLanguageCode(const std::string& code);
// "Sprache %s wurde eingestellt, ..." for `code`.
std::string LanguageSetText(const std::string& code);
inline constexpr char kLanguageResetText[] =
    "Die Spracheeinstellung wurde zurückgesetzt, bitte starten Sie die Anwendung neu damit die "
    "Änderung wirksam wird";
inline constexpr char kLanguagePromptCaption[] = "Sprachcode eingeben";
inline constexpr char kLanguagePromptText[] = "Bitte Sprachcode eingeben (zweistellig):";
// Stores the normalised code under `key` and informs; false when it could not be stored.
bool SetLanguageCommand(const std::string& key, const std::string& code);
bool ResetLanguageCommand(const std::string& key);

// Where a tool finds the service: the running one's data directory and language key from its
// status file, otherwise those the service would use when started from `programdir`.
struct TServiceTarget {
  bool Running = false;
  TServiceStatus Status;  // when running
  std::string ReadPath;   // the program directory
  std::string DataDir;    // empty when none could be found or made
  std::string ConfigFile;
  std::string LanguageKey;
};
// `programfile`: the service's program file name ("melodyseeker").
TServiceTarget LocateService(const std::string& programdir, const std::string& programfile);

// Tells a running service to read its configuration again (SIGHUP). False when none runs.
bool NotifyConfigurationChanged(const TServiceTarget& target);
