// melodyseeker-cli identify [--xml|--json] [--pipe NAME] [--timeout S] FILE...
//
// Sends one request per file (with its absolute path) to the running service over one
// connection and prints each reply: the nine reply values as "NAME: value" lines (default), the
// reply document as received (--xml), or one JSON object per file and line (--json).
// Exit code: 0 when every reply is a success, 1 when any is an ERROR reply (or a file name
// cannot be sent), 2 when the service cannot be reached or stops answering.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "cli_command.h"
#include "service/melodyseeker_share_unit.h"
#include "service/pipeserver_unit.h"

namespace {

enum class Output { Text, Xml, Json };

struct Options {
  std::vector<std::string> files;
  std::string pipe;
  bool xml = false;
  bool json = false;
  double timeout_seconds = 600;
};

std::string Dump(const nlohmann::json& value) {
  // File names on Linux need not be UTF-8; never let one abort the output.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void PrintReply(Output output, const std::string& file, const std::vector<std::uint8_t>& raw,
                const TClientXmlReply& reply) {
  if (output == Output::Xml) {
    std::string text(raw.begin(), raw.end());
    std::cout << text;
    if (text.empty() || text.back() != '\n') std::cout << '\n';
    return;
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
    std::cout << Dump(line) << '\n';
    return;
  }
  if (!reply.ok) {
    std::cout << "FILENAME: " << file << "\nERROR: " << reply.Error << "\n\n";
    return;
  }
  std::cout << "FILENAME: " << reply.FileName << "\nTITLE: " << reply.Title
            << "\nARTIST: " << reply.Artist << "\nALBUM: " << reply.Album
            << "\nTRACK: " << reply.Track << "\nYEAR: " << reply.Year << "\nGENRE: " << reply.Genre
            << "\nBPM: " << reply.BPM << "\nSYNPOS: " << reply.SynPos << "\n\n";
}

// A failure on our side for one file (no reply involved).
void PrintLocalFailure(Output output, const std::string& file, const std::string& error) {
  if (output == Output::Json) {
    std::cout << Dump({{"file", file}, {"ok", false}, {"error", error}}) << '\n';
  } else {
    std::cerr << "melodyseeker-cli identify: " << file << ": " << error << '\n';
  }
}

int Run(const Options& options) {
  const Output output = options.json ? Output::Json : options.xml ? Output::Xml : Output::Text;
  const std::string pipe = options.pipe.empty() ? PipeNameFromEnvironment() : options.pipe;
  const auto timeout =
      options.timeout_seconds > 0
          ? std::chrono::milliseconds(static_cast<long long>(options.timeout_seconds * 1000.0))
          : std::chrono::milliseconds(-1);

  TPipeClient client;
  if (!client.Connect(pipe)) {
    std::cerr << "melodyseeker-cli identify: the service is not reachable: " << client.LastError()
              << '\n';
    return mscli::kExitUnavailable;
  }

  int result = mscli::kExitOk;
  for (const std::string& argument : options.files) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(argument, ec);
    const std::string file = ec ? argument : absolute.string();
    if (ec) {
      PrintLocalFailure(output, argument, ec.message());
      result = mscli::kExitFailure;
      continue;
    }
    std::string request;
    std::string error;
    if (!ClientXmlRequest(file, request, error)) {
      PrintLocalFailure(output, file, error);
      result = mscli::kExitFailure;
      continue;
    }
    std::vector<std::uint8_t> raw;
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(request.data()),
                                              request.size());
    if (!client.Transact(bytes, raw, timeout)) {
      std::cerr << "melodyseeker-cli identify: " << file << ": " << client.LastError() << '\n';
      return mscli::kExitUnavailable;
    }
    TClientXmlReply reply;
    if (!ClientXmlReadReply(raw, reply, error)) {
      PrintLocalFailure(output, file, "unreadable reply: " + error);
      result = mscli::kExitFailure;
      continue;
    }
    PrintReply(output, file, raw, reply);
    if (!reply.ok) result = mscli::kExitFailure;
  }
  std::cout.flush();
  return result;
}

const mscli::MsCliCommand kIdentify("identify", [](CLI::App& app) {
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand("identify", "Identify files through the running service");
  auto* xml = sub->add_flag("--xml", options->xml, "Print each reply document as received");
  auto* json = sub->add_flag("--json", options->json, "Print one JSON object per file");
  xml->excludes(json);
  sub->add_option("--pipe", options->pipe,
                  "Channel name of the service (default: $MELODYSEEKER_PIPE or MelodySeeker)");
  sub->add_option("--timeout", options->timeout_seconds,
                  "Seconds to wait for each reply, 0 = no limit")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  sub->add_option("FILE", options->files, "Media files")->required();
  return [options] { return Run(*options); };
});

}  // namespace
