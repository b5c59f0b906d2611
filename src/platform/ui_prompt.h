#pragma once
// The one way the core shows a message box or asks a question.
//
// The core never talks to a window system. It calls ShowMessage, which hands the message to the
// installed TUiPrompt: the headless one (default) writes one line to standard error and answers
// a question with its non-destructive choice; the Qt tray UI installs a message-box one; tests
// install a capturing one. SetUiPrompt and ShowMessage may be called from any thread; the
// installed prompt must itself be thread-safe.

#include <memory>
#include <string>
#include <string_view>

enum class TPromptKind { Warning, Information, Confirmation, Error };

enum class TPromptButtons { Ok, OkCancel, OkAbort, YesNo, YesNoCancel, AbortRetryIgnore, RetryCancel };

enum class TPromptResult { Ok, Cancel, Yes, No, Abort, Retry, Ignore };

class TUiPrompt {
 public:
  virtual ~TUiPrompt() = default;
  virtual TPromptResult Show(TPromptKind kind, std::string_view text, TPromptButtons buttons) = 0;
};

// The answer that changes nothing: No, Abort, Cancel or Ok, by button set.
TPromptResult NonDestructiveChoice(TPromptButtons buttons);

// Writes "<kind>: <text>" on one line to standard error (line breaks inside the text become
// " / ") and returns NonDestructiveChoice.
class THeadlessPrompt final : public TUiPrompt {
 public:
  TPromptResult Show(TPromptKind kind, std::string_view text, TPromptButtons buttons) override;
};

// Installs `prompt` (nullptr restores the headless one); returns the previous one.
std::shared_ptr<TUiPrompt> SetUiPrompt(std::shared_ptr<TUiPrompt> prompt);

TPromptResult ShowMessage(TPromptKind kind, std::string_view text,
                          TPromptButtons buttons = TPromptButtons::Ok);
