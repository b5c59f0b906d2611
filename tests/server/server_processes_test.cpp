// Two real `melodyseeker-server serve` processes on one PostgreSQL database and one cache
// directory, as behind a load balancer: additions made through either are answered by both,
// cache builds wait for the database's build lock, and each generation is built by one of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "server_cache.h"
#include "server_db.h"
#include "server_test_util.h"
#include "web/webapi_unit.h"

using server_test::Base64;
using server_test::MakeAfp;
using server_test::ReadCacheDir;
using server_test::RecordBytes;
using server_test::TempDir;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One child process (a server, nginx) with its output in a file; killed when still running at
// the end.
class ServeProcess {
 public:
  ServeProcess(const std::vector<std::string>& args, std::string log,
               std::string program = std::string(MS_BINARY_DIR) + "/server/melodyseeker-server")
      : Flog(std::move(log)) {
    std::vector<std::string> all{std::move(program)};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    Fpid = ::fork();
    if (Fpid == 0) {
      const int fd = ::open(Flog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~ServeProcess() {
    if (Fpid > 0) {
      ::kill(Fpid, SIGKILL);
      ::waitpid(Fpid, nullptr, 0);
    }
  }
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  // The port from "... at http://127.0.0.1:PORT/v2/ ...", 0 when it does not come up.
  int WaitForPort() {
    const std::regex line(R"(at http://127\.0\.0\.1:([0-9]+)/v2/)");
    for (int i = 0; i < 300; ++i) {
      std::smatch m;
      const std::string out = ReadFile(Flog);
      if (std::regex_search(out, m, line)) return std::stoi(m[1].str());
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
  }
  // SIGTERM and wait; the exit code.
  int Stop() {
    ::kill(Fpid, SIGTERM);
    int status = 0;
    ::waitpid(Fpid, &status, 0);
    Fpid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Output() const { return ReadFile(Flog); }

 private:
  std::string Flog;
  pid_t Fpid = -1;
};

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(TwoServersTest, AddsThroughEitherAreSeenByBothAndEachGenerationIsBuiltOnce) {
  TempDir dir;
  server_test::PgCluster& pg = server_test::PgCluster::Get();
  const std::string url = pg.NewDatabase();
  ASSERT_FALSE(url.empty()) << pg.error();
  const std::string data = dir.path() + "/data";
  const auto serve = [&](int n) {
    return std::make_unique<ServeProcess>(
        std::vector<std::string>{"serve", "--data", data, "--db", url, "--listen", "127.0.0.1:0",
                                 "--rebuild-interval", "1", "--cache-url",
                                 "http://static.example/afpcache"},
        dir.path() + "/serve" + std::to_string(n) + ".log");
  };
  // Started together: both want to build the first generation before they serve.
  auto one = serve(1), two = serve(2);
  const int ports[2] = {one->WaitForPort(), two->WaitForPort()};
  ASSERT_GT(ports[0], 0) << one->Output();
  ASSERT_GT(ports[1], 0) << two->Output();
  const std::string started = one->Output() + two->Output();
  EXPECT_EQ(Count(started, "Built cache generation 1:"), 1u) << started;
  EXPECT_EQ(Count(started, "Cache files are up to date: generation 1"), 1u) << started;

  // Somebody else holds the build lock: no process may build while it is held.
  PGconn* holder = PQconnectdb(url.c_str());
  ASSERT_EQ(PQstatus(holder), CONNECTION_OK) << PQerrorMessage(holder);
  PQclear(PQexec(holder, ("SELECT pg_advisory_lock(" + std::to_string(kCacheBuildLockKey) + ")")
                             .c_str()));

  // Two clients per server add at the same time; the titles repeat, so both servers join
  // recordings of the same titles.
  constexpr int kClients = 4, kEach = 15;
  std::vector<std::vector<std::string>> fguids(kClients);
  std::vector<std::thread> clients;
  std::atomic<int> failures{0};
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      httplib::Client cli("127.0.0.1", ports[c % 2]);
      for (int i = 0; i < kEach; ++i) {
        const std::string body =
            "<remoteapi><FUNCTION>A</FUNCTION><AFPPART>" +
            Base64(RecordBytes(MakeAfp(static_cast<std::uint32_t>(500 + c * kEach + i)))) +
            "</AFPPART><TITLE>Song " + std::to_string(i % 3) +
            "</TITLE><ARTIST>Band</ARTIST></remoteapi>";
        auto res = cli.Post("/v2/getAFPTag.php", body, "text/xml");
        std::smatch m;
        static const std::regex fguid("<FGUID>([^<]{30})</FGUID>");
        if (!res || res->status != 200 || !std::regex_search(res->body, m, fguid)) {
          ++failures;
          continue;
        }
        fguids[c].push_back(m[1].str());
      }
    });
  }
  for (auto& t : clients) t.join();
  ASSERT_EQ(failures.load(), 0);

  // Every addition is known to the other server, with the same title.
  std::set<std::string> all, titles;
  for (int c = 0; c < kClients; ++c) {
    httplib::Client other("127.0.0.1", ports[(c + 1) % 2]);
    for (const std::string& f : fguids[c]) {
      all.insert(f);
      auto res = other.Post("/v2/getAFPTag.php",
                            "<remoteapi><FUNCTION>T</FUNCTION><FGUID>" + f + "</FGUID></remoteapi>",
                            "text/xml");
      ASSERT_TRUE(res);
      ASSERT_EQ(res->status, 200) << res->body;
      EXPECT_NE(res->body.find("<FGUID>" + f + "</FGUID>"), std::string::npos) << res->body;
      std::smatch m;
      static const std::regex tguid("<TGUID>([^<]+)</TGUID>");
      ASSERT_TRUE(std::regex_search(res->body, m, tguid)) << res->body;
      titles.insert(m[1].str());
    }
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kClients * kEach));
  EXPECT_EQ(titles.size(), 3u);

  // Both poll every 2 s and are due after 1 s; none built while the lock was held.
  std::this_thread::sleep_for(std::chrono::seconds(4));
  CacheStore cache(data + "/afpcache");
  ASSERT_TRUE(cache.Current());
  EXPECT_EQ(cache.Current()->number, 1);
  PQfinish(holder);  // ends the session, and with it the lock

  std::shared_ptr<const CacheGeneration> gen;
  for (int i = 0; i < 200 && !(gen && gen->records == kClients * kEach); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gen = cache.Current();
  }
  ASSERT_TRUE(gen && gen->records == kClients * kEach);
  std::this_thread::sleep_for(std::chrono::seconds(3));  // time for a second, wrong build
  EXPECT_EQ(cache.Current()->number, gen->number);
  std::set<std::string> cached;
  for (const auto& r : ReadCacheDir(gen->dir)) cached.insert(r.fguid);
  EXPECT_EQ(cached, all);

  // The same list from both, pointing at the files as the static web server sees them.
  std::string lists[2];
  for (int i = 0; i < 2; ++i) {
    httplib::Client cli("127.0.0.1", ports[i]);
    auto res = cli.Get("/v2/getAFPCacheInf.php");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    lists[i] = res->body;
  }
  EXPECT_EQ(lists[0], lists[1]);
  const std::string name = "g" + std::to_string(gen->number) + "/afp0001.afpbin";
  EXPECT_NE(lists[0].find("size=\"" + std::to_string(gen->files[0].size) +
                          "\">http://static.example/afpcache/" + name + "<"),
            std::string::npos)
      << lists[0];
  EXPECT_TRUE(std::filesystem::exists(data + "/afpcache/" + name));

  EXPECT_EQ(one->Stop(), 0);
  EXPECT_EQ(two->Stop(), 0);
  const std::string logs = one->Output() + two->Output();
  EXPECT_EQ(Count(logs, "cache generation " + std::to_string(gen->number) + ":"), 1u) << logs;
  EXPECT_EQ(Count(logs, "cache generation " + std::to_string(gen->number + 1) + ":"), 0u) << logs;
}

// A port nobody listens on right now.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

// Replaces the one occurrence of `from`; false when the text does not have it.
bool ReplaceOnce(std::string& text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) return false;
  text.replace(at, from.size(), to);
  return true;
}

