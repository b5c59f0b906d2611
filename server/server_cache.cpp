#include "server_cache.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "afp/afpcachebin_unit.h"

namespace fs = std::filesystem;

namespace {

class BuildError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

void FsyncPath(const std::string& path, bool directory) {
  const int fd = ::open(path.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) throw BuildError(Errno("open " + path));
  const int rc = ::fsync(fd);
  ::close(fd);
  if (rc != 0) throw BuildError(Errno("fsync " + path));
}

// Writes `text` to `path` so that readers see the old or the new content, never a part.
void WriteFileAtomic(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw BuildError("cannot write " + tmp);
  }
  FsyncPath(tmp, false);
  if (::rename(tmp.c_str(), path.c_str()) != 0) throw BuildError(Errno("rename " + tmp));
}

std::string FileName(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "afp%04zu.afpbin", index + 1);
  return name;
}

std::optional<std::int64_t> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::optional<std::int64_t> ReadCurrent(const std::string& dir) {
  std::ifstream in(dir + "/CURRENT");
  std::string text;
  if (!(in >> text)) return std::nullopt;
  return ParseNumber(text);
}

// Numbers of the gN directories.
std::vector<std::int64_t> Generations(const std::string& dir) {
  std::vector<std::int64_t> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 1 && name[0] == 'g') {
      if (auto n = ParseNumber(name.substr(1))) out.push_back(*n);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string GenDir(const std::string& dir, std::int64_t n) {
  return dir + "/g" + std::to_string(n);
}

// Holds the exclusive build lock for its lifetime. Without `wait`, held() is false when another
// process has it.
class BuildLock {
 public:
  BuildLock(const std::string& dir, bool wait) {
    Ffd = ::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (Ffd < 0) throw BuildError(Errno("open " + dir + "/.lock"));
    while (::flock(Ffd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK && !wait) {
        ::close(Ffd);
        Ffd = -1;
        return;
      }
      if (errno != EINTR) {
        ::close(Ffd);
        throw BuildError(Errno("flock " + dir + "/.lock"));
      }
    }
  }
  ~BuildLock() {
    if (Ffd >= 0) ::close(Ffd);
  }
  BuildLock(const BuildLock&) = delete;
  BuildLock& operator=(const BuildLock&) = delete;
  bool held() const { return Ffd >= 0; }

 private:
  int Ffd = -1;
};

}  // namespace

CacheStore::CacheStore(std::string cache_dir, std::int64_t records_per_file,
                       std::chrono::seconds keep_old)
    : FDir(std::move(cache_dir)), FRecordsPerFile(records_per_file), FKeepOld(keep_old) {}

std::shared_ptr<const CacheGeneration> CacheStore::Load(std::int64_t number) {
  {
    std::lock_guard lock(FLock);
    if (auto it = FLoaded.find(number); it != FLoaded.end()) {
      std::error_code ec;
      if (fs::is_directory(it->second->dir, ec)) return it->second;
      FLoaded.erase(it);
      return nullptr;
    }
  }
  auto gen = std::make_shared<CacheGeneration>();
  gen->number = number;
  gen->dir = GenDir(FDir, number);
  const std::string manifest = gen->dir + "/MANIFEST";
  std::ifstream in(manifest);
  if (!in) return nullptr;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "max_id") {
      words >> gen->max_id;
    } else if (kind == "file") {
      CacheFileInfo f;
      words >> f.name >> f.size >> f.records >> f.first_id >> f.last_id;
      if (!words) return nullptr;
      gen->files.push_back(f);
      gen->records += f.records;
    }
  }
  // A generation is served only when every file is there with its listed size.
  for (const CacheFileInfo& f : gen->files) {
    struct stat st {};
    if (::stat((gen->dir + "/" + f.name).c_str(), &st) != 0 || st.st_size != f.size) {
      return nullptr;
    }
  }
  struct stat st {};
  if (::stat(manifest.c_str(), &st) == 0) {
    gen->created = std::chrono::system_clock::from_time_t(st.st_mtime);
  }
  std::lock_guard lock(FLock);
  FLoaded[number] = gen;
  return gen;
}

std::shared_ptr<const CacheGeneration> CacheStore::Current() {
  const auto number = ReadCurrent(FDir);
  return number ? Load(*number) : nullptr;
}

std::shared_ptr<const CacheGeneration> CacheStore::Find(std::int64_t number) {
  return Load(number);
}

bool CacheStore::Outdated(ServerDb& db) {
  const auto current = Current();
  if (!current) return true;
  // Fingerprints are never deleted and ids only grow, so the highest id tells everything.
  return db.MaxFingerprintId() != current->max_id;
}

