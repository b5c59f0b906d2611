#include "server_import.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

#include "afp/afpdecode_unit.h"
#include "afp/filetype_unit.h"
#include "tags/tag_advanced_unit.h"
#include "tags/tag_simple_unit.h"

namespace fs = std::filesystem;

namespace {

bool IsAudio(const std::string& name) {
  for (std::string_view list : {ExtWAV, ExtMP2, ExtMP3, ExtOGG, ExtAAC, ExtAIFF, ExtFLAC, ExtWMA}) {
    if (IsFileType(name, list)) return true;
  }
  return false;
}

bool BuiltIn(const std::string& name) {
  return IsFileType(name, ExtMP3) || IsFileType(name, ExtWAV);
}

std::string_view TrimBlanks(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::int32_t TagNumber(std::string_view text) {
  text = TrimBlanks(text);
  std::int32_t v = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  return (ec == std::errc() && ptr == text.data() + text.size() && v > 0) ? v : 0;
}

// The identification's rules: ID3v1 first, the other formats' values replace them field by
// field; a text counts when it is not blank.
TitleTags ReadTags(TSimpleTag& simple, TAdvancedTag* advanced, const std::string& file) {
  TitleTags t;
  // A zero character ends a text: some writers pad with them, and XML answers cannot carry it.
  const auto text = [](std::string& to, const std::string& from) {
    const std::string cut = from.substr(0, from.find('\0'));
    if (!TrimBlanks(cut).empty()) to = cut;
  };
  const auto number = [](std::int32_t& to, const std::string& from) {
    if (!TrimBlanks(from).empty()) to = TagNumber(from);
  };
  if (simple.loadfromfile(file) && simple.tagPresent()) {
    text(t.title, simple.Title());
    text(t.artist, simple.Artist());
    text(t.album, simple.Album());
    text(t.genre, simple.genre());
    number(t.track, simple.Track());
    number(t.year, simple.Year());
  }
  if (advanced != nullptr && advanced->loadfromfile(file, false) && advanced->TagPresent()) {
    text(t.title, advanced->Title());
    text(t.artist, advanced->Artist());
    text(t.album, advanced->Album());
    text(t.genre, advanced->Genre());
    number(t.track, advanced->Track());
    number(t.year, advanced->Year());
    number(t.bpm, advanced->Bpm());
    t.synpos = advanced->v_synchpos();
  }
  return t;
}

std::string Clock(double seconds) {
  const auto s = static_cast<long>(seconds + 0.5);
  std::ostringstream out;
  if (s >= 3600)
    out << s / 3600 << ':' << std::setw(2) << std::setfill('0') << (s / 60) % 60;
  else
    out << s / 60;
  out << ':' << std::setw(2) << std::setfill('0') << s % 60;
  return out.str();
}

}  // namespace

std::vector<std::string> FindAudioFiles(const std::vector<std::string>& paths,
                                        std::vector<std::string>& missing) {
  std::vector<std::string> files;
  for (const std::string& path : paths) {
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) {
      if (IsAudio(path)) files.push_back(path);
      continue;
    }
    if (!fs::is_directory(path, ec)) {
      missing.push_back(path);
      continue;
    }
    for (auto it = fs::recursive_directory_iterator(
             path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code fec;
      if (it->is_regular_file(fec) && IsAudio(it->path().string())) {
        files.push_back(it->path().string());
      }
    }
  }
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  return files;
}

std::string FindFfmpeg() {
  if (const char* path = std::getenv("PATH")) {
    std::string_view rest(path);
    while (!rest.empty()) {
      const auto colon = rest.find(':');
      const std::string dir(rest.substr(0, colon));
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
      if (dir.empty()) continue;
      const std::string candidate = dir + "/ffmpeg";
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return ::access("/usr/bin/ffmpeg", X_OK) == 0 ? "/usr/bin/ffmpeg" : "";
}

void ImportFiles(ServerDb& db, const std::vector<std::string>& files, const ImportOptions& options,
                 ImportSummary& summary, std::ostream& progress) {
  summary = ImportSummary{};
  summary.files = static_cast<std::int64_t>(files.size());
  const auto start = std::chrono::steady_clock::now();

  // Workers fingerprint and read tags in parallel; the results are stored in file order, so
  // which file of a title comes first (and so the title's own values) never depends on timing.
  struct Slot {
    bool ready = false;
    std::string error;  // empty: afp and tags are usable
    RAFP afp;
    TitleTags tags;
  };
  std::vector<Slot> slots(files.size());
  std::mutex lock;  // guards the slots' `ready` and their contents until ready
  std::condition_variable ready_cv;
  std::atomic<std::size_t> next{0};

  const auto worker = [&] {
    TAFPDecoder generator;
    TSimpleTag simple;
    std::unique_ptr<TAdvancedTag> advanced;
    try {
      advanced = std::make_unique<TAdvancedTag>();
    } catch (const std::exception&) {
      // Without the multi-format reader the ID3v1 values still count.
    }
    if (!options.ffmpeg.empty()) {
      generator.SetExtDecodercmd("\"" + options.ffmpeg +
                                 "\" -loglevel quiet -i \"%i\" -f wav -fs 50000000 -y \"%o\"");
      generator.SetExtDecoderPipeOutParam("pipe:1");
    }
    for (std::size_t i = next++; i < files.size(); i = next++) {
      const std::string& file = files[i];
      Slot result;
      try {
        if (!BuiltIn(file) && options.ffmpeg.empty()) {
          result.error = "this format needs ffmpeg, which was not found";
        } else {
          generator.SetDecodertype(BuiltIn(file) ? dtACM : dtExtPipe);
          if (!generator.AFPDecode(file, result.afp) || !result.afp.loaded ||
              result.afp.p1.empty()) {
            result.error = "no fingerprint: " + (generator.lasterror().empty()
                                                     ? std::string("unsupported file")
                                                     : generator.lasterror());
          } else {
            result.tags = ReadTags(simple, advanced.get(), file);
          }
        }
      } catch (const std::exception& e) {
        result.error = e.what();
      }
      {
        std::lock_guard guard(lock);
        slots[i] = std::move(result);
        slots[i].ready = true;
      }
      ready_cv.notify_all();
    }
  };

  const int jobs = std::clamp(options.jobs, 1, 64);
  std::vector<std::thread> threads;
  for (int j = 0; j < jobs; ++j) threads.emplace_back(worker);

  std::int64_t done = 0;
  const auto show = [&](bool last) {
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = secs > 0 ? done * 60.0 / secs : 0;
    std::ostringstream line;
    constexpr int kWidth = 30;
    const int filled = summary.files > 0 ? static_cast<int>(done * kWidth / summary.files) : kWidth;
    line << '[' << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << done
         << '/' << summary.files << "  " << std::fixed << std::setprecision(1) << rate
         << " tracks/min";
    if (done > 0 && done < summary.files) {
      line << "  about " << Clock((summary.files - done) * secs / done) << " left";
    } else {
      line << "  " << Clock(secs) << " elapsed";
    }
    if (options.tty) {
      progress << '\r' << line.str() << "\033[K" << (last ? "\n" : "") << std::flush;
    } else {
      progress << line.str() << '\n' << std::flush;
    }
  };

  auto last_shown = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < files.size(); ++i) {
    Slot slot;
    {
      std::unique_lock guard(lock);
      while (!slots[i].ready) {
        ready_cv.wait_for(guard, std::chrono::milliseconds(200));
        const auto now = std::chrono::steady_clock::now();
        if (options.tty || now - last_shown >= std::chrono::seconds(5)) {
          guard.unlock();
          show(false);
          guard.lock();
          last_shown = now;
        }
      }
      slot = std::move(slots[i]);
      slots[i] = Slot{};
      slots[i].ready = true;
    }
    if (slot.error.empty()) {
      AddResult added;
      const ServerStatus st = db.AddFingerprint(slot.afp, slot.tags, added);
      if (!st.ok()) {
        slot.error = st.message;
      } else if (added.known_fingerprint) {
        ++summary.known;
      } else {
        ++summary.imported;
        ++(added.new_title ? summary.new_titles : summary.joined);
      }
    }
    if (!slot.error.empty()) {
      ++summary.failed;
      summary.failures.emplace_back(files[i], slot.error);
    }
    ++done;
  }
  for (auto& t : threads) t.join();
  show(true);
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
