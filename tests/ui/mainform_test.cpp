// The hidden main window: the tray menu's items and order, the handlers a user would notice
// breaking (debug switch, "Beenden" with open clients, language, cache, information boxes,
// manual), the tray double-click and the four shortcuts acting from any window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QInputDialog>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "mainform_unit.h"
#include "meminfo.h"
#include "qt_main_thread_queue.h"
#include "service/cacheaccess_unit.h"
#include "service/melodyseeker_glob_unit.h"
#include "service/pipeserver_unit.h"
#include "service/startoncemutex_unit.h"
#include "trayicon_unit.h"
#include "ui_test_util.h"
#include "web/webapi_unit.h"

namespace {

namespace fs = std::filesystem;
using uitest::ScopedPrompt;

class MainformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir.file("write/Cache"));
    fs::create_directories(dir.file("write/Backup"));
    fs::create_directories(dir.file("read"));
    context.ConfigFile = dir.file("write/MelodySeeker.ini");
    context.BackupDir = dir.file("write/Backup");
    context.CacheDir = dir.file("write/Cache/");
    context.ReadDir = dir.file("read");
    context.WriteDir = dir.file("write");
    context.LanguageKey = dir.file("read/melodyseeker");
    context.VersionText = QStringLiteral("1.00 64Bit");
    saved = GetConfig();
  }
  void TearDown() override { SetConfig(saved); }

  uitest::TempDir dir;
  uitest::ScopedEnv config_home{"XDG_CONFIG_HOME", dir.file("config")};
  TMainformContext context;
  TMelodySeekerConfig saved;
};

// "Text" for an item, "Menu>" for a submenu, "-" for a separator.
std::vector<std::string> Items(const QMenu& menu) {
  std::vector<std::string> out;
  for (QAction* a : menu.actions()) {
    if (a->isSeparator())
      out.push_back("-");
    else if (a->menu() != nullptr)
      out.push_back(a->text().toStdString() + ">");
    else
      out.push_back(a->text().toStdString());
  }
  return out;
}

QAction* Item(QMenu& menu, const std::vector<QString>& path) {
  QMenu* m = &menu;
  for (std::size_t i = 0; i < path.size(); ++i) {
    QAction* found = nullptr;
    for (QAction* a : m->actions())
      if (a->text() == path[i]) found = a;
    if (found == nullptr) return nullptr;
    if (i + 1 == path.size()) return found;
    m = found->menu();
  }
  return nullptr;
}

TEST_F(MainformTest, TrayMenuHoldsEveryItemInOrder) {
  TMainform form(context);
  QMenu& menu = form.TrayPopupMenu();
  EXPECT_EQ(Items(menu),
            (std::vector<std::string>{"Konfiguration>", "Sprache>", "Hilfe>", "-", "Beenden"}));
  const auto sub = [&](int i) { return Items(*menu.actions()[i]->menu()); };
  EXPECT_EQ(sub(0),
            (std::vector<std::string>{"Decodereinstellungen", "-", "Programmdebug",
                                      "Programmkonfiguration zurücksetzen", "Lokalen Cache löschen",
                                      "Informationen zu den Programmverzeichnissen"}));
  EXPECT_EQ(sub(1), (std::vector<std::string>{"Deutsch", "Englisch", "-", "Sprachcode eingeben",
                                              "-", "Zurücksetzen"}));
  EXPECT_EQ(sub(2), (std::vector<std::string>{"Programmdokumentation", "-", "Benutzerinformationen",
                                              "Programminformationen"}));
  EXPECT_TRUE(form.DebugItem()->isCheckable());
  EXPECT_EQ(form.TrayIconMain().contextMenu(), &menu);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("MelodySeeker - v1.00 64Bit"));
}

