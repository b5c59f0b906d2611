#include "afp/afpcomp_unit.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

namespace {

constexpr std::uint8_t kQuick = 1;   // quick row computed and published
constexpr std::uint8_t kLoaded = 2;  // full series present
constexpr std::uint8_t kValid = 4;   // afpvalidate of the present full series

// The part of a row the quick scan reads: 16 bytes, contiguous per chunk.
struct TAFPQuickRow {
  const std::uint8_t* fdata = nullptr;  // fn1 quick p1 values, then fn2 quick p2 values
  std::uint16_t fn1 = 0;
  std::uint16_t fn2 = 0;
  std::atomic<char16_t> ftyp{AFPTypNone};  // typ of the full row; stays when series drop
  std::atomic<std::uint8_t> fflags{0};
};

struct TAFPFullRow {
  std::shared_ptr<const RAFP> fseries;  // guarded by FCriticalsectionArr
  std::int32_t flocks = 0;              // guarded by FCriticalsectionArr
};

constexpr int kChunkBits = 14;
constexpr std::int32_t kChunkRows = 1 << kChunkBits;
// 134 million rows: far beyond any cache, and the chunk directory stays at 64 KiB.
constexpr std::int32_t kMaxRows = 1 << 27;
constexpr std::int32_t kMaxChunks = kMaxRows >> kChunkBits;

struct TAFPRowChunk {
  std::array<TAFPQuickRow, kChunkRows> quick;
  std::array<TAFPFullRow, kChunkRows> full;
};

bool ValidateSeries(const RAFP& afp) {
  std::int64_t mx = 0, mn = 2147483647;
  for (const RAFPValArray* s : {&afp.p1, &afp.p2}) {
    if (!s->empty()) {
      const auto [lo, hi] = std::minmax_element(s->begin(), s->end());
      mx = std::max<std::int64_t>(mx, *hi);
      mn = std::min<std::int64_t>(mn, *lo);
    }
    if (std::abs(mx - mn) < 20) return false;
  }
  return true;
}

// Round to nearest, ties to even, of num / den (den > 0, num >= 0).
std::int64_t RoundDiv(std::int64_t num, std::int64_t den) {
  const std::int64_t q = num / den, r = num % den;
  if (2 * r > den || (2 * r == den && (q & 1))) return q + 1;
  return q;
}

struct RCompOutcome {
  bool row1long = true;
  std::int32_t o1 = 0, o2 = 0, proz = 0;
  std::size_t lenL = 0;
};

// Steps 4 to 7 of the comparison on four series; false when a precondition stops it.
inline bool CompareSeries(std::span<const std::uint8_t> r1p1, std::span<const std::uint8_t> r1p2,
                          std::span<const std::uint8_t> r2p1, std::span<const std::uint8_t> r2p2,
                          bool durchschieben, std::int32_t tol, RCompOutcome& out) {
  out.row1long = r1p1.size() >= r2p1.size();
  const auto L1 = out.row1long ? r1p1 : r2p1, L2 = out.row1long ? r1p2 : r2p2;
  const auto S1 = out.row1long ? r2p1 : r1p1, S2 = out.row1long ? r2p2 : r1p2;
  if (L1.empty() || L2.empty() || S1.empty() || S2.empty()) return false;
  // (|L| - 1) * 0.9 > |S| - 1 (0.7 with shifting), in exact integers.
  const std::uint64_t factor = durchschieben ? 7 : 9;
  if ((L1.size() - 1) * factor > (S1.size() - 1) * 10) return false;
  const std::size_t last = durchschieben ? L1.size() - S1.size() : 0;
  const std::int64_t div = static_cast<std::int64_t>(S1.size());
  std::int64_t best1 = 0, best2 = 0;
  std::size_t o1 = 0, o2 = 0;
  for (std::size_t o = 0; o <= last; ++o) {
    const std::int64_t p1 = std::int64_t(TAFPComp::CountMatches(S1, L1, o, tol)) * 100 / div;
    const std::int64_t p2 = std::int64_t(TAFPComp::CountMatches(S2, L2, o, tol)) * 100 / div;
    if (p1 > best1) best1 = p1, o1 = o;
    if (p2 > best2) best2 = p2, o2 = o;
  }
  out.proz = static_cast<std::int32_t>((best1 + best2) / 2);
  out.o1 = static_cast<std::int32_t>(o1);
  out.o2 = static_cast<std::int32_t>(o2);
  out.lenL = L1.size();
  return true;
}

// Whether an unshifted comparison can still reach `required`: with P1 known, P2 is at most
// the share of S's p2 that lies inside L's p2. Rows that cannot are left out of the scan's
// hits either way; this only saves the second count for them.
inline bool UnshiftedCanReach(std::span<const std::uint8_t> r1p1, std::span<const std::uint8_t> r1p2,
                              std::span<const std::uint8_t> r2p1, std::span<const std::uint8_t> r2p2,
                              std::int32_t tol, std::int32_t required) {
  const bool row1long = r1p1.size() >= r2p1.size();
  const auto L1 = row1long ? r1p1 : r2p1, L2 = row1long ? r1p2 : r2p2;
  const auto S1 = row1long ? r2p1 : r1p1, S2 = row1long ? r2p2 : r1p2;
  if (L1.empty() || L2.empty() || S1.empty() || S2.empty()) return false;
  if ((L1.size() - 1) * 9 > (S1.size() - 1) * 10) return false;
  // floor(x) + floor(y) <= x + y: the division-free test only rejects rows that cannot reach.
  // The count of p1 stops as soon as the positions left cannot bring it to `need`.
  const std::int64_t s = static_cast<std::int64_t>(S1.size());
  const std::int64_t c2max = S2.size() <= L2.size() ? static_cast<std::int64_t>(S2.size()) : 0;
  const std::int64_t need = (2 * std::int64_t(required) * s + 99) / 100 - c2max;
  if (tol < 0) return need <= 0 && (c2max * 100 / s) / 2 >= required;
  std::int64_t c1 = 0;
  const std::uint8_t* a = S1.data();
  const std::uint8_t* b = L1.data();
  const std::size_t n = S1.size();
  const std::uint8_t t = static_cast<std::uint8_t>(std::min(tol, 255));
  std::size_t i = 0;
  for (; n - i >= 16; i += 16) {
    std::uint8_t lanes[16];
    for (int j = 0; j < 16; ++j) {
      const std::uint8_t x = a[i + j], y = b[i + j];
      lanes[j] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(x > y ? x - y : y - x) <= t);
    }
    for (int j = 0; j < 16; ++j) c1 += lanes[j];
    if (c1 + static_cast<std::int64_t>(n - i - 16) < need) return false;
  }
  for (; i < n; ++i) c1 += static_cast<std::uint8_t>(a[i] > b[i] ? a[i] - b[i] : b[i] - a[i]) <= t;
  if (c1 < need) return false;
  return (c1 * 100 / s + c2max * 100 / s) / 2 >= required;
}

