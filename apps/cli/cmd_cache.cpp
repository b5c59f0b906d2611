// melodyseeker-cli cache [--json] DIR
//
// Loads a fingerprint cache directory as the service does after its download (full series not
// kept in memory) and prints what it found: cache files, records indexed, records handed out
// (valid, revision '5' and up), rows with quick data and the load time.
// Exit code: 0 when the cache loads, 1 with the error text when the directory is missing or a
// file is unreadable or malformed.
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "afp/afpcomp_unit.h"
#include "cli_command.h"

namespace {

struct Options {
  std::string dir;
  bool json = false;
};

int Run(const Options& options) {
  nlohmann::ordered_json line{{"dir", options.dir}, {"files", 0},   {"records", 0}, {"valid", 0},
                              {"quick", 0},         {"load_ms", 0}, {"error", ""}};
  int result = mscli::kExitOk;
  TAFPComp comp;
  const auto start = std::chrono::steady_clock::now();
  try {
    // The loader treats a missing directory as an empty cache; here a mistyped name must not
    // look like an empty download.
    if (!std::filesystem::is_directory(options.dir))
      throw std::runtime_error("Verzeichnis nicht gefunden: " + options.dir);
    comp.loadfromafpcache(options.dir, false);
  } catch (const std::exception& e) {
    line["error"] = e.what();
    result = mscli::kExitFailure;
  }
  line["load_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
  if (const auto cache = comp.afpcache()) {
    line["files"] = cache->FileCount();
    line["records"] = cache->RecordCount();
    line["valid"] = cache->HandedOut();
  }
  std::int64_t quick = 0;
  for (std::int32_t r = 0; r < comp.afpcompdata_rc(); ++r) quick += comp.afpcheck(r);
  line["quick"] = quick;
  if (options.json) {
    std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  } else {
    for (const auto& [key, value] : line.items())
      std::cout << key << ": " << (value.is_string() ? value.get<std::string>() : value.dump()) << '\n';
  }
  if (result != mscli::kExitOk && !options.json)
    std::cerr << "melodyseeker-cli cache: " << line["error"].get<std::string>() << '\n';
  return result;
}

const mscli::MsCliCommand kCache("cache", [](CLI::App& app) {
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand("cache", "Load a fingerprint cache directory");
  sub->add_flag("--json", options->json, "Print one JSON object");
  sub->add_option("DIR", options->dir, "Directory with afp*.afpbin files")->required();
  return [options] { return Run(*options); };
});

}  // namespace
