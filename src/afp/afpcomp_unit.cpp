#include "afp/afpcomp_unit.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

namespace {

constexpr std::uint8_t kQuick = 1;   // quick row computed and published
constexpr std::uint8_t kLoaded = 2;  // full series present
constexpr std::uint8_t kValid = 4;   // afpvalidate of the present full series

// The quick scan reads one 32-bit head per row, all heads of a chunk side by side:
// flags << 24 | kind << 16 | number of quick p1 values. Most rows fail on the head alone (kind
// or length), so the scan walks 4 bytes per row instead of the row's values.
constexpr int kFlagsShift = 24;
constexpr int kKindShift = 16;
constexpr std::uint32_t kLengthMask = 0xFFFF;
// Kinds the scan can match: any other typ needs 100 % with no tolerance, which no value meets.
constexpr std::uint32_t kKindOther = 0, kKindAudio = 1, kKindImage = 2;

std::uint32_t KindOf(char16_t typ) {
  return typ == AFPTypAudio ? kKindAudio : typ == AFPTypImage ? kKindImage : kKindOther;
}
std::uint8_t FlagsOf(std::uint32_t head) { return static_cast<std::uint8_t>(head >> kFlagsShift); }

// Quick p1 values of up to this many lie in the row's fixed block (one cache line, in row order
// in the chunk), so the scan finds them without reading a pointer first. That covers titles up
// to about six minutes; longer ones keep p1 beside p2 in the arena.
constexpr std::size_t kQuickBlock = 64;

struct TAFPFullRow {
  std::shared_ptr<const RAFP> fseries;  // guarded by FCriticalsectionArr
  std::int32_t flocks = 0;              // guarded by FCriticalsectionArr
};

constexpr int kChunkBits = 14;
constexpr std::int32_t kChunkRows = 1 << kChunkBits;
// 134 million rows: far beyond any cache, and the chunk directory stays at 64 KiB.
constexpr std::int32_t kMaxRows = 1 << 27;
constexpr std::int32_t kMaxChunks = kMaxRows >> kChunkBits;

// Each array holds one field of every row of the chunk. Quick values are written before the
// head that publishes them (release) and never change while the head says they are there.
struct TAFPRowChunk {
  TAFPRowChunk() : fblockmem(new std::uint8_t[kChunkRows * kQuickBlock + 63]) {
    // Left uninitialised: pages of rows without quick values are never touched.
    const auto at = reinterpret_cast<std::uintptr_t>(fblockmem.get());
    fblocks = fblockmem.get() + ((64 - at % 64) % 64);
    for (auto& t : ftyp) t.store(AFPTypNone, std::memory_order_relaxed);
  }
  std::array<std::atomic<std::uint32_t>, kChunkRows> fhead{};
  std::array<std::atomic<char16_t>, kChunkRows>
      ftyp;                                     // typ of the full row; stays when series drop
  std::array<std::uint16_t, kChunkRows> fn2{};  // number of quick p2 values
  // Arena bytes: the quick p2 values, or (p1 beyond the block) quick p1 and then p2.
  std::array<const std::uint8_t*, kChunkRows> fext{};
  std::array<TAFPFullRow, kChunkRows> full;
  std::unique_ptr<std::uint8_t[]> fblockmem;
  std::uint8_t* fblocks = nullptr;  // kQuickBlock bytes per row, 64-byte aligned
};

// The quick series of a row as the comparison reads them.
struct TQuickSpans {
  std::span<const std::uint8_t> p1, p2;
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
inline bool UnshiftedCanReach(std::span<const std::uint8_t> r1p1,
                              std::span<const std::uint8_t> r1p2,
                              std::span<const std::uint8_t> r2p1,
                              std::span<const std::uint8_t> r2p2, std::int32_t tol,
                              std::int32_t required) {
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

// 16 lanes of bytes; GCC and clang turn the operations into SIMD instructions of the target.
typedef std::uint8_t TV16 __attribute__((vector_size(16)));

inline TV16 Load16(const std::uint8_t* p) {
  TV16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Sum of 16 lanes of at most 31 each.
inline std::int64_t SumOnes(TV16 ones) {
  std::uint64_t lo, hi;
  std::memcpy(&lo, &ones, 8);
  std::memcpy(&hi, reinterpret_cast<const std::uint8_t*>(&ones) + 8, 8);
  constexpr std::uint64_t kBytes = 0x0101010101010101ull;
  return static_cast<std::int64_t>(((lo * kBytes) >> 56) + ((hi * kBytes) >> 56));
}

// 1 in every lane where |a - b| <= t.
inline TV16 Within(TV16 a, TV16 b, TV16 t) {
  const TV16 greater = reinterpret_cast<TV16>(a > b);
  const TV16 d = ((a - b) & greater) | ((b - a) & ~greater);
  return reinterpret_cast<TV16>(d <= t) & 1;
}

// Matches of the first s quick p1 values (s <= 64) of a candidate's fixed block with the query's
// `qp1` (at least 64 readable bytes): always the whole block, lanes from s on masked out, so
// the count takes no branch at all.
inline std::int64_t CountBlock(const std::uint8_t* qp1, const std::uint8_t* block, std::size_t s,
                               TV16 t) {
  static constexpr TV16 kLane = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  const TV16 end = TV16{} + static_cast<std::uint8_t>(s);
  TV16 acc = {};
  for (std::uint8_t j = 0; j < kQuickBlock; j += 16) {
    const TV16 keep = reinterpret_cast<TV16>(kLane + j < end) & 1;
    acc += Within(Load16(qp1 + j), Load16(block + j), t) & keep;
  }
  return SumOnes(acc);  // each lane counted at most 4, so the byte sums cannot overflow
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
    for (std::int32_t i = 0; i < kMaxChunks; ++i)
      fchunks[i].store(nullptr, std::memory_order_relaxed);
  }
  ~TAFPRowStore() {
    for (std::int32_t i = 0; i < kMaxChunks; ++i) delete fchunks[i].load();
  }
  TAFPRowStore(const TAFPRowStore&) = delete;
  TAFPRowStore& operator=(const TAFPRowStore&) = delete;

  std::int32_t Count() const { return fcount.load(std::memory_order_acquire); }
  bool Has(std::int32_t r) const { return r >= 0 && r < Count(); }
  TAFPRowChunk& Chunk(std::int32_t r) const {
    return *fchunks[r >> kChunkBits].load(std::memory_order_acquire);
  }
  static std::int32_t Slot(std::int32_t r) { return r & (kChunkRows - 1); }
  std::atomic<std::uint32_t>& Head(std::int32_t r) const { return Chunk(r).fhead[Slot(r)]; }
  std::atomic<char16_t>& Typ(std::int32_t r) const { return Chunk(r).ftyp[Slot(r)]; }
  TAFPFullRow& Full(std::int32_t r) const { return Chunk(r).full[Slot(r)]; }
  std::uint8_t Flags(std::int32_t r) const {
    return FlagsOf(Head(r).load(std::memory_order_acquire));
  }
  // Under the comparator's lock: replaces the flags, keeps kind and length.
  void SetFlags(std::int32_t r, std::uint8_t flags) const {
    std::atomic<std::uint32_t>& head = Head(r);
    head.store((head.load(std::memory_order_relaxed) & ((1u << kFlagsShift) - 1)) |
                   (std::uint32_t{flags} << kFlagsShift),
               std::memory_order_release);
  }
  // REQUIRES: the row's quick values are published (kQuick).
  static TQuickSpans Spans(const TAFPRowChunk& c, std::int32_t slot, std::uint32_t head) {
    const std::size_t n1 = head & kLengthMask, n2 = c.fn2[slot];
    const std::uint8_t* ext = c.fext[slot];
    if (n1 <= kQuickBlock)
      return {{c.fblocks + static_cast<std::size_t>(slot) * kQuickBlock, n1}, {ext, n2}};
    return {{ext, n1}, {ext + n1, n2}};
  }
  TQuickSpans Spans(std::int32_t r) const {
    return Spans(Chunk(r), Slot(r), Head(r).load(std::memory_order_acquire));
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
      Head(r).store(0);
      Full(r).fseries.reset();
      Full(r).flocks = 0;
      Typ(r).store(AFPTypNone);
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
  void CountBlock() { fbytes += kQuickBlock; }

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
// Writes the quick values of row r and returns its head without flags (kind and p1 length);
// the caller publishes it.
std::uint32_t BuildQuickRow(TAFPRowStore& store, std::int32_t r, const RAFP& full) {
  const std::size_t a = full.p1.size(), b = full.p2.size();
  auto quicklen = [](std::size_t n) {
    const std::int64_t v = (static_cast<std::int64_t>(n) - 1) / AFPQuickGroup - 1;
    return static_cast<std::size_t>(std::clamp<std::int64_t>(v, 0, 65535));
  };
  const std::size_t n1 = quicklen(a), n2 = quicklen(b);
  TAFPRowChunk& chunk = store.Chunk(r);
  const std::int32_t slot = TAFPRowStore::Slot(r);
  std::uint8_t* q1;
  std::uint8_t* q2;
  if (n1 <= kQuickBlock) {
    q1 = chunk.fblocks + static_cast<std::size_t>(slot) * kQuickBlock;
    q2 = store.Alloc(n2);
    store.CountBlock();
    // The scan reads whole 16-byte pieces of the block: the bytes past n1 must be defined.
    std::memset(q1, 0, kQuickBlock);
  } else {
    q1 = store.Alloc(n1 + n2);
    q2 = q1 + n1;
  }
  std::memset(q1, 0, n1);
  std::memset(q2, 0, n2);
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
    if (k < n1) q1[k] = static_cast<std::uint8_t>(RoundDiv(sum(full.p1, k * kStep), kLen));
    if (k < n2) q2[k] = static_cast<std::uint8_t>(RoundDiv(sum(full.p2, k * kStep), kLen));
  }
  chunk.fn2[slot] = static_cast<std::uint16_t>(n2);
  chunk.fext[slot] = n1 <= kQuickBlock ? q2 : q1;
  return (KindOf(full.typ) << kKindShift) | static_cast<std::uint32_t>(n1);
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
    cache->Init(dbPath,
                [this](std::int32_t f, std::int32_t d, std::int64_t g, const std::string& id,
                       const RAFP& afp) { OnCacheRecord(f, d, g, id, afp); });
  } catch (...) {
    finish();
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(FCriticalsectionArr);
    const std::int32_t records =
        static_cast<std::int32_t>(std::min<std::int64_t>(cache->RecordCount(), kMaxRows));
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
  if (index < 0)
    FLoadDone.wait(lock, [this]() MS_REQUIRES(FCriticalsectionArr) { return !FLoading; });
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
  TAFPFullRow& full = store.Full(index);
  std::uint8_t flags = store.Flags(index);
  if (!(flags & kLoaded)) {
    store.Typ(index).store(afp.typ);
    if (keep) {
      auto series = std::make_shared<RAFP>();
      series->p1 = afp.p1;
      series->p2 = afp.p2;
      series->typ = afp.typ;
      series->loaded = true;
      full.fseries = std::move(series);
      flags |= kLoaded | (ValidateSeries(afp) ? kValid : 0);
      store.SetFlags(index, flags);
    }
  }
  if (!(flags & kQuick)) {
    // Built from the series the row holds now (the new one unless the row was loaded before).
    const std::uint32_t head = BuildQuickRow(store, index, full.fseries ? *full.fseries : afp);
    flags |= kQuick;
    store.Head(index).store(head | (std::uint32_t{flags} << kFlagsShift),
                            std::memory_order_release);
  }
  if (!keep && (flags & kLoaded)) {
    // Lock counts stay: a thread holding the row keeps its own count.
    full.fseries.reset();
    store.SetFlags(index, flags & ~(kLoaded | kValid));
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
  store.SetFlags(r, 0);
  return StoreRowLocked(r, afp, true);
}

void TAFPComp::afpreleasetemp(std::int32_t r) {
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  TAFPRowStore& store = *FStore.load();
  if (!store.Has(r) || r < Fafpcompdata_loaded.load()) return;
  store.Full(r).fseries.reset();
  store.SetFlags(r, 0);
  FFreeTempRows.push_back(r);
}

bool TAFPComp::getafp(std::int32_t r, RAFP& afp) const {
  afp.Clear();
  std::lock_guard<std::mutex> lock(FCriticalsectionArr);
  const TAFPRowStore& store = *FStore.load();
  if (!store.Has(r)) return false;
  const TAFPFullRow& full = store.Full(r);
  afp.typ = store.Typ(r).load();
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
  if (!(store.Flags(r) & kQuick)) return false;
  const TQuickSpans q = store.Spans(r);
  afp.p1.assign(q.p1.begin(), q.p1.end());
  afp.p2.assign(q.p2.begin(), q.p2.end());
  afp.typ = store.Typ(r).load();
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
    store.SetFlags(index, store.Flags(index) & ~(kLoaded | kValid));
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
  return store.Has(r) && (store.Flags(r) & kQuick);
}

bool TAFPComp::afpvalidate(std::int32_t r) const {
  const TAFPRowStore& store = *FStore.load();
  if (!store.Has(r)) return false;
  // Without its series a row has empty p1 and p2, whose extremes (0 and 2147483647) pass.
  const std::uint8_t flags = store.Flags(r);
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
  const char16_t typ = store->Typ(i1).load();
  if (typ != store->Typ(i2).load()) return false;
  const std::int32_t required = Required(typ, minproz_audio, minproz_image);
  const std::int32_t tol = Tolerance(typ);

  RCompOutcome out;
  bool compared = false;
  bool valid = false;
  if (vortest) {
    if (!(store->Flags(i1) & kQuick) || !(store->Flags(i2) & kQuick)) return false;
    const TQuickSpans q1 = store->Spans(i1), q2 = store->Spans(i2);
    compared = CompareSeries(q1.p1, q1.p2, q2.p1, q2.p2, durchschieben, tol, out);
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
      std::to_string(RoundDiv(std::int64_t(out.o1) * 100, static_cast<std::int64_t>(out.lenL))) +
      "%";
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
  const char16_t typ = store.Typ(r).load();
  const std::uint32_t kind = KindOf(typ);
  if (kind == kKindOther) return;  // no row of another kind can reach its 100 %
  const std::int32_t required = Required(typ, minproz_audio, minproz_image);
  const std::int32_t tol = Tolerance(typ);
  const TQuickSpans q = store.Spans(r);
  if (q.p1.empty() || q.p2.empty()) return;
  // The p1 lengths that pass the comparison's length test against the query, whichever of the
  // two is the long row: (|L| - 1) * f <= (|S| - 1) * 10 with f = 9, or 7 when shifting.
  const std::uint64_t f = durchschieben ? 7 : 9, nq = q.p1.size();
  const std::uint32_t lo =
      static_cast<std::uint32_t>(std::max<std::uint64_t>(1, ((nq - 1) * f + 9) / 10 + 1));
  const std::uint32_t hi =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(kLengthMask, (nq - 1) * 10 / f + 1));
  if (lo > hi) return;
  const std::uint32_t mask = (std::uint32_t{kQuick} << kFlagsShift) | (0xFFu << kKindShift);
  const std::uint32_t want = (std::uint32_t{kQuick} << kFlagsShift) | (kind << kKindShift);
  last = std::min(last, store.Count());
  // The query's p1 padded to a whole block, and the p1 matches needed before p2 is counted
  // (ceil(2 * required * s / 100)) for every short-row length a block can have.
  std::vector<std::uint8_t> qp1(q.p1.begin(), q.p1.end());
  qp1.resize(std::max(qp1.size(), kQuickBlock), 0);
  std::array<std::int64_t, kQuickBlock + 1> need2{};
  for (std::size_t ss = 0; ss <= kQuickBlock; ++ss)
    need2[ss] = (2 * std::int64_t(required) * static_cast<std::int64_t>(ss) + 99) / 100;
  const TV16 tv = TV16{} + static_cast<std::uint8_t>(std::clamp(tol, 0, 255));
  RCompOutcome out;
  std::array<std::uint16_t, kChunkRows> candidates;
  for (std::int32_t x = std::max(first, 0); x < last;) {
    // One chunk at a time. First the heads alone pick the rows of the query's kind whose
    // length can pass; only those rows' values are read.
    const std::int32_t base = x & ~(kChunkRows - 1);
    const std::int32_t end = std::min(last, base + kChunkRows);
    const TAFPRowChunk& chunk = store.Chunk(x);
    std::size_t n = 0;
    for (std::int32_t s = x - base, e = end - base; s < e; ++s) {
      const std::uint32_t head =
          chunk.fhead[static_cast<std::size_t>(s)].load(std::memory_order_acquire);
      const bool pick = (head & mask) == want && (head & kLengthMask) - lo <= hi - lo;
      candidates[n] = static_cast<std::uint16_t>(s);
      n += pick;
    }
    for (std::size_t k = 0; k < n; ++k) {
      const std::int32_t s = candidates[k];
      // The blocks of the next candidates are on their way while this one is compared.
      if (k + 4 < n)
        __builtin_prefetch(chunk.fblocks + std::size_t{candidates[k + 4]} * kQuickBlock);
      const std::uint32_t head =
          chunk.fhead[static_cast<std::size_t>(s)].load(std::memory_order_acquire);
      if ((head & mask) != want) continue;
      const std::size_t n1 = head & kLengthMask;
      if (!durchschieben && n1 <= kQuickBlock) {
        // UnshiftedCanReach for a row whose values lie in its block, in the same steps: the
        // count of p1 must reach `need` and the best case with p2 the required percentage.
        const std::size_t n2 = chunk.fn2[static_cast<std::size_t>(s)];
        if (n2 == 0) continue;
        const bool row1long = q.p1.size() >= n1;
        const std::size_t ss = row1long ? n1 : q.p1.size();
        const std::size_t s2 = row1long ? n2 : q.p2.size(), l2 = row1long ? q.p2.size() : n2;
        const std::int64_t c2max = s2 <= l2 ? static_cast<std::int64_t>(s2) : 0;
        const std::int64_t c1 = CountBlock(
            qp1.data(), chunk.fblocks + static_cast<std::size_t>(s) * kQuickBlock, ss, tv);
        if (c1 < need2[ss] - c2max) continue;
        const std::int64_t sl = static_cast<std::int64_t>(ss);
        if ((c1 * 100 / sl + c2max * 100 / sl) / 2 < required) continue;
      }
      const TQuickSpans row = TAFPRowStore::Spans(chunk, s, head);
      if (!durchschieben && n1 > kQuickBlock &&
          !UnshiftedCanReach(q.p1, q.p2, row.p1, row.p2, tol, required))
        continue;
      if (!CompareSeries(q.p1, q.p2, row.p1, row.p2, durchschieben, tol, out)) continue;
      const std::uint8_t flags = FlagsOf(head);
      if (out.proz >= required && std::abs(out.o1 - out.o2) < 10 &&
          (!(flags & kLoaded) || (flags & kValid)))
        hits.push_back({base + s, out.proz, out.row1long ? out.o1 : -out.o1});
    }
    x = end;
  }
}