std::int32_t Tolerance(char16_t typ) {
  return typ == AFPTypAudio ? 20 : typ == AFPTypImage ? 10 : -1;
}
std::int32_t Required(char16_t typ, std::int32_t audio, std::int32_t image) {
  return typ == AFPTypAudio ? audio : typ == AFPTypImage ? image : 100;
}

}  // namespace

// Rows in chunks that never move, plus the arena of quick values.
class TAFPRowStore {
 public:
  TAFPRowStore() : fchunks(new std::atomic<TAFPRowChunk*>[kMaxChunks]) {
    for (std::int32_t i = 0; i < kMaxChunks; ++i) fchunks[i].store(nullptr, std::memory_order_relaxed);
  }
  ~TAFPRowStore() {
    for (std::int32_t i = 0; i < kMaxChunks; ++i) delete fchunks[i].load();
  }
  TAFPRowStore(const TAFPRowStore&) = delete;
  TAFPRowStore& operator=(const TAFPRowStore&) = delete;

  std::int32_t Count() const { return fcount.load(std::memory_order_acquire); }
  bool Has(std::int32_t r) const { return r >= 0 && r < Count(); }
  TAFPQuickRow& Quick(std::int32_t r) const {
    return fchunks[r >> kChunkBits].load(std::memory_order_acquire)->quick[r & (kChunkRows - 1)];
  }
  TAFPFullRow& Full(std::int32_t r) const {
    return fchunks[r >> kChunkBits].load(std::memory_order_acquire)->full[r & (kChunkRows - 1)];
  }
  // Under the comparator's lock. Rows beyond the new count are emptied so a later append
  // starts from a clean row.
  void Resize(std::int32_t count) {
    const std::int32_t old = fcount.load();
    for (std::int32_t c = fallocated; c < count; c += kChunkRows) {
      fchunks[c >> kChunkBits].store(new TAFPRowChunk(), std::memory_order_release);
      fallocated += kChunkRows;
    }
    for (std::int32_t r = count; r < old; ++r) {
      Quick(r).fflags.store(0);
      Full(r).fseries.reset();
      Full(r).flocks = 0;
      Quick(r).ftyp.store(AFPTypNone);
    }
    fcount.store(count, std::memory_order_release);
  }
  // Under the comparator's lock; the bytes never move or change once published.
  std::uint8_t* Alloc(std::size_t n) {
    constexpr std::size_t kBlock = 4 << 20;
    if (n > kBlock) {
      fblocks.emplace_back(new std::uint8_t[n]);
      fbytes += n;
      return fblocks.back().get();
    }
    if (fblocks.empty() || kBlock - fused < n) {
      // Keep the big block last so its free tail stays in use.
      fblocks.emplace_back(new std::uint8_t[kBlock]);
      fused = 0;
    }
    std::uint8_t* p = fblocks.back().get() + fused;
    fused += n;
    fbytes += n;
    return p;
  }
  std::size_t Bytes() const { return fbytes; }

