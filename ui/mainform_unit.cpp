#include "mainform_unit.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QInputDialog>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>

#include "diagnostics/debug_unit.h"
#include "formutil_unit.h"
#include "informationen_unit.h"
#include "meminfo.h"
#include "platform/ui_prompt.h"
#include "service/melodyseeker_glob_unit.h"
#include "service/startoncemutex_unit.h"
#include "trayicon_unit.h"
#include "web/webapi_unit.h"

namespace {

constexpr char kLFCR[] = "\n\r";
constexpr char kManual[] = "MelodySeeker_Handbuch.pdf";

std::string S(const QString& text) { return text.toStdString(); }

void Info(const QString& text) { ShowMessage(TPromptKind::Information, S(text)); }
void Warn(const QString& text) { ShowMessage(TPromptKind::Warning, S(text)); }

}  // namespace

QString BuildDateText(const QString& programfile) {
  const QFileInfo info(programfile);
  const QDateTime modified = info.exists() ? info.lastModified() : QDateTime();
  return modified.isValid() ? modified.toString(QStringLiteral("dd.MM.yyyy"))
                            : QStringLiteral("00.00.0000");
}

TMainform::TMainform(TMainformContext context, QWidget* parent)
    : TFormHook(parent, Qt::Window),
      FContext(std::move(context)),
      FBuildDate(BuildDateText(QCoreApplication::applicationFilePath())),
      FMenu(),
      FTray(new TTrayIcon(&FMenu, this)),
      FHilfe(new QAction(this)),
      FMemdebug(new QAction(this)),
      FTestmode(new QAction(this)),
      FLocal(new QAction(this)) {
  setObjectName(QStringLiteral("Mainform"));
  setWindowTitle(QString::fromLatin1(kProductName) + QStringLiteral(" - v") + FContext.VersionText);
  auto* panel = new QWidget(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(panel);
  panel->setContentsMargins(4, 4, 4, 4);
  setMinimumSize(250, 50);
  resize(250, 50);

  // The tray menu, in its fixed order.
  QMenu* konfig = FMenu.addMenu(tr("Konfiguration"));
  AddItem(*konfig, tr("Decodereinstellungen"), &TMainform::Decodereinstellungen);
  konfig->addSeparator();
  FDebugItem = konfig->addAction(tr("Programmdebug"));
  FDebugItem->setCheckable(true);
  connect(FDebugItem, &QAction::triggered, this, &TMainform::Programmdebug);
  AddItem(*konfig, tr("Programmkonfiguration zurücksetzen"),
          &TMainform::KonfigurationZuruecksetzen);
  AddItem(*konfig, tr("Lokalen Cache löschen"), &TMainform::LokalenCacheLoeschen);
  AddItem(*konfig, tr("Informationen zu den Programmverzeichnissen"),
          &TMainform::Programmverzeichnisse);
  QMenu* sprache = FMenu.addMenu(tr("Sprache"));
  connect(sprache->addAction(tr("Deutsch")), &QAction::triggered, this,
          [this] { SetLanguage(QStringLiteral("DE")); });
  connect(sprache->addAction(tr("Englisch")), &QAction::triggered, this,
          [this] { SetLanguage(QStringLiteral("EN")); });
  sprache->addSeparator();
  AddItem(*sprache, tr("Sprachcode eingeben"), &TMainform::Sprachcode);
  sprache->addSeparator();
  AddItem(*sprache, tr("Zurücksetzen"), &TMainform::SpracheZuruecksetzen);
  QMenu* hilfe = FMenu.addMenu(tr("Hilfe"));
  AddItem(*hilfe, tr("Programmdokumentation"), &TMainform::Hilfe);
  hilfe->addSeparator();
  AddItem(*hilfe, tr("Benutzerinformationen"), &TMainform::Benutzerinformationen);
  AddItem(*hilfe, tr("Programminformationen"), &TMainform::Programminformationen);
  FMenu.addSeparator();
  AddItem(FMenu, tr("Beenden"), &TMainform::Beenden);
  connect(FTray, &TTrayIcon::doubleClicked, this, &TMainform::TrayDoubleClick);

  // The action list: these act while any window of the program has the focus.
  const struct {
    QAction* action;
    const char* name;
    QKeySequence keys;
    void (TMainform::*handler)();
  } actions[] = {
      {FHilfe, "Action_Hilfe", QKeySequence(Qt::Key_F1), &TMainform::Hilfe},
      {FMemdebug, "Action_Memdebug", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_M),
       &TMainform::Memdebug},
      {FTestmode, "Action_Testmode", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T),
       &TMainform::Testmode},
      {FLocal, "Action_Local", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L),
       &TMainform::Localmode},
  };
  for (const auto& a : actions) {
    a.action->setObjectName(QString::fromLatin1(a.name));
    a.action->setShortcut(a.keys);
    a.action->setShortcutContext(Qt::ApplicationShortcut);
    connect(a.action, &QAction::triggered, this, a.handler);
    addAction(a.action);
  }

  // What LoadConfig did for the window: the check mark and the stored position (fixed size).
  FDebugItem->setChecked(GetConfig().DebugStart);
  LoadFormPosition(FContext.ConfigFile, *this, 250, 50, true);
}

