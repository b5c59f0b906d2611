// The service's last word: an exception that escapes a thread ends the process, but first it is
// written to the debug trace as the exception report, so that support sees what happened.
// And the status file: a file left behind by a process that is gone does not count as running.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "../afp/afp_audio_fixtures.h"
#include "diagnostics/debug_unit.h"
#include "service/mainunit.h"
#include "service/servicestatus_unit.h"

namespace {

using afptest::TempDir;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ExceptionReportDeathTest, EscapingExceptionIsTracedBeforeTheEnd) {
  TempDir dir;
  EXPECT_DEATH(
      {
        Debug_Init("test", dir.path());
        InstallExceptionReport();
        std::thread([] { throw std::runtime_error("Verbindung kaputt"); }).join();
      },
      "Exception Report: Verbindung kaputt");
  EXPECT_NE(ReadText(dir.File("debug.tmp")).find("Exception Report: Verbindung kaputt"),
            std::string::npos);
}

TEST(ServiceStatusFile, StaleFileOfAnEndedProcessIsNotRunning) {
  TempDir dir;
  const char* old = getenv("XDG_RUNTIME_DIR");
  const std::string saved = old != nullptr ? old : "";
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  TServiceStatus mine;
  mine.Phase = TServicePhase::Failed;
  mine.Text = "Abgebrochen \"kaputt\"\n\rzweite Zeile";
  mine.Pid = ::getpid();
  mine.Exe = std::filesystem::read_symlink("/proc/self/exe").string();
  {
    TServiceStatusPublisher publisher;
    publisher.Publish(mine);
    TServiceStatus read;
    ASSERT_TRUE(ReadServiceStatus(read));
    EXPECT_EQ(read, mine);

    // The same file naming a process that has ended (or runs another program) is stale.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    TServiceStatus gone = mine;
    gone.Pid = child;
    std::ofstream(ServiceStatusFile()) << ServiceStatusToJson(gone);
    EXPECT_FALSE(ReadServiceStatus(read));
    TServiceStatus other = mine;
    other.Exe = "/usr/bin/another";
    std::ofstream(ServiceStatusFile()) << ServiceStatusToJson(other);
    EXPECT_FALSE(ReadServiceStatus(read));
    std::ofstream(ServiceStatusFile()) << "{\"phase\":\"ready\",\"pid\":\"x\"}";
    EXPECT_FALSE(ReadServiceStatus(read));
    std::ofstream(ServiceStatusFile()) << ServiceStatusToJson(mine);
  }
  // Withdrawn with the publisher.
  EXPECT_FALSE(std::filesystem::exists(ServiceStatusFile()));
  if (old != nullptr)
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