// The nginx site of docs/deploy as it is, with this test's ports and directories put in.
TEST(DeployTest, NginxSiteServesTheApiFromBothProcessesAndTheCacheFilesFromDisk) {
  const std::string nginx = "/usr/sbin/nginx";
  ASSERT_TRUE(std::filesystem::exists(nginx)) << "nginx is not installed (scripts/install-deps)";
  TempDir dir;
  server_test::PgCluster& pg = server_test::PgCluster::Get();
  const std::string url = pg.NewDatabase();
  ASSERT_FALSE(url.empty()) << pg.error();
  const std::string data = dir.path() + "/data";
  const int front = FreePort();
  const std::string front_url = "http://127.0.0.1:" + std::to_string(front);

  std::unique_ptr<ServeProcess> servers[2];
  int ports[2];
  for (int i = 0; i < 2; ++i) {
    servers[i] = std::make_unique<ServeProcess>(
        std::vector<std::string>{"serve", "--data", data, "--db", url, "--listen", "127.0.0.1:0",
                                 "--rebuild-interval", "1", "--cache-url", front_url + "/afpcache"},
        dir.path() + "/serve" + std::to_string(i) + ".log");
    ports[i] = servers[i]->WaitForPort();  // one after the other: the first builds, as in use
    ASSERT_GT(ports[i], 0) << servers[i]->Output();
  }

  std::string site = ReadFile(std::string(MS_SOURCE_DIR) + "/docs/deploy/melodyseeker.nginx.conf");
  ASSERT_TRUE(ReplaceOnce(site, "127.0.0.1:8471", "127.0.0.1:" + std::to_string(ports[0])));
  ASSERT_TRUE(ReplaceOnce(site, "127.0.0.1:8472", "127.0.0.1:" + std::to_string(ports[1])));
  ASSERT_TRUE(ReplaceOnce(site, "listen 80;", "listen 127.0.0.1:" + std::to_string(front) + ";"));
  ASSERT_TRUE(ReplaceOnce(site, "/var/lib/melodyseeker-server/", data + "/"));
  const std::string prefix = dir.path() + "/nginx";
  std::filesystem::create_directories(prefix + "/tmp");
  std::ofstream(prefix + "/site.conf") << site;
  std::ofstream(prefix + "/nginx.conf")
      << (::geteuid() == 0 ? "user root;\n" : "") << "worker_processes 1;\npid " << prefix
      << "/nginx.pid;\nerror_log " << prefix << "/error.log;\nevents {}\nhttp {\n  access_log off;\n"
      << "  client_body_temp_path " << prefix << "/tmp/body;\n  proxy_temp_path " << prefix
      << "/tmp/proxy;\n  fastcgi_temp_path " << prefix << "/tmp/fcgi;\n  uwsgi_temp_path " << prefix
      << "/tmp/uwsgi;\n  scgi_temp_path " << prefix << "/tmp/scgi;\n  include " << prefix
      << "/site.conf;\n}\n";
  ServeProcess front_server({"-p", prefix, "-e", prefix + "/error.log", "-c", prefix + "/nginx.conf",
                             "-g", "daemon off;"},
                            prefix + "/out.log", nginx);
  httplib::Client cli("127.0.0.1", front);
  int status = 0;
  for (int i = 0; i < 100 && status == 0; ++i) {
    if (auto res = cli.Get("/v2/getState.php")) {
      status = res->status;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ASSERT_EQ(status, 200) << front_server.Output() << ReadFile(prefix + "/error.log");

  // The service's own client, pointed at nginx.
  ::setenv("MELODYSEEKER_API", (front_url + "/v2/").c_str(), 1);
  std::set<std::string> added;
  for (int i = 0; i < 6; ++i) {
    TWebAPI_Add add;
    add.AFPpart = RecordBytes(MakeAfp(static_cast<std::uint32_t>(900 + i)));
    TWebAPI api;
    ASSERT_TRUE(api.getAFPTag_Add(add)) << api.ErrorMessage();
    added.insert(add.retFGUID);
  }
  for (const auto& s : servers) {
    EXPECT_NE(s->Output().find("POST /v2/getAFPTag.php 200"), std::string::npos) << s->Output();
  }
  CacheStore cache(data + "/afpcache");
  std::shared_ptr<const CacheGeneration> gen;
  for (int i = 0; i < 200 && !(gen && gen->records == 6); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gen = cache.Current();
  }
  ASSERT_TRUE(gen && gen->records == 6);

  TWebAPI api;
  TWebAPI_CacheFiles files;
  ASSERT_TRUE(api.getCacheInf(files)) << api.ErrorMessage();
  ASSERT_EQ(files.size(), 1u);
  const std::string path = "/afpcache/g" + std::to_string(gen->number) + "/afp0001.afpbin";
  EXPECT_EQ(files[0].Url, front_url + path);
  const std::string into = dir.path() + "/client";
  std::filesystem::create_directories(into);
  {
    std::ofstream out(into + "/afp0001.afpbin", std::ios::binary);
    ASSERT_TRUE(api.getCacheFile(files[0].Url, &out, files[0].Size)) << api.ErrorMessage();
  }
  std::set<std::string> cached;
  for (const auto& r : ReadCacheDir(into)) cached.insert(r.fguid);
  EXPECT_EQ(cached, added);
  ::unsetenv("MELODYSEEKER_API");

  // Served by nginx from the directory (only nginx adds this header), and nothing else of it.
  auto file = cli.Get(path.c_str());
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 200);
  EXPECT_EQ(file->get_header_value("Cache-Control"), "public, max-age=31536000, immutable");
  EXPECT_EQ(file->body, ReadFile(gen->dir + "/afp0001.afpbin"));
  for (const std::string& hidden : {std::string("/afpcache/CURRENT"),
                                    "/afpcache/g" + std::to_string(gen->number) + "/MANIFEST"}) {
    SCOPED_TRACE(hidden);
    auto res = cli.Get(hidden.c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
  }
  EXPECT_EQ(front_server.Stop(), 0);
}

}  // namespace