 private:
  std::unique_ptr<std::atomic<TAFPRowChunk*>[]> fchunks;
  std::atomic<std::int32_t> fcount{0};
  std::int32_t fallocated = 0;
  std::vector<std::unique_ptr<std::uint8_t[]>> fblocks;
  std::size_t fused = 0;
  std::size_t fbytes = 0;
};

namespace {

// Quick value k is the rounded mean of full values 22k .. 22k + 20; every 22nd value is left
// out and a last incomplete group is dropped.
void BuildQuickRow(TAFPRowStore& store, TAFPQuickRow& q, const RAFP& full) {
  const std::size_t a = full.p1.size(), b = full.p2.size();
  auto quicklen = [](std::size_t n) {
    const std::int64_t v = (static_cast<std::int64_t>(n) - 1) / AFPQuickGroup - 1;
    return static_cast<std::size_t>(std::clamp<std::int64_t>(v, 0, 65535));
  };
  const std::size_t n1 = quicklen(a), n2 = quicklen(b);
  std::uint8_t* data = store.Alloc(n1 + n2);
  std::memset(data, 0, n1 + n2);
  // Group k sums positions 22k .. 22k + 20 (of each series as far as it reaches) and is stored
  // when the walk gets to position 22k + 21, i.e. while that lies inside the longer series.
  const std::size_t m_end = std::max(a, b);
  constexpr std::size_t kStep = AFPQuickGroup + 2, kLen = AFPQuickGroup + 1;
  auto sum = [](const RAFPValArray& v, std::size_t from) {
    std::uint32_t s = 0;
    const std::size_t to = std::min(v.size(), from + kLen);
    for (std::size_t i = from; i < to; ++i) s += v[i];
    return s;
  };
  for (std::size_t k = 0; (k < n1 || k < n2) && k * kStep + kLen < m_end; ++k) {
    // The divisor is 21: odd, so nearest rounding never meets a tie.
    if (k < n1) data[k] = static_cast<std::uint8_t>(RoundDiv(sum(full.p1, k * kStep), kLen));
    if (k < n2) data[n1 + k] = static_cast<std::uint8_t>(RoundDiv(sum(full.p2, k * kStep), kLen));
  }
  q.fdata = data;
  q.fn1 = static_cast<std::uint16_t>(n1);
  q.fn2 = static_cast<std::uint16_t>(n2);
}

}  // namespace

TAFPComp::TAFPComp() {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  FStores.push_back(std::make_unique<TAFPRowStore>());
  FStore.store(FStores.back().get());
}

TAFPComp::~TAFPComp() {
  std::shared_ptr<TAfpCacheBin> cache = Cache();
  if (cache) cache->Abort();
}

std::shared_ptr<TAfpCacheBin> TAFPComp::Cache() const {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  return FAfpCache;
}

