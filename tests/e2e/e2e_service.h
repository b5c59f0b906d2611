#pragma once
// The pieces of the end-to-end tests: a fingerprint web service on 127.0.0.1 (cpp-httplib) whose
// answers each test sets, and one real `melodyseeker --headless` process with its own data,
// lock and socket names (its arguments, environment and program file chosen by the test when
// it needs to), and the real `melodyseeker-cli` run with the same environment.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../afp/afp_audio_fixtures.h"

namespace e2e {

using namespace std::chrono_literals;
using afptest::TempDir;

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The fingerprint web service as the client sees it; what it answers is set per test.
class FakeService {
 public:
  FakeService() {
    FServer.Get("/v2/getState.php", [this](const httplib::Request&, httplib::Response& res) {
      ++StateRequests;
      std::this_thread::sleep_for(std::chrono::milliseconds(StateDelayMs));
      res.set_content("<apistate><online>" + std::string(Online ? "1" : "0") +
                          "</online><message_de>Wartung</message_de><message_en>Maintenance"
                          "</message_en><client_minvers>" +
                          MinVers + "</client_minvers></apistate>",
                      "text/xml");
    });
    FServer.Get("/v2/getAFPCacheInf.php", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content("<afpcache><afpcachefile size=\"" + std::to_string(CacheFile.size()) + "\">" +
                          Base() + "files/" + CacheName + "</afpcachefile></afpcache>",
                      "text/xml");
    });
    FServer.Get(R"(/v2/files/(.*))", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(CacheFile, "application/octet-stream");
    });
    FServer.Post("/v2/getAFPTag.php", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::unique_lock<std::mutex> lock(FLock);
        FTagRequests.push_back(req.body);
        // Slow answers keep requests running; the destructor cuts the wait short.
        FRelease.wait_for(lock, std::chrono::milliseconds(TagDelayMs),
                          [this] { return FStopping; });
      }
      if (req.body.find("<FUNCTION>U</FUNCTION>") != std::string::npos) {
        res.set_content(
            "<remoteapi><TITLE>Bekannt</TITLE><ARTIST>Die Band</ARTIST><ALBUM>LP</ALBUM>"
            "<TRACK>4</TRACK><YEAR>1999</YEAR><GENRE>Rock</GENRE><BPM>0</BPM>"
            "<SYNPOS>0</SYNPOS><FGUID>FG-A</FGUID><TGUID>TG-A</TGUID><RATING>3</RATING>"
            "</remoteapi>",
            "text/xml");
      } else {
        res.set_content("<remoteapi><TITLE>" + AddTitle +
                            "</TITLE><FGUID>FG-N</FGUID><TGUID>TG-N</TGUID></remoteapi>",
                        "text/xml");
      }
    });
    FPort = FServer.bind_to_any_port("127.0.0.1");
    FThread = std::thread([this] { FServer.listen_after_bind(); });
    while (!FServer.is_running()) std::this_thread::sleep_for(1ms);
  }
  ~FakeService() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FStopping = true;
    }
    FRelease.notify_all();
    FServer.stop();
    FThread.join();
  }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/v2/"; }
  std::vector<std::string> TagRequests() {
    std::lock_guard<std::mutex> lock(FLock);
    return FTagRequests;
  }

  std::atomic<bool> Online{true};  // may change while the service asks
  std::string MinVers;
  int StateDelayMs = 0;
  std::atomic<int> StateRequests{0};
  int TagDelayMs = 0;                     // before each tag answer
  std::string AddTitle = "Neu angelegt";  // the title an add request gets
  std::string CacheName = "afp00001.afpbin";
  std::string CacheFile;

 private:
  httplib::Server FServer;
  int FPort = 0;
  std::thread FThread;
  std::mutex FLock;
  std::vector<std::string> FTagRequests;
  std::condition_variable FRelease;
  bool FStopping = false;
};

// The environment of a service and its tools under `dir`: data, runtime (status, lock) and
// configuration directories of their own, the web service `api`, the socket `pipe`.
inline std::vector<std::string> ServiceEnv(const TempDir& dir, const std::string& api,
                                           const std::string& pipe) {
  for (const char* sub : {"app", "run", "config"})
    std::filesystem::create_directories(dir.File(sub));
  return {"APPDATA=" + dir.File("app"),
          "XDG_RUNTIME_DIR=" + dir.File("run"),
          "XDG_CONFIG_HOME=" + dir.File("config"),
          "HOME=" + dir.path(),
          "MELODYSEEKER_API=" + api,
          "MELODYSEEKER_PIPE=" + pipe,
          "PATH=/usr/bin:/bin"};
}

