// melodyseeker-cli identify [--xml|--json] [--pipe NAME] [--timeout S] [-r] [-0] [-j N]
//                           FILE|DIR|-...
//
// Sends one request per file (with its absolute path) to the running service and prints each
// reply: the reply values that carry something as aligned "NAME: value" lines (default; --all
// prints every value unaligned, as earlier versions did), the reply document as received
// (--xml), or one JSON object per file and line (--json), in the order the replies arrive.
// Directories are walked with -r (only the file types the service takes); "-" reads file names
// from standard input (-0: NUL-separated). -j N runs N requests at once, each over its own
// connection. A progress bar on a terminal and a summary go to standard error.
//
// A file counts as "not known" when the service answers without title and artist: the reply
// carries no match flag, and an empty answer is what an unmatched file without tags gets.
// Exit code: 0 when every reply is a success, 1 when any is an ERROR reply (or a file name
// cannot be sent), 2 when the service cannot be reached or stops answering, 128 + signal
// number when Ctrl+C or SIGTERM stopped the run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "cli_command.h"
#include "file_batch.h"
#include "plain_fields.h"
#include "service/melodyseeker_share_unit.h"
#include "service/pipeserver_unit.h"

namespace {

enum class Output { Text, Xml, Json };

struct Options {
  std::vector<std::string> files;
  std::string pipe;
  bool xml = false;
  bool json = false;
  bool recursive = false;
  bool null_separated = false;
  bool no_progress = false;
  bool all = false;
  int jobs = 0;
  double timeout_seconds = 600;
};

std::string Dump(const nlohmann::json& value) {
  // File names on Linux need not be UTF-8; never let one abort the output.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FormatReply(Output output, bool all, const std::string& file,
                        const std::vector<std::uint8_t>& raw, const TClientXmlReply& reply) {
  std::ostringstream out;
  if (output == Output::Xml) {
    std::string text(raw.begin(), raw.end());
    out << text;
    if (text.empty() || text.back() != '\n') out << '\n';
    return out.str();
  }
  if (output == Output::Json) {
    nlohmann::json line{{"file", file}, {"ok", reply.ok}};
    if (reply.ok) {
      line["FILENAME"] = reply.FileName;
      line["TITLE"] = reply.Title;
      line["ARTIST"] = reply.Artist;
      line["ALBUM"] = reply.Album;
      line["TRACK"] = reply.Track;
      line["YEAR"] = reply.Year;
      line["GENRE"] = reply.Genre;
      line["BPM"] = reply.BPM;
      line["SYNPOS"] = reply.SynPos;
    } else {
      line["ERROR"] = reply.Error;
    }
    out << Dump(line) << '\n';
    return out.str();
  }
  // People see the values the service gave, aligned; --all prints every field as scripts
  // written against the plain form expect.
  std::vector<mscli::PlainField> fields;
  if (!reply.ok) {
    fields = {{"FILENAME", file}, {"ERROR", reply.Error}};
  } else {
    fields = {{"FILENAME", reply.FileName}, {"TITLE", reply.Title}, {"ARTIST", reply.Artist},
              {"ALBUM", reply.Album},       {"TRACK", reply.Track}, {"YEAR", reply.Year},
              {"GENRE", reply.Genre},       {"BPM", reply.BPM},     {"SYNPOS", reply.SynPos}};
  }
  if (!all && reply.ok &&
      std::all_of(fields.begin() + 1, fields.end(), [](const auto& f) { return !f.carries; }))
    fields.emplace_back("", "(not known: the service gave no values)");
  return mscli::PlainRecord(fields, all);
}

// A failure on our side for one file (no reply involved).
mscli::BatchResult LocalFailure(Output output, const std::string& file, const std::string& error) {
  mscli::BatchResult r;
  r.kind = mscli::BatchKind::Failed;
  if (output == Output::Json)
    r.out = Dump({{"file", file}, {"ok", false}, {"error", error}}) + "\n";
  else
    r.err = "melodyseeker-cli identify: " + file + ": " + error + "\n";
  return r;
}

class IdentifyWorker : public mscli::BatchWorker {
 public:
  IdentifyWorker(Output output, bool all, std::chrono::milliseconds timeout)
      : fOutput(output), fAll(all), fTimeout(timeout) {}
  bool Connect(const std::string& pipe) { return fClient.Connect(pipe); }
  const std::string& LastError() const { return fClient.LastError(); }