void TAFPComp::Abort() {
  FbAbort.store(true);
  if (auto cache = Cache()) cache->Abort();
}

std::int32_t TAFPComp::afpcompdata_rc() const { return FStore.load()->Count(); }

std::size_t TAFPComp::QuickBytes() const {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  return FStore.load()->Bytes();
}

void TAFPComp::SetupLocked(std::int32_t rc) {
  FFreeTempRows.clear();
  FStores.push_back(std::make_unique<TAFPRowStore>());
  if (rc > 0) FStores.back()->Resize(rc);
  FStore.store(FStores.back().get());
}

bool TAFPComp::afploadsetup(std::int32_t rc) {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  SetupLocked(std::min(rc, kMaxRows));
  return rc >= 1;
}

bool TAFPComp::loadfromafpcache(const std::string& dbPath, bool fullmemorymode) {
  FFullMemoryMode.store(fullmemorymode);
  auto cache = std::make_shared<TAfpCacheBin>();
  {
    std::lock_guard<std::mutex> lock(FCriticalsectionArr);
    FAfpCache = cache;
    FLoading = true;
  }
  auto finish = [this] {
    std::lock_guard<std::mutex> lock(FCriticalsectionArr);
    FLoading = false;
    FLoadDone.notify_all();
  };
  try {
    cache->Init(dbPath, [this](std::int32_t f, std::int32_t d, std::int64_t g, const std::string& id,
                               const RAFP& afp) { OnCacheRecord(f, d, g, id, afp); });
  } catch (...) {
    finish();
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(FCriticalsectionArr);
    const std::int32_t records = static_cast<std::int32_t>(
        std::min<std::int64_t>(cache->RecordCount(), kMaxRows));
    FStore.load()->Resize(records);
    Fafpcompdata_loaded.store(records);
  }
  finish();
  return true;
}

void TAFPComp::OnCacheRecord(std::int32_t, std::int32_t, std::int64_t dsglobindex,
                             const std::string&, const RAFP& afp) {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  if (FbAbort.load() || !FAfpCache) return;
  TAFPRowStore* store = FStore.load();
  if (store->Count() == 0) SetupLocked(TAfpCacheBin::GetAfpCacheBlockSize()), store = FStore.load();
  if (dsglobindex >= store->Count() &&
      store->Count() <= kMaxRows - TAfpCacheBin::GetAfpCacheBlockSize())
    store->Resize(store->Count() + TAfpCacheBin::GetAfpCacheBlockSize());
  if (dsglobindex >= store->Count()) return;
  if (afp.p1.size() > 60 && afp.p2.size() > 60)
    StoreRowLocked(static_cast<std::int32_t>(dsglobindex), afp, FFullMemoryMode.load());
}

std::int32_t TAFPComp::StoreRow(std::int32_t index, const RAFP& afp, bool keep) {
  std::unique_lock<std::mutex> lock(FCriticalsectionArr);
  // An append during a cache load would take the number of a record still to come.
  if (index < 0) FLoadDone.wait(lock, [this]() MS_REQUIRES(FCriticalsectionArr) { return !FLoading; });
  return StoreRowLocked(index, afp, keep);
}

std::int32_t TAFPComp::StoreRowLocked(std::int32_t index, const RAFP& afp, bool keep) {
  TAFPRowStore& store = *FStore.load();
  if (index < 0) {
    if (store.Count() >= kMaxRows) return -1;
    index = store.Count();
    store.Resize(index + 1);
  }
  if (!store.Has(index)) return index;
  TAFPQuickRow& q = store.Quick(index);
  TAFPFullRow& full = store.Full(index);
  std::uint8_t flags = q.fflags.load();
  if (!(flags & kLoaded)) {
    q.ftyp.store(afp.typ);
    if (keep) {
      auto series = std::make_shared<RAFP>();
      series->p1 = afp.p1;
      series->p2 = afp.p2;
      series->typ = afp.typ;
      series->loaded = true;
      full.fseries = std::move(series);
      flags |= kLoaded | (ValidateSeries(afp) ? kValid : 0);
      q.fflags.store(flags, std::memory_order_release);
    }
  }
  if (!(flags & kQuick)) {
    // Built from the series the row holds now (the new one unless the row was loaded before).
    BuildQuickRow(store, q, full.fseries ? *full.fseries : afp);
    flags |= kQuick;
    q.fflags.store(flags, std::memory_order_release);
  }
  if (!keep && (flags & kLoaded)) {
    // Lock counts stay: a thread holding the row keeps its own count.
    full.fseries.reset();
    q.fflags.store(flags & ~(kLoaded | kValid), std::memory_order_release);
  }
  return index;
}

