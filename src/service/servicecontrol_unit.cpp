#include "service/servicecontrol_unit.h"

#include <signal.h>

#include <cctype>
#include <filesystem>

#include "platform/ui_prompt.h"
#include "service/startoncemutex_unit.h"
#include "service/syspfadutil_unit.h"

namespace fs = std::filesystem;

namespace {

constexpr char kLFCR[] = "\n\r";
constexpr char kRestartNeeded[] =
    "Damit diese Änderung gültig wird, müssen Sie die Software neu starten!";

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

}  // namespace

std::string DirectoryInfoText(const std::string& readpath, const std::string& writepath) {
  return std::string("Das Programm wurde aus folgendem Pfad gestartet:") + kLFCR + readpath +
         kLFCR + kLFCR + "Daten werden derzeit in folgendem Verzeichnis abgelegt:" + kLFCR +
         writepath + kLFCR + kLFCR +
         // The bases syspfadutil_unit tries on Linux, in its order.
         "(Datenpfad Wahlweise $APPDATA bzw. $XDG_DATA_HOME (~/.local/share) oder "
         "$ALLUSERSPROFILE/Anwendungsdaten)" + kLFCR;
}

std::string UserInfoId(const TMelodySeekerConfig& c, std::int32_t today) {
  return c.userid + "_U" + std::to_string(c.UCOUNT) + "_D" + std::to_string(today - c.INSTDATUM);
}

std::string UserInfoText(const TMelodySeekerConfig& c, std::int32_t today) {
  return std::string("Ihre UserID lautet:") + kLFCR + UserInfoId(c, today) + kLFCR +
         "(diese sollten Sie ggf. bei Anfragen an den technischen Support angeben)" + kLFCR;
}

bool AskDebugTrace(bool on) {
  if (!on) {
    ShowMessage(TPromptKind::Information,
                std::string("Sie haben den Debug Modus deaktiviert.") + kLFCR + kRestartNeeded);
    return false;
  }
  const TPromptResult answer = ShowMessage(
      TPromptKind::Confirmation,
      std::string("Diese Funktion sollte nur in Absprache mit dem techischen Support aktiviert "
                  "werden!") +
          kLFCR + "Funktion aktivieren?",
      TPromptButtons::YesNo);
  if (answer != TPromptResult::Yes) return false;
  ShowMessage(TPromptKind::Information,
              std::string("Achtung: Debugmode aktiv!") + kLFCR + kRestartNeeded);
  return true;
}

bool ClearLocalCache(const std::string& cachedir) {
  const TPromptResult answer =
      ShowMessage(TPromptKind::Confirmation,
                  "Wollen Sie den lokalen Cache jetzt löschen? Er muss dann bei der nächsten "
                  "Programmausführung neu aufgebaut/heruntergeladen werden.",
                  TPromptButtons::YesNo);
  if (answer != TPromptResult::Yes) return false;
  bool all = true;
  std::error_code ec;
  for (fs::directory_iterator it(cachedir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fec;
    // Plain files only: a subdirectory (or a link to one) is not the cache's.
    if (it->is_symlink(fec) || !it->is_regular_file(fec)) continue;
    if (!fs::remove(it->path(), fec)) all = false;
  }
  if (ec && ec != std::errc::no_such_file_or_directory) all = false;
  ShowMessage(TPromptKind::Information,
              all ? "Cache erfolgreich gelöscht"
                  : "Cache konnte nicht vollständig gelöscht werden. Bitte starten Sie das "
                    "Programm neu und versuchen Sie es erneut");
  return all;
}

std::string NormalizeLanguageCode(const std::string& code) {
  std::string c = Trim(code);
  for (char& ch : c) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return c;
}

std::string LanguageSetText(const std::string& code) {
  return "Sprache " + code +
         " wurde eingestellt, bitte starten Sie die Anwendung neu damit die Änderung wirksam wird";
}

bool SetLanguageCommand(const std::string& key, const std::string& code) {
  const std::string stored = NormalizeLanguageCode(code);
  if (!SetLanguageOverride(key, stored)) return false;
  ShowMessage(TPromptKind::Information, LanguageSetText(stored));
  return true;
}

bool ResetLanguageCommand(const std::string& key) {
  if (!ClearLanguageOverride(key)) return false;
  ShowMessage(TPromptKind::Information, kLanguageResetText);
  return true;
}

TServiceTarget LocateService(const std::string& programdir, const std::string& programfile) {
  TServiceTarget t;
  t.Running = ReadServiceStatus(t.Status);
  if (t.Running && !t.Status.DataDir.empty()) {
    t.DataDir = t.Status.DataDir;
    t.LanguageKey = t.Status.Program;
    t.ReadPath = fs::path(t.Status.Program).parent_path().string();
  } else {
    t.ReadPath = programdir;
    t.DataDir = FindDataPath(IsWindowsAppsInstall() ? "MelodySeeker_UWP" : "MelodySeeker", true);
    t.LanguageKey = programdir + "/" + programfile;
  }
  if (!t.DataDir.empty()) t.ConfigFile = t.DataDir + "/" + kConfigFileName;
  return t;
}

bool NotifyConfigurationChanged(const TServiceTarget& target) {
  if (!target.Running || target.Status.Pid <= 0) return false;
  return ::kill(static_cast<pid_t>(target.Status.Pid), SIGHUP) == 0;
}
