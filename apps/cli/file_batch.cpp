#include "file_batch.h"

#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "afp/filetype_unit.h"

namespace mscli {

namespace fs = std::filesystem;

namespace {

// Written by the signal handler, read by the run; lock-free atomics are safe in a handler.
std::atomic<int> g_signal_count{0};
std::atomic<int> g_first_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnBatchSignal(int sig) {
  int none = 0;
  g_first_signal.compare_exchange_strong(none, sig);
  g_signal_count.fetch_add(1);
}

struct sigaction g_old_int, g_old_term;

void WriteAll(std::FILE* f, const std::string& text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fflush(f);
}

int TerminalWidth() {
  winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

std::string Clock(double seconds) {
  const long s = static_cast<long>(std::max(0.0, seconds) + 0.5);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

class Walker {
 public:
  Walker(BatchFiles& out, const TBatchSignals& signals) : fOut(out), fSignals(signals) {}

  void Add(const fs::path& path) {
    std::error_code ec;
    fs::path key = fs::absolute(path, ec);
    if (ec) key = path;
    if (fSeen.insert(key.lexically_normal().string()).second) fOut.files.push_back(path.string());
  }

  void Argument(const std::string& name, bool recursive) {
    std::error_code ec;
    if (!fs::is_directory(name, ec)) {
      Add(name);
      return;
    }
    if (!recursive) {
      fOut.failures.emplace_back(name, "is a directory (use -r to take the files in it)");
      return;
    }
    Walk(name);
  }

 private:
  void Walk(const fs::path& dir) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    fs::directory_iterator it(dir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) entries.push_back(*it);
    if (ec) {
      // What was read before the error is still taken; the directory is reported either way.
      fOut.failures.emplace_back(dir.string(), ec.message());
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path() < b.path(); });
    for (const fs::directory_entry& entry : entries) {
      if (fSignals.Count() > 0) return;
      std::error_code sec;
      const fs::file_status own = entry.symlink_status(sec);
      if (fs::is_directory(own)) {
        Walk(entry.path());
        continue;
      }
      // A link to a directory is not followed: it could lead back up the tree.
      const fs::file_status target = entry.status(sec);
      if (fs::is_directory(target)) continue;
      // Only regular files: the service would wait forever on a FIFO named like a song.
      if (fs::is_regular_file(target) && IsLibraryFile(entry.path().filename().string()))
        Add(entry.path());
      else
        ++fOut.skipped;
    }
  }

  BatchFiles& fOut;
  const TBatchSignals& fSignals;
  std::set<std::string> fSeen;
};

}  // namespace

bool IsLibraryFile(std::string_view name) {
  for (std::string_view list :
       {ExtWAV, ExtMP2, ExtMP3, ExtOGG, ExtAAC, ExtAIFF, ExtFLAC, ExtWMA, ExtWMV}) {
    // MIDI shares ".MID" with no audio list; images have their own list. Both are refused.
    if (IsFileType(name, list)) return true;
  }
  return false;
}

TBatchSignals::TBatchSignals() {
  g_signal_count.store(0);
  g_first_signal.store(0);
  struct sigaction sa {};
  sa.sa_handler = OnBatchSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocking read of standard input returns on Ctrl+C
  ::sigaction(SIGINT, &sa, &g_old_int);
  ::sigaction(SIGTERM, &sa, &g_old_term);
}

TBatchSignals::~TBatchSignals() {
  ::sigaction(SIGINT, &g_old_int, nullptr);
  ::sigaction(SIGTERM, &g_old_term, nullptr);
}

int TBatchSignals::Count() const { return g_signal_count.load(); }
int TBatchSignals::Signal() const { return g_first_signal.load(); }

BatchFiles CollectFiles(const std::vector<std::string>& args, bool recursive, bool null_separated,
                        std::istream& in, const TBatchSignals& signals) {
  BatchFiles out;
  Walker walker(out, signals);
  bool stdin_read = false;
  for (const std::string& arg : args) {
    if (signals.Count() > 0) break;
    if (arg != "-") {
      walker.Argument(arg, recursive);
      continue;
    }
    if (stdin_read) continue;  // one standard input, however often "-" is given
    stdin_read = true;
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) out.failures.emplace_back("-", "cannot read the names from standard input");
    const char separator = null_separated ? '\0' : '\n';
    std::size_t start = 0;
    while (start < text.size() && signals.Count() == 0) {
      std::size_t end = text.find(separator, start);
      if (end == std::string::npos) end = text.size();
      if (end > start) walker.Argument(text.substr(start, end - start), recursive);
      start = end + 1;
    }
  }
  return out;
}

std::string ProgressText(std::int64_t done, std::int64_t total, double seconds, int width) {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  char tail[96];
  if (done > 0 && done < total && rate > 0) {
    std::snprintf(tail, sizeof tail, " %.1f files/s  %s left", rate,
                  Clock(static_cast<double>(total - done) / rate).c_str());
  } else {
    std::snprintf(tail, sizeof tail, " %.1f files/s  %s", rate, Clock(seconds).c_str());
  }
  const std::string count = std::to_string(done) + "/" + std::to_string(total);
  const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
  // "[====>   ] 37% 12/200 3.4 files/s 0:55 left"; the bar takes what the text leaves.
  std::string text = " " + std::to_string(percent) + "% " + count + tail;
  const int bar = std::min(40, width - 3 - static_cast<int>(text.size()));
  if (bar < 5) return text.substr(0, static_cast<std::size_t>(std::max(0, width - 1)));
  const int filled =
      total > 0 ? static_cast<int>(static_cast<std::int64_t>(bar) * done / total) : bar;
  std::string line = "[" + std::string(static_cast<std::size_t>(filled), '=');
  if (filled < bar) line += '>' + std::string(static_cast<std::size_t>(bar - filled - 1), ' ');
  return line + "]" + text;
}