ServerStatus CacheStore::Build(ServerDb& db, bool force, CacheBuildReport& report, bool wait) {
  report = CacheBuildReport{};
  const auto start = std::chrono::steady_clock::now();
  std::string tmp;
  try {
    std::error_code ec;
    fs::create_directories(FDir, ec);
    if (ec) throw BuildError("cannot create " + FDir + ": " + ec.message());
    std::string lock_error;
    const auto lease = db.LockCacheBuild(wait, lock_error);
    if (!lease && !lock_error.empty()) throw BuildError(lock_error);
    BuildLock lock(FDir, wait);
    if (!lease || !lock.held()) {
      report.busy = true;
      return ServerStatus::Ok();
    }
    const auto current = Current();
    if (!force && current && !Outdated(db)) {
      report.generation = current->number;
      report.files = static_cast<std::int64_t>(current->files.size());
      report.records = current->records;
      return ServerStatus::Ok();
    }
    // Half-built generations of a build that died; only a lock holder writes them.
    for (const auto& entry : fs::directory_iterator(FDir, ec)) {
      if (entry.path().filename().string().rfind("tmp-g", 0) == 0) {
        std::error_code rm;
        fs::remove_all(entry.path(), rm);
      }
    }
    const auto existing = Generations(FDir);
    const std::int64_t number = existing.empty() ? 1 : existing.back() + 1;
    tmp = FDir + "/tmp-g" + std::to_string(number);
    fs::remove_all(tmp, ec);
    if (!fs::create_directory(tmp, ec) || ec) throw BuildError("cannot create " + tmp);

    std::vector<CacheFileInfo> files;
    // Full files of the current generation whose records are still exactly those ids.
    std::int64_t after_id = 0;
    if (current) {
      for (const CacheFileInfo& f : current->files) {
        const auto index = static_cast<std::int64_t>(files.size());
        if (f.records != FRecordsPerFile || f.name != FileName(files.size()) ||
            db.CountUpTo(f.last_id) != (index + 1) * FRecordsPerFile) {
          break;
        }
        const std::string from = current->dir + "/" + f.name, to = tmp + "/" + f.name;
        if (::link(from.c_str(), to.c_str()) != 0) break;
        files.push_back(f);
        after_id = f.last_id;
        ++report.files_linked;
      }
    }

    std::int64_t max_id = after_id;
    std::unique_ptr<TAfpCacheFileWriter> writer;
    CacheFileInfo open;
    const auto finish = [&] {
      writer->Commit();
      struct stat st {};
      if (::stat((tmp + "/" + open.name).c_str(), &st) != 0) throw BuildError(Errno("stat"));
      open.size = st.st_size;
      files.push_back(open);
      writer.reset();
    };
    const ServerStatus walked = db.ForEachFingerprint(
        after_id, [&](std::int64_t id, const std::string& fguid, const RAFP& afp) {
          if (!writer) {
            open = CacheFileInfo{FileName(files.size()), 0, 0, id, id};
            writer = std::make_unique<TAfpCacheFileWriter>(tmp + "/" + open.name);
          }
          writer->Add(fguid, afp);
          ++open.records;
          open.last_id = id;
          max_id = id;
          ++report.records_written;
          if (open.records == FRecordsPerFile) finish();
          return true;
        });
    if (!walked.ok()) throw BuildError(walked.message);
    if (writer) finish();
    if (files.empty()) {
      // No fingerprint yet: one empty file, because a client refuses an empty list and a new
      // service would never get ready to add the first title.
      open = CacheFileInfo{FileName(0), 0, 0, 0, 0};
      writer = std::make_unique<TAfpCacheFileWriter>(tmp + "/" + open.name);
      finish();
    }

    std::ostringstream manifest;
    manifest << "max_id " << max_id << '\n';
    for (const CacheFileInfo& f : files) {
      manifest << "file " << f.name << ' ' << f.size << ' ' << f.records << ' ' << f.first_id << ' '
               << f.last_id << '\n';
      report.records += f.records;
    }
    WriteFileAtomic(tmp + "/MANIFEST", manifest.str());
    FsyncPath(tmp, true);
    const std::string dir = GenDir(FDir, number);
    if (::rename(tmp.c_str(), dir.c_str()) != 0) throw BuildError(Errno("rename " + tmp));
    tmp.clear();
    WriteFileAtomic(FDir + "/CURRENT", std::to_string(number) + "\n");
    FsyncPath(FDir, true);
    report.built = true;
    report.generation = number;
    report.files = static_cast<std::int64_t>(files.size());
    RemoveExpired(number);
  } catch (const std::exception& e) {  // BuildError, EAfpCacheError, filesystem errors
    if (!tmp.empty()) {
      std::error_code ec;
      fs::remove_all(tmp, ec);
    }
    return ServerStatus::Internal(std::string("cache build failed: ") + e.what());
  }
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return ServerStatus::Ok();
}

void CacheStore::RemoveExpired(std::int64_t current) {
  const auto gens = Generations(FDir);
  const auto now = std::chrono::system_clock::now();
  for (std::size_t i = 0; i + 1 < gens.size(); ++i) {
    if (gens[i] >= current) break;
    // Expired once its successor has been published for longer than keep_old.
    struct stat st {};
    const std::string successor = GenDir(FDir, gens[i + 1]) + "/MANIFEST";
    if (::stat(successor.c_str(), &st) != 0) continue;
    if (now - std::chrono::system_clock::from_time_t(st.st_mtime) < FKeepOld) continue;
    std::error_code ec;
    fs::remove_all(GenDir(FDir, gens[i]), ec);
    std::lock_guard lock(FLock);
    FLoaded.erase(gens[i]);
  }
}