TMainform::~TMainform() = default;

QAction* TMainform::AddItem(QMenu& menu, const QString& text, void (TMainform::*handler)()) {
  QAction* action = menu.addAction(text);
  connect(action, &QAction::triggered, this, handler);
  return action;
}

void TMainform::SetWindows(Tinfoform* about, Tmemoryinfo* memory, TfrmKonfig* decodersettings) {
  FAbout = about;
  FMemory = memory;
  FDecoder = decodersettings;
  if (about != nullptr) {
    connect(about, &Tinfoform::helpRequested, this, &TMainform::Hilfe);
    AttachShortcuts(*about);
  }
  if (memory != nullptr) AttachShortcuts(*memory);
}

void TMainform::AttachShortcuts(QWidget& window) {
  window.addActions({FHilfe, FMemdebug, FTestmode, FLocal});
}

void TMainform::Decodereinstellungen() {}

void TMainform::Programmdebug(bool checked) {
  TMelodySeekerConfig config = GetConfig();
  config.DebugStart = checked;
  SetConfig(config);
  if (checked) {
    const TPromptResult answer = ShowMessage(TPromptKind::Confirmation,
                                             S(tr("Diese Funktion sollte nur in Absprache mit dem "
                                                  "techischen Support aktiviert werden!")) +
                                                 kLFCR + S(tr("Funktion aktivieren?")),
                                             TPromptButtons::YesNo);
    if (answer == TPromptResult::Yes) {
      Info(tr("Achtung: Debugmode aktiv!") + QString::fromLatin1(kLFCR) +
           tr("Damit diese Änderung gültig wird, müssen Sie die Software neu starten!"));
    } else {
      config.DebugStart = false;
      SetConfig(config);
      FDebugItem->setChecked(false);
    }
  } else {
    Info(tr("Sie haben den Debug Modus deaktiviert.") + QString::fromLatin1(kLFCR) +
         tr("Damit diese Änderung gültig wird, müssen Sie die Software neu starten!"));
  }
}

void TMainform::KonfigurationZuruecksetzen() {
  Debug_Log("Std.Konfig wiederherstellen");
  if (ResetConfiguration(FContext.ConfigFile, FContext.BackupDir)) emit terminateRequested();
}

