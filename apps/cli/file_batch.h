#pragma once
// Many media files in one run, for the subcommands that take a whole library (identify,
// fingerprint): the list of files from arguments, directory trees and standard input, and a run
// over that list with N workers in parallel, a progress bar on a terminal and a summary.
//
// Output: each file's record is printed whole, under one lock, in the order the workers finish,
// so records of parallel workers never interleave and a pipe sees complete lines at all times.
// The progress bar and the summary go to standard error, so standard output carries nothing but
// the records.
//
// Stopping: TBatchSignals catches SIGINT and SIGTERM for its lifetime. The first signal stops
// handing out files; files already running finish and are printed. A second signal abandons
// them (BatchWorker::Interrupt); they count as not done.
//
// Threads: RunBatch calls each worker's Process on one thread of its own; Interrupt comes from
// the thread that called RunBatch while Process may be running.

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mscli {

// Whether a directory walk hands `name` to the service: the audio types it can fingerprint
// (MIDI files and images it refuses are left out).
bool IsLibraryFile(std::string_view name);

struct BatchFiles {
  std::vector<std::string> files;  // in the order given and walked, each file once
  // Names that could not be used (a directory without -r, an unreadable directory, unreadable
  // standard input), with the reason.
  std::vector<std::pair<std::string, std::string>> failures;
  std::int64_t skipped = 0;  // files in walked directories of a type the service does not take
};

// Signal counter for one run; installs the handlers on creation and restores the old ones.
class TBatchSignals {
 public:
  TBatchSignals();
  ~TBatchSignals();
  TBatchSignals(const TBatchSignals&) = delete;
  TBatchSignals& operator=(const TBatchSignals&) = delete;
  int Count() const;
  int Signal() const;  // the first signal caught, 0 before
};

// Expands `args`: "-" reads names from `in` (NUL-separated with `null_separated`, else one a
// line; empty names are ignored), which are taken like arguments. A directory is walked with
// `recursive` (entries sorted by name, symbolic links to directories not followed) and is a
// failure without it. Any other name is taken as it is: whoever processes it reports a missing
// file. The walk stops early once `signals` counts one.
BatchFiles CollectFiles(const std::vector<std::string>& args, bool recursive, bool null_separated,
                        std::istream& in, const TBatchSignals& signals);

enum class BatchKind { Done, NotKnown, Failed };

struct BatchResult {
  BatchKind kind = BatchKind::Failed;
  std::string out;     // the record for standard output (complete lines)
  std::string err;     // text for standard error (complete lines), may be empty
  bool fatal = false;  // the run cannot go on (the service went away); no further files start
};

class BatchWorker {
 public:
  virtual ~BatchWorker() = default;
  virtual BatchResult Process(const std::string& file) = 0;
  // Makes a running Process return soon; its result is dropped.
  virtual void Interrupt() {}
};

struct BatchSummary {
  std::int64_t done = 0, not_known = 0, failed = 0, skipped = 0, not_done = 0;
  double seconds = 0;
  int signal = 0;      // the signal that stopped the run, 0 when it ran to its end
  bool fatal = false;  // a worker reported that the run cannot go on
};

// Runs every file through one of `workers` (at least one), printing records and, with
// `progress`, a bar on standard error. Adds to `summary`.
void RunBatch(const std::vector<std::string>& files,
              std::vector<std::unique_ptr<BatchWorker>>& workers, bool progress,
              const TBatchSignals& signals, BatchSummary& summary);

// Prints one record outside RunBatch (local failures before the run).
void PrintRecord(const BatchResult& result);

// The bar's text for a line of `width` columns.
std::string ProgressText(std::int64_t done, std::int64_t total, double seconds, int width);

// The summary as one line of text, or (json) as {"summary":{...}}. `done_label` names the
// successful files ("identified", "fingerprinted"); `not_known` is left out when false.
std::string SummaryText(const BatchSummary& summary, std::string_view done_label,
                        bool with_not_known, bool json);

// Exit code: 0 all done, 1 any failure, 2 run stopped because the service went away,
// 128 + signal when stopped by a signal.
int BatchExitCode(const BatchSummary& summary);

// -r, -0, -j N and --no-progress for a subcommand; `jobs_what` completes "-j N: N ...".
void AddBatchOptions(CLI::App& sub, bool& recursive, bool& null_separated, int& jobs,
                     bool& no_progress, const std::string& jobs_what);

// The processors this process may run on (at least 1).
int DefaultJobs();

// Whether the progress bar belongs on standard error (a terminal).
bool StderrIsTerminal();

}  // namespace mscli
