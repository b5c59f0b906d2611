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

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "server_cache.h"
#include "server_db.h"
#include "server_test_util.h"

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

// One server process with its output in a file; killed when still running at the end.
class ServeProcess {
 public:
  ServeProcess(const std::vector<std::string>& args, std::string log) : Flog(std::move(log)) {
    std::vector<std::string> all{std::string(MS_BINARY_DIR) + "/server/melodyseeker-server"};
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

}  // namespace
