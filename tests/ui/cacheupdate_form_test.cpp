// The download window driven by a real download run against a local web service, through the
// Qt main-thread queue: what it shows after a failure and after a completed download, the bars,
// the close button, the information picture; and the status texts in English.
#include "cacheupdate_form.h"

#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "../afp/afp_cache_test_util.h"
#include "afp/afpcomp_unit.h"
#include "localize_unit.h"
#include "qt_main_thread_queue.h"
#include "service/startoncemutex_unit.h"
#include "ui_test_util.h"
#include "web/cacheupdate_unit.h"
#include "web/web_test_server.h"

namespace {

namespace fs = std::filesystem;

class DownloadWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 3; ++i)
      AppendAfpCacheRecord(afpcachetest::Guid(i), u'6', afpcachetest::MakeAfp(100, i), bytes);
    cachefile.assign(bytes.begin(), bytes.end());
    server.Http().Get("/v2/getState.php", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(state, "text/xml");
    });
    server.Http().Get("/v2/getAFPCacheInf.php", [this](const httplib::Request&,
                                                       httplib::Response& res) {
      res.set_content("<afpcache><afpcachefile size=\"" + std::to_string(cachefile.size()) + "\">" +
                          server.Url("/files/afp1.afpbin") + "</afpcachefile></afpcache>",
                      "text/xml");
    });
    server.Http().Get("/files/afp1.afpbin",
                      [this](const httplib::Request&, httplib::Response& res) {
                        res.set_content(cachefile, "application/octet-stream");
                      });
    ASSERT_TRUE(server.Start());
    fs::create_directories(dir.file("Cache"));
  }

  // One run shown in `window`, as the program wires it; returns whether it reported ready.
  bool Run(Tfrmcacheupdate& window, const std::string& api) {
    uitest::ScopedEnv env("MELODYSEEKER_API", api);
    auto queue = std::make_shared<TQtMainThreadQueue>();
    bool ready = false;
    window.start();
    TWebAPICacheUpdateThread run(
        comp, {dir.file("Cache"), "", "1.00 64Bit"}, queue,
        [&window](const TCacheUpdateStatus& s) { window.ShowStatus(s); },
        [&] {
          window.Ready();
          ready = true;
        });
    run.Start();
    EXPECT_TRUE(uitest::WaitFor([&] { return run.Finished(); }, 20000));
    run.WaitFor();
    uitest::WaitFor([] { return false; }, 50);  // the last posted statuses
    return ready;
  }

  uitest::TempDir dir;
  WebTestServer server;
  TAFPComp comp;
  std::string cachefile;
  std::string state =
      "<apistate><online>1</online><message_de></message_de><message_en></message_en>"
      "<client_minvers></client_minvers></apistate>";
};

TEST_F(DownloadWindowTest, FailureStaysVisibleWithTheReason) {
  Tfrmcacheupdate window;
  EXPECT_EQ(window.StatusText(), QStringLiteral("- -"));
  state =
      "<apistate><online>0</online><message_de>Wartung bis 12 Uhr</message_de>"
      "<message_en>Maintenance</message_en></apistate>";
  EXPECT_FALSE(Run(window, server.Url("/v2/")));
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(
      window.StatusText(),
      QStringLiteral("Abgebrochen Der Service ist derzeit nicht verfügbar! Wartung bis 12 Uhr"));
  EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("lblAction"))->toolTip(), window.StatusText());
  window.hide();
}

TEST_F(DownloadWindowTest, CompletedDownloadShowsPreparedAndGoesAway) {
  Tfrmcacheupdate window;
  EXPECT_TRUE(Run(window, server.Url("/v2/")));
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(window.StatusText(), QStringLiteral("Lokaler Cache vorbereitet"));
  EXPECT_EQ(window.MainBar().value(), window.MainBar().maximum());
  EXPECT_EQ(window.FileBar().value(), window.FileBar().maximum());
  EXPECT_EQ(comp.afpcompdata_loaded(), 3);
}

