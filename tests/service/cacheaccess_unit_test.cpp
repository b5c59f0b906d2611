// The dispatcher's replies for every state and for the errors a request can meet, through the
// data event and once over the real socket.

#include "service/cacheaccess_unit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "../afp/afp_audio_fixtures.h"
#include "service/melodyseeker_share_unit.h"

namespace {

using afptest::TempDir;

std::string UniquePipe(const char* tag) {
  return "ms-cacheaccess-" + std::to_string(::getpid()) + "-" + tag;
}

class CacheAccessTest : public ::testing::Test {
 protected:
  std::string Ask(const std::string& request) {
    std::vector<std::uint8_t> out;
    const std::vector<std::uint8_t> in(request.begin(), request.end());
    access->HandlePipeRequest(in, out);
    TClientXmlReply reply;
    std::string error;
    EXPECT_TRUE(ClientXmlReadReply(out, reply, error)) << error;
    return reply.ok ? "OK" : reply.Error;
  }
  static std::string Request(const std::string& root, const std::string& file) {
    return "<?xml version=\"1.0\"?><" + root + "><FILENAME>" + file + "</FILENAME></" + root + ">";
  }

  TempDir dir;
  std::shared_ptr<TPlainMainThreadQueue> queue = std::make_shared<TPlainMainThreadQueue>();
  std::unique_ptr<TCacheAccess> access = std::make_unique<TCacheAccess>(
      queue, UniquePipe(::testing::UnitTest::GetInstance()->current_test_info()->name()));
};

TEST_F(CacheAccessTest, StatesOtherThanReadyAnswerWithoutLookingAtTheRequest) {
  const struct {
    TPipeServerState state;
    const char* text;
  } cases[] = {
      {serverInit, "Der lokale Server ist noch nicht bereit, bitte warten."},
      {serverClosing, "Der lokale Server wird beendet"},
      {static_cast<TPipeServerState>(7),
       "Der Serverstatus konnte nicht ermittelt werden oder ist unbekannt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    access->SetPipeServerState(c.state);
    EXPECT_EQ(Ask("not even XML"), c.text);
  }
}

TEST_F(CacheAccessTest, RequestErrorsCarryTheNameAndTheTrace) {
  access->SetPipeServerState(serverReady);
  const std::string missing = dir.File("weg.mp3");
  const std::string midi = dir.File("song.kar");
  afptest::WriteBytes(midi, {'M', 'T', 'h', 'd'});
  const std::string prefix = "Es ist ein unbekannter Fehler aufgetreten: ";
  const struct {
    const char* name;
    std::string request;
    std::string text;
  } cases[] = {
      {"missing file, any root name", Request("request", missing),
       prefix + "Datei existiert nicht:" + missing + " " + missing + " "},
      {"no FILENAME", "<clientapi><OTHER>x</OTHER></clientapi>",
       prefix + "Datei existiert nicht:  "},
      {"a directory", Request("clientapi", dir.path()),
       prefix + "Datei existiert nicht:" + dir.path() + " " + dir.path() + " "},
      {"MIDI", Request("clientapi", midi), prefix + "Dateityp nicht unterstützt " + midi + " "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Ask(c.request), c.text);
  }
  // Not well-formed: the parser's message follows the prefix.
  const std::string broken = Ask("<clientapi><FILENAME>x</clientapi>");
  EXPECT_EQ(broken.rfind(prefix, 0), 0u) << broken;
  EXPECT_GT(broken.size(), prefix.size() + 2) << broken;
}

TEST_F(CacheAccessTest, AnswersOverTheSocketAndStopsServingWhenDestroyed) {
  ASSERT_TRUE(access->PipeServerStarted());
  TPipeClient client;
  ASSERT_TRUE(client.Connect(access->PipeServer()->PipeName())) << client.LastError();
  std::string request;
  std::string error;
  ASSERT_TRUE(ClientXmlRequest(dir.File("x.mp3"), request, error));
  std::vector<std::uint8_t> answer;
  ASSERT_TRUE(client.Transact(std::vector<std::uint8_t>(request.begin(), request.end()), answer,
                              std::chrono::seconds(5)))
      << client.LastError();
  TClientXmlReply reply;
  ASSERT_TRUE(ClientXmlReadReply(answer, reply, error)) << error;
  EXPECT_EQ(reply.Error, "Der lokale Server ist noch nicht bereit, bitte warten.");
  EXPECT_EQ(access->PipeServerClientCount(), 1);
  access->Destroy();
  EXPECT_EQ(access->PipeServerState(), serverClosing);
  EXPECT_EQ(access->PipeServerClientCount(), 0);
  EXPECT_FALSE(client.Receive(answer, std::chrono::seconds(2)));  // the server closed it
}

}  // namespace
