#include "service/syspfadutil_unit.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "platform/ui_prompt.h"

namespace fs = std::filesystem;

namespace {

std::string StripDelimiter(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool IsDir(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

std::string EnvDir(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return {};
  std::string dir = StripDelimiter(value);
  return IsDir(dir) ? dir : std::string();
}

}  // namespace

std::string GetExeDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return StripDelimiter(exe.parent_path().string());
}

bool IsWindowsAppsInstall() {
  std::string dir = GetExeDir();
  std::transform(dir.begin(), dir.end(), dir.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return dir.find("windowsapps") != std::string::npos;
}

std::string GetAppDataDir() {
  if (std::string dir = EnvDir("APPDATA"); !dir.empty()) return dir;
  if (std::string dir = EnvDir("XDG_DATA_HOME"); !dir.empty()) return dir;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  std::string dir = StripDelimiter(std::string(home) + "/.local/share");
  return IsDir(dir) ? dir : std::string();
}

std::string GetXdgDataHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && *xdg == '/') return StripDelimiter(xdg);
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home != '/') return {};
  return StripDelimiter(std::string(home) + "/.local/share");
}

std::string GetAllUsersDir() { return EnvDir("ALLUSERSPROFILE"); }

std::string GetTempDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = (tmp != nullptr && *tmp != '\0') ? StripDelimiter(tmp) : "/tmp";
  if (dir.size() > 260) dir.resize(260);
  return dir;
}

bool DirWriteTest(const std::string& dir) {
  if (!IsDir(dir)) return false;
  const std::string file = dir + "/schreibtest.debug";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    const char zeros[16] = {};
    out.write(zeros, sizeof zeros);
    out.close();
    if (!out) return false;
  }
  std::error_code ec;
  fs::remove(file, ec);
  return true;
}

bool ForceDir(const std::string& dir) {
  if (dir.empty()) return false;
  std::error_code ec;
  fs::create_directories(dir, ec);
  return IsDir(dir);
}

std::string FindDataPath(const std::string& name, bool create) {
  struct Candidate {
    std::string base, path;
    bool makebase = false;  // the base itself is created in the creation pass
  };
  // A candidate whose base is missing would start at "/" — never a place for user data — so it
  // is left out. The exception is the per-user data home: a fresh account has no ~/.local/share
  // until some program makes it, and that is our job as much as anyone's. It is made with the
  // mode the desktop standard asks for (0700), and never together with a missing home
  // directory.
  std::vector<Candidate> candidates;
  if (std::string base = GetAppDataDir(); !base.empty()) {
    candidates.push_back({base, base + "/" + name});
  } else if (std::string xdg = GetXdgDataHome(); create && !xdg.empty()) {
    const char* xdgenv = std::getenv("XDG_DATA_HOME");
    const bool explicitly = xdgenv != nullptr && *xdgenv == '/';
    const char* home = std::getenv("HOME");
    if (explicitly || (home != nullptr && IsDir(home))) candidates.push_back({xdg, xdg + "/" + name, true});
  }
  if (std::string base = GetAllUsersDir(); !base.empty())
    candidates.push_back({base, base + "/Anwendungsdaten/" + name});
  for (const Candidate& c : candidates)
    if (IsDir(c.path) && DirWriteTest(c.path)) return c.path;
  for (const Candidate& c : candidates) {
    if (create && c.makebase && !IsDir(c.base)) {
      std::error_code ec;
      fs::create_directories(c.base, ec);
      if (!ec) fs::permissions(c.base, fs::perms::owner_all, fs::perm_options::replace, ec);
    }
    if (create && DirWriteTest(c.base) && !IsDir(c.path)) {
      if (!ForceDir(c.path))
        ShowMessage(TPromptKind::Warning,
                    c.path + "\n\rFehler: Verzeichnisstuktur konnte nicht angelegt werden!");
    }
    if (IsDir(c.path) && DirWriteTest(c.path)) return c.path;
  }
  return {};
}
