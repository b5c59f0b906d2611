// The configuration file and the data directory: keys, defaults, quoting, version change, reset,
// atomic saving, and the choice of the data directory.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "../afp/afp_audio_fixtures.h"
#include "platform/ui_prompt.h"
#include "service/melodyseeker_glob_unit.h"
#include "service/startoncemutex_unit.h"
#include "service/syspfadutil_unit.h"

namespace {

namespace fs = std::filesystem;
using afptest::TempDir;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Answers every question with `answer` and keeps the texts shown.
class CapturePrompt : public TUiPrompt {
 public:
  explicit CapturePrompt(TPromptResult answer) : FAnswer(answer) {}
  TPromptResult Show(TPromptKind, std::string_view text, TPromptButtons) override {
    texts.emplace_back(text);
    return FAnswer;
  }
  std::vector<std::string> texts;

 private:
  TPromptResult FAnswer;
};

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string* value) : FName(name) {
    if (const char* old = getenv(name)) FOld = std::make_unique<std::string>(old);
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (FOld)
      setenv(FName, FOld->c_str(), 1);
    else
      unsetenv(FName);
  }

 private:
  const char* FName;
  std::unique_ptr<std::string> FOld;
};

// Today's day number worked out another way: the local date as seconds of a UTC day count from
// 1 January 1970, which is day 25569.
std::int32_t TodayFromTheUnixEpoch() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<std::int32_t>(timegm(&local) / 86400 + 25569);
}

// Runs `load` and checks that it stored today's day number (either side of a midnight).
void ExpectInstallDayToday(const std::function<std::int32_t()>& load) {
  const std::int32_t before = TodayFromTheUnixEpoch();
  const std::int32_t stored = load();
  const std::int32_t after = TodayFromTheUnixEpoch();
  EXPECT_TRUE(stored == before || stored == after) << stored << " not " << before;
}

TEST(ConfigFile, FirstStartWritesIdentityAndLaterStartsCount) {
  TempDir dir;
  const std::string file = dir.File("MelodySeeker.ini");
  std::string error;
  ExpectInstallDayToday([&] {
    EXPECT_TRUE(LoadConfig(file, " 1.00 64Bit ", error)) << error;
    return GetConfig().INSTDATUM;
  });
  TMelodySeekerConfig c = GetConfig();
  EXPECT_EQ(c.UCOUNT, 1);
  EXPECT_EQ(c.PROGVERS, "1.00 64Bit");
  ASSERT_EQ(c.userid.size(), 25u);
  for (char ch : c.userid) EXPECT_TRUE(ch >= 'A' && ch <= 'Y') << c.userid;
  EXPECT_EQ(c.dpabfragepos, 1);
  EXPECT_FALSE(c.DebugStart);
  const std::string text = ReadText(file);
  EXPECT_NE(text.find("userid=" + c.userid), std::string::npos) << text;
  EXPECT_NE(text.find("PROGVERS=1.00 64Bit"), std::string::npos) << text;

  const std::string userid = c.userid;
  ASSERT_TRUE(LoadConfig(file, "1.00 64Bit", error)) << error;
  c = GetConfig();
  EXPECT_EQ(c.UCOUNT, 2);
  EXPECT_EQ(c.userid, userid);
  EXPECT_FALSE(fs::exists(file + ".tmp"));
}

TEST(ConfigFile, DayNumberCountsFromTheThirtiethOfDecember1899) {
  const struct {
    int year;
    unsigned month, day;
    std::int32_t number;
  } cases[] = {
      {1899, 12, 30, 0},     {1899, 12, 31, 1},     {1900, 1, 1, 2},       {1900, 2, 28, 60},
      {1900, 3, 1, 61},      {1970, 1, 1, 25569},   {2000, 2, 29, 36585},  {2000, 3, 1, 36586},
      {2024, 3, 5, 45356},   {2099, 12, 31, 73050},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.year) + "-" + std::to_string(c.month) + "-" +
                 std::to_string(c.day));
    EXPECT_EQ(DayNumber(c.year, c.month, c.day), c.number);
  }
  ExpectInstallDayToday(TodayDayNumber);
}

