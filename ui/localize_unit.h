#pragma once
// The language of the tray UI. German texts are the source texts; the English translation
// (ui/translations, compiled in) is installed at start-up when the user's language override is
// "EN". Any other code, or none, keeps German.
//
// The core cannot use Qt's translation, so the texts it hands to the UI (message boxes through
// the prompt seam, the download window's status lines) are translated here: each line of such
// a text is looked up whole, then against the catalogue of core texts with values in them
// ("Anwendung "%1" läuft bereits!"), whose values are translated in turn ("Abgebrochen %1"
// around a reason). A line that matches nothing is shown as it is (technical texts of the
// transport, paths, the service's own message).
//
// GUI thread for LoadLanguage; TranslateCoreText from any thread once the language is set.

#include <QString>
#include <string>
#include <string_view>

// Installs the translation for `code` (trimmed, any case): "EN" English; anything else German.
// Also loads Qt's own texts (file dialog) for the chosen language when the system has them.
// True when the English translation is active afterwards.
bool LoadLanguage(const std::string& code);

// True while the English translation is installed.
bool EnglishActive();

// A text of the core in the UI's language (unchanged while German is active).
QString TranslateCoreText(std::string_view text);
