#pragma once
// The fingerprint store and comparator: one numbered row per fingerprint of the cache, plus the
// rows the identification appends, each with a condensed quick row for the pre-test.
//
// Row number r is the cache's global record number; appended rows lie beyond the loaded ones.
// Storage is built for millions of rows that are read while others are added:
// - rows live in fixed-size chunks that never move; the row count is published atomically, so
//   readers need no lock to reach a row while rows are appended or grown;
// - the quick scan reads, per chunk, one 32-bit head per row (flags, kind, number of quick p1
//   values) side by side, so that rows of another kind or a length the comparison rejects cost
//   4 bytes; the quick p1 values of a row lie in a fixed 64-byte block of the chunk (longer
//   ones, and all p2 values, in an append-only arena). Quick values never change once their
//   head publishes them, so the scan (afpquickscan, afpcomp with vortest) takes no lock;
// - a full series is held through a shared pointer: a comparison copies the pointer under
//   FCriticalsectionArr and keeps the series alive even when the row's last lock drops it.
// With full-memory mode off, cache rows keep only their quick rows (about 40 bytes of row data
// plus the quick values); afpcomp fetches a full series from the cache file on demand and drops
// it again at the row's last unlock.
//
// Ownership: TAFPComp owns its cache reader and all rows. afploadsetup retires the old rows
// instead of freeing them, so a concurrent reader never touches freed memory; they are freed
// with the comparator.
// Thread safety: every public call may run on any thread. FCriticalsectionArr guards row
// stores, growth, setup and lock counts. Appending (afpload with -1) waits while
// loadfromafpcache runs, so appended rows never take a cache record's number.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "afp/afpcachebin_unit.h"
#include "afp/afpconst_unit.h"
#include "platform/thread_annotations.h"

class TAFPRowStore;

// One quick hit of afpquickscan: what afpcomp(r, row, vortest true, ...) returns for it.
struct RAFPQuickHit {
  std::int32_t row = 0;
  std::int32_t vglresproz = 0;
  std::int32_t vglresofs = 0;
};

class TAFPComp {
 public:
  TAFPComp();
  ~TAFPComp();
  TAFPComp(const TAFPComp&) = delete;
  TAFPComp& operator=(const TAFPComp&) = delete;

  // Loads every cache file of dbPath; raises EAfpCacheError from the cache reader.
  bool loadfromafpcache(const std::string& dbPath, bool fullmemorymode);
  void Abort();

  bool afploadsetup(std::int32_t rc);
  // Stores afp into row r (kept in memory); r = -1 appends and returns the new number.
  std::int32_t afpload(std::int32_t r, const RAFP& afp);
  bool getafp(std::int32_t r, RAFP& afp) const;
  // Rows for one comparison at a time (the identification's row for the file): afploadtemp
  // stores afp in a row handed back earlier, or appends one; afpreleasetemp drops the row's
  // series and hands it back. A long run then holds as many such rows as requests ran at
  // once, plus their quick values (about n/10 bytes per use), instead of one full row per
  // request. REQUIRES: the row is not locked when released; only rows from afploadtemp.
  std::int32_t afploadtemp(const RAFP& afp);
  void afpreleasetemp(std::int32_t r);
  // The quick row r (quick p1, p2 and typ); false while it is not computed.
  bool getafpquick(std::int32_t r, RAFP& afp) const;

  // Row lock counts; out-of-range numbers are ignored (afpLocked gives 0).
  void afpLockRow(std::int32_t index);
  void afpUnlockRow(std::int32_t index);
  std::int32_t afpLocked(std::int32_t index) const;

  bool afpcheck(std::int32_t r) const;  // quick row computed (false out of range)
  bool getReference(std::int64_t index, std::string& ref) const;
  bool afpvalidate(std::int32_t r) const;  // false out of range

  // Compares row 1 with row 2; see the class comment for what is read without the lock.
  bool afpcomp(std::int32_t afpcompdataindex1, std::int32_t afpcompdataindex2, bool vortest,
               bool durchschieben, std::int32_t minproz_audio, std::int32_t minproz_image,
               std::string& vglinfo1, std::string& vglinfo2, std::int32_t& vglresofs,
               std::int32_t& vglresproz);

  // The quick pre-test of row r against every row in [first, last): fills `hits` with the rows
  // for which afpcomp(r, row, vortest true, durchschieben, ...) is true, with its percentage
  // and offset, without building texts, taking a lock or allocating per row.
  void afpquickscan(std::int32_t r, std::int32_t first, std::int32_t last, bool durchschieben,
                    std::int32_t minproz_audio, std::int32_t minproz_image,
                    std::vector<RAFPQuickHit>& hits) const;

  std::int32_t afpcompdata_loaded() const { return Fafpcompdata_loaded.load(); }
  std::int32_t afpcompdata_rc() const;
  bool FullMemoryMode() const { return FFullMemoryMode.load(); }
  // The cache reader of the last loadfromafpcache (null before).
  std::shared_ptr<const TAfpCacheBin> afpcache() const { return Cache(); }
  // Bytes held by quick values (for memory statistics).
  std::size_t QuickBytes() const;

  // Positions i of A with B[offset+i] - tolerance <= A[i] <= B[offset+i] + tolerance; 0 when
  // either is empty or A at offset runs past the end of B.
  static std::int32_t CountMatches(std::span<const std::uint8_t> A, std::span<const std::uint8_t> B,
                                   std::size_t offset, std::int32_t tolerance);

 private:
  void OnCacheRecord(std::int32_t fileindex, std::int32_t dsindex, std::int64_t dsglobindex,
                     const std::string& fguid, const RAFP& afp);
  std::int32_t StoreRow(std::int32_t index, const RAFP& afp, bool keep);
  std::int32_t StoreRowLocked(std::int32_t index, const RAFP& afp, bool keep)
      MS_REQUIRES(FCriticalsectionArr);
  void SetupLocked(std::int32_t rc) MS_REQUIRES(FCriticalsectionArr);
  // Reads row r from the cache file into its full row; the stored series, or null.
  std::shared_ptr<const RAFP> FetchRow(std::int32_t r);
  std::shared_ptr<TAfpCacheBin> Cache() const;

  std::atomic<bool> FbAbort{false};
  mutable std::mutex FCriticalsectionArr;
  std::condition_variable FLoadDone;
  bool FLoading MS_GUARDED_BY(FCriticalsectionArr) = false;
  std::atomic<bool> FFullMemoryMode{true};
  std::atomic<std::int32_t> Fafpcompdata_loaded{0};
  // Current rows; replaced (never freed while the comparator lives) by afploadsetup.
  std::atomic<TAFPRowStore*> FStore{nullptr};
  std::vector<std::unique_ptr<TAFPRowStore>> FStores MS_GUARDED_BY(FCriticalsectionArr);
  std::shared_ptr<TAfpCacheBin> FAfpCache MS_GUARDED_BY(FCriticalsectionArr);
  // Rows handed back by afpreleasetemp (of the current store).
  std::vector<std::int32_t> FFreeTempRows MS_GUARDED_BY(FCriticalsectionArr);
};