std::string SummaryText(const BatchSummary& s, std::string_view done_label, bool with_not_known,
                        bool json) {
  const std::int64_t files = s.done + s.not_known + s.failed;
  if (json) {
    nlohmann::ordered_json j{{"files", files}, {std::string(done_label), s.done}};
    if (with_not_known) j["not_known"] = s.not_known;
    j["errors"] = s.failed;
    j["skipped"] = s.skipped;
    j["not_done"] = s.not_done;
    j["seconds"] = std::round(s.seconds * 1000) / 1000;
    j["interrupted"] = s.signal != 0;
    return nlohmann::ordered_json{{"summary", j}}.dump() + "\n";
  }
  std::ostringstream out;
  out << files << (files == 1 ? " file" : " files") << " in " << Clock(s.seconds);
  if (s.seconds > 0 && files > 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, " (%.1f files/s)", static_cast<double>(files) / s.seconds);
    out << rate;
  }
  out << ": " << s.done << ' ' << done_label;
  if (with_not_known) out << ", " << s.not_known << " not known";
  out << ", " << s.failed << (s.failed == 1 ? " error" : " errors") << ", " << s.skipped
      << " skipped";
  if (s.signal != 0) out << "; interrupted, " << s.not_done << " not done";
  if (s.fatal) out << "; stopped, " << s.not_done << " not done";
  out << '\n';
  return out.str();
}

int BatchExitCode(const BatchSummary& s) {
  if (s.signal != 0) return 128 + s.signal;
  if (s.fatal) return 2;
  return s.failed > 0 ? 1 : 0;
}

int DefaultJobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

void AddBatchOptions(CLI::App& sub, bool& recursive, bool& null_separated, int& jobs,
                     bool& no_progress, const std::string& jobs_what) {
  sub.add_flag("-r,--recursive", recursive,
               "Take the media files in directories and all their subdirectories");
  sub.add_flag("-0,--null", null_separated,
               "Names from standard input are separated by NUL characters (find -print0)");
  sub.add_option("-j,--jobs", jobs, "N " + jobs_what + " (default: the number of processors)")
      ->check(CLI::Range(1, 256));
  sub.add_flag("--no-progress", no_progress, "No progress bar, even on a terminal");
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void PrintRecord(const BatchResult& result) {
  WriteAll(stdout, result.out);
  WriteAll(stderr, result.err);
}

void RunBatch(const std::vector<std::string>& files,
              std::vector<std::unique_ptr<BatchWorker>>& workers, bool progress,
              const TBatchSignals& signals, BatchSummary& summary) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto total = static_cast<std::int64_t>(files.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> abandoned{false};

  std::mutex lock;  // guards the counts below, the terminal and the finished-worker count
  std::condition_variable changed;
  std::int64_t finished = 0;
  std::size_t workers_left = workers.size();
  bool bar_shown = false;
  const auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  const auto clear_bar = [&] {
    if (bar_shown) WriteAll(stderr, "\r\033[K");
    bar_shown = false;
  };
  const auto draw_bar = [&] {
    if (!progress) return;
    WriteAll(stderr, "\r" + ProgressText(finished, total, seconds(), TerminalWidth()) + "\033[K");
    bar_shown = true;
  };

  std::vector<std::thread> threads;
  threads.reserve(workers.size());
  for (auto& worker : workers) {
    threads.emplace_back([&, w = worker.get()] {
      while (!stop.load()) {
        const std::size_t i = next.fetch_add(1);
        if (i >= files.size()) break;
        BatchResult result = w->Process(files[i]);
        if (abandoned.load()) break;
        std::lock_guard<std::mutex> guard(lock);
        clear_bar();
        PrintRecord(result);
        ++finished;
        switch (result.kind) {
          case BatchKind::Done:
            ++summary.done;
            break;
          case BatchKind::NotKnown:
            ++summary.not_known;
            break;
          case BatchKind::Failed:
            ++summary.failed;
            break;
        }
        if (result.fatal) {
          summary.fatal = true;
          stop.store(true);
        }
        draw_bar();
      }
      std::lock_guard<std::mutex> guard(lock);
      --workers_left;
      changed.notify_all();
    });
  }

  {
    std::unique_lock<std::mutex> guard(lock);
    draw_bar();
    bool told = false;
    while (workers_left > 0) {
      // Signals cannot wake a condition variable, so the wait looks at them every 100 ms.
      changed.wait_for(guard, std::chrono::milliseconds(100));
      const int count = signals.Count();
      if (count >= 1 && !told) {
        told = true;
        stop.store(true);
        const std::int64_t running = std::min<std::int64_t>(
            static_cast<std::int64_t>(workers_left),
            std::max<std::int64_t>(
                0, static_cast<std::int64_t>(std::min(next.load(), files.size())) - finished));
        clear_bar();
        if (running > 0)
          WriteAll(stderr, "Stopping: waiting for " + std::to_string(running) +
                               " running file(s); press Ctrl+C again to abandon them\n");
      }
      if (count >= 2 && !abandoned.load()) {
        abandoned.store(true);
        for (auto& worker : workers) worker->Interrupt();
      }
      // A worker that cannot be interrupted (a decoder busy with a long file) must not hold
      // the user hostage: a third signal ends the process at once.
      if (count >= 3) {
        clear_bar();
        std::_Exit(128 + signals.Signal());
      }
      if (progress) draw_bar();
    }
    clear_bar();
  }
  for (std::thread& t : threads) t.join();
  summary.not_done += total - finished;
  summary.seconds += seconds();
  if (summary.signal == 0 && signals.Count() > 0) summary.signal = signals.Signal();
}

}  // namespace mscli
