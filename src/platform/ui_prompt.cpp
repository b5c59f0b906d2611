#include "platform/ui_prompt.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex g_prompt_mutex;
std::shared_ptr<TUiPrompt> g_prompt;  // guarded by g_prompt_mutex; null = headless

const char* KindName(TPromptKind kind) {
  switch (kind) {
    case TPromptKind::Warning: return "warning";
    case TPromptKind::Information: return "information";
    case TPromptKind::Confirmation: return "question";
    case TPromptKind::Error: return "error";
  }
  return "message";
}

}  // namespace

TPromptResult NonDestructiveChoice(TPromptButtons buttons) {
  switch (buttons) {
    case TPromptButtons::Ok: return TPromptResult::Ok;
    case TPromptButtons::OkCancel: return TPromptResult::Cancel;
    case TPromptButtons::OkAbort: return TPromptResult::Abort;
    case TPromptButtons::YesNo: return TPromptResult::No;
    case TPromptButtons::YesNoCancel: return TPromptResult::Cancel;
    case TPromptButtons::AbortRetryIgnore: return TPromptResult::Abort;
    case TPromptButtons::RetryCancel: return TPromptResult::Cancel;
  }
  return TPromptResult::Cancel;
}

TPromptResult THeadlessPrompt::Show(TPromptKind kind, std::string_view text, TPromptButtons buttons) {
  // Message texts join lines with LF CR; on a terminal one line per message reads best.
  std::string line = KindName(kind);
  line += ": ";
  bool in_break = false;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      if (!in_break) line += " / ";
      in_break = true;
      continue;
    }
    in_break = false;
    line += c;
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return NonDestructiveChoice(buttons);
}

std::shared_ptr<TUiPrompt> SetUiPrompt(std::shared_ptr<TUiPrompt> prompt) {
  std::lock_guard lock(g_prompt_mutex);
  std::swap(g_prompt, prompt);
  return prompt;
}

TPromptResult ShowMessage(TPromptKind kind, std::string_view text, TPromptButtons buttons) {
  std::shared_ptr<TUiPrompt> prompt;
  {
    std::lock_guard lock(g_prompt_mutex);
    prompt = g_prompt;
  }
  if (prompt) return prompt->Show(kind, text, buttons);
  THeadlessPrompt headless;
  return headless.Show(kind, text, buttons);
}
