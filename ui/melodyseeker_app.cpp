#include "melodyseeker_app.h"

#include <exception>

#include "diagnostics/debug_unit.h"
#include "feedback_register_unit.h"
#include "platform/ui_prompt.h"
#include "service/melodyseeker_glob_unit.h"

namespace {

const QString kLFCR = QStringLiteral("\n\r");

}  // namespace

TMelodySeekerApp::TMelodySeekerApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QString::fromLatin1(kProductName));
  setQuitOnLastWindowClosed(false);  // the program lives in the tray, not in a window
}

bool TMelodySeekerApp::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    AppException(QString::fromUtf8(e.what()));
  } catch (...) {
    AppException(tr("Unbekannter Fehler"));
  }
  return false;
}

QString TMelodySeekerApp::ExceptionReport(const QString& message) const {
  QString report = QStringLiteral("Exception: ") + message + kLFCR + kLFCR +
                   QString::fromStdString(Debug_Dump()) + kLFCR + kLFCR;
  for (QWidget* w : topLevelWidgets())
    if (w->isVisible()) report += w->objectName() + QStringLiteral(" / ");
  report += kLFCR;
  if (FMainForm != nullptr)
    if (QWidget* active = FMainForm->focusWidget())
      report += QStringLiteral("Aktive Control: ") + active->objectName() + QStringLiteral(" [") +
                QString::fromLatin1(active->metaObject()->className()) + QStringLiteral("]");
  report += kLFCR;
  return report;
}

void TMelodySeekerApp::AppException(const QString& message) {
  try {
    Debug_Log("Exception Report: " + message.toStdString());
  } catch (...) {
  }
  const TPromptResult answer = ShowMessage(
      TPromptKind::Warning,
      (tr("Es ist folgendes Problem aufgetreten:") + kLFCR + message + kLFCR + kLFCR + kLFCR +
       tr("Wollen Sie das Problem zur allgemeinen Programmverbesserung an die Entwicklung "
          "schicken?"))
          .toStdString(),
      TPromptButtons::YesNo);
  ShowMessage(TPromptKind::Information,
              tr("Bitte überprüfen Sie bei Problemen immer ob eine neuere Programmversion "
                 "vorliegt.")
                  .toStdString());
  if (answer != TPromptResult::Yes) return;
  try {
    const TMelodySeekerConfig c = GetConfig();
    SendFeedbackMail(QString::fromLatin1(kProductName), FVersion, QString::fromStdString(c.userid),
                     c.UCOUNT, TodayDayNumber() - c.INSTDATUM, QStringLiteral("ExceptionReport"),
                     ExceptionReport(message));
  } catch (...) {
  }
}
