#pragma once
// Message boxes of the tray UI: the Qt side of the core's prompt seam (platform/ui_prompt.h).
//
// Every box is application-modal, centred on the screen (the main window is never shown, so
// there is nothing else to centre on), has the kind and buttons the caller names and no help
// button. Texts are plain text, never rich text, so a file name with "<" shows as it is. Lines
// joined by LF CR (or CR alone, or CR LF) become one line break each. Core texts are shown in
// the UI's language (TranslateCoreText).
//
// Threads: Show may be called from any thread; from a worker it waits until the GUI thread has
// shown and closed the box. REQUIRES: a QApplication exists.

#include <QString>
#include <string_view>

#include "platform/ui_prompt.h"

class TQtUiPrompt final : public TUiPrompt {
 public:
  TPromptResult Show(TPromptKind kind, std::string_view text, TPromptButtons buttons) override;
};

// The box itself, for UI code that already holds the text in the UI's language. GUI thread.
TPromptResult ShowMessageBox(TPromptKind kind, const QString& text, TPromptButtons buttons);

// LF CR, CR LF and CR alone as one "\n" each.
QString MessageBoxText(const QString& text);
