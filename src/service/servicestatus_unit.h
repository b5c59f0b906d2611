#pragma once
// What the running service tells the world about itself: a small JSON file
// ($XDG_RUNTIME_DIR/MelodySeeker/status.json) that `melodyseeker-cli status` and scripts read,
// and the service manager's notification socket when systemd started us (READY=1 once the cache
// is loaded, STATUS= the status line, STOPPING=1 at the end).
//
// The file is replaced as a whole (temporary file and rename) on every change, so a reader sees
// the old or the new state, never half of one. It names the process (pid), so a file left
// behind by a service that was killed is recognised as stale: ReadServiceStatus checks that the
// process still lives and runs a program of ours.
//
// Threads: TServiceStatusPublisher belongs to the main thread. The free functions are
// stateless and may run anywhere.

#include <cstdint>
#include <string>

enum class TServicePhase { Starting, Downloading, Ready, Failed, Stopping };

// "starting", "downloading", "ready", "failed", "stopping".
const char* ServicePhaseName(TServicePhase phase);

struct TServiceStatus {
  TServicePhase Phase = TServicePhase::Starting;
  std::string Text;    // the status line the download window shows
  std::string Reason;  // why the download failed (Failed only)
  // Download progress: file `FileIndex` (1-based) of `FileCount`, `Bytes` of `TotalBytes`.
  std::int32_t FileIndex = 0;
  std::int32_t FileCount = 0;
  std::int64_t Bytes = 0;
  std::int64_t TotalBytes = 0;
  std::int64_t RetryAt = 0;  // Unix time of the next download attempt; 0: none planned
  std::int32_t CacheFiles = 0;
  std::int64_t Records = 0;
  std::int32_t Clients = 0;
  std::int64_t Pid = 0;
  std::string Version;
  std::string DataDir;
  std::string Pipe;
  std::string Program;  // full path of the service's program file (its language override key)
  std::string Exe;      // the executable the process runs (/proc/self/exe), to tell it apart

  bool operator==(const TServiceStatus&) const = default;
};

// $XDG_RUNTIME_DIR/MelodySeeker, or /tmp/MelodySeeker-<uid> without a runtime directory.
std::string ServiceStatusDir();
std::string ServiceStatusFile();

std::string ServiceStatusToJson(const TServiceStatus& status);
// False for text that is not such a document.
bool ServiceStatusFromJson(const std::string& json, TServiceStatus& status);

// Reads the file of a running service. False when there is none, it cannot be read, or the
// process it names is gone (or is no MelodySeeker program any more).
bool ReadServiceStatus(TServiceStatus& status);

// Publishes each state of the service: the file, and the service manager when there is one.
class TServiceStatusPublisher {
 public:
  TServiceStatusPublisher();
  ~TServiceStatusPublisher();  // Withdraw()
  TServiceStatusPublisher(const TServiceStatusPublisher&) = delete;
  TServiceStatusPublisher& operator=(const TServiceStatusPublisher&) = delete;

  // Writes the file when anything changed; STATUS= when the text changed, READY=1 the first time
  // the phase is Ready, STOPPING=1 the first time it is Stopping.
  void Publish(const TServiceStatus& status);
  // Removes the file (when it is still ours); later Publish calls write nothing.
  void Withdraw();
  const TServiceStatus& Last() const { return FLast; }

 private:
  TServiceStatus FLast;
  bool FHaveLast = false;
  bool FReadySent = false;
  bool FStoppingSent = false;
  bool FWithdrawn = false;
};