std::int32_t TAFPComp::afpload(std::int32_t r, const RAFP& afp) { return StoreRow(r, afp, true); }

std::int32_t TAFPComp::afploadtemp(const RAFP& afp) {
  std::unique_lock<std::mutex> lock(FCriticalsectionArr);
  FLoadDone.wait(lock, [this]() MS_REQUIRES(FCriticalsectionArr) { return !FLoading; });
  if (FFreeTempRows.empty()) return StoreRowLocked(-1, afp, true);
  const std::int32_t r = FFreeTempRows.back();
  FFreeTempRows.pop_back();
  TAFPRowStore& store = *FStore.load();
  // Only this caller can reach the row now (other searches stop at the loaded rows), so its
  // quick values may be rebuilt; the old ones stay in the arena for any stale pointer.
  store.Quick(r).fflags.store(0, std::memory_order_release);
  return StoreRowLocked(r, afp, true);
}

void TAFPComp::afpreleasetemp(std::int32_t r) {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  TAFPRowStore& store = *FStore.load();
  if (!store.Has(r) || r < Fafpcompdata_loaded.load()) return;
  store.Full(r).fseries.reset();
  store.Quick(r).fflags.store(0, std::memory_order_release);
  FFreeTempRows.push_back(r);
}

bool TAFPComp::getafp(std::int32_t r, RAFP& afp) const {
  afp.Clear();
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  const TAFPRowStore& store = *FStore.load();
  if (!store.Has(r)) return false;
  const TAFPFullRow& full = store.Full(r);
  afp.typ = store.Quick(r).ftyp.load();
  afp.internalRefCount = full.flocks;
  if (full.fseries) {
    afp.p1 = full.fseries->p1;
    afp.p2 = full.fseries->p2;
    afp.loaded = true;
  }
  return afp.loaded;
}

bool TAFPComp::getafpquick(std::int32_t r, RAFP& afp) const {
  afp.Clear();
  const TAFPRowStore& store = *FStore.load();
  if (!store.Has(r)) return false;
  const TAFPQuickRow& q = store.Quick(r);
  if (!(q.fflags.load(std::memory_order_acquire) & kQuick)) return false;
  afp.p1.assign(q.fdata, q.fdata + q.fn1);
  afp.p2.assign(q.fdata + q.fn1, q.fdata + q.fn1 + q.fn2);
  afp.typ = q.ftyp.load();
  afp.loaded = true;
  return true;
}

void TAFPComp::afpLockRow(std::int32_t index) {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  TAFPRowStore& store = *FStore.load();
  if (store.Has(index)) ++store.Full(index).flocks;
}

void TAFPComp::afpUnlockRow(std::int32_t index) {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  TAFPRowStore& store = *FStore.load();
  if (!store.Has(index)) return;
  TAFPFullRow& full = store.Full(index);
  --full.flocks;
  if (full.flocks < 1 && !FFullMemoryMode.load()) {
    // Threads still comparing hold their own pointer; the series is freed after them.
    full.fseries.reset();
    TAFPQuickRow& q = store.Quick(index);
    q.fflags.store(q.fflags.load() & ~(kLoaded | kValid), std::memory_order_release);
    full.flocks = 0;
  }
}

std::int32_t TAFPComp::afpLocked(std::int32_t index) const {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  const TAFPRowStore& store = *FStore.load();
  return store.Has(index) ? store.Full(index).flocks : 0;
}

bool TAFPComp::afpcheck(std::int32_t r) const {
  const TAFPRowStore& store = *FStore.load();
  return store.Has(r) && (store.Quick(r).fflags.load(std::memory_order_acquire) & kQuick);
}

bool TAFPComp::afpvalidate(std::int32_t r) const {
  const TAFPRowStore& store = *FStore.load();
  if (!store.Has(r)) return false;
  // Without its series a row has empty p1 and p2, whose extremes (0 and 2147483647) pass.
  const std::uint8_t flags = store.Quick(r).fflags.load(std::memory_order_acquire);
  return !(flags & kLoaded) || (flags & kValid);
}

