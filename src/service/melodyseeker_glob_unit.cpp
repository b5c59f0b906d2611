#include "service/melodyseeker_glob_unit.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// Plain bytes in and out: the file holds UTF-8 text, and no conversion is wanted.
#define SI_NO_CONVERSION
// The packaged header keeps the template bodies behind this switch; instantiating them here
// avoids linking the ICU-based library build.
#define SI_IMPLEMENTATION
#include <SimpleIni.h>  // CSimpleIniA matches names without regard to case; ...CaseA would not

#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>

#include "os/os_api_unit.h"
#include "platform/ui_prompt.h"
#include "service/syspfadutil_unit.h"

namespace {

std::string g_startpfad_read;
std::string g_startpfad_write;
bool g_windowsapps = false;
std::string g_versiontext = "?.??";

std::mutex g_configLock;
TMelodySeekerConfig g_config;  // guarded by g_configLock

// The keys SaveConfig writes, as "SECTION/key" with the stored text; absent = not in the file.
using TBaseline = std::map<std::string, std::optional<std::string>>;
TBaseline g_baseline;  // guarded by g_configLock

struct TSavedKey {
  const char* Section;
  const char* Key;
};
constexpr TSavedKey kSavedKeys[] = {
    {"KONFIG", "DebugStart"},           {"MANUELLEAUSWAHL", "dpabfragepos"},
    {"DECODER", "ExtDecoderVerwenden"}, {"DECODER", "ExtDecoderPipeModus"},
    {"DECODER", "ExtDecoderCMD"},       {"DECODER", "ExtDecoderPipeoutParam"},
    {"DECODER", "ExtDecoderTempDir"},
};

std::string BaselineName(const TSavedKey& k) { return std::string(k.Section) + "/" + k.Key; }

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::int32_t ReadInt(CSimpleIniA& ini, const char* section, const char* key, std::int32_t def) {
  return static_cast<std::int32_t>(ini.GetLongValue(section, key, def));
}

bool ReadBool(CSimpleIniA& ini, const char* section, const char* key, bool def) {
  return ini.GetLongValue(section, key, def ? 1 : 0) != 0;
}

std::string ReadText(CSimpleIniA& ini, const char* section, const char* key) {
  const char* v = ini.GetValue(section, key, "");
  return v != nullptr ? std::string(v) : std::string();
}

void WriteInt(CSimpleIniA& ini, const char* section, const char* key, long value) {
  ini.SetLongValue(section, key, value, nullptr, false, true);
}

void WriteText(CSimpleIniA& ini, const char* section, const char* key, const std::string& v) {
  ini.SetValue(section, key, v.c_str(), nullptr, true);
}

bool OpenIni(const std::string& file, CSimpleIniA& ini, std::string& error) {
  ini.SetUnicode(false);
  ini.SetMultiKey(false);
  ini.SetSpaces(false);
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return true;  // a missing file reads as empty
  if (ini.LoadFile(file.c_str()) < 0) {
    error = "Konfigurationsdatei kann nicht gelesen werden: " + file;
    return false;
  }
  return true;
}

// Temporary file in the same directory, flushed to disk, then renamed over the old one.
bool WriteIniAtomic(CSimpleIniA& ini, const std::string& file, std::string& error) {
  std::string data;
  if (ini.Save(data) < 0) {
    error = "Konfiguration kann nicht geschrieben werden";
    return false;
  }
  const std::string temp = file + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "Konfigurationsdatei kann nicht geschrieben werden: " + temp;
    return false;
  }
  std::size_t done = 0;
  bool ok = true;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (!ok || std::rename(temp.c_str(), file.c_str()) != 0) {
    std::remove(temp.c_str());
    error = "Konfigurationsdatei kann nicht geschrieben werden: " + file;
    return false;
  }
  return true;
}