TEST_F(DownloadWindowTest, UnreachableServiceInEnglish) {
  ASSERT_TRUE(LoadLanguage("EN"));
  Tfrmcacheupdate window;
  const bool ready = Run(window, "http://127.0.0.1:1/v2/");
  LoadLanguage("");
  EXPECT_FALSE(ready);
  EXPECT_TRUE(window.StatusText().startsWith(
      QStringLiteral("Cancelled The service cannot be reached, you may be offline! ")))
      << window.StatusText().toStdString();
  window.hide();
}

TEST(DownloadWindow, PlacedBottomRightAndCloseOnlyHides) {
  Tfrmcacheupdate window;
  window.start();
  const QRect area = window.screen()->availableGeometry();
  EXPECT_EQ(window.frameGeometry().bottomRight(), area.bottomRight());
  EXPECT_EQ(window.size(), QSize(571, 67));
  EXPECT_TRUE(window.windowFlags() & Qt::Tool);
  window.close();
  EXPECT_FALSE(window.isVisible());
  window.ShowStatus({.Text = "Bereinige lokalen Cache"});  // still there and still updated
  EXPECT_EQ(window.StatusText(), QStringLiteral("Bereinige lokalen Cache"));

  uitest::ScopedPrompt prompt;
  window.show();
  QWidget* info = window.findChild<QLabel*>(QStringLiteral("img_info"));
  QTest::mouseClick(info, Qt::LeftButton);
  ASSERT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(prompt.shown()[0].kind, TPromptKind::Information);
  EXPECT_EQ(prompt.shown()[0].text.rfind("MelodySeeker läd den für die Titeleridentifikation "
                                         "benötigten Teil der Datenbank herunter.\r\rDies ",
                                         0),
            0u);
  window.hide();
}

TEST(DownloadWindow, BarsTakeSixtyFourBitFiguresAndNeverTurnBusy) {
  const struct {
    std::int64_t max, pos;
    int qmax, qvalue;
  } cases[] = {
      {100, 40, 100, 40},
      {0, 0, 1, 0},     // one file in the list: max 0 is an empty bar, not Qt's busy bar
      {-1, 500, 1, 0},  // size unknown
      {8'000'000'000, 4'000'000'000, 0, 0},  // checked by proportion below
      {100, 150, 100, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.max);
    QProgressBar bar;
    SetBar(bar, c.max, c.pos);
    EXPECT_GT(bar.maximum(), bar.minimum());
    if (c.qmax != 0) {
      EXPECT_EQ(bar.maximum(), c.qmax);
      EXPECT_EQ(bar.value(), c.qvalue);
    } else {
      EXPECT_EQ(bar.value() * 2, bar.maximum());
    }
  }
}

TEST(Translation, CoreTextsReachTheUserInEnglish) {
  ASSERT_TRUE(LoadLanguage(" en"));
  const struct {
    std::string core;
    const char* english;
  } cases[] = {
      {AlreadyRunningText("melodyseeker"), "Application \"melodyseeker\" is already running!"},
      {"Abgebrochen Bitte aktualisieren Sie Ihren Client, Sie benötigen mindestens Client "
       "Version 1.10.",
       "Cancelled Please update your client, you need at least client version 1.10."},
      {"Download der Titelerkennungsdatenbank 2 / 5",
       "Downloading the title recognition database 2 / 5"},
      {"Konfiguration wurde entfernt, Startkonfiguration wird wiederhergestellt !\n\r\n\rBitte "
       "Anwendung neu starten !",
       "The configuration was removed, the initial configuration will be restored!\n\r\n\rPlease "
       "restart the application!"},
      {"http reponsecode:404 Not Found", "http reponsecode:404 Not Found"},  // technical: as is
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.core);
    EXPECT_EQ(TranslateCoreText(c.core), QString::fromUtf8(c.english));
  }
  LoadLanguage("DE");
  EXPECT_FALSE(EnglishActive());
  EXPECT_EQ(TranslateCoreText("Lokaler Cache vorbereitet"),
            QStringLiteral("Lokaler Cache vorbereitet"));
}

}  // namespace