  mscli::BatchResult Process(const std::string& argument) override {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(argument, ec);
    if (ec) return LocalFailure(fOutput, argument, ec.message());
    const std::string file = absolute.string();
    std::string request;
    std::string error;
    if (!ClientXmlRequest(file, request, error)) return LocalFailure(fOutput, file, error);
    std::vector<std::uint8_t> raw;
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(request.data()),
                                              request.size());
    if (!fClient.Transact(bytes, raw, fTimeout)) {
      // The file was not answered; the run stops (the service is gone or hangs).
      mscli::BatchResult r;
      r.kind = mscli::BatchKind::Failed;
      r.fatal = true;
      r.err = "melodyseeker-cli identify: " + file + ": " + fClient.LastError() + "\n";
      if (fOutput == Output::Json)
        r.out = Dump({{"file", file}, {"ok", false}, {"error", fClient.LastError()}}) + "\n";
      return r;
    }
    TClientXmlReply reply;
    if (!ClientXmlReadReply(raw, reply, error))
      return LocalFailure(fOutput, file, "unreadable reply: " + error);
    mscli::BatchResult r;
    r.out = FormatReply(fOutput, fAll, file, raw, reply);
    r.kind = !reply.ok                                     ? mscli::BatchKind::Failed
             : reply.Title.empty() && reply.Artist.empty() ? mscli::BatchKind::NotKnown
                                                           : mscli::BatchKind::Done;
    return r;
  }

  void Interrupt() override { fClient.Shutdown(); }

 private:
  Output fOutput;
  bool fAll;
  std::chrono::milliseconds fTimeout;
  TPipeClient fClient;
};

int Run(const Options& options) {
  const Output output = options.json ? Output::Json : options.xml ? Output::Xml : Output::Text;
  const std::string pipe = options.pipe.empty() ? PipeNameFromEnvironment() : options.pipe;
  const auto timeout =
      options.timeout_seconds > 0
          ? std::chrono::milliseconds(static_cast<long long>(options.timeout_seconds * 1000.0))
          : std::chrono::milliseconds(-1);
  mscli::TBatchSignals signals;
  mscli::BatchSummary summary;
  const mscli::BatchFiles input = mscli::CollectFiles(options.files, options.recursive,
                                                      options.null_separated, std::cin, signals);
  summary.skipped = input.skipped;

  // Connections first: a service that is not there is reported before any file.
  const int jobs = options.jobs > 0 ? options.jobs : mscli::DefaultJobs();
  const std::size_t wanted =
      std::min<std::size_t>(static_cast<std::size_t>(jobs), input.files.size());
  std::vector<std::unique_ptr<mscli::BatchWorker>> workers;
  std::string connect_error;
  for (std::size_t i = 0; i < wanted; ++i) {
    auto worker = std::make_unique<IdentifyWorker>(output, options.all, timeout);
    if (!worker->Connect(pipe)) {
      connect_error = worker->LastError();
      break;
    }
    workers.push_back(std::move(worker));
  }
  if (workers.empty() && wanted > 0) {
    std::cerr << "melodyseeker-cli identify: the service is not reachable: " << connect_error
              << '\n';
    return mscli::kExitUnavailable;
  }
  if (workers.size() < wanted) {
    // The service may limit its clients; fewer connections still do the whole job.
    std::cerr << "melodyseeker-cli identify: only " << workers.size() << " of " << wanted
              << " connections accepted (" << connect_error << "); going on with those\n";
  }

  for (const auto& [name, error] : input.failures) {
    mscli::PrintRecord(LocalFailure(output, name, error));
    ++summary.failed;
  }
  const bool progress = !options.no_progress && mscli::StderrIsTerminal();
  mscli::RunBatch(input.files, workers, progress, signals, summary);
  std::cerr << mscli::SummaryText(summary, "identified", true, options.json);
  return mscli::BatchExitCode(summary);
}

const mscli::MsCliCommand kIdentify("identify", [](CLI::App& app) {
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand("identify", "Identify files through the running service");
  auto* xml = sub->add_flag("--xml", options->xml, "Print each reply document as received");
  auto* json = sub->add_flag("--json", options->json, "Print one JSON object per file");
  xml->excludes(json);
  sub->add_flag("--all", options->all, "Plain output: every field, also those without a value");
  sub->add_option("--pipe", options->pipe,
                  "Channel name of the service (default: $MELODYSEEKER_PIPE or MelodySeeker)");
  sub->add_option("--timeout", options->timeout_seconds,
                  "Seconds to wait for each reply, 0 = no limit")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  mscli::AddBatchOptions(*sub, options->recursive, options->null_separated, options->jobs,
                         options->no_progress, "requests at once, each over its own connection");
  sub->add_option("FILE", options->files,
                  "Media files, directories (with -r), or - to read names from standard input")
      ->required();
  return [options] { return Run(*options); };
});

}  // namespace
