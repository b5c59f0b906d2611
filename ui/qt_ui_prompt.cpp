#include "qt_ui_prompt.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include "localize_unit.h"

namespace {

QMessageBox::Icon IconOf(TPromptKind kind) {
  switch (kind) {
    case TPromptKind::Warning:
      return QMessageBox::Warning;
    case TPromptKind::Information:
      return QMessageBox::Information;
    case TPromptKind::Confirmation:
      return QMessageBox::Question;
    case TPromptKind::Error:
      return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ButtonsOf(TPromptButtons buttons) {
  switch (buttons) {
    case TPromptButtons::Ok:
      return QMessageBox::Ok;
    case TPromptButtons::OkCancel:
      return QMessageBox::Ok | QMessageBox::Cancel;
    case TPromptButtons::OkAbort:
      return QMessageBox::Ok | QMessageBox::Abort;
    case TPromptButtons::YesNo:
      return QMessageBox::Yes | QMessageBox::No;
    case TPromptButtons::YesNoCancel:
      return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case TPromptButtons::AbortRetryIgnore:
      return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    case TPromptButtons::RetryCancel:
      return QMessageBox::Retry | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

QMessageBox::StandardButton EscapeButtonOf(TPromptButtons buttons) {
  switch (NonDestructiveChoice(buttons)) {
    case TPromptResult::No:
      return QMessageBox::No;
    case TPromptResult::Cancel:
      return QMessageBox::Cancel;
    case TPromptResult::Abort:
      return QMessageBox::Abort;
    default:
      return QMessageBox::Ok;
  }
}

TPromptResult ResultOf(int button, TPromptButtons buttons) {
  switch (button) {
    case QMessageBox::Ok:
      return TPromptResult::Ok;
    case QMessageBox::Cancel:
      return TPromptResult::Cancel;
    case QMessageBox::Yes:
      return TPromptResult::Yes;
    case QMessageBox::No:
      return TPromptResult::No;
    case QMessageBox::Abort:
      return TPromptResult::Abort;
    case QMessageBox::Retry:
      return TPromptResult::Retry;
    case QMessageBox::Ignore:
      return TPromptResult::Ignore;
    default:
      return NonDestructiveChoice(buttons);  // closed by the window manager
  }
}

}  // namespace

QString MessageBoxText(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == u'\n' || c == u'\r') {
      // A pair of different break characters is one break; two equal ones are two.
      if (i + 1 < text.size() && (text[i + 1] == u'\n' || text[i + 1] == u'\r') && text[i + 1] != c)
        ++i;
      out += u'\n';
      continue;
    }
    out += c;
  }
  return out;
}

TPromptResult ShowMessageBox(TPromptKind kind, const QString& text, TPromptButtons buttons) {
  QMessageBox box(IconOf(kind), QStringLiteral("MelodySeeker"), MessageBoxText(text),
                  ButtonsOf(buttons));
  box.setTextFormat(Qt::PlainText);
  // The button captions belong to the program's texts (German, or the English translation),
  // not to Qt's own English ones.
  const struct {
    QMessageBox::StandardButton button;
    const char* text;
  } captions[] = {
      {QMessageBox::Ok, QT_TRANSLATE_NOOP("TQtUiPrompt", "OK")},
      {QMessageBox::Cancel, QT_TRANSLATE_NOOP("TQtUiPrompt", "Abbrechen")},
      {QMessageBox::Abort, QT_TRANSLATE_NOOP("TQtUiPrompt", "&Abbrechen")},
      {QMessageBox::Yes, QT_TRANSLATE_NOOP("TQtUiPrompt", "&Ja")},
      {QMessageBox::No, QT_TRANSLATE_NOOP("TQtUiPrompt", "&Nein")},
      {QMessageBox::Retry, QT_TRANSLATE_NOOP("TQtUiPrompt", "&Wiederholen")},
      {QMessageBox::Ignore, QT_TRANSLATE_NOOP("TQtUiPrompt", "&Ignorieren")},
  };
  for (const auto& c : captions)
    if (QAbstractButton* b = box.button(c.button))
      b->setText(QCoreApplication::translate("TQtUiPrompt", c.text));
  box.setWindowModality(Qt::ApplicationModal);
  // Escape (and closing the window) gives the choice that changes nothing.
  if (QAbstractButton* escape = box.button(EscapeButtonOf(buttons))) box.setEscapeButton(escape);
  box.adjustSize();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = box.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    box.move(frame.topLeft());
  }
  return ResultOf(box.exec(), buttons);
}

TPromptResult TQtUiPrompt::Show(TPromptKind kind, std::string_view text, TPromptButtons buttons) {
  const QString translated = TranslateCoreText(text);
  if (QThread::currentThread() == qApp->thread()) return ShowMessageBox(kind, translated, buttons);
  TPromptResult result = NonDestructiveChoice(buttons);
  QMetaObject::invokeMethod(
      qApp, [&] { result = ShowMessageBox(kind, translated, buttons); },
      Qt::BlockingQueuedConnection);
  return result;
}