// Held for one read-modify-write of the configuration file. Without a lock file (read-only
// directory) the write fails anyway, so no lock is no error.
class TConfigFileLock {
 public:
  explicit TConfigFileLock(const std::string& file) {
    FFd = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (FFd >= 0) ::flock(FFd, LOCK_EX);
  }
  ~TConfigFileLock() {
    if (FFd >= 0) ::close(FFd);
  }
  TConfigFileLock(const TConfigFileLock&) = delete;
  TConfigFileLock& operator=(const TConfigFileLock&) = delete;

 private:
  int FFd = -1;
};

TBaseline ReadBaseline(CSimpleIniA& ini) {
  TBaseline b;
  for (const TSavedKey& k : kSavedKeys) {
    const char* v = ini.GetValue(k.Section, k.Key, nullptr);
    b[BaselineName(k)] = v != nullptr ? std::optional<std::string>(v) : std::nullopt;
  }
  return b;
}

// The keys of the file as values, without the start-up rules.
TMelodySeekerConfig ParseIni(CSimpleIniA& ini) {
  TMelodySeekerConfig c;
  c.INSTDATUM = ReadInt(ini, "KONFIG", "INSTDATUM", 0);
  c.PROGVERS = Trim(ReadText(ini, "KONFIG", "PROGVERS"));
  c.userid = ReadText(ini, "KONFIG", "userid");
  c.UCOUNT = ReadInt(ini, "KONFIG", "UCOUNT", 0);
  c.DebugStart = ReadBool(ini, "KONFIG", "debugstart", false);
  c.dpabfragepos = ReadInt(ini, "MANUELLEAUSWAHL", "dpabfragepos", 1);
  for (int i = 1; i <= 25; ++i) {
    std::string v = ReadText(ini, "VERZEICHNISAUTOMATIK", ("verz" + std::to_string(i)).c_str());
    if (v.empty()) break;
    c.verz.push_back(std::move(v));
  }
  c.ExtDecoderVerwenden = ReadBool(ini, "DECODER", "ExtDecoderVerwenden", false);
  c.ExtDecoderPipeModus = ReadBool(ini, "DECODER", "ExtDecoderPipeModus", false);
  c.ExtDecoderCMD = UnquoteDecoderText(ReadText(ini, "DECODER", "ExtDecoderCMD"));
  c.ExtDecoderPipeoutParam = UnquoteDecoderText(ReadText(ini, "DECODER", "ExtDecoderPipeoutParam"));
  c.ExtDecoderTempDir = UnquoteDecoderText(ReadText(ini, "DECODER", "ExtDecoderTempDir"));
  c.BaseURL = Trim(ReadText(ini, "WEBSERVICE", "BaseURL"));
  return c;
}

// Copies the value of one written key from `from` to `to`.
void CopySavedKey(const TSavedKey& k, const TMelodySeekerConfig& from, TMelodySeekerConfig& to) {
  const std::string name = BaselineName(k);
  if (name == "KONFIG/DebugStart") to.DebugStart = from.DebugStart;
  if (name == "MANUELLEAUSWAHL/dpabfragepos") to.dpabfragepos = from.dpabfragepos;
  if (name == "DECODER/ExtDecoderVerwenden") to.ExtDecoderVerwenden = from.ExtDecoderVerwenden;
  if (name == "DECODER/ExtDecoderPipeModus") to.ExtDecoderPipeModus = from.ExtDecoderPipeModus;
  if (name == "DECODER/ExtDecoderCMD") to.ExtDecoderCMD = from.ExtDecoderCMD;
  if (name == "DECODER/ExtDecoderPipeoutParam")
    to.ExtDecoderPipeoutParam = from.ExtDecoderPipeoutParam;
  if (name == "DECODER/ExtDecoderTempDir") to.ExtDecoderTempDir = from.ExtDecoderTempDir;
}

