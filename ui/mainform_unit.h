#pragma once
// The hidden main window: owner of the tray icon, the tray menu and the four application-wide
// shortcuts, and the handlers of every menu item. It is never shown; its stored position is the
// only one the program keeps.
//
// The handlers call the core directly for what is the core's (configuration, debug flag,
// language override, cache directory, web modes) and show their messages through the prompt
// seam (ShowMessage), so the same texts reach a test's capturing prompt. The start-up and
// shutdown sequence is not here: "Beenden" only asks and then signals beendenRequested, and a
// successful configuration reset signals terminateRequested; the composition root
// (apps/melodyseeker) runs the core's steps for both.
//
// GUI thread only.

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QString>
#include <functional>
#include <string>

#include "formhook_unit.h"

class TTrayIcon;
class Tinfoform;
class Tmemoryinfo;
class TfrmKonfig;

struct TMainformContext {
  std::string ConfigFile;            // MelodySeeker.ini: stored position, reset
  std::string BackupDir;             // where the reset moves the old file
  std::string CacheDir;              // the local fingerprint cache directory
  std::string ReadDir;               // program directory (manual, directory information)
  std::string WriteDir;              // data directory (directory information)
  std::string LanguageKey;           // key of the language override: the full program path
  QString VersionText;               // "1.00 64Bit"
  std::function<int()> ClientCount;  // open client connections of the socket server
};

// The program file's modification date as dd.mm.yyyy, "00.00.0000" when unknown.
QString BuildDateText(const QString& programfile);

class TMainform final : public TFormHook {
  Q_OBJECT

 public:
  explicit TMainform(TMainformContext context, QWidget* parent = nullptr);
  ~TMainform() override;

  // The other windows the menu opens (created by the composition root in the program's order).
  void SetWindows(Tinfoform* about, Tmemoryinfo* memory, TfrmKonfig* decodersettings);
  // Lets the four shortcuts act while `window` has the focus.
  void AttachShortcuts(QWidget& window);

  QMenu& TrayPopupMenu() { return FMenu; }
  TTrayIcon& TrayIconMain() { return *FTray; }
  QAction* Action_Hilfe() const { return FHilfe; }
  QAction* Action_Memdebug() const { return FMemdebug; }
  QAction* Action_Testmode() const { return FTestmode; }
  QAction* Action_Local() const { return FLocal; }
  QAction* DebugItem() const { return FDebugItem; }
  const QString& BuildDate() const { return FBuildDate; }

  // Menu handlers (public so the composition root and tests can reach them as the menu does).
  void Decodereinstellungen();
  void Programmdebug(bool checked);
  void KonfigurationZuruecksetzen();
  void LokalenCacheLoeschen();
  void Programmverzeichnisse();
  void SetLanguage(const QString& code);
  void Sprachcode();
  void SpracheZuruecksetzen();
  void Hilfe();
  void Benutzerinformationen();
  void Programminformationen();
  void Memdebug();
  void Testmode();
  void Localmode();
  void TrayDoubleClick();
  void Beenden();

  // Shutdown steps of the window: the close query's trace lines and the stored position; the
  // close's trace line and hiding the tray icon.
  bool FormCloseQuery(std::string& error);
  void FormClose();

 signals:
  void beendenRequested();
  void terminateRequested();

 private:
  QAction* AddItem(QMenu& menu, const QString& text, void (TMainform::*handler)());

  const TMainformContext FContext;
  const QString FBuildDate;
  QMenu FMenu;
  TTrayIcon* FTray;
  QAction* FDebugItem = nullptr;
  QAction* FHilfe;
  QAction* FMemdebug;
  QAction* FTestmode;
  QAction* FLocal;
  QPointer<Tinfoform> FAbout;
  QPointer<Tmemoryinfo> FMemory;
  TfrmKonfig* FDecoder = nullptr;
};