TEST(ConfigFile, VersionChangeErasesWindowPositionsAndRestartsTheInstallDay) {
  const struct {
    const char* name;
    std::string written_version;
    int instdatum;
    bool erased;
  } cases[] = {
      {"same version", "1.00 64Bit", 40000, false},
      {"other version", "0.99 64Bit", 40000, true},
      {"no install day", "1.00 64Bit", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string file = dir.File("MelodySeeker.ini");
    WriteText(file, "[konfig]\nprogvers= " + c.written_version + "\ninstdatum=" +
                        std::to_string(c.instdatum) + "\nuserid=ABC\n[FORM_Mainform]\nLeft=10\n");
    std::string error;
    const auto load = [&] {
      EXPECT_TRUE(LoadConfig(file, "1.00 64Bit", error)) << error;
      return GetConfig().INSTDATUM;
    };
    if (c.erased)
      ExpectInstallDayToday(load);
    else
      EXPECT_EQ(load(), c.instdatum);
    const TMelodySeekerConfig cfg = GetConfig();
    EXPECT_EQ(cfg.userid, "ABC");
    EXPECT_EQ(ReadText(file).find("FORM_Mainform") == std::string::npos, c.erased);
  }
}

TEST(ConfigFile, KeysIgnoreCaseBooleansAreAnyNonZeroAndDirectoryListStopsAtAGap) {
  TempDir dir;
  const std::string file = dir.File("MelodySeeker.ini");
  WriteText(file,
            "[KONFIG]\nDEBUGSTART=5\nuserid=X\n[manuelleauswahl]\nDPABFRAGEPOS=7\n"
            "[VERZEICHNISAUTOMATIK]\nverz1=/a\nverz2=/b\nverz4=/d\n"
            "[decoder]\nextdecoderverwenden=2\nExtDecoderPipeModus=0\n"
            "ExtDecoderCMD=ffmpeg -i #%i# -f wav #%o#\nExtDecoderTempDir=/tmp/a#b\n"
            "[WEBSERVICE]\nBaseURL= http://127.0.0.1:9/v2/ \n");
  std::string error;
  ASSERT_TRUE(LoadConfig(file, "1.00 64Bit", error)) << error;
  const TMelodySeekerConfig c = GetConfig();
  EXPECT_TRUE(c.DebugStart);
  EXPECT_EQ(c.dpabfragepos, 7);
  EXPECT_EQ(c.verz, (std::vector<std::string>{"/a", "/b"}));
  EXPECT_TRUE(c.ExtDecoderVerwenden);
  EXPECT_FALSE(c.ExtDecoderPipeModus);
  EXPECT_EQ(c.ExtDecoderCMD, "ffmpeg -i \"%i\" -f wav \"%o\"");
  EXPECT_EQ(c.ExtDecoderTempDir, "/tmp/a\"b");  // a "#" comes back as a double quote
  EXPECT_EQ(c.ExtDecoderPipeoutParam, "");
  EXPECT_EQ(c.BaseURL, "http://127.0.0.1:9/v2/");
}

TEST(ConfigFile, SaveQuotesDecoderTextsAndKeepsEverythingElse) {
  TempDir dir;
  const std::string file = dir.File("MelodySeeker.ini");
  WriteText(file, "[VERZEICHNISAUTOMATIK]\nverz1=/musik\n[WEBSERVICE]\nBaseURL=http://h/v2/\n");
  std::string error;
  ASSERT_TRUE(LoadConfig(file, "1.00 64Bit", error)) << error;
  TMelodySeekerConfig c = GetConfig();
  c.ExtDecoderVerwenden = true;
  c.ExtDecoderCMD = "\"/usr/bin/ffmpeg\" -i \"%i\" \"%o\"";
  c.DebugStart = true;
  SetConfig(c);
  ASSERT_TRUE(SaveConfig(file, error)) << error;
  const std::string text = ReadText(file);
  EXPECT_NE(text.find("ExtDecoderCMD=#/usr/bin/ffmpeg# -i #%i# #%o#"), std::string::npos) << text;
  EXPECT_NE(text.find("DebugStart=1"), std::string::npos) << text;
  EXPECT_NE(text.find("verz1=/musik"), std::string::npos) << text;
  EXPECT_NE(text.find("BaseURL=http://h/v2/"), std::string::npos) << text;
  EXPECT_FALSE(fs::exists(file + ".tmp"));

  SetConfig({});
  ASSERT_TRUE(LoadConfig(file, "1.00 64Bit", error)) << error;
  EXPECT_EQ(GetConfig().ExtDecoderCMD, c.ExtDecoderCMD);
  EXPECT_TRUE(GetConfig().DebugStart);
}

// Someone edits the file while the service runs: the service's save keeps their value, and a
// reload takes it, while a value the service itself changed meanwhile is neither lost nor
// overwritten by the reload.
TEST(ConfigFile, EditsMadeWhileRunningSurviveSaveAndReachReload) {
  TempDir dir;
  const std::string file = dir.File("MelodySeeker.ini");
  WriteText(file, "[DECODER]\nExtDecoderCMD=old\nExtDecoderPipeModus=0\n");
  std::string error;
  ASSERT_TRUE(LoadConfig(file, "1.00 64Bit", error)) << error;

  // The service changes two values in memory; an editor changes one of them and another key,
  // and writes a third back with the value it already had (not a change).
  TMelodySeekerConfig c = GetConfig();
  c.DebugStart = true;
  c.dpabfragepos = 5;
  SetConfig(c);
  ASSERT_TRUE(WriteConfigValues(file,
                                {{"DECODER", "ExtDecoderCMD", "#/opt/dec# %i"},
                                 {"MANUELLEAUSWAHL", "dpabfragepos", "7"},
                                 {"DECODER", "ExtDecoderPipeModus", "0"}},
                                error))
      << error;

  ASSERT_TRUE(ReloadConfig(file, error)) << error;
  EXPECT_EQ(GetConfig().ExtDecoderCMD, "\"/opt/dec\" %i");  // theirs, unquoted
  EXPECT_TRUE(GetConfig().DebugStart);                       // ours, untouched by the reload
  EXPECT_EQ(GetConfig().dpabfragepos, 7);                    // both changed it: the file wins

  // A later edit is not seen before the save: the save must not write over it.
  ASSERT_TRUE(WriteConfigValues(file, {{"DECODER", "ExtDecoderTempDir", "/fast"}}, error));
  ASSERT_TRUE(SaveConfig(file, error)) << error;
  TMelodySeekerConfig saved;
  ASSERT_TRUE(ReadConfigFile(file, saved, error)) << error;
  EXPECT_EQ(saved.ExtDecoderTempDir, "/fast");
  EXPECT_EQ(saved.ExtDecoderCMD, "\"/opt/dec\" %i");
  EXPECT_TRUE(saved.DebugStart);
  EXPECT_EQ(saved.dpabfragepos, 7);
}

TEST(ConfigFile, SaveIntoAnUnwritableDirectoryFailsAndKeepsTheOldFile) {
  TempDir dir;
  const std::string file = dir.File("sub/MelodySeeker.ini");
  std::string error;
  EXPECT_FALSE(SaveConfig(file, error));  // the directory does not exist
  EXPECT_FALSE(error.empty());
}

TEST(ConfigFile, ResetKeepsTheUserIdAndMovesTheOldFileIntoBackup) {
  TempDir dir;
  const std::string file = dir.File("MelodySeeker.ini");
  const std::string backup = dir.File("Backup");
  fs::create_directories(backup);
  WriteText(file, "[KONFIG]\nuserid=KEEPME\nUCOUNT=9\n[DECODER]\nExtDecoderCMD=x\n");

  auto no = std::make_shared<CapturePrompt>(TPromptResult::Abort);
  SetUiPrompt(no);
  EXPECT_FALSE(ResetConfiguration(file, backup));
  EXPECT_NE(ReadText(file).find("UCOUNT=9"), std::string::npos);

  auto ok = std::make_shared<CapturePrompt>(TPromptResult::Ok);
  SetUiPrompt(ok);
  EXPECT_TRUE(ResetConfiguration(file, backup));
  SetUiPrompt(nullptr);
  const std::string fresh = ReadText(file);
  EXPECT_NE(fresh.find("userid=KEEPME"), std::string::npos) << fresh;
  EXPECT_EQ(fresh.find("UCOUNT"), std::string::npos) << fresh;
  int moved = 0;
  for (const auto& e : fs::directory_iterator(backup)) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(name.rfind("MelodySeeker.inibackup_", 0), 0u) << name;
    EXPECT_EQ(name.size(), std::string("MelodySeeker.inibackup_2024-03-05_14_07_09").size())
        << name;
    EXPECT_NE(ReadText(e.path().string()).find("UCOUNT=9"), std::string::npos);
    ++moved;
  }
  EXPECT_EQ(moved, 1);
  ASSERT_EQ(ok->texts.size(), 2u);
  EXPECT_EQ(ok->texts[1],
            "Konfiguration wurde entfernt, Startkonfiguration wird wiederhergestellt !\n\r\n\r"
            "Bitte Anwendung neu starten !");
}

