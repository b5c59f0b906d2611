#include "meminfo.h"

#include <malloc.h>

#include <QFontDatabase>
#include <QVBoxLayout>

TMemoryFigures ReadMemoryFigures() {
  const struct mallinfo2 m = mallinfo2();
  TMemoryFigures f;
  f.SmallCount = m.smblks;
  f.SmallReserved = m.fsmblks;
  f.MediumCount = m.ordblks;
  f.MediumAllocated = m.uordblks;
  f.MediumReserved = m.arena;
  f.LargeCount = m.hblks;
  f.LargeAllocated = m.hblkhd;
  f.LargeReserved = m.hblkhd;
  return f;
}

QString FormatMemorySize(std::uint64_t value) {
  const QString padded = QString::number(value).rightJustified(15, u' ');
  QString out;
  for (qsizetype i = 0; i < padded.size(); ++i) {
    if (i > 0 && i % 3 == 0) out += u'.';
    out += padded[i];
  }
  return out;
}

QString MemoryInfoText(const TMemoryFigures& f) {
  const auto count = [](std::uint64_t v) { return QString::number(v); };
  QStringList lines = {
      QStringLiteral("ReservedSmallBlockCount:         ") + count(f.SmallCount),
      QStringLiteral("ReservedSmallBlockAddressSpace:  ") + FormatMemorySize(f.SmallReserved),
      QString(),
      QStringLiteral("AllocatedMediumBlockCount:       ") + count(f.MediumCount),
      QStringLiteral("TotalAllocatedMediumBlockSize:   ") + FormatMemorySize(f.MediumAllocated),
      QStringLiteral("ReservedMediumBlockAddressSpace: ") + FormatMemorySize(f.MediumReserved),
      QString(),
      QStringLiteral("AllocatedLargeBlockCount:        ") + count(f.LargeCount),
      QStringLiteral("TotalAllocatedLargeBlockSize:    ") + FormatMemorySize(f.LargeAllocated),
      QStringLiteral("ReservedLargeBlockAddressSpace:  ") + FormatMemorySize(f.LargeReserved),
  };
  return lines.join(u'\n');
}

Tmemoryinfo::Tmemoryinfo(QWidget* parent)
    : TFormHook(parent), sysinfo_memo(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("memoryinfo"));
  setWindowTitle(QStringLiteral("dyn. memory info"));
  sysinfo_memo->setObjectName(QStringLiteral("sysinfo_memo"));
  sysinfo_memo->setReadOnly(true);
  sysinfo_memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  sysinfo_memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  sysinfo_memo->setPlainText(tr("einen moment bitte...."));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(sysinfo_memo);
  resize(460, 260);
  akttimer.setInterval(5000);
  connect(&akttimer, &QTimer::timeout, this, [this] {
    if (isVisible()) datenladen();
  });
}

void Tmemoryinfo::datenladen() { sysinfo_memo->setPlainText(MemoryInfoText(ReadMemoryFigures())); }

void Tmemoryinfo::showEvent(QShowEvent* event) {
  akttimer.start();
  TFormHook::showEvent(event);
}

void Tmemoryinfo::hideEvent(QHideEvent* event) {
  akttimer.stop();
  TFormHook::hideEvent(event);
}
