// melodyseeker-cli fingerprint [--json] [--decoder acm|ext-file|ext-pipe] [--ext-cmd CMD]
//                              [--ext-pipe-param P] [--temp-dir D] [-r] [-0] [-j N]
//                              FILE|DIR|-...
//
// Computes the acoustic fingerprint of every file with the generator the identification uses
// and prints it, as aligned "name: value" lines of the fields that carry a value (--all: every
// field, unaligned) or one JSON object per file and line, in the order the files finish.
// Directories, names from standard input and -j N as for identify, with one generator per worker.
// Exit code 0 when every file gave a fingerprint, 1 otherwise, 128 + signal number when Ctrl+C or
// SIGTERM stopped the run.
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "afp/afpdecode_unit.h"
#include "afp/afpdecoder_ext_unit.h"
#include "cli_command.h"
#include "file_batch.h"
#include "plain_fields.h"

namespace {

struct Options {
  std::vector<std::string> files;
  bool json = false;
  RAfpDecodertype decoder = dtACM;
  std::string ext_cmd;
  std::string pipe_param = "pipe:1";
  std::string temp_dir;
  bool recursive = false;
  bool null_separated = false;
  bool no_progress = false;
  bool all = false;
  int jobs = 0;
};

std::string TypText(char16_t typ) {
  return typ < 0x80 ? std::string(1, static_cast<char>(typ)) : "?";
}

class FingerprintWorker : public mscli::BatchWorker {
 public:
  explicit FingerprintWorker(const Options& options) : fJson(options.json), fAll(options.all) {
    fGen.SetDecodertype(options.decoder);
    fGen.SetExtDecodercmd(options.ext_cmd);
    fGen.SetExtDecoderPipeOutParam(options.pipe_param);
    if (!options.temp_dir.empty()) fGen.SetTempDir(options.temp_dir);
  }

  mscli::BatchResult Process(const std::string& file) override {
    RAFP afp;
    const bool ok = fGen.AFPDecode(file, afp);
    nlohmann::ordered_json line{
        {"file", file}, {"ok", ok},     {"typ", TypText(afp.typ)},  {"loaded", afp.loaded},
        {"p1", afp.p1}, {"p2", afp.p2}, {"error", fGen.lasterror()}};
    mscli::BatchResult r;
    r.kind = ok ? mscli::BatchKind::Done : mscli::BatchKind::Failed;
    std::ostringstream out;
    if (fJson) {
      out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
      std::vector<mscli::PlainField> fields{{"FILE", file}};
      for (const auto& [key, value] : line.items()) {
        if (key == "file") continue;
        fields.push_back(mscli::FieldOf(key, value));
        // A failure shows even with no error text.
        if (key == "ok") fields.back().carries = true;
      }
      out << mscli::PlainRecord(fields, fAll);
    }
    r.out = out.str();
    return r;
  }

 private:
  bool fJson;
  bool fAll;
  TAFPDecoder fGen;
};

int Run(const Options& options) {
  mscli::TBatchSignals signals;
  mscli::BatchSummary summary;
  const mscli::BatchFiles input = mscli::CollectFiles(options.files, options.recursive,
                                                      options.null_separated, std::cin, signals);
  summary.skipped = input.skipped;
  for (const auto& [name, error] : input.failures) {
    mscli::BatchResult r;
    if (options.json) {
      r.out = nlohmann::ordered_json{{"file", name}, {"ok", false}, {"error", error}}.dump(
                  -1, ' ', false, nlohmann::json::error_handler_t::replace) +
              "\n";
    } else {
      r.err = "melodyseeker-cli fingerprint: " + name + ": " + error + "\n";
    }
    mscli::PrintRecord(r);
    ++summary.failed;
  }
  const int jobs = options.jobs > 0 ? options.jobs : mscli::DefaultJobs();
  std::vector<std::unique_ptr<mscli::BatchWorker>> workers;
  for (std::size_t i = 0;
       i < std::min<std::size_t>(static_cast<std::size_t>(jobs), input.files.size()); ++i)
    workers.push_back(std::make_unique<FingerprintWorker>(options));
  const bool progress = !options.no_progress && mscli::StderrIsTerminal();
  mscli::RunBatch(input.files, workers, progress, signals, summary);
  std::cerr << mscli::SummaryText(summary, "fingerprinted", false, options.json);
  return mscli::BatchExitCode(summary);
}

const mscli::MsCliCommand kFingerprint("fingerprint", [](CLI::App& app) {
  auto options = std::make_shared<Options>();
  CLI::App* sub =
      app.add_subcommand("fingerprint", "Compute the acoustic fingerprint of media files");
  sub->add_flag("--json", options->json, "Print one JSON object per file");
  sub->add_flag("--all", options->all, "Plain output: every field, also those without a value");
  const std::map<std::string, RAfpDecodertype> decoders{
      {"acm", dtACM}, {"ext-file", dtExtFile}, {"ext-pipe", dtExtPipe}};
  sub->add_option("--decoder", options->decoder, "Decoder for files that are not PCM WAV")
      ->transform(CLI::CheckedTransformer(decoders, CLI::ignore_case));
  sub->add_option("--ext-cmd", options->ext_cmd, "External decoder command with %i and %o");
  sub->add_option("--ext-pipe-param", options->pipe_param, "Text for %o in pipe mode")
      ->capture_default_str();
  sub->add_option("--temp-dir", options->temp_dir, "Directory of the file mode's output");
  mscli::AddBatchOptions(*sub, options->recursive, options->null_separated, options->jobs,
                         options->no_progress, "files at once");
  sub->add_option("FILE", options->files,
                  "Media files, directories (with -r), or - to read names from standard input")
      ->required();
  return [options] { return Run(*options); };
});

}  // namespace