// The stored text of one written key for the values `c`.
std::string SavedText(const TSavedKey& k, const TMelodySeekerConfig& c) {
  const std::string name = BaselineName(k);
  if (name == "KONFIG/DebugStart") return c.DebugStart ? "1" : "0";
  if (name == "MANUELLEAUSWAHL/dpabfragepos") return std::to_string(c.dpabfragepos);
  if (name == "DECODER/ExtDecoderVerwenden") return c.ExtDecoderVerwenden ? "1" : "0";
  if (name == "DECODER/ExtDecoderPipeModus") return c.ExtDecoderPipeModus ? "1" : "0";
  if (name == "DECODER/ExtDecoderCMD") return QuoteDecoderText(c.ExtDecoderCMD);
  if (name == "DECODER/ExtDecoderPipeoutParam") return QuoteDecoderText(c.ExtDecoderPipeoutParam);
  return QuoteDecoderText(c.ExtDecoderTempDir);
}

}  // namespace

const std::string& startpfad_read() { return g_startpfad_read; }
const std::string& startpfad_write() { return g_startpfad_write; }
bool WindowsAppsFlag() { return g_windowsapps; }

void InitPaths() {
  g_startpfad_read = GetExeDir();
  g_windowsapps = IsWindowsAppsInstall();
  g_startpfad_write = FindDataPath(g_windowsapps ? "MelodySeeker_UWP" : "MelodySeeker", true);
}

void SetPaths(const std::string& read, const std::string& write) {
  g_startpfad_read = read;
  g_startpfad_write = write;
}

const std::string& VersionText() { return g_versiontext; }

void InitVersionText() {
  std::string v = "?.??";
  try {
    v = GetAppVersionStr(false);
  } catch (...) {
  }
  v += " 64Bit";
  if (g_windowsapps) v += " UWP";
  g_versiontext = v;
}

std::int32_t DayNumber(int year, unsigned month, unsigned day) {
  namespace c = std::chrono;
  const c::sys_days date = c::year{year} / c::month{month} / c::day{day};
  const c::sys_days epoch = c::year{1899} / c::December / c::day{30};
  return static_cast<std::int32_t>((date - epoch).count());
}

std::int32_t TodayDayNumber() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return DayNumber(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                   static_cast<unsigned>(local.tm_mday));
}

TMelodySeekerConfig GetConfig() {
  std::lock_guard<std::mutex> lock(g_configLock);
  return g_config;
}

void SetConfig(const TMelodySeekerConfig& config) {
  std::lock_guard<std::mutex> lock(g_configLock);
  g_config = config;
}

std::string QuoteDecoderText(std::string text) {
  for (char& c : text)
    if (c == '"') c = '#';
  return text;
}

std::string UnquoteDecoderText(std::string text) {
  for (char& c : text)
    if (c == '#') c = '"';
  return text;
}

RKonfigDecoder DecoderSettingsOf(const TMelodySeekerConfig& c) {
  return {c.ExtDecoderVerwenden, c.ExtDecoderPipeModus, c.ExtDecoderCMD, c.ExtDecoderPipeoutParam,
          c.ExtDecoderTempDir};
}

RKonfigDecoder GetDecoderSettings() { return DecoderSettingsOf(GetConfig()); }

void SetDecoderSettings(const RKonfigDecoder& d) {
  std::lock_guard<std::mutex> lock(g_configLock);
  g_config.ExtDecoderVerwenden = d.ExtDecoderVerwenden;
  g_config.ExtDecoderPipeModus = d.ExtDecoderPipeModus;
  g_config.ExtDecoderCMD = d.ExtDecoderCMD;
  g_config.ExtDecoderPipeoutParam = d.ExtDecoderPipeoutParam;
  g_config.ExtDecoderTempDir = d.ExtDecoderTempDir;
}

