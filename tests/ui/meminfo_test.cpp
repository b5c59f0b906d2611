// The memory window: the size layout, the memo's lines and the window's refresh.
#include "meminfo.h"

#include <gtest/gtest.h>

namespace {

TEST(MemoryInfo, SizesArePaddedTo15AndDottedEveryThirdCharacter) {
  const struct {
    std::uint64_t value;
    const char* text;
  } cases[] = {
      {1234567, "   .   .  1.234.567"},
      {0, "   .   .   .   .  0"},
      {999, "   .   .   .   .999"},
      {1000, "   .   .   .  1.000"},
      {123456789012345, "123.456.789.012.345"},
      {1234567890123456, "123.456.789.012.345.6"},  // longer than 15: every third still
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(FormatMemorySize(c.value), QString::fromLatin1(c.text));
  }
  EXPECT_EQ(FormatMemorySize(1234567).size(), 19);
}

TEST(MemoryInfo, MemoHasTenLinesWithLabelsOf33Characters) {
  TMemoryFigures f;
  f.SmallCount = 7;
  f.SmallReserved = 1234567;
  f.MediumCount = 3;
  f.LargeAllocated = 1000;
  const QStringList lines = MemoryInfoText(f).split(u'\n');
  ASSERT_EQ(lines.size(), 10);
  EXPECT_EQ(lines[0], QStringLiteral("ReservedSmallBlockCount:         7"));
  EXPECT_EQ(lines[1], QStringLiteral("ReservedSmallBlockAddressSpace:     .   .  1.234.567"));
  EXPECT_EQ(lines[2], QString());
  EXPECT_EQ(lines[3], QStringLiteral("AllocatedMediumBlockCount:       3"));
  EXPECT_EQ(lines[6], QString());
  EXPECT_EQ(lines[8], QStringLiteral("TotalAllocatedLargeBlockSize:       .   .   .  1.000"));
  for (int i : {0, 1, 3, 4, 5, 7, 8, 9}) {
    SCOPED_TRACE(i);
    const qsizetype colon = lines[i].indexOf(u':');
    ASSERT_GT(colon, 0);
    EXPECT_EQ(lines[i].left(33).trimmed().size(), colon + 1);  // label + blanks = 33
  }
  for (int i : {0, 3, 7}) EXPECT_NE(lines[i].at(33), u' ') << i;  // counts follow at once
}

TEST(MemoryInfo, WindowStartsWaitingAndRefreshesWhileShown) {
  Tmemoryinfo window;
  EXPECT_EQ(window.windowTitle(), QStringLiteral("dyn. memory info"));
  EXPECT_EQ(window.Memo()->toPlainText(), QStringLiteral("einen moment bitte...."));
  EXPECT_TRUE(window.Memo()->isReadOnly());
  EXPECT_TRUE(window.Memo()->font().fixedPitch() || QFontInfo(window.Memo()->font()).fixedPitch());
  EXPECT_EQ(window.Timer().interval(), 5000);
  EXPECT_FALSE(window.Timer().isActive());
  window.show();
  EXPECT_TRUE(window.Timer().isActive());
  window.datenladen();
  EXPECT_EQ(window.Memo()->toPlainText().split(u'\n').size(), 10);
  window.hide();
  EXPECT_FALSE(window.Timer().isActive());
}

}  // namespace
