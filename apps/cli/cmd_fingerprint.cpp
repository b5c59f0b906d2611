// melodyseeker-cli fingerprint [--json] [--decoder acm|ext-file|ext-pipe] [--ext-cmd CMD]
//                              [--ext-pipe-param P] [--temp-dir D] FILE...
//
// Computes the acoustic fingerprint of every file with the generator the identification uses
// and prints it, as "name: value" lines or one JSON object per file and line. Exit code 0 when
// every file gave a fingerprint, 1 otherwise.
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "afp/afpdecode_unit.h"
#include "afp/afpdecoder_ext_unit.h"
#include "cli_command.h"

namespace {

struct Options {
  std::vector<std::string> files;
  bool json = false;
  RAfpDecodertype decoder = dtACM;
  std::string ext_cmd;
  std::string pipe_param = "pipe:1";
  std::string temp_dir;
};

std::string TypText(char16_t typ) {
  return typ < 0x80 ? std::string(1, static_cast<char>(typ)) : "?";
}

int Run(const Options& options) {
  TAFPDecoder gen;
  gen.SetDecodertype(options.decoder);
  gen.SetExtDecodercmd(options.ext_cmd);
  gen.SetExtDecoderPipeOutParam(options.pipe_param);
  if (!options.temp_dir.empty()) gen.SetTempDir(options.temp_dir);
  int result = mscli::kExitOk;
  for (const std::string& file : options.files) {
    RAFP afp;
    const bool ok = gen.AFPDecode(file, afp);
    if (!ok) result = mscli::kExitFailure;
    nlohmann::ordered_json line{
        {"file", file}, {"ok", ok},     {"typ", TypText(afp.typ)}, {"loaded", afp.loaded},
        {"p1", afp.p1}, {"p2", afp.p2}, {"error", gen.lasterror()}};
    if (options.json) {
      std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
      std::cout << "FILE: " << file << '\n';
      for (const auto& [key, value] : line.items()) {
        if (key == "file") continue;
        std::cout << key << ": " << (value.is_string() ? value.get<std::string>() : value.dump())
                  << '\n';
      }
      std::cout << '\n';
    }
  }
  std::cout.flush();
  return result;
}

const mscli::MsCliCommand kFingerprint("fingerprint", [](CLI::App& app) {
  auto options = std::make_shared<Options>();
  CLI::App* sub =
      app.add_subcommand("fingerprint", "Compute the acoustic fingerprint of media files");
  sub->add_flag("--json", options->json, "Print one JSON object per file");
  const std::map<std::string, RAfpDecodertype> decoders{
      {"acm", dtACM}, {"ext-file", dtExtFile}, {"ext-pipe", dtExtPipe}};
  sub->add_option("--decoder", options->decoder, "Decoder for files that are not PCM WAV")
      ->transform(CLI::CheckedTransformer(decoders, CLI::ignore_case));
  sub->add_option("--ext-cmd", options->ext_cmd, "External decoder command with %i and %o");
  sub->add_option("--ext-pipe-param", options->pipe_param, "Text for %o in pipe mode")
      ->capture_default_str();
  sub->add_option("--temp-dir", options->temp_dir, "Directory of the file mode's output");
  sub->add_option("FILE", options->files, "Media files")->required();
  return [options] { return Run(*options); };
});

}  // namespace
