#include "os/os_api_unit.h"

#include "melodyseeker_version.h"
#include "platform/ui_prompt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The children the runners wait for right now, so that a shutdown can end them all. A pid is
// taken out under the lock in the same step that reaps it, so AbortAllProcesses never signals
// a process group whose leader is gone (its number could belong to someone else by then).
std::mutex g_childrenLock;
std::set<pid_t> g_children;     // guarded by g_childrenLock
bool g_childrenAborted = false;  // guarded by g_childrenLock

// Closes a descriptor once, on every path out of the runner.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() { Reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r: returns a pointer to the text, which may or may not be `buf`.
  const char* text = ::strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string("error ") + std::to_string(err);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithIgnoringCase(std::string_view text, std::size_t pos, std::string_view prefix) {
  if (prefix.empty() || text.size() - pos < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLower(text[pos + i]) != AsciiLower(prefix[i])) return false;
  }
  return true;
}

// What happened to one child.
struct TChildOutcome {
  enum Kind { kStartFailed, kTimedOut, kExited } kind = kStartFailed;
  int start_errno = 0;
  int exit_code = 0;
};

// One output pipe of the child and the stream it fills.
struct TDrain {
  TFd fd;
  std::string* dest = nullptr;
  bool open = false;
};

constexpr std::size_t kReadPiece = 64 * 1024;

