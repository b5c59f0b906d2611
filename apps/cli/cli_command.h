#pragma once
// Subcommand registry of melodyseeker-cli.
//
// Each subcommand lives in its own file in apps/cli and registers itself with a static
// MsCliCommand object; main() asks every registered command to add itself to the CLI11 app and
// runs the one the user chose. Registration happens during static initialisation, before main().

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace mscli {

// Exit codes shared by all subcommands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;      // a file failed (error reply, unreadable input)
inline constexpr int kExitUnavailable = 2;  // the service or a required resource cannot be reached

// setup() adds the subcommand to the app and returns a runner that is called when the user
// chose it; the runner's result is the process exit code.
using CommandSetup = std::function<std::function<int()>(CLI::App& app)>;

struct MsCliCommand {
  MsCliCommand(std::string name, CommandSetup setup);
};

struct RegisteredCommand {
  std::string name;
  CommandSetup setup;
};
std::vector<RegisteredCommand>& Registry();

}  // namespace mscli
