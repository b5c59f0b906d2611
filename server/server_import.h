#pragma once
// `import`: fingerprints and tags of every audio file below some paths, stored as titles and
// fingerprints of the web service's database.
//
// Each file is fingerprinted the way the service does it (MP3 and WAV with the built-in
// decoders; other formats through ffmpeg as the external decoder in pipe mode) and its tags are
// read with the same two readers and rules as an identification, so imported titles carry the
// values a client would send for that file. Titles join by artist and title; a fingerprint that
// is already stored is counted as known and adds nothing.
//
// Runs `jobs` worker threads, each with its own generator and tag readers; the calling thread
// stores their results in file order, so the outcome never depends on which worker was faster.
// Progress goes to `progress` (a bar with count, rate and time left).

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "server_db.h"

struct ImportOptions {
  int jobs = 2;
  std::string ffmpeg;  // full path of ffmpeg for formats without a built-in decoder; may be empty
  bool tty = false;    // redraw one progress line instead of printing lines
};

struct ImportSummary {
  std::int64_t files = 0, imported = 0, new_titles = 0, joined = 0, known = 0, failed = 0;
  double seconds = 0;
  std::vector<std::pair<std::string, std::string>> failures;  // file, reason
};

// Every audio file (by extension) below the paths, sorted; a path may also name a file.
std::vector<std::string> FindAudioFiles(const std::vector<std::string>& paths,
                                        std::vector<std::string>& missing);

// The ffmpeg on PATH, else /usr/bin/ffmpeg when it exists, else empty.
std::string FindFfmpeg();

void ImportFiles(ServerDb& db, const std::vector<std::string>& files, const ImportOptions& options,
                 ImportSummary& summary, std::ostream& progress);
