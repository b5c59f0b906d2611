#include "service/servicestatus_unit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr const char* kPhaseNames[] = {"starting", "downloading", "ready", "failed", "stopping"};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The status directory is private to the user: other users have no business reading it, and a
// directory another user made must not be written into.
bool EnsurePrivateDir(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

bool WriteFileReplacing(const std::string& file, const std::string& data) {
  const std::string temp = file + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (!ok || std::rename(temp.c_str(), file.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

bool ProcessRunsProgram(std::int64_t pid, const std::string& program) {
  if (pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  std::error_code ec;
  const std::filesystem::path exe =
      std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
  // Without access to the link the live pid has to do; with it, a reused pid is told apart.
  if (ec || program.empty()) return true;
  return exe.string() == program;
}

}  // namespace

const char* ServicePhaseName(TServicePhase phase) { return kPhaseNames[static_cast<int>(phase)]; }

std::string ServiceStatusDir() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') return std::string(runtime) + "/MelodySeeker";
  return "/tmp/MelodySeeker-" + std::to_string(::getuid());
}

std::string ServiceStatusFile() { return ServiceStatusDir() + "/status.json"; }

std::string ServiceStatusToJson(const TServiceStatus& s) {
  ordered_json j = {{"phase", ServicePhaseName(s.Phase)},
                    {"text", s.Text},
                    {"reason", s.Reason},
                    {"progress",
                     {{"file", s.FileIndex},
                      {"files", s.FileCount},
                      {"bytes", s.Bytes},
                      {"total", s.TotalBytes}}},
                    {"retry_at", s.RetryAt},
                    {"cache_files", s.CacheFiles},
                    {"records", s.Records},
                    {"clients", s.Clients},
                    {"pid", s.Pid},
                    {"version", s.Version},
                    {"datadir", s.DataDir},
                    {"pipe", s.Pipe},
                    {"program", s.Program},
                    {"exe", s.Exe}};
  // Texts from the web service may hold anything; invalid UTF-8 must not make the dump throw.
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool ServiceStatusFromJson(const std::string& text, TServiceStatus& s) {
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object() || !j.contains("phase") || !j["phase"].is_string()) return false;
  try {
    s = TServiceStatus{};
    const std::string phase = j["phase"].get<std::string>();
    bool known = false;
    for (int i = 0; i < 5; ++i) {
      if (phase == kPhaseNames[i]) {
        s.Phase = static_cast<TServicePhase>(i);
        known = true;
      }
    }
    if (!known) return false;
    s.Text = j.value("text", "");
    s.Reason = j.value("reason", "");
    if (j.contains("progress") && j["progress"].is_object()) {
      const json& p = j["progress"];
      s.FileIndex = p.value("file", 0);
      s.FileCount = p.value("files", 0);
      s.Bytes = p.value("bytes", std::int64_t{0});
      s.TotalBytes = p.value("total", std::int64_t{0});
    }
    s.RetryAt = j.value("retry_at", std::int64_t{0});
    s.CacheFiles = j.value("cache_files", 0);
    s.Records = j.value("records", std::int64_t{0});
    s.Clients = j.value("clients", 0);
    s.Pid = j.value("pid", std::int64_t{0});
    s.Version = j.value("version", "");
    s.DataDir = j.value("datadir", "");
    s.Pipe = j.value("pipe", "");
    s.Program = j.value("program", "");
    s.Exe = j.value("exe", "");
  } catch (const json::exception&) {
    return false;  // a field of the wrong type
  }
  return true;
}

bool ReadServiceStatus(TServiceStatus& status) {
  const std::string text = ReadWhole(ServiceStatusFile());
  if (text.empty() || !ServiceStatusFromJson(text, status)) return false;
  return ProcessRunsProgram(status.Pid, status.Exe);
}

TServiceStatusPublisher::TServiceStatusPublisher() = default;

TServiceStatusPublisher::~TServiceStatusPublisher() { Withdraw(); }

void TServiceStatusPublisher::Publish(const TServiceStatus& status) {
  if (FWithdrawn) return;
  const bool changed = !FHaveLast || !(status == FLast);
  std::string notify;
  if (!FHaveLast || status.Text != FLast.Text) {
    // One line per message on the socket: line breaks of a service message become " / ".
    std::string line;
    for (char c : status.Text) {
      if (c == '\n' || c == '\r') {
        if (line.size() < 3 || line.compare(line.size() - 3, 3, " / ") != 0) line += " / ";
      } else {
        line += c;
      }
    }
    notify += "STATUS=" + line + "\n";
  }
  if (status.Phase == TServicePhase::Ready && !FReadySent) {
    FReadySent = true;
    notify += "READY=1\n";
  }
  if (status.Phase == TServicePhase::Stopping && !FStoppingSent) {
    FStoppingSent = true;
    notify += "STOPPING=1\n";
  }
  FLast = status;
  FHaveLast = true;
  if (changed && EnsurePrivateDir(ServiceStatusDir()))
    WriteFileReplacing(ServiceStatusFile(), ServiceStatusToJson(status));
  if (!notify.empty()) sd_notify(0, notify.c_str());
}

void TServiceStatusPublisher::Withdraw() {
  if (FWithdrawn) return;
  FWithdrawn = true;
  if (!FHaveLast) return;
  // Another instance may have taken the file over meanwhile; only our own is removed.
  TServiceStatus onfile;
  if (ServiceStatusFromJson(ReadWhole(ServiceStatusFile()), onfile) && onfile.Pid != FLast.Pid)
    return;
  std::remove(ServiceStatusFile().c_str());
}
