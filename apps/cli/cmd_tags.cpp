// melodyseeker-cli tags [--json] FILE...
//
// Reads every file with the two tag readers the identification uses: the ID3v1 reader
// ("simple") and the facade over the format readers ("advanced"). Prints the values that carry
// something, aligned (default), every field of both as "name: value" lines (--all), or one JSON
// object per file and line (--json).
// Exit code: 0 when both readers succeed for every file, 1 when any load fails, 2 when the tag
// readers cannot be created.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_command.h"
#include "plain_fields.h"
#include "tags/tag_advanced_unit.h"
#include "tags/tag_simple_unit.h"

namespace {

struct Options {
  std::vector<std::string> files;
  bool json = false;
  bool all = false;
};

nlohmann::ordered_json SimpleJson(const TSimpleTag& t, bool ok) {
  return {{"ok", ok},
          {"error", t.error()},
          {"tagTyp", TagTypName(t.tagTyp())},
          {"tagVers", t.tagVers()},
          {"tagSize", t.tagSize()},
          {"tagPresent", t.tagPresent()},
          {"Track", t.Track()},
          {"Title", t.Title()},
          {"Artist", t.Artist()},
          {"Album", t.Album()},
          {"Year", t.Year()},
          {"genre", t.genre()},
          {"comment", t.comment()}};
}

nlohmann::ordered_json AdvancedJson(const TAdvancedTag& t, bool ok) {
  const RAdvancedTags& v = t.supportedtags();
  return {{"ok", ok},
          {"error", t.Error()},
          {"TagTyp", TagTypName(t.TagTyp())},
          {"TagVers", t.TagVers()},
          {"TagSize", t.TagSize()},
          {"TagPresent", t.TagPresent()},
          {"Track", v.Track},
          {"Title", v.Title},
          {"Artist", v.Artist},
          {"Album", v.Album},
          {"Year", v.Year},
          {"genre", v.genre},
          {"comment", v.comment},
          {"orgartist", v.orgartist},
          {"composer", v.composer},
          {"url", v.url},
          {"copyright", v.copyright},
          {"encoder", v.encoder},
          {"bpm", v.bpm},
          {"v_groups", v.v_groups},
          {"v_rating", v.v_rating},
          {"v_synchpos", v.v_synchpos}};
}

// Every field as "simple.name: value" / "advanced.name: value" (--all).
void PrintAll(const std::string& file, const nlohmann::ordered_json& line) {
  std::vector<mscli::PlainField> fields{{"FILE", file}};
  for (const char* part : {"simple", "advanced"}) {
    for (const auto& [key, value] : line[part].items())
      fields.push_back(mscli::FieldOf(std::string(part) + '.' + key, value));
  }
  std::cout << mscli::PlainRecord(fields, true);
}

// For people: the values of the format reader (title and artist first), then what the tag is,
// then the ID3v1 values when there is such a tag; only what carries a value, aligned.
void PrintPlain(const std::string& file, const nlohmann::ordered_json& line) {
  const nlohmann::ordered_json& adv = line["advanced"];
  const nlohmann::ordered_json& v1 = line["simple"];
  std::vector<mscli::PlainField> fields{{"FILE", file}};
  for (const char* key :
       {"Title", "Artist", "Album", "Track", "Year", "genre", "comment", "orgartist", "composer",
        "url", "copyright", "encoder", "bpm", "v_groups", "v_rating", "v_synchpos"})
    fields.push_back(mscli::FieldOf(key, adv[key]));
  if (adv["TagPresent"] == true) {
    for (const char* key : {"TagTyp", "TagVers", "TagSize"})
      fields.push_back(mscli::FieldOf(key, adv[key]));
  }
  if (adv["ok"] != true) fields.push_back(mscli::FieldOf("error", adv["error"]));
  if (v1["tagPresent"] == true) {
    for (const char* key : {"Title", "Artist", "Album", "Track", "Year", "genre", "comment"})
      fields.push_back(mscli::FieldOf(std::string("ID3v1 ") + key, v1[key]));
  }
  if (v1["ok"] != true) fields.push_back(mscli::FieldOf("ID3v1 error", v1["error"]));
  if (adv["TagPresent"] != true && v1["tagPresent"] != true && adv["ok"] == true)
    fields.emplace_back("", "(no tags)");
  std::cout << mscli::PlainRecord(fields, false);
}

int Run(const Options& options) {
  std::unique_ptr<TAdvancedTag> advanced;
  try {
    advanced = std::make_unique<TAdvancedTag>();
  } catch (const std::exception& e) {
    std::cerr << "melodyseeker-cli tags: " << e.what() << '\n';
    return mscli::kExitUnavailable;
  }
  TSimpleTag simple;
  int result = mscli::kExitOk;
  for (const std::string& file : options.files) {
    const bool simple_ok = simple.loadfromfile(file);
    const bool advanced_ok = advanced->loadfromfile(file, false);
    if (!simple_ok || !advanced_ok) result = mscli::kExitFailure;
    nlohmann::ordered_json line{{"file", file},
                                {"simple", SimpleJson(simple, simple_ok)},
                                {"advanced", AdvancedJson(*advanced, advanced_ok)}};
    if (options.json) {
      // File names and tag texts need not be valid UTF-8; never let one abort the output.
      std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else if (options.all) {
      PrintAll(file, line);
    } else {
      PrintPlain(file, line);
    }
  }
  std::cout.flush();
  return result;
}

const mscli::MsCliCommand kTags("tags", [](CLI::App& app) {
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand("tags", "Read the tags of media files");
  sub->add_flag("--json", options->json, "Print one JSON object per file");
  sub->add_flag("--all", options->all, "Plain output: every field of both readers");
  sub->add_option("FILE", options->files, "Media files")->required();
  return [options] { return Run(*options); };
});

}  // namespace