bool TAFPComp::getReference(std::int64_t index, std::string& ref) const {
  const std::shared_ptr<TAfpCacheBin> cache = Cache();
  ref.clear();
  return cache && cache->Get(index, ref);
}

std::shared_ptr<const RAFP> TAFPComp::FetchRow(std::int32_t r) {
  const std::shared_ptr<TAfpCacheBin> cache = Cache();
  if (!cache) return nullptr;
  std::string fguid;
  RAFP afp;
  if (!cache->Get(r, fguid, afp)) return nullptr;
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  TAFPRowStore& store = *FStore.load();
  if (!store.Has(r)) return nullptr;
  StoreRowLocked(r, afp, true);
  return store.Full(r).fseries;
}

std::int32_t TAFPComp::CountMatches(std::span<const std::uint8_t> A,
                                    std::span<const std::uint8_t> B, std::size_t offset,
                                    std::int32_t tolerance) {
  if (A.empty() || B.empty() || offset > B.size() || A.size() > B.size() - offset) return 0;
  if (tolerance < 0) return 0;
  const std::uint8_t* a = A.data();
  const std::uint8_t* b = B.data() + offset;
  const std::size_t n = A.size();
  if (tolerance >= 255) return static_cast<std::int32_t>(n);
  const std::uint8_t tol = static_cast<std::uint8_t>(tolerance);
  // Blocks of 16 bytes with one byte counter per lane: the inner loop has a fixed trip count
  // and no dependence between lanes, so the compiler turns it into SIMD even at -O2. A lane
  // counts at most 255 blocks before it is added up.
  std::int32_t count = 0;
  std::size_t i = 0;
  while (n - i >= 16) {
    std::uint8_t lanes[16] = {};
    const std::size_t blocks = std::min<std::size_t>((n - i) / 16, 255);
    for (std::size_t k = 0; k < blocks; ++k, i += 16) {
      for (int j = 0; j < 16; ++j) {
        const std::uint8_t x = a[i + j], y = b[i + j];
        const std::uint8_t d = static_cast<std::uint8_t>(x > y ? x - y : y - x);
        lanes[j] = static_cast<std::uint8_t>(lanes[j] + (d <= tol));
      }
    }
    for (int j = 0; j < 16; ++j) count += lanes[j];
  }
  for (; i < n; ++i) {
    const std::uint8_t d = static_cast<std::uint8_t>(a[i] > b[i] ? a[i] - b[i] : b[i] - a[i]);
    count += d <= tol;
  }
  return count;
}

