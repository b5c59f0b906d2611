// melodyseeker-cli header [--json] FILE...
//
// Reads the technical header of every file (MPEG frames, FLAC STREAMINFO, WAV format) with the
// reader fingerprint generation uses, and prints it: the fields that carry a value, aligned,
// with only the record of the file's format (default); every field as "name: value" lines
// (--all); or one JSON object per file and line (--json). Exit code 0 when every header was
// read, 1 otherwise.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "afp/mediainfo_unit.h"
#include "cli_command.h"
#include "plain_fields.h"

namespace {

struct Options {
  std::vector<std::string> files;
  bool json = false;
  bool all = false;
};

nlohmann::ordered_json Bytes(std::span<const std::uint8_t> b) {
  return std::vector<int>(b.begin(), b.end());
}

nlohmann::ordered_json HeaderJson(const std::string& file, bool ok, const RHeaderinf& h) {
  const RHeaderInfMpeg& m = h.Mpeg;
  const RHeaderInfFLAC& f = h.Flac;
  const RWaveFormatEx& w = h.Wave.WaveFormatEx;
  return {{"file", file},
          {"ok", ok},
          {"Format", HeaderInfFormatName(h.Format)},
          {"FormatReadOk", h.FormatReadOk},
          {"TimeSec", h.TimeSec},
          {"isScan", h.isScan},
          {"isVBR", h.isVBR},
          {"Mpeg",
           {{"headerposfirst", m.headerposfirst},
            {"headerbuffirst", Bytes(m.headerbuffirst)},
            {"headerbuflastread", Bytes(m.headerbuflastread)},
            {"headerreadcount", m.headerreadcount},
            {"framegr", m.framegr},
            {"framezeit", m.framezeit},
            {"vers", m.vers},
            {"layer", m.layer},
            {"prot", m.prot},
            {"bitrate", m.bitrate},
            {"samplingrate", m.samplingrate},
            {"padding", m.padding},
            {"privatebit", m.privatebit},
            {"channels", m.channels},
            {"channelmode", m.channelmode},
            {"modeextension", m.modeextension},
            {"copyright", m.copyright},
            {"original", m.original},
            {"emphasis", m.emphasis}}},
          {"Flac",
           {{"datapos", f.datapos},
            {"minBlockSize", f.minBlockSize},
            {"maxBlockSize", f.maxBlockSize},
            {"minFrameSize", f.minFrameSize},
            {"maxFrameSize", f.maxFrameSize},
            {"samlingRate", f.samlingRate},
            {"channels", f.channels},
            {"bitsPerSample", f.bitsPerSample},
            {"totalNumberOfSamples", f.totalNumberOfSamples},
            {"md5AudioData", Bytes(f.md5AudioData)}}},
          {"Wave",
           {{"datapos", h.Wave.datapos},
            {"wFormatTag", w.wFormatTag},
            {"nChannels", w.nChannels},
            {"nSamplesPerSec", w.nSamplesPerSec},
            {"nAvgBytesPerSec", w.nAvgBytesPerSec},
            {"nBlockAlign", w.nBlockAlign},
            {"wBitsPerSample", w.wBitsPerSample},
            {"cbSize", w.cbSize}}}};
}

// Plain output. For people: whether it was read, the common fields, then the fields of the
// record that belongs to the format, each only when it carries a value; --all: every field.
std::string PlainText(const std::string& file, const nlohmann::ordered_json& line, bool all) {
  std::vector<mscli::PlainField> fields{{"FILE", file}};
  if (all) {
    for (const auto& [key, value] : line.items()) {
      if (key == "file") continue;
      if (!value.is_object()) {
        fields.push_back(mscli::FieldOf(key, value));
        continue;
      }
      for (const auto& [sub, v] : value.items())
        fields.push_back(mscli::FieldOf(key + '.' + sub, v));
    }
    return mscli::PlainRecord(fields, true);
  }
  fields.emplace_back("ok", line["ok"] == true ? "true" : "false");
  for (const char* key : {"Format", "FormatReadOk", "TimeSec", "isScan", "isVBR"})
    fields.push_back(mscli::FieldOf(key, line[key]));
  const std::string format = line["Format"];
  const char* part = format == "HIF_MPEG"   ? "Mpeg"
                     : format == "HIF_FLAC" ? "Flac"
                     : format == "HIF_WAV"  ? "Wave"
                                            : nullptr;
  if (part != nullptr) {
    for (const auto& [sub, v] : line[part].items())
      fields.push_back(mscli::FieldOf(std::string(part) + '.' + sub, v));
  }
  return mscli::PlainRecord(fields, false);
}

int Run(const Options& options) {
  int result = mscli::kExitOk;
  for (const std::string& file : options.files) {
    RHeaderinf h;
    const bool ok = TMediaInfo::ReadFrameHeader(file, false, false, nullptr, h);
    if (!ok) result = mscli::kExitFailure;
    const nlohmann::ordered_json line = HeaderJson(file, ok, h);
    if (options.json) {
      std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
      continue;
    }
    std::cout << PlainText(file, line, options.all);
  }
  std::cout.flush();
  return result;
}

const mscli::MsCliCommand kHeader("header", [](CLI::App& app) {
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand("header", "Read the technical header of media files");
  sub->add_flag("--json", options->json, "Print one JSON object per file");
  sub->add_flag("--all", options->all, "Plain output: every field of every record");
  sub->add_option("FILE", options->files, "Media files")->required();
  return [options] { return Run(*options); };
});

}  // namespace