// Reads one piece; false at end of file or on an error other than "nothing there yet".
bool ReadPiece(TDrain& drain, std::vector<char>& buffer, std::uint32_t byte_limit) {
  for (;;) {
    const ssize_t n = ::read(drain.fd.Get(), buffer.data(), buffer.size());
    if (n > 0) {
      // The whole piece is kept while the stream is below the limit; the child still has to be
      // read from after that, or it would block on a full pipe.
      if (drain.dest->size() < byte_limit) drain.dest->append(buffer.data(), static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
}

// After the child ended (or was killed): takes what the pipe holds right now and no more, so a
// grandchild that keeps the pipe open and keeps writing cannot hold the caller.
void DrainPending(TDrain& drain, std::vector<char>& buffer, std::uint32_t byte_limit) {
  if (!drain.open) return;
  int pending = 0;
  if (::ioctl(drain.fd.Get(), FIONREAD, &pending) != 0) pending = 0;
  std::size_t left = pending > 0 ? static_cast<std::size_t>(pending) : 0;
  while (left > 0) {
    const std::size_t before = drain.dest->size();
    const ssize_t n = ::read(drain.fd.Get(), buffer.data(), std::min(left, buffer.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (before < byte_limit) drain.dest->append(buffer.data(), static_cast<std::size_t>(n));
    left -= std::min(left, static_cast<std::size_t>(n));
  }
}

int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
#else
  (void)pid;
  return -1;
#endif
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 255;  // killed by a signal: no exit code of its own
}

// Reaps `pid`; true with its status, false when it cannot be read (e.g. already reaped by the
// system because SIGCHLD is ignored).
bool Reap(pid_t pid, int options, int& status, bool& gone) {
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, options);
    if (r == pid) {
      gone = true;
      return true;
    }
    if (r == 0) {
      gone = false;
      return false;
    }
    if (errno == EINTR) continue;
    gone = true;
    return false;
  }
}

// Starts args with posix_spawn (never through a shell) and waits at most timeout_ms. With
// `out`/`err` the child's outputs are pipes read while waiting; without, they are /dev/null.
TChildOutcome RunChild(const TCommandArgs& args, std::string* out, std::string* err,
                       std::uint32_t timeout_ms, std::uint32_t byte_limit) {
  TChildOutcome outcome;
  if (args.empty() || args[0].empty()) {
    outcome.start_errno = ENOENT;
    return outcome;
  }
  const bool piped = out != nullptr && err != nullptr;
  {
    std::lock_guard<std::mutex> lock(g_childrenLock);
    if (g_childrenAborted) {
      outcome.start_errno = ECANCELED;
      return outcome;
    }
  }

  TDrain drains[2];
  TFd write_ends[2];
  if (piped) {
    std::string* dests[2] = {out, err};
    for (int i = 0; i < 2; ++i) {
      int fds[2];
      // O_CLOEXEC: a child started by another thread at the same moment must not inherit these.
      if (::pipe2(fds, O_CLOEXEC) != 0) {
        outcome.start_errno = errno;
        return outcome;
      }
      drains[i].fd.Reset(fds[0]);
      drains[i].dest = dests[i];
      drains[i].open = true;
      write_ends[i].Reset(fds[1]);
      ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) {
    outcome.start_errno = rc;
    return outcome;
  }
  if (int rc = ::posix_spawnattr_init(&attr); rc != 0) {
    ::posix_spawn_file_actions_destroy(&actions);
    outcome.start_errno = rc;
    return outcome;
  }

  int rc = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0 && piped) rc = ::posix_spawn_file_actions_adddup2(&actions, write_ends[0].Get(), 1);
  if (rc == 0 && piped) rc = ::posix_spawn_file_actions_adddup2(&actions, write_ends[1].Get(), 2);
  if (rc == 0 && !piped) rc = ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (rc == 0 && !piped) rc = ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // Descriptors of the caller that lack close-on-exec (sockets, files of other modules) stay
  // with us.
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // Own process group, so a time-out also ends whatever the child started; default signal
  // dispositions and an empty mask whatever this process ignores or blocks.
  sigset_t mask;
  sigemptyset(&mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2}) sigaddset(&defaults, sig);
  if (rc == 0) rc = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                          POSIX_SPAWN_SETSIGDEF);
  if (rc == 0) rc = ::posix_spawnattr_setpgroup(&attr, 0);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr, &mask);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr, &defaults);

  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (rc == 0) {
    // A bare name is searched on PATH; anything with a slash is taken as a path.
    if (args[0].find('/') == std::string::npos) {
      rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    } else {
      rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    }
  }
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  write_ends[0].Reset();
  write_ends[1].Reset();
  if (rc != 0) {
    outcome.start_errno = rc;
    return outcome;
  }
  {
    std::lock_guard<std::mutex> lock(g_childrenLock);
    g_children.insert(pid);
    // A shutdown that began while we were starting the child: it must not run on.
    if (g_childrenAborted) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
    }
  }
  auto reap = [pid](int options, int& st, bool& gone) {
    std::lock_guard<std::mutex> lock(g_childrenLock);
    const bool known = Reap(pid, options, st, gone);
    if (gone) g_children.erase(pid);
    return known;
  };

  TFd pidfd(OpenPidfd(pid));
  std::vector<char> buffer(piped ? kReadPiece : 0);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool exited = false;
  bool status_known = false;
  int status = 0;

  while (!exited) {
    const auto now = Clock::now();
    if (now >= deadline) break;
    const auto remaining =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    int wait_ms = static_cast<int>(std::min<long long>(remaining, INT_MAX));
    if (!pidfd.Valid()) wait_ms = std::min(wait_ms, 10);  // no exit notification: look often

    pollfd fds[3];
    int slots[3];
    nfds_t n = 0;
    for (int i = 0; i < 2; ++i) {
      if (drains[i].open) {
        fds[n] = {drains[i].fd.Get(), POLLIN, 0};
        slots[n++] = i;
      }
    }
    if (pidfd.Valid()) {
      fds[n] = {pidfd.Get(), POLLIN, 0};
      slots[n++] = -1;
    }
    const int ready = ::poll(fds, n, wait_ms);
    if (ready < 0 && errno != EINTR) {
      // Should not happen; fall back to looking at the child now and then.
      pidfd.Reset();
      ::poll(nullptr, 0, 10);
    }
    bool check_child = !pidfd.Valid();
    if (ready > 0) {
      for (nfds_t k = 0; k < n; ++k) {
        if (fds[k].revents == 0) continue;
        if (slots[k] < 0) {
          check_child = true;
        } else if (!ReadPiece(drains[slots[k]], buffer, byte_limit)) {
          drains[slots[k]].open = false;
          drains[slots[k]].fd.Reset();
        }
      }
    }
    if (check_child) status_known = reap(WNOHANG, status, exited);
  }

  if (!exited) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    bool gone = false;
    // The child was just sent SIGKILL, so this blocking wait under the lock is short.
    reap(0, status, gone);
    outcome.kind = TChildOutcome::kTimedOut;
  } else {
    outcome.kind = TChildOutcome::kExited;
    outcome.exit_code = status_known ? ExitCodeOf(status) : 255;
  }
  if (piped) {
    for (TDrain& d : drains) DrainPending(d, buffer, byte_limit);
  }
  return outcome;
}