void TMainform::LokalenCacheLoeschen() {
  const TPromptResult answer =
      ShowMessage(TPromptKind::Confirmation,
                  S(tr("Wollen Sie den lokalen Cache jetzt löschen? Er muss dann bei der nächsten "
                       "Programmausführung neu aufgebaut/heruntergeladen werden.")),
                  TPromptButtons::YesNo);
  if (answer != TPromptResult::Yes) return;
  namespace fs = std::filesystem;
  bool all = true;
  std::error_code ec;
  for (fs::directory_iterator it(FContext.CacheDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fe;
    if (!it->is_regular_file(fe)) continue;
    if (!fs::remove(it->path(), fe)) all = false;
  }
  if (ec) all = false;
  if (all)
    Info(tr("Cache erfolgreich gelöscht"));
  else
    Info(
        tr("Cache konnte nicht vollständig gelöscht werden. Bitte starten Sie das Programm neu "
           "und versuchen Sie es erneut"));
}

void TMainform::Programmverzeichnisse() {
  Info(tr("Das Programm wurde aus folgendem Pfad gestartet:") + QString::fromLatin1(kLFCR) +
       QString::fromStdString(FContext.ReadDir) + QString::fromLatin1(kLFCR) +
       QString::fromLatin1(kLFCR) + tr("Daten werden derzeit in folgendem Verzeichnis abgelegt:") +
       QString::fromLatin1(kLFCR) + QString::fromStdString(FContext.WriteDir) +
       QString::fromLatin1(kLFCR) + QString::fromLatin1(kLFCR) +
       tr("(Datenpfad Wahlweise $APPDATA oder $XDG_DATA_HOME bzw. ~/.local/share)") +
       QString::fromLatin1(kLFCR));
}

void TMainform::SetLanguage(const QString& code) {
  if (!SetLanguageOverride(FContext.LanguageKey, S(code))) {
    Warn(tr("Die Spracheinstellung konnte nicht gespeichert werden: %1")
             .arg(QString::fromStdString(LanguageOverrideFile())));
    return;
  }
  Info(tr("Sprache %1 wurde eingestellt, bitte starten Sie die Anwendung neu damit die Änderung "
          "wirksam wird")
           .arg(code));
}

void TMainform::Sprachcode() {
  QInputDialog dialog;
  dialog.setWindowTitle(tr("Sprachcode eingeben"));
  dialog.setLabelText(tr("Bitte Sprachcode eingeben (zweistellig):"));
  dialog.setTextValue(QString::fromStdString(GetLanguageOverride(FContext.LanguageKey)));
  dialog.setOkButtonText(QCoreApplication::translate("TQtUiPrompt", "OK"));
  dialog.setCancelButtonText(QCoreApplication::translate("TQtUiPrompt", "Abbrechen"));
  dialog.setWindowModality(Qt::ApplicationModal);
  if (dialog.exec() != QDialog::Accepted) return;
  SetLanguage(dialog.textValue().trimmed().toUpper());
}

void TMainform::SpracheZuruecksetzen() {
  if (!ClearLanguageOverride(FContext.LanguageKey)) {
    Warn(tr("Die Spracheinstellung konnte nicht gespeichert werden: %1")
             .arg(QString::fromStdString(LanguageOverrideFile())));
    return;
  }
  Info(
      tr("Die Spracheeinstellung wurde zurückgesetzt, bitte starten Sie die Anwendung neu damit "
         "die Änderung wirksam wird"));
}

void TMainform::Hilfe() {
  QString reference = QString::fromLatin1(kManual);
  QUrl target;
  if (reference.left(4).toLower() != QStringLiteral("http")) {
    const QString candidate = QString::fromStdString(FContext.ReadDir) + u'/' + reference;
    if (QFileInfo(candidate).isFile()) target = QUrl::fromLocalFile(candidate);
  } else {
    target = QUrl(reference);
  }
  if (target.isEmpty()) {
    Warn(
        tr("Die Hilfedatei wurde auf Ihrem lokalen Rechner nicht gefunden, bitte gehen Sie auf "
           "die Webseite, dort finden Sie eine Kopie der Dokumentation!"));
    return;
  }
  if (!QDesktopServices::openUrl(target))
    Warn(tr("Fehler beim Starten der Hilfe!") + QString::fromLatin1(kLFCR) +
         tr("%1 konnte nicht geöffnet werden").arg(target.toDisplayString()));
}

void TMainform::Benutzerinformationen() {
  const TMelodySeekerConfig c = GetConfig();
  Info(tr("Ihre UserID lautet:") + QString::fromLatin1(kLFCR) + QString::fromStdString(c.userid) +
       QStringLiteral("_U") + QString::number(c.UCOUNT) + QStringLiteral("_D") +
       QString::number(TodayDayNumber() - c.INSTDATUM) + QString::fromLatin1(kLFCR) +
       tr("(diese sollten Sie ggf. bei Anfragen an den technischen Support angeben)") +
       QString::fromLatin1(kLFCR));
}

void TMainform::Programminformationen() {
  if (FAbout == nullptr) return;
  const TMelodySeekerConfig c = GetConfig();
  FAbout->anzeigen(FContext.VersionText, FBuildDate,
                   {QString::fromStdString(c.userid), c.UCOUNT, TodayDayNumber() - c.INSTDATUM});
}

void TMainform::Memdebug() {
  if (FMemory == nullptr) return;
  FMemory->datenladen();
  FMemory->show();
  FMemory->raise();
}

void TMainform::Testmode() {
  TWebAPI::SetTestMode();
  Info(tr("Der Testmodus wurde aktiviert"));
}

void TMainform::Localmode() {
  TWebAPI::SetLocalMode();
  Info(tr("Der lokale Modus wurde aktiviert"));
}

void TMainform::TrayDoubleClick() {
  Info(tr("MelodySeeker. Verwenden Sie das Kontextmenü zum Konfigurieren oder Beenden"));
}

void TMainform::Beenden() {
  const int clients = FContext.ClientCount ? FContext.ClientCount() : 0;
  if (clients > 0 &&
      ShowMessage(TPromptKind::Confirmation,
                  S(tr("Es sind noch %1 lokale Client Verbindungen offen, wollen Sie diese "
                       "Abbrechen und trotzdem beenden?")
                        .arg(clients)),
                  TPromptButtons::YesNo) != TPromptResult::Yes)
    return;
  emit beendenRequested();
}

bool TMainform::FormCloseQuery(std::string& error) {
  Debug_Log("Formclose Query");
  Debug_Log("Formclose Query (zugelassen)");
  return SaveFormPosition(FContext.ConfigFile, *this, error);
}

void TMainform::FormClose() {
  Debug_Log("Programmende: Shutdown (Tray)");
  try {
    FTray->hide();
  } catch (const std::exception& e) {
    Debug_Log(std::string("Exception: ") + e.what());
  }
}
