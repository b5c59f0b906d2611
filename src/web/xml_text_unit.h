#pragma once
// Helpers shared by every module that reads or writes XML with libxml2 (the client protocol and
// the web service documents). Stateless apart from libxml2's one-time set-up; thread-safe.

#include <string>
#include <string_view>

// Sets up libxml2's global tables exactly once. Its own lazy set-up is not safe when two threads
// reach it at the same time, so every XML entry point calls this first.
void InitLibxml();

// True when XML 1.0 can carry this UTF-16 unit (as a character or a reference).
bool XmlAllows(char16_t unit);

// Invalid UTF-8 and characters that XML cannot carry become U+FFFD, so a document built from
// tag texts or file names always stays well-formed.
std::string XmlText(std::string_view text);