std::string TimeoutText(std::uint32_t timeout_ms) {
  return "processtimeout after " + std::to_string(timeout_ms) + " ms";
}

std::string ExitCodeText(int code) { return "process exit code " + std::to_string(code); }

// "KEY=value" lines with optional shell quoting of the value.
std::string OsReleaseValue(const std::string& key) {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    if (!in) continue;
    std::string line;
    while (std::getline(in, line)) {
      if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
      TCommandArgs words = SplitCommandLine(std::string_view(line).substr(key.size() + 1));
      std::string value;
      for (std::size_t i = 0; i < words.size(); ++i) value += (i ? " " : "") + words[i];
      return value;
    }
    return {};
  }
  return {};
}

}  // namespace

void AbortAllProcesses() {
  std::lock_guard<std::mutex> lock(g_childrenLock);
  g_childrenAborted = true;
  for (pid_t pid : g_children) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
  }
}

TCommandArgs SplitCommandLine(std::string_view s) {
  TCommandArgs args;
  std::string current;
  bool in_word = false;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (IsBlank(c)) {
      if (in_word) args.push_back(std::move(current));
      current.clear();
      in_word = false;
      ++i;
      continue;
    }
    in_word = true;
    if (c == '\'') {
      const std::size_t end = s.find('\'', i + 1);
      const std::size_t stop = end == std::string_view::npos ? s.size() : end;
      current.append(s.substr(i + 1, stop - i - 1));
      i = stop == s.size() ? stop : stop + 1;
    } else if (c == '"') {
      ++i;
      while (i < s.size() && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < s.size() &&
            (s[i + 1] == '"' || s[i + 1] == '\\' || s[i + 1] == '$' || s[i + 1] == '`')) {
          current += s[i + 1];
          i += 2;
        } else {
          current += s[i++];
        }
      }
      if (i < s.size()) ++i;  // closing quote
    } else if (c == '\\') {
      if (i + 1 < s.size()) {
        current += s[i + 1];
        i += 2;
      } else {
        current += c;  // a lone trailing backslash stands for itself
        ++i;
      }
    } else {
      current += c;
      ++i;
    }
  }
  if (in_word) args.push_back(std::move(current));
  return args;
}

TCommandArgs ExpandCommandTemplate(std::string_view command_template,
                                   const std::vector<std::pair<std::string, std::string>>& placeholders) {
  TCommandArgs args = SplitCommandLine(command_template);
  for (std::string& arg : args) {
    std::string expanded;
    std::size_t i = 0;
    while (i < arg.size()) {
      bool replaced = false;
      for (const auto& [name, value] : placeholders) {
        if (StartsWithIgnoringCase(arg, i, name)) {
          expanded += value;
          i += name.size();
          replaced = true;
          break;
        }
      }
      if (!replaced) expanded += arg[i++];
    }
    arg = std::move(expanded);
  }
  return args;
}

bool RunProcessPiped(const TCommandArgs& args, std::string& output, std::string& error,
                     std::uint32_t timeout_ms, std::uint32_t byte_limit) {
  output.clear();
  error.clear();
  try {
    const TChildOutcome r = RunChild(args, &output, &error, timeout_ms, byte_limit);
    switch (r.kind) {
      case TChildOutcome::kStartFailed:
        error = ErrnoText(r.start_errno) + "\r\n";
        output.clear();
        return false;
      case TChildOutcome::kTimedOut:
        error.insert(0, TimeoutText(timeout_ms) + "\r\n");
        return false;
      case TChildOutcome::kExited:
        if (r.exit_code == 0) return true;
        error.insert(0, ExitCodeText(r.exit_code) + "\r\n");
        return false;
    }
  } catch (const std::exception& e) {  // out of memory while collecting
    error = std::string(e.what()) + "\r\n";
  }
  return false;
}

bool RunProcessPiped(std::string_view command_line, std::string& output, std::string& error,
                     std::uint32_t timeout_ms, std::uint32_t byte_limit) {
  return RunProcessPiped(SplitCommandLine(command_line), output, error, timeout_ms, byte_limit);
}