TEST(DataPath, CandidatesInOrderCreatedWhenMissing) {
  TempDir dir;
  const std::string appdata = dir.File("appdata");
  const std::string allusers = dir.File("allusers");
  const std::string missing = dir.File("missing");
  // A data home that cannot be made (below a plain file), so the all-users candidate is tried.
  WriteText(dir.File("plainfile"), "x");
  const std::string blocked = dir.File("plainfile") + "/share";
  fs::create_directories(allusers);
  {
    // APPDATA names no directory, the all-users base exists: its candidate is created.
    ScopedEnv a("APPDATA", &missing), x("XDG_DATA_HOME", &blocked), h("HOME", &missing),
        u("ALLUSERSPROFILE", &allusers);
    EXPECT_EQ(FindDataPath("MelodySeeker", true), allusers + "/Anwendungsdaten/MelodySeeker");
    EXPECT_TRUE(fs::is_directory(allusers + "/Anwendungsdaten/MelodySeeker"));
    EXPECT_FALSE(fs::exists(allusers + "/Anwendungsdaten/MelodySeeker/schreibtest.debug"));
  }
  fs::create_directories(appdata);
  {
    // Both bases exist: the existing all-users directory wins over the missing APPDATA one in
    // the search pass.
    ScopedEnv a("APPDATA", &appdata), u("ALLUSERSPROFILE", &allusers);
    EXPECT_EQ(FindDataPath("MelodySeeker", true), allusers + "/Anwendungsdaten/MelodySeeker");
    // Neither exists yet for another name: APPDATA's is created first; without the create flag
    // nothing is found.
    EXPECT_EQ(FindDataPath("MelodySeeker_UWP", false), "");
    EXPECT_EQ(FindDataPath("MelodySeeker_UWP", true), appdata + "/MelodySeeker_UWP");
  }
  {
    ScopedEnv a("APPDATA", &missing), x("XDG_DATA_HOME", &blocked), h("HOME", &missing),
        u("ALLUSERSPROFILE", nullptr);
    EXPECT_EQ(FindDataPath("Other", true), "");  // no candidate at "/" or anywhere else
  }
}

