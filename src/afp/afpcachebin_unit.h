#pragma once
// Reader and writer of the fingerprint cache files "afp*.afpbin".
//
// A cache file is a plain run of records (0xF0, 16-bit LE body length L, items, 0xFF; L + 3
// bytes in all). TAfpCacheBin::Init opens every cache file of one directory, walks each record
// once, gives every complete record a global number (valid or not) and hands the valid ones of
// revision '5' and up to a callback; Get later reads single records back by global number.
// The writer side (afptoafpcacheentry, AppendAfpCacheRecord, TAfpCacheFileWriter) produces the
// same layout for the web client's upload and for the server's cache files.
//
// Ownership: TAfpCacheBin owns its open files; they stay open until it is destroyed.
// Thread safety: Init runs on one thread; Get, RecordCount and FileCount may be called from any
// thread at the same time, also while Init runs. FCriticalsection guards the file list and both
// indexes; the callback runs while it is held, so the callback must not call Get.
// Errors: Init raises EAfpCacheError with the user text; Get never raises.

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "afp/afpconst_unit.h"
#include "afp/bitstream7_unit.h"
#include "platform/thread_annotations.h"

struct TAfpCacheFileIndexItem {
  std::int64_t offset = 0;  // file position of the record's 0xF0
  std::int32_t len = 0;     // L + 3
};

struct TAfpCacheGlobIndexItem {
  std::int32_t fileindex = 0;  // position of the file in the list
  std::int32_t dsindex = 0;    // record number within that file
};

// fileindex, dsindex, dsglobindex, fguid, afp
using TAfpCacheCallback = std::function<void(std::int32_t, std::int32_t, std::int64_t,
                                             const std::string&, const RAFP&)>;

// One open cache file (read only); closes on destruction.
class TAfpCacheFile {
 public:
  TAfpCacheFile(std::string filename, int fd) : Filename(std::move(filename)), Ffd(fd) {}
  ~TAfpCacheFile();
  TAfpCacheFile(const TAfpCacheFile&) = delete;
  TAfpCacheFile& operator=(const TAfpCacheFile&) = delete;

  const std::string Filename;
  std::vector<TAfpCacheFileIndexItem> FileIndex;
  const int Ffd;
};

class TAfpCacheBin {
 public:
  static constexpr std::uint8_t kRecStart = 0xF0, kRecStop = 0xFF, kTagFguid = 0xF1,
                                kTagChar = 0xF2, kTagSeries = 0xF9;
  static constexpr std::size_t kFguidLen = 30;
  static constexpr std::size_t kChunkSize = 10 * 1024 * 1024;
  static constexpr std::size_t kRecordBufferSize = 102400;

  static const char* getAfpCacheFilesFilter() { return "afp*.afpbin"; }
  static std::int32_t GetAfpCacheBlockSize() { return 50000; }

  TAfpCacheBin() = default;
  ~TAfpCacheBin() = default;
  TAfpCacheBin(const TAfpCacheBin&) = delete;
  TAfpCacheBin& operator=(const TAfpCacheBin&) = delete;

  // Opens and indexes every cache file of the directory (sorted by name), calling
  // AfpCacheCallback for every valid record of revision '5' or higher. A missing directory
  // counts as empty. Raises EAfpCacheError on an unreadable or malformed file.
  void Init(const std::string& apfcachepath, TAfpCacheCallback AfpCacheCallback);
  // A running Init stops after the chunk it is working on.
  void Abort() { FbAbort.store(true); }

  // The FGUID (and fingerprint) of a global record; false for an unknown number, an unreadable
  // record or one that is invalid or older than revision '5'.
  bool Get(std::int64_t dsglobindex, std::string& fguid);
  bool Get(std::int64_t dsglobindex, std::string& fguid, RAFP& afp);

  std::int64_t RecordCount() const;  // records indexed so far (fdsglobindex)
  std::int32_t FileCount() const;
  std::int64_t HandedOut() const { return FHandedOut.load(); }  // records given to the callback

  // Decodes one record. Raises "Fehler beim Konvertieren des AFP Datensatzes:  afpds_start/stop"
  // when it does not begin with 0xF0 and end with 0xFF. Items that run past the record end
  // stop the reading. Returns whether the record is valid (FGUID, revision not '0', typ, both
  // series); afp.loaded says the same.
  static bool DecodeCacheRecord(std::span<const std::uint8_t> rec, std::string& fguid,
                                char16_t& rev, RAFP& afp);

  // Writes one record with an FGUID of 30 zero bytes at Stream's position, then sets the
  // stream's read and write positions to 0. Raises EAfpCacheError when a series has more than
  // 65535 values or the record would not fit the 16-bit length field.
  static void afptoafpcacheentry(char16_t rev, const RAFP& afp, std::iostream& Stream);

 private:
  void ReadCacheFile(std::int32_t f);
  bool ReadCacheRecord(std::int64_t dsglobindex, std::string& fguid, RAFP& afp);
  void StoreRecord(std::int32_t f, std::int64_t offset, std::span<const std::uint8_t> rec,
                   std::int32_t& dsindex);

  std::atomic<bool> FbAbort{false};
  std::atomic<std::int64_t> FHandedOut{0};
  mutable std::mutex FCriticalsection;
  std::vector<std::unique_ptr<TAfpCacheFile>> fAfpCacheFiles MS_GUARDED_BY(FCriticalsection);
  std::int64_t fdsglobindex MS_GUARDED_BY(FCriticalsection) = 0;
  std::vector<TAfpCacheGlobIndexItem> fAfpCacheGlobalIndex MS_GUARDED_BY(FCriticalsection);
  TAfpCacheCallback fAfpCacheCallback;
  // Scratch of the loader (one record decoded at a time, capacity reused).
  std::string FScratchGuid;
  RAFP FScratchAfp;
};

// Appends one record to `out`. fguid (at most 30 bytes, ANSI text) is padded with zero bytes.
// Raises EAfpCacheError for a longer FGUID, a series of more than 65535 values or a record
// longer than the 16-bit length field allows.
void AppendAfpCacheRecord(std::string_view fguid, char16_t rev, const RAFP& afp,
                          std::vector<std::uint8_t>& out);

// Writes a whole cache file of revision '6' records. The file appears under its name only when
// complete (written to "<path>.tmp", flushed, renamed), so a reader never sees half a file.
class TAfpCacheFileWriter {
 public:
  explicit TAfpCacheFileWriter(std::string path);
  ~TAfpCacheFileWriter();  // removes the temporary file when Commit was not reached
  TAfpCacheFileWriter(const TAfpCacheFileWriter&) = delete;
  TAfpCacheFileWriter& operator=(const TAfpCacheFileWriter&) = delete;

  // Raises EAfpCacheError like AppendAfpCacheRecord, or when the file cannot be written.
  void Add(std::string_view fguid, const RAFP& afp);
  void Commit();
  std::int64_t Records() const { return FRecords; }

 private:
  void Flush();
  std::string FPath, FTmpPath;
  int Ffd = -1;
  std::vector<std::uint8_t> FBuffer;
  std::int64_t FRecords = 0;
};
