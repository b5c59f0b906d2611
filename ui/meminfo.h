#pragma once
// The memory statistics window ("dyn. memory info"): the allocator's figures in a fixed-pitch
// memo, refreshed every 5 s while the window is visible.
//
// The figures come from glibc's mallinfo2(): fast-bin blocks stand for the small blocks,
// ordinary chunks for the medium ones and mmapped regions for the large ones:
//   ReservedSmallBlockCount         smblks    (fast-bin blocks)
//   ReservedSmallBlockAddressSpace  fsmblks   (bytes in them)
//   AllocatedMediumBlockCount       ordblks   (ordinary free chunks; glibc counts no others)
//   TotalAllocatedMediumBlockSize   uordblks  (bytes in use)
//   ReservedMediumBlockAddressSpace arena     (bytes taken from the system by sbrk)
//   AllocatedLargeBlockCount        hblks     (mmapped regions)
//   TotalAllocatedLargeBlockSize    hblkhd    (bytes in them)
//   ReservedLargeBlockAddressSpace  hblkhd    (mapped whole, so the same figure)
//
// GUI thread only.

#include <QPlainTextEdit>
#include <QString>
#include <QTimer>
#include <cstdint>

#include "formhook_unit.h"

struct TMemoryFigures {
  std::uint64_t SmallCount = 0, SmallReserved = 0;
  std::uint64_t MediumCount = 0, MediumAllocated = 0, MediumReserved = 0;
  std::uint64_t LargeCount = 0, LargeAllocated = 0, LargeReserved = 0;
};

TMemoryFigures ReadMemoryFigures();

// A size right-aligned: padded with blanks to 15 characters, then "." after every third
// character (1234567 gives "   .   .  1.234.567", 19 characters).
QString FormatMemorySize(std::uint64_t value);

// The memo's ten lines (counts plain, sizes as FormatMemorySize).
QString MemoryInfoText(const TMemoryFigures& figures);

class Tmemoryinfo final : public TFormHook {
  Q_OBJECT

 public:
  explicit Tmemoryinfo(QWidget* parent = nullptr);

  // Fills the memo with the current figures.
  void datenladen();
  QPlainTextEdit* Memo() const { return sysinfo_memo; }
  const QTimer& Timer() const { return akttimer; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QPlainTextEdit* sysinfo_memo;
  QTimer akttimer;
};
