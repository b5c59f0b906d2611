// melodyseeker-cli decoder: the decoder settings dialog from the command line.
//
//   decoder show [--json]
//   decoder set [--external on|off] [--pipe on|off] [--cmd CMD] [--pipe-param P] [--temp-dir D]
//   decoder preset ffmpeg
//   decoder test [--json] FILE
//
// The values live in the configuration file's "DECODER" section; a change is sent to a running
// service, whose next request uses it. The check, the preset and the test are the core's
// (src/afp/konfig_Unit.h), with the dialog's texts.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli_command.h"
#include "control_common.h"
#include "service/melodyseeker_glob_unit.h"

namespace {

using nlohmann::ordered_json;

struct Options {
  int action = 0;  // 1 show, 2 set, 3 preset, 4 test
  bool json = false;
  std::string external, pipe;  // "on", "off" or empty (unchanged)
  std::string cmd, pipeparam, tempdir;
  CLI::Option *cmdopt = nullptr, *pipeparamopt = nullptr, *tempdiropt = nullptr;  // given?
  std::string preset, file;
};

std::string Dump(const ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const char* KindName(TPromptKind kind) {
  switch (kind) {
    case TPromptKind::Warning:
      return "warning";
    case TPromptKind::Information:
      return "information";
    case TPromptKind::Confirmation:
      return "question";
    case TPromptKind::Error:
      return "error";
  }
  return "message";
}

bool ReadSettings(const TServiceTarget& target, RKonfigDecoder& settings) {
  TMelodySeekerConfig config;
  std::string error;
  if (!ReadConfigFile(target.ConfigFile, config, error)) {
    std::cerr << "melodyseeker-cli decoder: " << error << std::endl;
    return false;
  }
  settings = DecoderSettingsOf(config);
  return true;
}

bool Store(const TServiceTarget& target, const RKonfigDecoder& settings) {
  std::string error;
  if (!WriteConfigValues(target.ConfigFile, DecoderConfigValues(settings), error)) {
    std::cerr << "melodyseeker-cli decoder: " << error << std::endl;
    return false;
  }
  mscli::TellService(target);
  return true;
}

void Print(const RKonfigDecoder& d, bool json) {
  if (json) {
    std::cout << Dump({{"ExtDecoderVerwenden", d.ExtDecoderVerwenden},
                       {"ExtDecoderPipeModus", d.ExtDecoderPipeModus},
                       {"ExtDecoderCMD", d.ExtDecoderCMD},
                       {"ExtDecoderPipeoutParam", d.ExtDecoderPipeoutParam},
                       {"ExtDecoderTempDir", d.ExtDecoderTempDir}})
              << std::endl;
    return;
  }
  std::cout << "Decoder: "
            << (d.ExtDecoderVerwenden ? "Externen Decoder verwenden"
                                      : "Standard Decoder des Betriebssystems verwenden")
            << "\nModus: "
            << (d.ExtDecoderPipeModus
                    ? "Hohe Performance, Decoderdaten im Speicher ablegen"
                    : "Niedrige Performance, Decoderdaten auf der Festplatte ablegen")
            << "\nExtDecoderCMD=" << d.ExtDecoderCMD
            << "\nExtDecoderPipeoutParam=" << d.ExtDecoderPipeoutParam
            << "\nExtDecoderTempDir=" << d.ExtDecoderTempDir << std::endl;
}

int Run(const Options& o) {
  mscli::InstallTerminalPrompt(false);
  const TServiceTarget target = mscli::FindService();
  if (mscli::NoDataDir(target, "decoder")) return mscli::kExitFailure;
  RKonfigDecoder settings;
  if (!ReadSettings(target, settings)) return mscli::kExitFailure;
  switch (o.action) {
    case 1:
      Print(settings, o.json);
      return mscli::kExitOk;
    case 2: {
      RKonfigDecoder edited = settings;
      if (!o.external.empty()) edited.ExtDecoderVerwenden = o.external == "on";
      if (!o.pipe.empty()) edited.ExtDecoderPipeModus = o.pipe == "on";
      if (o.cmdopt->count() > 0) edited.ExtDecoderCMD = o.cmd;
      if (o.pipeparamopt->count() > 0) edited.ExtDecoderPipeoutParam = o.pipeparam;
      if (o.tempdiropt->count() > 0) edited.ExtDecoderTempDir = o.tempdir;
      edited = TrimmedDecoderSettings(edited);
      TKonfigMessage refusal;
      if (!CheckDecoderSettings(edited, refusal)) {
        ShowMessage(refusal.Kind, refusal.Text);
        return mscli::kExitFailure;  // nothing stored, as with the dialog's OK
      }
      if (!Store(target, edited)) return mscli::kExitFailure;
      Print(edited, false);
      return mscli::kExitOk;
    }
    case 3:
      ApplyFfmpegPreset(settings);
      if (!Store(target, settings)) return mscli::kExitFailure;
      ShowMessage(TPromptKind::Information, kPresetInsertedText);
      return mscli::kExitOk;
    case 4: {
      const TDecoderTestResult r = TestDecoder(settings, o.file);
      if (o.json) {
        ordered_json messages = ordered_json::array();
        for (const TKonfigMessage& m : r.Messages)
          messages.push_back({{"kind", KindName(m.Kind)}, {"text", m.Text}});
        std::cout << Dump({{"file", o.file}, {"ok", r.Ok}, {"messages", messages}}) << std::endl;
      } else {
        for (const TKonfigMessage& m : r.Messages) ShowMessage(m.Kind, m.Text);
      }
      return r.Ok ? mscli::kExitOk : mscli::kExitFailure;
    }
    default:
      return mscli::kExitUnavailable;
  }
}

const mscli::MsCliCommand kDecoder("decoder", [](CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand("decoder", "Show, change and test the decoder settings");
  sub->require_subcommand(1);
  CLI::App* show = sub->add_subcommand("show", "The five decoder settings");
  show->add_flag("--json", o->json, "One JSON object");
  show->callback([o] { o->action = 1; });

  CLI::App* set = sub->add_subcommand("set", "Change some of the settings");
  const auto onoff = CLI::IsMember({"on", "off"});
  set->add_option("--external", o->external, "Use the external decoder (on) or the built-in ones")
      ->check(onoff);
  set->add_option("--pipe", o->pipe, "Decoder output through a pipe (on) or a file (off)")
      ->check(onoff);
  o->cmdopt = set->add_option("--cmd", o->cmd,
                              "Command line; %i input file, %o output (file or pipe parameter)");
  o->pipeparamopt = set->add_option("--pipe-param", o->pipeparam,
                                    "Stands for %o in pipe mode (pipe:1 for ffmpeg)");
  o->tempdiropt =
      set->add_option("--temp-dir", o->tempdir, "Directory of the output file in file mode");
  set->callback([o] { o->action = 2; });

  CLI::App* preset = sub->add_subcommand("preset", "Fill in a ready-made decoder command");
  preset->add_option("NAME", o->preset, "ffmpeg (the ffmpeg found on PATH)")
      ->required()
      ->check(CLI::IsMember({"ffmpeg"}));
  preset->callback([o] { o->action = 3; });

  CLI::App* test = sub->add_subcommand("test", "Run the configured external decoder on a file");
  test->add_flag("--json", o->json, "One JSON object with the messages");
  test->add_option("FILE", o->file, "Any media file")->required();
  test->callback([o] { o->action = 4; });
  return [o] { return Run(*o); };
});

}  // namespace
