#include "service/startoncemutex_unit.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// Plain bytes in and out: the file holds UTF-8 text, and no conversion is wanted.
#define SI_NO_CONVERSION
// The packaged header keeps the template bodies behind this switch; instantiating them here
// avoids linking the ICU-based library build.
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

int g_instanceLock = -1;  // held until the process ends

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

constexpr char kLanguageSection[] = "LANGUAGE";

}  // namespace

bool CheckSingleInstance(const std::string& programfilename, const std::string& lockdir) {
  const std::string name = Trim(programfilename);
  if (name.empty() || name.find('/') != std::string::npos) return true;
  std::string dir = lockdir;
  if (dir.empty()) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    dir = (runtime != nullptr && *runtime != '\0') ? runtime : "/tmp";
  }
  const std::string file = dir + "/" + name + ".lock";
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return true;  // no place for a lock: never keep the service from starting
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  if (g_instanceLock >= 0) ::close(g_instanceLock);
  g_instanceLock = fd;
  return true;
}

std::string AlreadyRunningText(const std::string& programfilename) {
  return "Anwendung \"" + Trim(programfilename) + "\" läuft bereits!";
}

std::string LanguageOverrideFile() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && *config != '\0') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.config";
  }
  return base + "/MelodySeeker/language.ini";
}

std::string GetLanguageOverride(const std::string& name) {
  CSimpleIniA ini;
  if (ini.LoadFile(LanguageOverrideFile().c_str()) < 0) return {};
  const char* v = ini.GetValue(kLanguageSection, name.c_str(), "");
  return v != nullptr ? std::string(v) : std::string();
}

namespace {

bool Store(const std::string& name, const std::string* value) {
  const std::string file = LanguageOverrideFile();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
  CSimpleIniA ini;
  ini.LoadFile(file.c_str());
  if (value != nullptr)
    ini.SetValue(kLanguageSection, name.c_str(), value->c_str());
  else
    ini.Delete(kLanguageSection, name.c_str());
  const std::string temp = file + ".tmp";
  if (ini.SaveFile(temp.c_str()) < 0) return false;
  return std::rename(temp.c_str(), file.c_str()) == 0;
}

}  // namespace

bool SetLanguageOverride(const std::string& name, const std::string& value) {
  return Store(name, &value);
}

bool ClearLanguageOverride(const std::string& name) { return Store(name, nullptr); }