// A fresh account has no ~/.local/share yet: it is made (private to the user) and the data
// directory goes below it; a home directory that does not exist is never made.
TEST(DataPath, MissingDataHomeIsCreated) {
  TempDir dir;
  const std::string home = dir.File("home");
  fs::create_directories(home);
  const std::string missing = dir.File("nohome");
  {
    ScopedEnv a("APPDATA", nullptr), x("XDG_DATA_HOME", nullptr), h("HOME", &home),
        u("ALLUSERSPROFILE", nullptr);
    EXPECT_EQ(FindDataPath("MelodySeeker", false), "");
    EXPECT_EQ(FindDataPath("MelodySeeker", true), home + "/.local/share/MelodySeeker");
    EXPECT_EQ(fs::status(home + "/.local/share").permissions() & fs::perms::all,
              fs::perms::owner_all);
  }
  {
    const std::string xdg = dir.File("xdg/data");
    ScopedEnv a("APPDATA", nullptr), x("XDG_DATA_HOME", &xdg), h("HOME", &missing),
        u("ALLUSERSPROFILE", nullptr);
    EXPECT_EQ(FindDataPath("MelodySeeker", true), xdg + "/MelodySeeker");
  }
  {
    ScopedEnv a("APPDATA", nullptr), x("XDG_DATA_HOME", nullptr), h("HOME", &missing),
        u("ALLUSERSPROFILE", nullptr);
    EXPECT_EQ(FindDataPath("MelodySeeker", true), "");
    EXPECT_FALSE(fs::exists(missing));
  }
}