TEST_F(MainformTest, DebugSwitchAsksAndNoLeavesItOff) {
  TMelodySeekerConfig c = GetConfig();
  c.DebugStart = false;
  SetConfig(c);
  TMainform form(context);
  QAction* item = form.DebugItem();
  ASSERT_FALSE(item->isChecked());
  {
    ScopedPrompt prompt({TPromptResult::No});
    item->trigger();
    ASSERT_EQ(prompt.shown().size(), 1u);
    EXPECT_EQ(prompt.shown()[0].kind, TPromptKind::Confirmation);
    EXPECT_EQ(prompt.shown()[0].buttons, TPromptButtons::YesNo);
    EXPECT_EQ(prompt.shown()[0].text,
              "Diese Funktion sollte nur in Absprache mit dem techischen Support aktiviert "
              "werden!\n\rFunktion aktivieren?");
    EXPECT_FALSE(item->isChecked());
    EXPECT_FALSE(GetConfig().DebugStart);
  }
  {
    ScopedPrompt prompt({TPromptResult::Yes});
    item->trigger();
    ASSERT_EQ(prompt.shown().size(), 2u);
    EXPECT_EQ(prompt.shown()[1].text,
              "Achtung: Debugmode aktiv!\n\rDamit diese Änderung gültig wird, müssen Sie die "
              "Software neu starten!");
    EXPECT_TRUE(item->isChecked());
    EXPECT_TRUE(GetConfig().DebugStart);
  }
  {
    ScopedPrompt prompt;
    item->trigger();
    ASSERT_EQ(prompt.shown().size(), 1u);
    EXPECT_EQ(prompt.shown()[0].text,
              "Sie haben den Debug Modus deaktiviert.\n\rDamit diese Änderung gültig wird, "
              "müssen Sie die Software neu starten!");
    EXPECT_FALSE(GetConfig().DebugStart);
  }
}

TEST_F(MainformTest, BeendenWithTwoClientsAsksOnceAndNoKeepsServing) {
  auto queue = std::make_shared<TQtMainThreadQueue>();
  TCacheAccess dispatcher(queue, "ms-ui-mainform-" + std::to_string(::getpid()));
  ASSERT_TRUE(dispatcher.PipeServerStarted());
  TPipeClient a, b;
  ASSERT_TRUE(a.Connect(dispatcher.PipeServer()->PipeName())) << a.LastError();
  ASSERT_TRUE(b.Connect(dispatcher.PipeServer()->PipeName())) << b.LastError();
  ASSERT_TRUE(uitest::WaitFor([&] { return dispatcher.PipeServerClientCount() == 2; }));

  context.ClientCount = [&] { return dispatcher.PipeServerClientCount(); };
  TMainform form(context);
  QSignalSpy quit(&form, &TMainform::beendenRequested);
  {
    ScopedPrompt prompt({TPromptResult::No});
    Item(form.TrayPopupMenu(), {QStringLiteral("Beenden")})->trigger();
    ASSERT_EQ(prompt.shown().size(), 1u);
    EXPECT_EQ(prompt.shown()[0].text,
              "Es sind noch 2 lokale Client Verbindungen offen, wollen Sie diese Abbrechen und "
              "trotzdem beenden?");
    EXPECT_EQ(prompt.shown()[0].buttons, TPromptButtons::YesNo);
  }
  EXPECT_EQ(quit.count(), 0);
  EXPECT_EQ(dispatcher.PipeServerClientCount(), 2);
  EXPECT_EQ(dispatcher.PipeServerState(), serverInit);
  TPipeClient c;  // still accepting
  EXPECT_TRUE(c.Connect(dispatcher.PipeServer()->PipeName())) << c.LastError();
  c.Close();
  {
    ScopedPrompt prompt({TPromptResult::Yes});
    form.Beenden();
    EXPECT_EQ(quit.count(), 1);
  }
  // Without clients nothing is asked.
  a.Close();
  b.Close();
  ASSERT_TRUE(uitest::WaitFor([&] { return dispatcher.PipeServerClientCount() == 0; }));
  ScopedPrompt prompt;
  form.Beenden();
  EXPECT_TRUE(prompt.shown().empty());
  EXPECT_EQ(quit.count(), 2);
  dispatcher.Destroy();
}

