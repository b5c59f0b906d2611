// melodyseeker-cli compare [--json] [--quick] [--shift] A B
//
// Fingerprints two media files and compares them once, A as row 1 and B as row 2, with the
// identification's thresholds (85 % for audio, 95 % for images). --quick compares the quick
// rows only (the pre-test), --shift also tries every offset of the shorter one in the longer.
// Exit code: 0 when both fingerprints were computed (whatever the verdict), 1 otherwise.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "afp/afpcomp_unit.h"
#include "afp/afpdecode_unit.h"
#include "cli_command.h"

namespace {

struct Options {
  std::string a, b;
  bool json = false;
  bool quick = false;
  bool shift = false;
};

int Run(const Options& options) {
  TAFPComp comp;
  for (const std::string* file : {&options.a, &options.b}) {
    TAFPDecoder gen;
    RAFP afp;
    if (!gen.AFPDecode(*file, afp) || afp.p1.empty()) {
      std::cerr << "melodyseeker-cli compare: " << *file << ": "
                << (gen.lasterror().empty() ? "kein Fingerabdruck" : gen.lasterror()) << '\n';
      return mscli::kExitFailure;
    }
    comp.afpload(-1, afp);
  }
  std::string vglinfo1, vglinfo2;
  std::int32_t vglresofs = 0, vglresproz = 0;
  const bool result = comp.afpcomp(0, 1, options.quick, options.shift, 85, 95, vglinfo1, vglinfo2,
                                   vglresofs, vglresproz);
  const nlohmann::ordered_json line{{"result", result},
                                    {"vglresproz", vglresproz},
                                    {"vglresofs", vglresofs},
                                    {"vglinfo1", vglinfo1},
                                    {"vglinfo2", vglinfo2}};
  if (options.json) {
    std::cout << line.dump() << '\n';
  } else {
    for (const auto& [key, value] : line.items())
      std::cout << key << ": " << (value.is_string() ? value.get<std::string>() : value.dump()) << '\n';
  }
  return mscli::kExitOk;
}

const mscli::MsCliCommand kCompare("compare", [](CLI::App& app) {
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand("compare", "Compare the fingerprints of two media files");
  sub->add_flag("--json", options->json, "Print one JSON object");
  sub->add_flag("--quick", options->quick, "Compare the quick rows only (pre-test)");
  sub->add_flag("--shift", options->shift, "Try every offset of the shorter fingerprint");
  sub->add_option("A", options->a, "First media file (row 1)")->required();
  sub->add_option("B", options->b, "Second media file (row 2)")->required();
  return [options] { return Run(*options); };
});

}  // namespace