TEST(DataPath, WriteTestAndForceDir) {
  TempDir dir;
  EXPECT_FALSE(DirWriteTest(""));
  EXPECT_FALSE(DirWriteTest(dir.File("nope")));
  EXPECT_TRUE(DirWriteTest(dir.path()));
  EXPECT_FALSE(fs::exists(dir.File("schreibtest.debug")));
  EXPECT_FALSE(ForceDir(""));
  EXPECT_TRUE(ForceDir(dir.File("a/b/c")));
  EXPECT_TRUE(fs::is_directory(dir.File("a/b/c")));
}

TEST(SingleInstance, OneLockPerProgramFileName) {
  TempDir dir;
  EXPECT_TRUE(CheckSingleInstance("MelodySeeker.exe", dir.path()));
  // A second holder of the same name is refused; another file name is not.
  const pid_t child = ::fork();
  if (child == 0) {
    const bool same = CheckSingleInstance("MelodySeeker.exe", dir.path());
    const bool other = CheckSingleInstance("Kopie.exe", dir.path());
    ::_exit((same ? 1 : 0) | (other ? 0 : 2));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(AlreadyRunningText("MelodySeeker.exe"),
            "Anwendung \"MelodySeeker.exe\" läuft bereits!");
}

TEST(LanguageOverride, StoredPerProgramPathAndRemovable) {
  TempDir dir;
  const std::string config = dir.path();
  ScopedEnv c("XDG_CONFIG_HOME", &config);
  EXPECT_EQ(GetLanguageOverride("/opt/ms/MelodySeeker.exe"), "");
  EXPECT_TRUE(SetLanguageOverride("/opt/ms/MelodySeeker.exe", "EN"));
  EXPECT_TRUE(SetLanguageOverride("/other/MelodySeeker.exe", "DE"));
  EXPECT_EQ(GetLanguageOverride("/opt/ms/MelodySeeker.exe"), "EN");
  EXPECT_TRUE(fs::exists(dir.File("MelodySeeker/language.ini")));
  EXPECT_TRUE(ClearLanguageOverride("/opt/ms/MelodySeeker.exe"));
  EXPECT_EQ(GetLanguageOverride("/opt/ms/MelodySeeker.exe"), "");
  EXPECT_EQ(GetLanguageOverride("/other/MelodySeeker.exe"), "DE");
}

}  // namespace
