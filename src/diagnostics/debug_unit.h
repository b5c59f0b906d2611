#pragma once
// The crash trace: while active, "debug.tmp" in the data directory always holds a fresh image of
// the last actions (header, latest action, a ring of the last five with time and number). Each
// action rewrites the image from offset 0; the file never grows past the largest image.
//
// One instance per process. Every call is thread-safe (one recursive module lock); Debug_Log
// returns at once, without the lock, while the trace is not active.

#include <string>
#include <string_view>

// Starts the trace into directory + "debug.tmp". Empty directory: false, no message. Failures
// show a warning through the UI prompt and give false.
bool Debug_Init(std::string_view header, std::string_view directory);

// Closes the file (and deletes it when asked). Logging is skipped afterwards. The descriptor
// counts as closed even when close() reports an error, so no later action can write into a
// file that reuses its number.
bool Debug_Done(bool deletefile);

// Records one action (UTF-8; each character is written as the low byte of its UTF-16 unit).
void Debug_Log(std::string_view action);

// The current image read back (at most 10241 bytes, each byte one Latin-1 character, returned
// as UTF-8), from the first byte up to the first NUL after it; or an error text.
std::string Debug_Dump();
