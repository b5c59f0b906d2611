// The command-line switches of the service: "local" only as the first argument, "ONECORE" and
// "/ONECORE" anywhere, in any case, after trimming.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/mainunit.h"

namespace {

TEST(ServiceArguments, LocalAndOneCore) {
  using Args = std::vector<std::string>;
  const struct {
    const char* name;
    Args args;
    bool local;
    bool onecore;
  } cases[] = {
      {"nothing", {}, false, false},
      {"LOCAL first", {"LOCAL"}, true, false},
      {"local second", {"x", "local"}, false, false},
      {"/onecore anywhere", {"local", "a", " /onecore "}, true, true},
      {"ONECORE", {"ONECORE"}, false, true},
      {"ONECORE2", {"ONECORE2"}, false, false},
      {"-onecore", {"-onecore"}, false, false},
      {"blank", {"  "}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LocalModeRequested(c.args), c.local);
    EXPECT_EQ(OneCoreRequested(c.args), c.onecore);
  }
}

}  // namespace