bool RunProcess(const TCommandArgs& args, std::uint32_t timeout_ms, std::string& error) {
  error.clear();
  try {
    const TChildOutcome r = RunChild(args, nullptr, nullptr, timeout_ms, 0);
    switch (r.kind) {
      case TChildOutcome::kStartFailed:
        error = ErrnoText(r.start_errno);
        return false;
      case TChildOutcome::kTimedOut:
        error = TimeoutText(timeout_ms);
        return false;
      case TChildOutcome::kExited:
        if (r.exit_code == 0) return true;
        error = ExitCodeText(r.exit_code);
        return false;
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  return false;
}

bool RunProcess(std::string_view command_line, std::uint32_t timeout_ms, std::string& error) {
  return RunProcess(SplitCommandLine(command_line), timeout_ms, error);
}

bool GetOSVersionString(std::int32_t& major, std::int32_t& minor, std::string& text) {
  try {
    utsname uts{};
    if (::uname(&uts) != 0) {
      text = "Windows Version nicht ermittelbar";
      return true;
    }
    // The kernel release begins "major.minor" ("6.1.0-18-amd64").
    int ma = 0, mi = 0;
    if (std::sscanf(uts.release, "%d.%d", &ma, &mi) < 1) ma = mi = 0;
    major = ma;
    minor = mi;
    text = std::string(uts.sysname) + " " + std::to_string(ma) + "." + std::to_string(mi);
    std::string name = OsReleaseValue("PRETTY_NAME");
    if (name.empty()) name = OsReleaseValue("NAME");
    if (!name.empty()) text += " [" + name + "]";
    if (IsWine()) text += " [WINE]";
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string FormatAppVersion(int major, int minor, int release, int build, bool full) {
  char buf[64];
  if (full) {
    std::snprintf(buf, sizeof buf, "%d.%.2d.%.2d.%.2d", major, minor, release, build);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%d.%.2d", major, minor);
  std::string text = buf;
  if (release != 0) text += static_cast<char>(96 + release);
  return text;
}

std::string GetAppVersionStr(bool full) {
  try {
    return FormatAppVersion(MELODYSEEKER_VERSION_MAJOR, MELODYSEEKER_VERSION_MINOR,
                            MELODYSEEKER_VERSION_PATCH, MELODYSEEKER_VERSION_BUILD, full);
  } catch (const std::exception& e) {
    ShowMessage(TPromptKind::Warning, std::string("GetAppVersionStr() : ") + e.what(),
                TPromptButtons::Ok);
    return {};
  }
}

std::int32_t ShellOpen(const std::string& operation, const std::string& file,
                       const std::string& parameters, const std::string& directory,
                       std::int32_t show_mode) {
  (void)parameters;
  (void)show_mode;
  if (operation.empty() || file.empty()) return 2147483647;
  if (operation.size() != 4 || !StartsWithIgnoringCase(operation, 0, "open")) return 31;
  // A missing local file is reported now; xdg-open would only fail later, out of sight.
  struct stat st{};
  if (file[0] == '/' && ::stat(file.c_str(), &st) != 0) return 2;

  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return 8;
  int rc = ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0 && !directory.empty()) rc = ::posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // The file is one argument as it stands: quotes would become part of the name.
  const char* argv[] = {"xdg-open", file.c_str(), nullptr};
  pid_t pid = -1;
  if (rc == 0) {
    rc = ::posix_spawnp(&pid, "xdg-open", &actions, nullptr, const_cast<char* const*>(argv), environ);
  }
  ::posix_spawn_file_actions_destroy(&actions);
  switch (rc) {
    case 0: break;
    case ENOENT:
    case ENOTDIR: return 2;
    case EACCES:
    case EPERM: return 5;
    case ENOMEM: return 8;
    default: return 31;
  }
  // The caller does not wait for the document to close; someone must still reap the child.
  try {
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::exception&) {
    // Without a thread the child is left as a zombie until we end; opening still worked.
  }
  return 42;
}

std::string QuoteIfNeeded(const std::string& text) {
  if (text.empty() || text.front() == '"' || text.back() == '"') return text;
  return "\"" + text + "\"";
}

bool MoveOrReplaceFile(const std::string& source, const std::string& target, bool plain) {
  if (!plain) return ::rename(source.c_str(), target.c_str()) == 0;
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
  // File systems without RENAME_NOREPLACE: link() refuses an existing target just the same.
  if (::link(source.c_str(), target.c_str()) != 0) return false;
  if (::unlink(source.c_str()) != 0) {
    const int saved = errno;
    ::unlink(target.c_str());
    errno = saved;
    return false;
  }
  return true;
}