bool TAFPComp::afpcomp(std::int32_t i1, std::int32_t i2, bool vortest, bool durchschieben,
                       std::int32_t minproz_audio, std::int32_t minproz_image,
                       std::string& vglinfo1, std::string& vglinfo2, std::int32_t& vglresofs,
                       std::int32_t& vglresproz) {
  vglresofs = 0;
  vglresproz = 0;
  vglinfo1.clear();
  vglinfo2.clear();
  const TAFPRowStore* store = FStore.load();
  if (!store->Has(i1) || !store->Has(i2)) return false;
  const char16_t typ = store->Quick(i1).ftyp.load();
  if (typ != store->Quick(i2).ftyp.load()) return false;
  const std::int32_t required = Required(typ, minproz_audio, minproz_image);
  const std::int32_t tol = Tolerance(typ);

  RCompOutcome out;
  bool compared = false;
  bool valid = false;
  if (vortest) {
    const TAFPQuickRow& q1 = store->Quick(i1);
    const TAFPQuickRow& q2 = store->Quick(i2);
    if (!(q1.fflags.load(std::memory_order_acquire) & kQuick) ||
        !(q2.fflags.load(std::memory_order_acquire) & kQuick))
      return false;
    compared = CompareSeries({q1.fdata, q1.fn1}, {q1.fdata + q1.fn1, q1.fn2}, {q2.fdata, q2.fn1},
                             {q2.fdata + q2.fn1, q2.fn2}, durchschieben, tol, out);
    valid = compared && afpvalidate(i1) && afpvalidate(i2);
  } else {
    // With full-memory mode off, cache rows are pinned for the comparison so that a series
    // fetched here is dropped again afterwards unless a caller holds the row. Each series is
    // taken as a pointer under the lock in the same step that finds or stores it, so a
    // concurrent last unlock cannot leave this comparison without it.
    const bool lean = !FFullMemoryMode.load();
    std::int32_t pinned[2] = {-1, -1};
    std::shared_ptr<const RAFP> series[2];
    const std::int32_t rows[2] = {i1, i2};
    for (int k = 0; k < 2; ++k) {
      const std::int32_t r = rows[k];
      {
        std::lock_guard<std::mutex> lock(FCriticalsectionArr);
        if (FStore.load() != store) break;
        if (lean && r != pinned[0] && (r < Fafpcompdata_loaded.load() || FLoading)) {
          ++store->Full(r).flocks;
          pinned[k] = r;
        }
        series[k] = store->Full(r).fseries;
      }
      if (!series[k] && lean) series[k] = FetchRow(r);
    }
    if (series[0] && series[1]) {
      compared = CompareSeries(series[0]->p1, series[0]->p2, series[1]->p1, series[1]->p2,
                               durchschieben, tol, out);
      valid = compared && ValidateSeries(*series[0]) && ValidateSeries(*series[1]);
    }
    for (std::int32_t r : pinned)
      if (r >= 0) afpUnlockRow(r);
  }
  if (!compared) return false;
  vglresproz = out.proz;
  const std::string pos =
      std::to_string(RoundDiv(std::int64_t(out.o1) * 100, static_cast<std::int64_t>(out.lenL))) + "%";
  const std::string small =
      std::to_string(out.proz) + "% Übereinstimmung durch kleineren Datei bei Position " + pos;
  const std::string large =
      std::to_string(out.proz) + "% Übereinstimmung in größeren Datei bei Position " + pos;
  vglinfo1 = out.row1long ? small : large;
  vglinfo2 = out.row1long ? large : small;
  vglresofs = out.row1long ? out.o1 : -out.o1;
  return out.proz >= required && std::abs(out.o1 - out.o2) < 10 && valid;
}

void TAFPComp::afpquickscan(std::int32_t r, std::int32_t first, std::int32_t last,
                            bool durchschieben, std::int32_t minproz_audio,
                            std::int32_t minproz_image, std::vector<RAFPQuickHit>& hits) const {
  hits.clear();
  const TAFPRowStore& store = *FStore.load();
  if (!store.Has(r) || !afpcheck(r) || !afpvalidate(r)) return;
  const TAFPQuickRow& qr = store.Quick(r);
  const char16_t typ = qr.ftyp.load();
  const std::int32_t required = Required(typ, minproz_audio, minproz_image);
  const std::int32_t tol = Tolerance(typ);
  const std::span<const std::uint8_t> a1(qr.fdata, qr.fn1), a2(qr.fdata + qr.fn1, qr.fn2);
  last = std::min(last, store.Count());
  RCompOutcome out;
  for (std::int32_t x = std::max(first, 0); x < last;) {
    // One chunk at a time: the rows of a chunk are contiguous.
    const std::int32_t chunk_end = std::min(last, (x | (kChunkRows - 1)) + 1);
    const TAFPQuickRow* row = &store.Quick(x);
    for (; x < chunk_end; ++x, ++row) {
      const std::uint8_t flags = row->fflags.load(std::memory_order_acquire);
      if (!(flags & kQuick)) continue;
      // Quick values lie in row order in the arena: ask for the bytes a few rows ahead now,
      // so that they are in the cache when those rows get compared (a hint, never a fault).
      __builtin_prefetch(row->fdata + 768);
      if (row->ftyp.load(std::memory_order_relaxed) != typ) continue;
      if (!durchschieben && !UnshiftedCanReach(a1, a2, {row->fdata, row->fn1},
                                               {row->fdata + row->fn1, row->fn2}, tol, required))
        continue;
      if (!CompareSeries(a1, a2, {row->fdata, row->fn1}, {row->fdata + row->fn1, row->fn2},
                         durchschieben, tol, out))
        continue;
      if (out.proz >= required && std::abs(out.o1 - out.o2) < 10 &&
          (!(flags & kLoaded) || (flags & kValid)))
        hits.push_back({x, out.proz, out.row1long ? out.o1 : -out.o1});
    }
  }
}
