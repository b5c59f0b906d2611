// melodyseeker-cli: command-line client of the service and inspection tool for fingerprints,
// media headers, tags and cache files. Subcommands register themselves (cli_command.h).
#include "cli_command.h"

#include "melodyseeker_version.h"

#include <algorithm>
#include <iostream>

namespace mscli {

std::vector<RegisteredCommand>& Registry() {
  static std::vector<RegisteredCommand> commands;
  return commands;
}

MsCliCommand::MsCliCommand(std::string name, CommandSetup setup) {
  Registry().push_back({std::move(name), std::move(setup)});
}

}  // namespace mscli

int main(int argc, char** argv) {
  CLI::App app{"MelodySeeker command-line client and inspection tool"};
  app.set_version_flag("--version", MELODYSEEKER_VERSION_STRING);
  app.require_subcommand(1);

  auto& registry = mscli::Registry();
  std::sort(registry.begin(), registry.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  std::vector<std::pair<CLI::App*, std::function<int()>>> runners;
  for (auto& command : registry) {
    auto runner = command.setup(app);
    CLI::App* sub = app.get_subcommand(command.name);
    runners.emplace_back(sub, std::move(runner));
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : mscli::kExitUnavailable;
  }
  for (auto& [sub, runner] : runners) {
    if (sub != nullptr && sub->parsed()) return runner();
  }
  std::cerr << app.help();
  return mscli::kExitUnavailable;
}