TEST_F(MainformTest, LanguageItemsStoreTheCodeAndSayWhichOne) {
  TMainform form(context);
  {
    ScopedPrompt prompt;
    Item(form.TrayPopupMenu(), {QStringLiteral("Sprache"), QStringLiteral("Englisch")})->trigger();
    EXPECT_EQ(GetLanguageOverride(context.LanguageKey), "EN");
    ASSERT_EQ(prompt.shown().size(), 1u);
    EXPECT_EQ(prompt.shown()[0].text,
              "Sprache EN wurde eingestellt, bitte starten Sie die Anwendung neu damit die "
              "Änderung wirksam wird");
  }
  {
    // The input box comes pre-filled with the current code; " de " is stored as "DE".
    ScopedPrompt prompt;
    QString prefilled;
    uitest::WhenModal([&](QWidget* w) {
      auto* input = qobject_cast<QInputDialog*>(w);
      ASSERT_NE(input, nullptr);
      EXPECT_EQ(input->windowTitle(), QStringLiteral("Sprachcode eingeben"));
      EXPECT_EQ(input->labelText(), QStringLiteral("Bitte Sprachcode eingeben (zweistellig):"));
      prefilled = input->textValue();
      input->setTextValue(QStringLiteral(" de "));
      input->accept();
    });
    form.Sprachcode();
    EXPECT_EQ(prefilled, QStringLiteral("EN"));
    EXPECT_EQ(GetLanguageOverride(context.LanguageKey), "DE");
    ASSERT_EQ(prompt.shown().size(), 1u);
    EXPECT_NE(prompt.shown()[0].text.find("Sprache DE wurde eingestellt"), std::string::npos);
  }
  {
    ScopedPrompt prompt;
    uitest::WhenModal([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
    form.Sprachcode();
    EXPECT_TRUE(prompt.shown().empty());  // cancel changes nothing
    EXPECT_EQ(GetLanguageOverride(context.LanguageKey), "DE");
  }
  {
    ScopedPrompt prompt;
    form.SpracheZuruecksetzen();
    EXPECT_EQ(GetLanguageOverride(context.LanguageKey), "");
    ASSERT_EQ(prompt.shown().size(), 1u);
    EXPECT_EQ(prompt.shown()[0].text,
              "Die Spracheeinstellung wurde zurückgesetzt, bitte starten Sie die Anwendung neu "
              "damit die Änderung wirksam wird");
  }
}

TEST_F(MainformTest, LanguageThatCannotBeStoredSaysSoInsteadOfClaimingSuccess) {
  std::ofstream(dir.file("blocker")) << "x";  // the configuration directory is a plain file
  uitest::ScopedEnv blocked("XDG_CONFIG_HOME", dir.file("blocker"));
  TMainform form(context);
  ScopedPrompt prompt;
  form.SetLanguage(QStringLiteral("EN"));
  ASSERT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(prompt.shown()[0].kind, TPromptKind::Warning);
  EXPECT_EQ(prompt.shown()[0].text.find("Sprache EN wurde eingestellt"), std::string::npos);
}

TEST_F(MainformTest, ClearingTheCacheDeletesPlainFilesOnlyAfterYes) {
  std::ofstream(dir.file("write/Cache/afp1.afpbin")) << "x";
  std::ofstream(dir.file("write/Cache/afp2.afpbin")) << "y";
  fs::create_directories(dir.file("write/Cache/sub"));
  TMainform form(context);
  {
    ScopedPrompt prompt({TPromptResult::No});
    form.LokalenCacheLoeschen();
    EXPECT_TRUE(fs::exists(dir.file("write/Cache/afp1.afpbin")));
    ASSERT_EQ(prompt.shown().size(), 1u);
  }
  ScopedPrompt prompt({TPromptResult::Yes});
  form.LokalenCacheLoeschen();
  EXPECT_FALSE(fs::exists(dir.file("write/Cache/afp1.afpbin")));
  EXPECT_FALSE(fs::exists(dir.file("write/Cache/afp2.afpbin")));
  EXPECT_TRUE(fs::is_directory(dir.file("write/Cache/sub")));
  ASSERT_EQ(prompt.shown().size(), 2u);
  EXPECT_EQ(prompt.shown()[1].text, "Cache erfolgreich gelöscht");
}

TEST_F(MainformTest, InformationBoxesShowDirectoriesAndUserId) {
  TMelodySeekerConfig c = GetConfig();
  c.userid = "ABCDEFG";
  c.UCOUNT = 12;
  c.INSTDATUM = TodayDayNumber() - 8;
  SetConfig(c);
  TMainform form(context);
  ScopedPrompt prompt;
  form.Benutzerinformationen();
  form.Programmverzeichnisse();
  form.TrayIconMain().activated(QSystemTrayIcon::DoubleClick);
  ASSERT_EQ(prompt.shown().size(), 3u);
  EXPECT_EQ(prompt.shown()[0].text,
            "Ihre UserID lautet:\n\rABCDEFG_U12_D8\n\r(diese sollten Sie ggf. bei Anfragen an den "
            "technischen Support angeben)\n\r");
  EXPECT_EQ(prompt.shown()[1].text.rfind("Das Programm wurde aus folgendem Pfad gestartet:\n\r" +
                                             context.ReadDir +
                                             "\n\r\n\rDaten werden derzeit in "
                                             "folgendem Verzeichnis abgelegt:\n\r" +
                                             context.WriteDir + "\n\r\n\r(",
                                         0),
            0u)
      << prompt.shown()[1].text;
  EXPECT_EQ(prompt.shown()[2].text,
            "MelodySeeker. Verwenden Sie das Kontextmenü zum Konfigurieren oder Beenden");
  for (const auto& s : prompt.shown()) EXPECT_EQ(s.kind, TPromptKind::Information);
}

TEST_F(MainformTest, ManualOpensOnlyWhenTheFileIsThere) {
  TMainform form(context);
  uitest::UrlCatcher opened(QStringLiteral("file"));
  {
    ScopedPrompt prompt;
    form.Action_Hilfe()->trigger();
    ASSERT_EQ(prompt.shown().size(), 1u);
    EXPECT_EQ(prompt.shown()[0].kind, TPromptKind::Warning);
    EXPECT_EQ(prompt.shown()[0].text.rfind("Die Hilfedatei wurde auf Ihrem lokalen Rechner nicht "
                                           "gefunden",
                                           0),
              0u);
    EXPECT_TRUE(opened.urls.empty());
  }
  std::ofstream(dir.file("read/MelodySeeker_Handbuch.pdf")) << "%PDF";
  ScopedPrompt prompt;
  form.Hilfe();
  EXPECT_TRUE(prompt.shown().empty());
  ASSERT_EQ(opened.urls.size(), 1u);
  EXPECT_EQ(opened.urls[0].toLocalFile().toStdString(), dir.file("read/MelodySeeker_Handbuch.pdf"));
}

TEST_F(MainformTest, ShortcutsActWhileAnotherWindowHasTheFocus) {
  TMainform form(context);
  Tmemoryinfo memory;
  form.SetWindows(nullptr, &memory, nullptr);
  const struct {
    QAction* action;
    QKeySequence keys;
  } expected[] = {{form.Action_Hilfe(), QKeySequence(Qt::Key_F1)},
                  {form.Action_Memdebug(), QKeySequence(QStringLiteral("Ctrl+Shift+M"))},
                  {form.Action_Testmode(), QKeySequence(QStringLiteral("Ctrl+Shift+T"))},
                  {form.Action_Local(), QKeySequence(QStringLiteral("Ctrl+Shift+L"))}};
  for (const auto& e : expected) {
    EXPECT_EQ(e.action->shortcut(), e.keys);
    EXPECT_EQ(e.action->shortcutContext(), Qt::ApplicationShortcut);
  }

  // The memory window, the only one open, gets Ctrl+Shift+T and Ctrl+Shift+M.
  memory.show();
  memory.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&memory));
  ScopedPrompt prompt;
  QTest::keyClick(&memory, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_EQ(prompt.shown().size(), 1u);
  EXPECT_EQ(prompt.shown()[0].text, "Der Testmodus wurde aktiviert");
  EXPECT_TRUE(TWebAPI::TestMode());
  memory.Memo()->setPlainText(QStringLiteral("alt"));
  QTest::keyClick(&memory, Qt::Key_M, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(memory.Memo()->toPlainText().startsWith(QStringLiteral("ReservedSmallBlockCount:")));
  memory.hide();
}

}  // namespace
