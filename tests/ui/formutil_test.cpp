// Stored window positions: what comes back from the keys of a FORM_ section, the work-area rule,
// and what is written (other sections kept).
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>
#include <fstream>
#include <sstream>

#include "formhook_unit.h"
#include "formutil_unit.h"
#include "service/melodyseeker_glob_unit.h"
#include "ui_test_util.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(FormPosition, StoredValuesComeBackInsideTheWorkArea) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  ASSERT_EQ(QGuiApplication::screens().size(), 1);
  const struct {
    const char* name;
    std::string section;
    bool fixed;
    QRect expected;
    Qt::WindowStates state;
  } cases[] = {
      {"monitor 3 of one: the primary's area", "MONITOR=3\nLEFT=120\nTOP=130\n", true,
       QRect(area.left() + 120, area.top() + 130, 250, 50), Qt::WindowNoState},
      {"left of -5000: moved to the left edge", "MONITOR=0\nLEFT=-5000\nTOP=200\n", true,
       QRect(area.left(), 200, 250, 50), Qt::WindowNoState},
      {"fixed size ignores the stored size", "LEFT=10\nTOP=10\nWIDTH=600\nHEIGHT=400\n", true,
       QRect(10, 10, 250, 50), Qt::WindowNoState},
      {"unfixed unscaled size is read", "LEFT=10\nTOP=10\nWIDTH=300\nHEIGHT=200\n", false,
       QRect(10, 10, 300, 200), Qt::WindowNoState},
      {"minimised is not restored", "WINDOWSTATE=1\nLEFT=40\nTOP=50\n", true,
       QRect(40, 50, 250, 50), Qt::WindowNoState},
      {"far right and low: aligned with right and bottom", "LEFT=100000\nTOP=100000\n", true,
       QRect(area.right() - 249, area.bottom() - 49, 250, 50), Qt::WindowNoState},
      {"nothing stored: 100, 100", "", true, QRect(100, 100, 250, 50), Qt::WindowNoState},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uitest::TempDir dir;
    const std::string ini = dir.file("MelodySeeker.ini");
    std::ofstream(ini) << "[KONFIG]\nuserid=X\n[FORM_Mainform]\n" << c.section;
    QWidget form;
    form.setObjectName(QStringLiteral("Mainform"));
    LoadFormPosition(ini, form, 250, 50, c.fixed);
    EXPECT_EQ(QRect(form.pos(), form.size()), c.expected);
    EXPECT_EQ(form.windowState(), c.state);
  }
}

TEST(FormPosition, MaximisedStateIsRestored) {
  uitest::TempDir dir;
  const std::string ini = dir.file("MelodySeeker.ini");
  std::ofstream(ini) << "[FORM_Mainform]\nWINDOWSTATE=2\n";
  QWidget form;
  form.setObjectName(QStringLiteral("Mainform"));
  LoadFormPosition(ini, form, 250, 50, true);
  EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);
}

TEST(FormPosition, SaveWritesTheKeysOfTheScaledMarkAndKeepsOtherSections) {
  uitest::TempDir dir;
  const std::string ini = dir.file("MelodySeeker.ini");
  std::ofstream(ini) << "[KONFIG]\nuserid=KEEP\n[DECODER]\nExtDecoderCMD=#ffmpeg# -i\n"
                        "[FORM_Mainform]\nOLDKEY=1\n";
  TFormHook form;
  form.setObjectName(QStringLiteral("Mainform"));
  form.resize(250, 50);
  form.move(30, 40);
  std::string error;
  ASSERT_TRUE(SaveFormPosition(ini, form, error)) << error;
  std::string text = ReadAll(ini);
  for (const char* key :
       {"WINDOWSTATE=0", "MONITOR=0", "TOP=40", "LEFT=30", "HEIGHT=50", "WIDTH=250", "DPI=96",
        "SCALED=0", "userid=KEEP", "ExtDecoderCMD=#ffmpeg# -i"})
    EXPECT_NE(text.find(key), std::string::npos) << key << "\n" << text;
  EXPECT_EQ(text.find("OLDKEY"), std::string::npos) << text;

  TFormHook::SetFormScaleable(true);  // every form marked scaled: the _SCALED keys
  ASSERT_TRUE(SaveFormPosition(ini, form, error)) << error;
  TFormHook::SetFormScaleable(false);
  text = ReadAll(ini);
  EXPECT_NE(text.find("HEIGHT_SCALED=50"), std::string::npos) << text;
  EXPECT_NE(text.find("WIDTH_SCALED=250"), std::string::npos) << text;
  EXPECT_NE(text.find("SCALED=1"), std::string::npos) << text;

  // And back: the position written is the position read.
  QWidget again;
  again.setObjectName(QStringLiteral("Mainform"));
  LoadFormPosition(ini, again, 250, 50, true);
  EXPECT_EQ(again.pos(), QPoint(30, 40));
}

}  // namespace
