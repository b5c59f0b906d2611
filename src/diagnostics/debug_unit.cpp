#include "diagnostics/debug_unit.h"

#include "platform/ui_prompt.h"
#include "tags/unicode_util_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>

namespace {

constexpr std::size_t kImageLimit = 10240;            // bytes written per image at most
constexpr std::size_t kBufferSize = kImageLimit + 1;  // bytes read back by the dump at most
constexpr std::int32_t kCounterWrap = 2147483647;
constexpr int kRingSize = 5;

// The module's state. Everything is guarded by `lock`, which is recursive because Debug_Init
// calls Debug_Done while holding it. `active` and `open` are also read without the lock by the
// quick return of Debug_Log, hence atomic. (No clang capability annotations here: the standard
// recursive mutex type carries none.)
struct TDebugState {
  std::recursive_mutex lock;
  std::atomic<bool> active{false};
  std::atomic<bool> open{false};
  std::string directory;
  std::string header;
  std::int32_t counter = 0;
  std::int32_t ring_index = -1;
  std::array<std::string, kRingSize> ring;
  int fd = -1;
  std::array<std::uint8_t, kBufferSize> buffer{};
};

// Never destroyed: a trace call from another module's static destructor at program end must
// still find a valid lock.
TDebugState& State() {
  static TDebugState* state = new TDebugState;
  return *state;
}

std::string ErrnoText(int err) {
  char buf[256];
  const char* text = ::strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string("error ") + std::to_string(err);
}

std::string FilePath(const TDebugState& s) { return s.directory + "debug.tmp"; }

std::string TimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  char buf[80];  // room for any int the compiler can imagine; the text is 19 characters
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

// One byte per UTF-16 code unit, its low eight bits, at most kImageLimit of them.
std::size_t ImageToBytes(std::string_view image, std::array<std::uint8_t, kBufferSize>& out) {
  const std::u16string units = Utf8ToUtf16(image);
  const std::size_t n = std::min(units.size(), kImageLimit);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(units[i] & 0xFF);
  return n;
}

bool WriteAt0(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void Warn(const std::string& text) {
  try {
    ShowMessage(TPromptKind::Warning, text, TPromptButtons::Ok);
  } catch (...) {
    // A failing prompt must not turn a trace problem into a crash.
  }
}

}  // namespace

bool Debug_Done(bool deletefile) {
  TDebugState& s = State();
  std::lock_guard guard(s.lock);
  if (s.open.load() && s.fd >= 0) {
    const int fd = s.fd;
    // The descriptor is gone after close() even when it reports an error; keeping it as "open"
    // would let the next action write into whatever file later gets the same number.
    s.fd = -1;
    s.open = false;
    if (::close(fd) != 0 && errno != EINTR) {
      Warn("Debug_Done Fehler!\r" + ErrnoText(errno));
      return false;
    }
  }
  s.open = false;
  if (deletefile && !s.directory.empty()) {
    try {
      const std::string path = FilePath(s);
      struct stat st{};
      if (::lstat(path.c_str(), &st) == 0 && ::unlink(path.c_str()) != 0) {
        Warn("Debug_Done Fehler beim Löschen der Debugdatei!");
        return false;
      }
    } catch (const std::exception& e) {
      Warn(std::string("Debug_Done Fehler!\r") + e.what());
      return false;
    }
  }
  return true;
}

bool Debug_Init(std::string_view header, std::string_view directory) {
  TDebugState& s = State();
  std::lock_guard guard(s.lock);
  if (!Debug_Done(false)) {
    Warn("Debug_Init konnte nicht gestartet werden!");
    return false;
  }
  if (directory.empty()) return false;

  s.active = false;
  s.directory.clear();
  s.header.clear();
  s.counter = 0;
  s.ring_index = -1;
  s.ring.fill("-");
  s.open = false;

  try {
    s.header = header;
    s.directory = directory;
    if (s.directory.back() != '/') s.directory += '/';
  } catch (const std::exception& e) {
    Warn(std::string("Debug_Init Fehler!\r") + e.what());
    return false;
  }
  // No O_TRUNC: the bytes of an earlier run stay behind the new image until overwritten.
  const int fd = ::open(FilePath(s).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    Warn("Debug_Init Fehler!\r" + ErrnoText(errno));
    return false;
  }
  s.fd = fd;
  s.open = true;
  s.active = true;
  return true;
}

void Debug_Log(std::string_view action) {
  TDebugState& s = State();
  if (!s.active.load(std::memory_order_relaxed) || !s.open.load(std::memory_order_relaxed)) return;
  std::lock_guard guard(s.lock);
  if (!s.open.load() || s.fd < 0) return;  // closed by another thread in the meantime
  try {
    s.counter = (s.counter < 0 || s.counter >= kCounterWrap - 1) ? 0 : s.counter + 1;
    s.ring_index = (s.ring_index >= kRingSize - 1 || s.ring_index < 0) ? 0 : s.ring_index + 1;

    std::string& slot = s.ring[static_cast<std::size_t>(s.ring_index)];
    slot = TimeStamp();
    slot += " (";
    slot += std::to_string(s.counter);
    slot += ")> ";
    slot += action;

    std::string image;
    image.reserve(s.header.size() + action.size() + 256 + kRingSize * 64);
    image += s.header;
    image += "\r\n";
    image += "letzte aktion: ";
    image += action;
    image += "\r\n\r\n";
    image += "->letzte Aktionen\r\n";
    for (const std::string& entry : s.ring) {
      image += entry;
      image += "\r\n";
    }
    image += "<-letzte Aktionen\r\n";
    image += "(EOF)";
    image += '\0';
    image += '\0';

    const std::size_t n = ImageToBytes(image, s.buffer);
    WriteAt0(s.fd, s.buffer.data(), n);  // a failed write leaves the previous image
  } catch (...) {
    // The trace never disturbs the program it traces.
  }
}

std::string Debug_Dump() {
  TDebugState& s = State();
  std::lock_guard guard(s.lock);
  if (!s.active.load()) return "debugdump fehler: debug nicht aktiv!";
  if (!s.open.load() || s.fd < 0) return "debugdump fehler: debugdatei nicht offen!";

  struct stat st{};
  if (::fstat(s.fd, &st) != 0) return "debug_dump exception: " + ErrnoText(errno);
  const std::size_t want =
      std::min<std::size_t>(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0, kBufferSize);
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::pread(s.fd, s.buffer.data() + got, want - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "debug_dump exception: " + ErrnoText(errno);
    if (n == 0) break;  // the file shrank under us
    got += static_cast<std::size_t>(n);
  }
  if (got == 0) return {};
  // The first byte always counts; the text ends before the first NUL after it.
  std::size_t end = 1;
  while (end < got && s.buffer[end] != 0) ++end;
  return Latin1ToUtf8(std::span<const std::uint8_t>(s.buffer.data(), end));
}
