#pragma once
// What the control subcommands (status, config, decoder, debug, language, clear-cache, info)
// share: the terminal's stand-in for the tray's message boxes, and finding the service.
//
// Messages of the core's flows reach TTerminalPrompt: information on standard output, warnings
// and errors on standard error, line breaks as on a terminal. A question is asked on a terminal
// (y/j for yes); without a terminal it gets its non-destructive answer unless --yes was given,
// so a script never deletes anything by accident.

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "platform/ui_prompt.h"
#include "service/servicecontrol_unit.h"
#include "service/syspfadutil_unit.h"

namespace mscli {

// Exit codes of `status`.
inline constexpr int kExitNotReady = 3;
inline constexpr int kExitNotRunning = 4;

// The message texts join lines with LF CR (or CR alone); a terminal wants LF.
inline std::string TerminalText(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && i + 1 < text.size() && text[i + 1] == '\r') {
      out += '\n';
      ++i;
    } else if (text[i] == '\r') {
      out += '\n';
    } else {
      out += text[i];
    }
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class TTerminalPrompt final : public TUiPrompt {
 public:
  explicit TTerminalPrompt(bool yes) : FYes(yes) {}
  TPromptResult Show(TPromptKind kind, std::string_view text, TPromptButtons buttons) override {
    const std::string shown = TerminalText(text);
    if (buttons == TPromptButtons::Ok) {
      (kind == TPromptKind::Warning || kind == TPromptKind::Error ? std::cerr : std::cout)
          << shown << std::endl;
      return TPromptResult::Ok;
    }
    const TPromptResult yes =
        (buttons == TPromptButtons::OkCancel || buttons == TPromptButtons::OkAbort) ? TPromptResult::Ok
                                                                                   : TPromptResult::Yes;
    if (FYes) return yes;
    if (!::isatty(STDIN_FILENO)) {
      std::cerr << shown << "\n(ohne Terminal nicht bestätigt; --yes bestätigt)" << std::endl;
      return NonDestructiveChoice(buttons);
    }
    std::cerr << shown << " [j/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer == "j" || answer == "J" || answer == "ja" || answer == "y" || answer == "yes")
      return yes;
    return NonDestructiveChoice(buttons);
  }

 private:
  bool FYes;
};

inline void InstallTerminalPrompt(bool yes) { SetUiPrompt(std::make_shared<TTerminalPrompt>(yes)); }

// The service as started from this program's directory.
inline TServiceTarget FindService() { return LocateService(GetExeDir(), "melodyseeker"); }

// After a change of the configuration file: a running service reads it again at once.
inline void TellService(const TServiceTarget& target) {
  if (NotifyConfigurationChanged(target))
    std::cout << "Der laufende Dienst (PID " << target.Status.Pid
              << ") liest die Konfiguration neu ein." << std::endl;
}

// True with a message on standard error when no data directory is usable.
inline bool NoDataDir(const TServiceTarget& target, const char* command) {
  if (!target.ConfigFile.empty()) return false;
  std::cerr << "melodyseeker-cli " << command
            << ": Interner Fehler: Es konnte kein Datenpfad gefunden/erzeugt werden!" << std::endl;
  return true;
}

}  // namespace mscli