// `env` with NAME=value set (or, for an empty value, NAME removed).
inline std::vector<std::string> WithEnv(std::vector<std::string> env, const std::string& name,
                                        const std::string& value) {
  std::erase_if(env, [&name](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
  if (!value.empty()) env.push_back(name + "=" + value);
  return env;
}

// Starts `bin` with `args` and exactly `env`; standard input from /dev/null, standard output
// into `out` (kept when empty), standard error into `err`.
inline pid_t Spawn(const std::string& bin, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, const std::string& out,
                   const std::string& err) {
  std::vector<std::string> envcopy = env;
  std::vector<char*> argv{const_cast<char*>(bin.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : envcopy) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    if (!out.empty()) ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    ::execve(bin.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

// What a test may choose of a service process; empty members take the defaults.
struct ServiceOptions {
  std::vector<std::string> args;  // after --headless
  std::vector<std::string> env;   // the whole environment (ServiceEnv's by default)
  std::string bin;                // the program file (the built melodyseeker by default)
};

// One `melodyseeker --headless` process with its own data, lock and socket names.
class ServiceProcess {
 public:
  // `ini`, when not empty, is the configuration file the service finds at start-up.
  ServiceProcess(const TempDir& dir, const std::string& api, const std::string& tag,
                 const std::string& ini = "")
      : ServiceProcess(dir, api, tag, ServiceOptions{}, ini) {}
  ServiceProcess(const TempDir& dir, const std::string& api, const std::string& tag,
                 ServiceOptions options, const std::string& ini = "") {
    FPipe = "ms-e2e-" + std::to_string(::getpid()) + "-" + tag;
    FErr = dir.File("service-" + tag + ".err");
    FEnv = options.env.empty() ? ServiceEnv(dir, api, FPipe) : std::move(options.env);
    for (const std::string& e : FEnv)
      if (e.rfind("MELODYSEEKER_PIPE=", 0) == 0) FPipe = e.substr(18);
    if (!ini.empty()) {
      std::filesystem::create_directories(dir.File("app") + "/MelodySeeker");
      std::ofstream(dir.File("app") + "/MelodySeeker/MelodySeeker.ini") << ini;
    }
    const std::string bin =
        options.bin.empty() ? std::string(MS_BINARY_DIR) + "/apps/melodyseeker" : options.bin;
    options.args.insert(options.args.begin(), "--headless");
    FPid = Spawn(bin, options.args, FEnv, "", FErr);
  }
  ~ServiceProcess() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  // Waits until standard error holds `text`.
  bool WaitFor(const std::string& text, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (Err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  std::string Err() const { return ReadText(FErr); }
  const std::string& Pipe() const { return FPipe; }
  const std::vector<std::string>& Env() const { return FEnv; }
  pid_t Pid() const { return FPid; }
  void Signal(int sig) { ::kill(FPid, sig); }
  // The exit status once the process ended within `limit`, or -1.
  int Wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }
  // SIGTERM; the exit status, or -1 when it did not end within `limit`.
  int Terminate(std::chrono::milliseconds limit) {
    ::kill(FPid, SIGTERM);
    return Wait(limit);
  }

 private:
  pid_t FPid = -1;
  std::string FPipe, FErr;
  std::vector<std::string> FEnv;
};

// The real melodyseeker-cli with exactly `env`: standard output, standard error, exit code.
struct CliResult {
  std::string out, err;
  int code = -1;
};
inline CliResult Cli(const TempDir& dir, const std::vector<std::string>& env,
                     const std::vector<std::string>& args) {
  static int n = 0;
  const std::string out = dir.File("cli" + std::to_string(++n) + ".out");
  const std::string err = dir.File("cli" + std::to_string(n) + ".err");
  const pid_t pid =
      Spawn(std::string(MS_BINARY_DIR) + "/apps/melodyseeker-cli", args, env, out, err);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {ReadText(out), ReadText(err), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace e2e
