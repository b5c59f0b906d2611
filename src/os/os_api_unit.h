#pragma once
// Operating system services used by several subsystems: running an external program with a time
// limit, version texts, opening a document with the desktop, and file moves.
//
// All functions are free, stateless and may run on any thread. The runners block the caller for
// at most the time limit and never throw: failures come back as the result plus an error text.
// No command line ever goes through a shell: a command template is split into arguments with
// shell quoting rules (SplitCommandLine), placeholders are replaced inside single arguments, and
// the program is started directly with posix_spawn.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using TCommandArgs = std::vector<std::string>;

// Splits a command template into arguments like a POSIX shell would, without expanding anything:
// blanks separate arguments, '...' quotes literally, "..." quotes with \" \\ \$ \` escapes, and a
// backslash outside quotes escapes the next character. An unterminated quote ends at the end.
TCommandArgs SplitCommandLine(std::string_view command_line);

// SplitCommandLine, then every occurrence of each placeholder (e.g. {"%i", file}) inside each
// argument is replaced by its value; placeholders match ignoring ASCII case ("%I" too), and an
// inserted value is never scanned again. A value never becomes more than the argument it stands
// in, whatever characters it holds.
TCommandArgs ExpandCommandTemplate(std::string_view command_template,
                                   const std::vector<std::pair<std::string, std::string>>& placeholders);

// Runs args[0] (searched on PATH when it has no '/') in its own process group, with standard
// input from /dev/null and no other inherited descriptor. Both streams are emptied first; the
// child's standard output goes to `output` and its error output to `error`, read while it runs
// (so it never blocks on a full pipe). A piece read is kept while its stream is still shorter
// than `byte_limit`, later pieces are read and dropped. Outcomes:
//  - start failed: `error` holds the system's message as one line, false;
//  - time limit passed: the child's process group is killed and the child reaped, `error`
//    starts with "processtimeout after %d ms", false;
//  - exit code != 0 (a signal counts as 255): `error` starts with "process exit code %d", false;
//  - exit code 0: true.
// Message lines end with CR LF. The string form splits `command_line` with SplitCommandLine;
// an empty one fails like a failed start.
bool RunProcessPiped(const TCommandArgs& args, std::string& output, std::string& error,
                     std::uint32_t timeout_ms, std::uint32_t byte_limit);
bool RunProcessPiped(std::string_view command_line, std::string& output, std::string& error,
                     std::uint32_t timeout_ms, std::uint32_t byte_limit);

// Ends every program a runner is waiting for (its whole process group, SIGKILL) and makes every
// later start fail at once (ECANCELED): the service's shutdown, so that no decoder outlives the
// service or holds it up. The runners then return false as for a killed child. Any thread;
// there is no way back.
void AbortAllProcesses();

// As RunProcessPiped, but all three standard streams of the child are /dev/null and the message
// text (without line break) goes to `error`, which is emptied first.
bool RunProcess(const TCommandArgs& args, std::uint32_t timeout_ms, std::string& error);
bool RunProcess(std::string_view command_line, std::uint32_t timeout_ms, std::string& error);

// Kernel and distribution version: major/minor from the kernel release, text like
// "Linux 6.1 [Debian GNU/Linux 12 (bookworm)]". False only when the query fails outright.
bool GetOSVersionString(std::int32_t& major, std::int32_t& minor, std::string& text);

// Wine runs Windows programs; this program is native, so never.
inline bool IsWine() { return false; }

// The program version from the build: full "1.00.00.00", short "1.00" (plus a letter for a
// release number).
std::string GetAppVersionStr(bool full);

// The formatting behind GetAppVersionStr: full "%d.%02d.%02d.%02d" (3.02.01.07); short
// "%d.%02d" followed, for release != 0, by the character 96 + release (3.02a).
std::string FormatAppVersion(int major, int minor, int release, int build, bool full);

// Opens `file` (a path or an address) with the desktop's default application through xdg-open,
// started in `directory` when one is given; does not wait for it (a background thread reaps it).
// `file` is handed over as one argument exactly as given (no quotes added); only the operation
// "open" (any case) exists, `parameters` and `show_mode` have no meaning here. Returns 42 when
// xdg-open was started, 2147483647 when operation or file is empty, otherwise a small error
// number: 2 file or xdg-open not found, 5 access denied, 8 out of memory, 31 anything else
// (including an operation other than "open").
std::int32_t ShellOpen(const std::string& operation, const std::string& file,
                       const std::string& parameters, const std::string& directory,
                       std::int32_t show_mode);

// Adds double quotes at both ends unless the text is empty or starts or ends with one.
std::string QuoteIfNeeded(const std::string& text);

// `plain`: rename that fails when the target exists (never replaces it, also on file systems
// without an atomic no-replace rename); otherwise rename replacing the target. Both fail across
// file systems.
bool MoveOrReplaceFile(const std::string& source, const std::string& target, bool plain);
