#include "web/cacheupdate_unit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>

#include "afp/afpcomp_unit.h"
#include "platform/main_thread_queue.h"

namespace fs = std::filesystem;

namespace {

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string WithDelimiter(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

bool IsPlainCacheFileName(const std::string& name) {
  static constexpr std::string_view kPrefix = "afp", kSuffix = ".afpbin";
  if (name.size() < kPrefix.size() + kSuffix.size()) return false;
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  if (name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
  return name != "." && name != "..";
}

std::string CacheFileNameOfUrl(const std::string& url) {
  const std::size_t slash = url.rfind('/');
  return slash == std::string::npos ? url : url.substr(slash + 1);
}

bool ClientTooOld(const std::string& client_minvers, const std::string& versiontext) {
  return !client_minvers.empty() && client_minvers.compare(versiontext) > 0;
}

void CleanCacheDir(const std::string& dir, TWebAPI_CacheFiles& files) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fec;
    if (!it->is_regular_file(fec) || it->is_symlink(fec)) continue;
    const std::string name = it->path().filename().string();
    auto entry = std::find_if(files.begin(), files.end(), [&name](const TWebAPI_CacheFile& f) {
      return CacheFileNameOfUrl(f.Url) == name;
    });
    const std::uintmax_t size = it->file_size(fec);
    if (entry != files.end() && !fec && entry->Size >= 0 &&
        static_cast<std::uintmax_t>(entry->Size) == size) {
      files.erase(entry);
    } else {
      fs::remove(it->path(), fec);  // a file that cannot be deleted stays
    }
  }
}

TWebAPICacheUpdateThread::TWebAPICacheUpdateThread(TAFPComp& comp, TCacheUpdateSettings settings,
                                                   std::shared_ptr<TMainThreadQueue> queue,
                                                   StatusEvent OnStatus, ReadyEvent OnReady)
    : FComp(comp),
      FSettings(std::move(settings)),
      FQueue(std::move(queue)),
      FOnStatus(std::move(OnStatus)),
      FOnReady(std::move(OnReady)) {}

TWebAPICacheUpdateThread::~TWebAPICacheUpdateThread() {
  Terminate();
  AbortRequest();
  WaitFor();
}

void TWebAPICacheUpdateThread::Start() {
  if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
}

void TWebAPICacheUpdateThread::AbortRequest() {
  std::lock_guard<std::mutex> lock(FWebLock);
  if (fWebAPI) fWebAPI->AbortRequest();
}

void TWebAPICacheUpdateThread::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

std::int64_t TWebAPICacheUpdateThread::ReceivedBytes() const {
  std::lock_guard<std::mutex> lock(FWebLock);
  return fWebAPI ? fWebAPI->ReceivedBytes() : 0;
}

void TWebAPICacheUpdateThread::Show(TCacheUpdateStatus status) {
  if (!FOnStatus || !FQueue) return;
  FQueue->post([cb = FOnStatus, status = std::move(status)] { cb(status); });
}

void TWebAPICacheUpdateThread::ShowProgress() {
  TCacheUpdateStatus s;
  if (!fHaveList || FbError.load() || FTerminated.load()) {
    s.Text = "Abgebrochen " + fsCurrentMessage;
    s.Aborted = true;
  } else {
    const auto n = static_cast<std::int32_t>(fCacheFiles.size());
    s.Text = "Download der Titelerkennungsdatenbank " + std::to_string(fiCurrentFile + 1) + " / " +
             std::to_string(n);
    s.Download = true;
    s.MainMax = n - 1;
    s.MainPos = fiCurrentFile;
    s.FileMax = fiTotalSize;
    s.FilePos = fiReceive;
  }
  Show(std::move(s));
}

void TWebAPICacheUpdateThread::Execute() {
  try {
    Run();
  } catch (const std::exception& e) {
    FbError.store(true);
    fsCurrentMessage = e.what();
    ShowProgress();
  } catch (...) {
    FbError.store(true);
    fsCurrentMessage = "Unbekannter fehler";
    ShowProgress();
  }
  {
    std::lock_guard<std::mutex> lock(FWebLock);
    fWebAPI.reset();
  }
  FFinished.store(true);
}

void TWebAPICacheUpdateThread::Run() {
  Show({.Text = "Abfrage der Cache Informationen"});
  FbError.store(false);
  fHaveList = false;
  fsCurrentMessage.clear();
  fiTotalSize = 0;
  fiReceive = 0;
  {
    std::lock_guard<std::mutex> lock(FWebLock);
    fWebAPI = std::make_unique<TWebAPI>();
  }
  TWebAPI& web = *fWebAPI;

  if (!FTerminated.load()) {
    bool online = false;
    std::string de, en, minvers;
    if (!web.getState(online, de, en, minvers)) {
      FbError.store(true);
      fsCurrentMessage = "Der Service ist nicht erreichbar, möglicherweise sind Sie offline! " +
                         web.ErrorMessage();
    } else if (!online) {
      FbError.store(true);
      const std::string lang = Lower(Trim(FSettings.Lang));
      fsCurrentMessage = "Der Service ist derzeit nicht verfügbar! " +
                         ((lang == "de" || FSettings.Lang.empty()) ? de : en);
    }
    if (!FbError.load() && ClientTooOld(minvers, FSettings.VersionText)) {
      FbError.store(true);
      fsCurrentMessage =
          "Bitte aktualisieren Sie Ihren Client, Sie benötigen mindestens Client Version " +
          minvers + ".";
    }
  }
  if (!FbError.load() && !FTerminated.load()) {
    if (!web.getCacheInf(fCacheFiles)) {
      FbError.store(true);
      fsCurrentMessage = web.ErrorMessage();
    } else if (fCacheFiles.empty()) {
      FbError.store(true);
      fsCurrentMessage =
          "Es ist ein Problem beim Laden der Cache Informationen aufgetreten, ggf. müssen Sie "
          "Ihren "
          "Client aktualisieren";
    } else {
      fHaveList = true;
    }
  }
  // Every name is checked before anything in the directory is touched.
  if (fHaveList && !FbError.load()) {
    for (const TWebAPI_CacheFile& f : fCacheFiles) {
      const std::string name = CacheFileNameOfUrl(f.Url);
      if (!IsPlainCacheFileName(name)) {
        FbError.store(true);
        fsCurrentMessage =
            "Ungültiger Name einer Cache-Datei in der Liste des Service: \"" + name + "\"";
        break;
      }
    }
  }
  if (!fHaveList || FbError.load() || FTerminated.load()) {
    ShowProgress();
    return;
  }

  const std::string cachepath = WithDelimiter(FSettings.Cachepath);
  Show({.Text = "Bereinige lokalen Cache"});
  CleanCacheDir(cachepath, fCacheFiles);

  web.SetOnReceive([this](std::int64_t Receive, bool) {
    fiReceive = Receive;
    ShowProgress();
  });
  fiCurrentFile = 0;
  while (!FTerminated.load() && fiCurrentFile < static_cast<std::int32_t>(fCacheFiles.size())) {
    const TWebAPI_CacheFile& entry = fCacheFiles[static_cast<std::size_t>(fiCurrentFile)];
    fiTotalSize = entry.Size;
    fiReceive = 0;
    ShowProgress();
    const std::string target = cachepath + CacheFileNameOfUrl(entry.Url);
    const std::string part = target + ".part";
    bool ok = false;
    {
      std::ofstream out(part, std::ios::binary | std::ios::trunc);
      if (!out) {
        fsCurrentMessage = "Datei kann nicht geschrieben werden: " + part;
      } else {
        ok = web.getCacheFile(entry.Url, &out, entry.Size >= 0 ? entry.Size : -1);
        if (!ok) fsCurrentMessage = web.ErrorMessage();
        out.close();
        if (ok && !out) {
          ok = false;
          fsCurrentMessage = "Datei kann nicht geschrieben werden: " + part;
        }
      }
    }
    std::error_code ec;
    if (ok) {
      fs::rename(part, target, ec);
      if (ec) {
        ok = false;
        fsCurrentMessage = "Datei kann nicht geschrieben werden: " + target;
      }
    }
    if (!ok) {
      fs::remove(part, ec);
      FbError.store(true);
      break;
    }
    ++fiCurrentFile;
  }
  if (FTerminated.load() || FbError.load()) {
    ShowProgress();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(FWebLock);
    fWebAPI.reset();
  }
  Show({.Text = "Bereite lokalen Cache vor, dieser Vorgang kann etwas dauern...",
        .MainPos = 100,
        .FilePos = 100});
  bool loaded = false;
  try {
    loaded = FComp.loadfromafpcache(cachepath, false);
    if (!loaded) fsCurrentMessage = "Der lokale Cache konnte nicht geladen werden";
  } catch (const std::exception& e) {
    fsCurrentMessage = e.what();
  }
  if (FTerminated.load()) return;
  if (!loaded) {
    FbError.store(true);
    ShowProgress();
    return;
  }
  TCacheUpdateStatus done;
  done.Text = "Lokaler Cache vorbereitet";
  done.Loaded = true;
  done.MainPos = done.MainMax;
  done.FilePos = done.FileMax;
  Show(std::move(done));
  if (FOnReady && FQueue) FQueue->post(FOnReady);
}
