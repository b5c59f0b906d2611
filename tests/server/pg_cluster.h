#pragma once
// A real PostgreSQL server for the web service's tests: one cluster per test process, made with
// initdb in a temporary directory on first use, listening only on a Unix socket in that
// directory, and removed when the process ends, however it ends.
//
// PostgreSQL refuses to run as root, so as root the cluster belongs to the "postgres" system
// user (the directory is handed to it and initdb, pg_ctl run under its uid). A watchdog child
// holds one end of a pipe whose other end only this process has: when this process exits or
// crashes the pipe closes, and the watchdog stops the cluster and removes the directory.
//
// The binaries: $MS_PG_BINDIR, else the newest /usr/lib/postgresql/N/bin.
//
// Thread safety: Get() and NewDatabase() from the test's main thread (before it starts any).

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace server_test {

class PgCluster {
 public:
  // The cluster of this process, started on the first call. error() tells why it is not there.
  static PgCluster& Get() {
    static PgCluster cluster;
    return cluster;
  }
  bool ok() const { return Ferror.empty(); }
  const std::string& error() const { return Ferror; }

  // A new, empty database of the cluster; its URL, or "" with error() set.
  std::string NewDatabase() {
    if (!ok()) return {};
    const std::string name = "ms_test_" + std::to_string(++Fdatabases);
    PGconn* conn = PQconnectdb(Url("postgres").c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
      Ferror = std::string("cannot connect: ") + PQerrorMessage(conn);
      PQfinish(conn);
      return {};
    }
    PGresult* res = PQexec(conn, ("CREATE DATABASE " + name).c_str());
    const bool created = PQresultStatus(res) == PGRES_COMMAND_OK;
    if (!created) Ferror = std::string("CREATE DATABASE: ") + PQerrorMessage(conn);
    PQclear(res);
    PQfinish(conn);
    return created ? Url(name) : std::string();
  }

  std::string Url(const std::string& database) const {
    return "postgresql:///" + database + "?host=" + Fdir + "&user=postgres";
  }
  const std::string& SocketDir() const { return Fdir; }

  ~PgCluster() {
    // Closing the pipe is the signal; the watchdog does the stopping.
    if (Fwatch >= 0) ::close(Fwatch);
    if (Fwatchdog > 0) ::waitpid(Fwatchdog, nullptr, 0);
  }
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

 private:
  PgCluster() {
    const std::string bindir = BinDir();
    if (bindir.empty()) {
      Ferror = "PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb; "
               "scripts/install-deps installs it)";
      return;
    }
    std::string pattern = "/tmp/ms-pg-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      Ferror = "mkdtemp failed";
      return;
    }
    Fdir = pattern;
    if (::geteuid() == 0) {
      const passwd* pw = ::getpwnam("postgres");
      if (pw == nullptr) {
        Ferror = "running as root, but there is no postgres user to run the cluster";
        return;
      }
      Fuid = pw->pw_uid;
      Fgid = pw->pw_gid;
      if (::chown(Fdir.c_str(), Fuid, Fgid) != 0) {
        Ferror = "cannot hand " + Fdir + " to postgres";
        return;
      }
    }
    const std::string data = Fdir + "/data", log = Fdir + "/log";
    pg_ctl_ = bindir + "/pg_ctl";
    StartWatchdog(data);
    if (Run({bindir + "/initdb", "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
             "--locale=C", "--no-sync"},
            Fdir + "/initdb.log") != 0) {
      Ferror = "initdb failed: " + ReadFile(Fdir + "/initdb.log");
      return;
    }
    // No TCP, the socket in our directory, and no waiting for the disk: the tests need a real
    // server, not a durable one.
    const std::string options = "-k " + Fdir +
                                " -c listen_addresses= -c fsync=off -c synchronous_commit=off"
                                " -c full_page_writes=off -c shared_buffers=16MB"
                                " -c max_connections=200";
    if (Run({pg_ctl_, "-D", data, "-l", log, "-w", "-t", "60", "-o", options, "start"},
            Fdir + "/pg_ctl.log") != 0) {
      Ferror = "pg_ctl start failed: " + ReadFile(Fdir + "/pg_ctl.log") + ReadFile(log);
      return;
    }
  }

  static std::string BinDir() {
    if (const char* d = std::getenv("MS_PG_BINDIR"); d && *d) return d;
    std::string best;
    int best_version = -1;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
      const std::string name = entry.path().filename().string();
      const int version = std::atoi(name.c_str());
      if (version > best_version && std::filesystem::exists(entry.path() / "bin/initdb")) {
        best_version = version;
        best = (entry.path() / "bin").string();
      }
    }
    return best;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Runs a program as the cluster's owner with its output in `log`; its exit code.
  int Run(const std::vector<std::string>& args, const std::string& log) const {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
      ExecAsOwner(argv.data(), log.c_str());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // In a child only: becomes the owner and runs argv. Async-signal-safe calls only.
  [[noreturn]] void ExecAsOwner(char* const* argv, const char* log) const {
    const int fd = ::open(log, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      if (Fuid != 0 && ::fchown(fd, Fuid, Fgid) != 0) ::_exit(126);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    if (Fuid != 0 && (::setgid(Fgid) != 0 || ::setuid(Fuid) != 0)) ::_exit(126);
    ::execv(argv[0], argv);
    ::_exit(127);
  }

  // The watchdog: waits for the pipe to close, then stops the cluster and removes the directory.
  void StartWatchdog(const std::string& data) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    // Everything the child needs is made before fork.
    const std::vector<std::string> stop = {pg_ctl_, "-D", data, "-m", "immediate", "-w", "stop"};
    const std::string stop_log = Fdir + "/stop.log";
    const std::vector<std::string> rm = {"/bin/rm", "-rf", Fdir};
    std::vector<char*> stop_argv, rm_argv;
    for (const auto& a : stop) stop_argv.push_back(const_cast<char*>(a.c_str()));
    stop_argv.push_back(nullptr);
    for (const auto& a : rm) rm_argv.push_back(const_cast<char*>(a.c_str()));
    rm_argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
      ::close(fds[0]);
      ::close(fds[1]);
      return;
    }
    if (pid == 0) {
      ::close(fds[1]);
      // Not stopped by the terminal's Ctrl+C meant for the tests: it must outlive them.
      ::signal(SIGINT, SIG_IGN);
      ::signal(SIGTERM, SIG_IGN);
      char byte;
      while (::read(fds[0], &byte, 1) != 0) {
      }
      const pid_t stopper = ::fork();
      if (stopper == 0) ExecAsOwner(stop_argv.data(), stop_log.c_str());
      if (stopper > 0) ::waitpid(stopper, nullptr, 0);
      ::execv(rm_argv[0], rm_argv.data());
      ::_exit(127);
    }
    ::close(fds[0]);
    Fwatch = fds[1];
    Fwatchdog = pid;
  }

  std::string Fdir, Ferror, pg_ctl_;
  uid_t Fuid = 0;
  gid_t Fgid = 0;
  int Fwatch = -1;
  pid_t Fwatchdog = -1;
  int Fdatabases = 0;
};

}  // namespace server_test