bool LoadConfig(const std::string& file, const std::string& versiontext, std::string& error) {
  error.clear();
  TConfigFileLock filelock(file);
  CSimpleIniA ini;
  if (!OpenIni(file, ini, error)) return false;
  TMelodySeekerConfig c = ParseIni(ini);
  if (c.INSTDATUM == 0 || c.PROGVERS != Trim(versiontext)) {
    c.PROGVERS = Trim(versiontext);
    c.INSTDATUM = TodayDayNumber();
    WriteText(ini, "KONFIG", "PROGVERS", c.PROGVERS);
    WriteInt(ini, "KONFIG", "INSTDATUM", c.INSTDATUM);
    ini.Delete("FORM_Mainform", nullptr);
  }
  if (c.userid.empty()) {
    std::mt19937 rng(static_cast<unsigned>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ std::random_device{}()));
    std::uniform_int_distribution<int> letter(0, 24);  // "A" to "Y"
    for (int i = 0; i < 25; ++i) c.userid.push_back(static_cast<char>(65 + letter(rng)));
    WriteText(ini, "KONFIG", "userid", c.userid);
  }
  c.UCOUNT += 1;
  WriteInt(ini, "KONFIG", "UCOUNT", c.UCOUNT);
  {
    std::lock_guard<std::mutex> lock(g_configLock);
    g_config = c;
    g_baseline = ReadBaseline(ini);
  }
  return WriteIniAtomic(ini, file, error);
}

bool SaveConfig(const std::string& file, std::string& error) {
  error.clear();
  TConfigFileLock filelock(file);
  CSimpleIniA ini;
  if (!OpenIni(file, ini, error)) return false;
  TMelodySeekerConfig c;
  TBaseline baseline;
  {
    std::lock_guard<std::mutex> lock(g_configLock);
    c = g_config;
    baseline = g_baseline;
  }
  const TBaseline now = ReadBaseline(ini);
  for (const TSavedKey& k : kSavedKeys) {
    const std::string name = BaselineName(k);
    if (now.at(name) != baseline[name]) continue;  // changed by someone else: theirs stays
    WriteText(ini, k.Section, k.Key, SavedText(k, c));
  }
  if (!WriteIniAtomic(ini, file, error)) return false;
  std::lock_guard<std::mutex> lock(g_configLock);
  g_baseline = ReadBaseline(ini);
  return true;
}

bool ReloadConfig(const std::string& file, std::string& error) {
  error.clear();
  TConfigFileLock filelock(file);
  CSimpleIniA ini;
  if (!OpenIni(file, ini, error)) return false;
  const TMelodySeekerConfig fromfile = ParseIni(ini);
  const TBaseline now = ReadBaseline(ini);
  std::lock_guard<std::mutex> lock(g_configLock);
  for (const TSavedKey& k : kSavedKeys) {
    const std::string name = BaselineName(k);
    if (now.at(name) == g_baseline[name]) continue;  // unchanged in the file: ours stays
    CopySavedKey(k, fromfile, g_config);
    g_baseline[name] = now.at(name);
  }
  g_config.BaseURL = fromfile.BaseURL;
  return true;
}

bool ReadConfigFile(const std::string& file, TMelodySeekerConfig& config, std::string& error) {
  error.clear();
  CSimpleIniA ini;
  if (!OpenIni(file, ini, error)) return false;
  config = ParseIni(ini);
  return true;
}

bool ReadConfigValues(const std::string& file, std::vector<TConfigValue>& values,
                      std::string& error) {
  error.clear();
  values.clear();
  CSimpleIniA ini;
  if (!OpenIni(file, ini, error)) return false;
  CSimpleIniA::TNamesDepend sections;
  ini.GetAllSections(sections);
  sections.sort(CSimpleIniA::Entry::LoadOrder());
  for (const auto& section : sections) {
    CSimpleIniA::TNamesDepend keys;
    ini.GetAllKeys(section.pItem, keys);
    keys.sort(CSimpleIniA::Entry::LoadOrder());
    for (const auto& key : keys) {
      const char* v = ini.GetValue(section.pItem, key.pItem, "");
      values.push_back({section.pItem, key.pItem, v != nullptr ? v : ""});
    }
  }
  return true;
}

