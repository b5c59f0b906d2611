// The tray menu's commands from the command line, each working whether the service runs or
// not (the logic is the core's, src/service/servicecontrol_unit.h):
//
//   status [--json]                           exit 0 ready, 3 not ready, 4 not running
//   config show [--json] | set SECTION.KEY VALUE | reset [--yes]
//   debug on|off [--yes]
//   language show [--json] | set CODE | reset
//   clear-cache [--yes]
//   info [--json]                              program and data directories, user information
//
// A change of the configuration file is sent to a running service with SIGHUP.
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli_command.h"
#include "control_common.h"
#include "service/melodyseeker_glob_unit.h"
#include "service/startoncemutex_unit.h"

namespace {

using nlohmann::ordered_json;

std::string Dump(const ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// --- status -------------------------------------------------------------------------------------

int RunStatus(bool json) {
  TServiceStatus s;
  const bool running = ReadServiceStatus(s);
  if (json) {
    ordered_json j = running ? ordered_json::parse(ServiceStatusToJson(s)) : ordered_json::object();
    j["running"] = running;
    std::cout << Dump(j) << std::endl;
  } else if (!running) {
    std::cout << "MelodySeeker läuft nicht" << std::endl;
  } else {
    std::cout << "MelodySeeker " << s.Version << " (PID " << s.Pid
              << "): " << ServicePhaseName(s.Phase) << "\nStatus: " << s.Text << "\n";
    if (s.Phase == TServicePhase::Downloading && s.FileCount > 0)
      std::cout << "Download: Datei " << s.FileIndex << " / " << s.FileCount << ", " << s.Bytes
                << " / " << s.TotalBytes << " Bytes\n";
    if (s.RetryAt > 0) {
      const std::time_t at = static_cast<std::time_t>(s.RetryAt);
      std::tm local{};
      localtime_r(&at, &local);
      char when[32];
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
      const long long in = static_cast<long long>(s.RetryAt - std::time(nullptr));
      std::cout << "Neuer Versuch: " << when << " (in " << (in > 0 ? in : 0) << " s)\n";
    }
    std::cout << "Cache: " << s.CacheFiles << " Dateien, " << s.Records << " Datensätze\n"
              << "Clients: " << s.Clients << "\nSocket: " << s.Pipe << "\nDaten: " << s.DataDir
              << std::endl;
  }
  if (!running) return mscli::kExitNotRunning;
  return s.Phase == TServicePhase::Ready ? mscli::kExitOk : mscli::kExitNotReady;
}

const mscli::MsCliCommand kStatus("status", [](CLI::App& app) {
  auto json = std::make_shared<bool>(false);
  CLI::App* sub = app.add_subcommand(
      "status", "State of the running service (exit 0 ready, 3 not ready, 4 not running)");
  sub->add_flag("--json", *json, "Print the status as one JSON object");
  return [json] { return RunStatus(*json); };
});

// --- config -------------------------------------------------------------------------------------

struct ConfigOptions {
  bool json = false;
  bool yes = false;
  std::string name, value;
};

int RunConfigShow(const ConfigOptions& o) {
  const TServiceTarget target = mscli::FindService();
  if (mscli::NoDataDir(target, "config")) return mscli::kExitFailure;
  std::vector<TConfigValue> values;
  std::string error;
  if (!ReadConfigValues(target.ConfigFile, values, error)) {
    std::cerr << "melodyseeker-cli config: " << error << std::endl;
    return mscli::kExitFailure;
  }
  ordered_json j = ordered_json::object();
  for (const TConfigValue& v : values) {
    const std::string value =
        IsQuotedConfigKey(v.Section, v.Key) ? UnquoteDecoderText(v.Value) : v.Value;
    if (o.json)
      j[v.Section][v.Key] = value;
    else
      std::cout << v.Section << "." << v.Key << "=" << value << "\n";
  }
  if (o.json) std::cout << Dump(j) << "\n";
  std::cout << std::flush;
  return mscli::kExitOk;
}

int RunConfigSet(const ConfigOptions& o) {
  const std::size_t dot = o.name.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == o.name.size()) {
    std::cerr << "melodyseeker-cli config set: SECTION.KEY expected, not \"" << o.name << "\""
              << std::endl;
    return mscli::kExitUnavailable;
  }
  const std::string section = o.name.substr(0, dot), key = o.name.substr(dot + 1);
  const TServiceTarget target = mscli::FindService();
  if (mscli::NoDataDir(target, "config")) return mscli::kExitFailure;
  const std::string stored = IsQuotedConfigKey(section, key) ? QuoteDecoderText(o.value) : o.value;
  std::string error;
  if (!WriteConfigValues(target.ConfigFile, {{section, key, stored}}, error)) {
    std::cerr << "melodyseeker-cli config: " << error << std::endl;
    return mscli::kExitFailure;
  }
  std::cout << section << "." << key << "=" << o.value << std::endl;
  mscli::TellService(target);
  return mscli::kExitOk;
}

int RunConfigReset(const ConfigOptions& o) {
  mscli::InstallTerminalPrompt(o.yes);
  const TServiceTarget target = mscli::FindService();
  if (mscli::NoDataDir(target, "config")) return mscli::kExitFailure;
  if (!ResetConfiguration(target.ConfigFile, target.DataDir + "/Backup"))
    return mscli::kExitFailure;
  mscli::TellService(target);
  return mscli::kExitOk;
}

const mscli::MsCliCommand kConfig("config", [](CLI::App& app) {
  auto o = std::make_shared<ConfigOptions>();
  auto action = std::make_shared<int (*)(const ConfigOptions&)>(nullptr);
  CLI::App* sub = app.add_subcommand("config", "Show or change the configuration file");
  sub->require_subcommand(1);
  CLI::App* show = sub->add_subcommand("show", "Every section and key of the file");
  show->add_flag("--json", o->json, "One JSON object of sections");
  show->callback([action] { *action = RunConfigShow; });
  CLI::App* set = sub->add_subcommand("set", "Set one key (decoder texts stored quoted)");
  set->add_option("SECTION.KEY", o->name)->required();
  set->add_option("VALUE", o->value)->required();
  set->callback([action] { *action = RunConfigSet; });
  CLI::App* reset = sub->add_subcommand(
      "reset", "Move the file into Backup and start afresh (the user id stays)");
  reset->add_flag("--yes,-y", o->yes, "Do not ask");
  reset->callback([action] { *action = RunConfigReset; });
  return [o, action] { return *action != nullptr ? (*action)(*o) : mscli::kExitUnavailable; };
});

// --- debug --------------------------------------------------------------------------------------

struct DebugOptions {
  std::string state;
  bool yes = false;
};

int RunDebug(const DebugOptions& o) {
  mscli::InstallTerminalPrompt(o.yes);
  const TServiceTarget target = mscli::FindService();
  if (mscli::NoDataDir(target, "debug")) return mscli::kExitFailure;
  const bool on = AskDebugTrace(o.state == "on");
  if (o.state == "on" && !on) return mscli::kExitFailure;  // declined
  std::string error;
  if (!WriteConfigValues(target.ConfigFile, {{"KONFIG", "DebugStart", on ? "1" : "0"}}, error)) {
    std::cerr << "melodyseeker-cli debug: " << error << std::endl;
    return mscli::kExitFailure;
  }
  mscli::TellService(target);
  return mscli::kExitOk;
}

const mscli::MsCliCommand kDebug("debug", [](CLI::App& app) {
  auto o = std::make_shared<DebugOptions>();
  CLI::App* sub = app.add_subcommand("debug", "Switch the debug trace on or off (next start)");
  sub->add_option("STATE", o->state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
  sub->add_flag("--yes,-y", o->yes, "Do not ask");
  return [o] { return RunDebug(*o); };
});

// --- language -----------------------------------------------------------------------------------

struct LanguageOptions {
  bool json = false;
  std::string code;
  int action = 0;  // 1 show, 2 set, 3 reset
};

int RunLanguage(const LanguageOptions& o) {
  mscli::InstallTerminalPrompt(false);
  const TServiceTarget target = mscli::FindService();
  switch (o.action) {
    case 1: {
      const std::string code = GetLanguageOverride(target.LanguageKey);
      if (o.json)
        std::cout << Dump({{"key", target.LanguageKey}, {"code", code}}) << std::endl;
      else if (!code.empty())
        std::cout << code << std::endl;
      return mscli::kExitOk;
    }
    case 2:
      if (SetLanguageCommand(target.LanguageKey, o.code)) return mscli::kExitOk;
      break;
    case 3:
      if (ResetLanguageCommand(target.LanguageKey)) return mscli::kExitOk;
      break;
    default:
      return mscli::kExitUnavailable;
  }
  std::cerr << "melodyseeker-cli language: " << LanguageOverrideFile()
            << " kann nicht geschrieben werden" << std::endl;
  return mscli::kExitFailure;
}

const mscli::MsCliCommand kLanguage("language", [](CLI::App& app) {
  auto o = std::make_shared<LanguageOptions>();
  CLI::App* sub = app.add_subcommand("language", "The user interface's language override");
  sub->require_subcommand(1);
  CLI::App* show = sub->add_subcommand("show", "The stored code (nothing when none)");
  show->add_flag("--json", o->json, "One JSON object");
  show->callback([o] { o->action = 1; });
  CLI::App* set = sub->add_subcommand("set", "Store a code (trimmed, upper case): DE, EN, ...");
  set->add_option("CODE", o->code)->required();
  set->callback([o] { o->action = 2; });
  CLI::App* reset = sub->add_subcommand("reset", "Remove the override");
  reset->callback([o] { o->action = 3; });
  return [o] { return RunLanguage(*o); };
});

// --- clear-cache --------------------------------------------------------------------------------

const mscli::MsCliCommand kClearCache("clear-cache", [](CLI::App& app) {
  auto yes = std::make_shared<bool>(false);
  CLI::App* sub = app.add_subcommand(
      "clear-cache", "Delete the local fingerprint cache (downloaded again at the next start)");
  sub->add_flag("--yes,-y", *yes, "Do not ask");
  return [yes] {
    mscli::InstallTerminalPrompt(*yes);
    const TServiceTarget target = mscli::FindService();
    if (mscli::NoDataDir(target, "clear-cache")) return mscli::kExitFailure;
    return ClearLocalCache(target.DataDir + "/Cache") ? mscli::kExitOk : mscli::kExitFailure;
  };
});

// --- info ---------------------------------------------------------------------------------------

const mscli::MsCliCommand kInfo("info", [](CLI::App& app) {
  auto json = std::make_shared<bool>(false);
  CLI::App* sub =
      app.add_subcommand("info", "Program and data directories, and the user information");
  sub->add_flag("--json", *json, "One JSON object");
  return [json] {
    mscli::InstallTerminalPrompt(false);
    const TServiceTarget target = mscli::FindService();
    TMelodySeekerConfig config;
    std::string error;
    if (!target.ConfigFile.empty() && !ReadConfigFile(target.ConfigFile, config, error)) {
      std::cerr << "melodyseeker-cli info: " << error << std::endl;
      return mscli::kExitFailure;
    }
    const std::int32_t today = TodayDayNumber();
    if (*json) {
      std::cout << Dump({{"program_dir", target.ReadPath},
                         {"data_dir", target.DataDir},
                         {"config_file", target.ConfigFile},
                         {"running", target.Running},
                         {"userid", config.userid},
                         {"UCOUNT", config.UCOUNT},
                         {"days", today - config.INSTDATUM},
                         {"user", UserInfoId(config, today)}})
                << std::endl;
      return mscli::kExitOk;
    }
    ShowMessage(TPromptKind::Information, DirectoryInfoText(target.ReadPath, target.DataDir));
    std::cout << "\n";
    ShowMessage(TPromptKind::Information, UserInfoText(config, today));
    return mscli::kExitOk;
  };
});

}  // namespace