bool WriteConfigValues(const std::string& file, const std::vector<TConfigValue>& values,
                       std::string& error) {
  error.clear();
  TConfigFileLock filelock(file);
  CSimpleIniA ini;
  if (!OpenIni(file, ini, error)) return false;
  for (const TConfigValue& v : values) WriteText(ini, v.Section.c_str(), v.Key.c_str(), v.Value);
  return WriteIniAtomic(ini, file, error);
}

std::vector<TConfigValue> DecoderConfigValues(const RKonfigDecoder& d) {
  return {{"DECODER", "ExtDecoderVerwenden", d.ExtDecoderVerwenden ? "1" : "0"},
          {"DECODER", "ExtDecoderPipeModus", d.ExtDecoderPipeModus ? "1" : "0"},
          {"DECODER", "ExtDecoderCMD", QuoteDecoderText(d.ExtDecoderCMD)},
          {"DECODER", "ExtDecoderPipeoutParam", QuoteDecoderText(d.ExtDecoderPipeoutParam)},
          {"DECODER", "ExtDecoderTempDir", QuoteDecoderText(d.ExtDecoderTempDir)}};
}

bool IsQuotedConfigKey(const std::string& section, const std::string& key) {
  auto lower = [](std::string t) {
    for (char& ch : t) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return t;
  };
  const std::string k = lower(key);
  return lower(section) == "decoder" &&
         (k == "extdecodercmd" || k == "extdecoderpipeoutparam" || k == "extdecodertempdir");
}

bool ResetConfiguration(const std::string& file, const std::string& backupdir) {
  const TPromptResult answer = ShowMessage(
      TPromptKind::Confirmation,
      "Achtung: Ihre aktuelle Konfiguration sowie gespeicherte Zustände werden gelöscht!\n\r"
      "Das Programm hat beim nächstn Start wieder seine urprüngliche Programmkonfiguration.\n\r",
      TPromptButtons::OkAbort);
  if (answer != TPromptResult::Ok) return false;
  TConfigFileLock filelock(file);
  CSimpleIniA ini;
  std::string error;
  OpenIni(file, ini, error);
  const std::string userid = ReadText(ini, "KONFIG", "userid");
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d_%02d_%02d", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  const std::string target = backupdir + "/MelodySeeker.inibackup_" + stamp;
  if (!MoveOrReplaceFile(file, target, true)) {
    ShowMessage(TPromptKind::Error,
                "Fehler beim Löschen der Konfigurationsdatei. Bitte Anwendung schließen und Datei "
                "manuell löschen\rstartpfad_write: " +
                    startpfad_write());
    return false;
  }
  CSimpleIniA fresh;
  fresh.SetUnicode(false);
  fresh.SetSpaces(false);
  WriteText(fresh, "KONFIG", "userid", userid);
  WriteIniAtomic(fresh, file, error);
  ShowMessage(TPromptKind::Information,
              "Konfiguration wurde entfernt, Startkonfiguration wird wiederhergestellt !\n\r\n\r"
              "Bitte Anwendung neu starten !");
  return true;
}

TConfigSection ReadConfigSection(const std::string& file, const std::string& section) {
  CSimpleIniA ini;
  std::string error;
  TConfigSection values;
  if (!OpenIni(file, ini, error)) return values;
  CSimpleIniA::TNamesDepend keys;
  ini.GetAllKeys(section.c_str(), keys);
  keys.sort(CSimpleIniA::Entry::LoadOrder());
  for (const auto& key : keys) {
    const char* v = ini.GetValue(section.c_str(), key.pItem, "");
    values.emplace_back(key.pItem, v != nullptr ? v : "");
  }
  return values;
}

bool WriteConfigSection(const std::string& file, const std::string& section,
                        const TConfigSection& values, std::string& error) {
  error.clear();
  CSimpleIniA ini;
  if (!OpenIni(file, ini, error)) return false;
  ini.Delete(section.c_str(), nullptr);
  for (const auto& [key, value] : values) WriteText(ini, section.c_str(), key.c_str(), value);
  return WriteIniAtomic(ini, file, error);
}
