// The socket server and client over real Unix sockets, with real connection threads and a
// plain main-thread queue that the test thread drains.
#include "service/pipeserver_unit.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string ToText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string UniqueName() {
  static std::atomic<int> counter{0};
  return "ms-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

class PipeServerTest : public ::testing::Test {
 protected:
  // Uppercases the request; "quiet" gets no answer.
  static void Upper(TPipeServerIOHandler&, std::span<const std::uint8_t> in, Bytes& out) {
    if (ToText(Bytes(in.begin(), in.end())) == "quiet") return;
    for (std::uint8_t c : in) out.push_back(static_cast<std::uint8_t>(std::toupper(c)));
  }

  void StartServer(TPipeServerDataEvent event = Upper) {
    server_ = std::make_unique<TPipeServer>(name_, queue_);
    server_->SetOnReceive(std::move(event));
    ASSERT_TRUE(server_->Start()) << server_->LastErrorDetail();
  }

  // Drains the main-thread queue until `done` holds; false after 5 s.
  bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      queue_->wait_and_process(2ms);
    }
    return true;
  }

  void Connect(TPipeClient& client) { ASSERT_TRUE(client.Connect(name_)) << client.LastError(); }

  std::string Exchange(TPipeClient& client, std::string_view request) {
    Bytes answer;
    EXPECT_TRUE(client.Transact(ToBytes(request), answer, 5s)) << client.LastError();
    return ToText(answer);
  }

  void TearDown() override {
    if (server_) server_->Stop();
  }

  std::string name_ = UniqueName();
  std::shared_ptr<TPlainMainThreadQueue> queue_ = std::make_shared<TPlainMainThreadQueue>();
  std::unique_ptr<TPipeServer> server_;
};

TEST_F(PipeServerTest, TwoClientsAreServedInParallel) {
  // Each request waits inside the data event until the other one is inside as well: served one
  // after the other, the first would give up after 5 s and answer "serial".
  std::mutex lock;
  std::condition_variable both_inside;
  int inside = 0;
  StartServer([&](TPipeServerIOHandler&, std::span<const std::uint8_t>, Bytes& out) {
    std::unique_lock<std::mutex> guard(lock);
    ++inside;
    both_inside.notify_all();
    bool parallel = both_inside.wait_for(guard, 5s, [&] { return inside >= 2; });
    std::string text = parallel ? "parallel" : "serial";
    out.assign(text.begin(), text.end());
  });
  TPipeClient a, b;
  Connect(a);
  Connect(b);
  ASSERT_TRUE(PumpUntil([&] { return server_->ClientCount() == 2; }));
  std::string answer_a, answer_b;
  std::thread ta([&] { answer_a = Exchange(a, "x"); });
  std::thread tb([&] { answer_b = Exchange(b, "y"); });
  ta.join();
  tb.join();
  EXPECT_EQ(answer_a, "parallel");
  EXPECT_EQ(answer_b, "parallel");
  EXPECT_EQ(server_->ClientCount(), 2);
}

TEST_F(PipeServerTest, ClientThatLeavesWithoutAWordIsRemoved) {
  StartServer();
  {
    TPipeClient client;
    Connect(client);
    ASSERT_TRUE(PumpUntil([&] { return server_->ClientCount() == 1; }));
  }
  EXPECT_TRUE(PumpUntil([&] { return server_->ClientCount() == 0; }));
  // The server still accepts after that.
  TPipeClient next;
  Connect(next);
  EXPECT_EQ(Exchange(next, "again"), "AGAIN");
}

TEST_F(PipeServerTest, EmptyAnswerSendsNothingAndTheConnectionStaysUsable) {
  StartServer();
  TPipeClient client;
  Connect(client);
  ASSERT_TRUE(client.Send(ToBytes("quiet")));
  Bytes answer;
  EXPECT_FALSE(client.Receive(answer, 200ms));
  EXPECT_NE(client.LastError().find("no answer"), std::string::npos) << client.LastError();
  // A zero-length message carries no request either; it must not read as a hang-up.
  ASSERT_TRUE(client.Send({}));
  EXPECT_EQ(Exchange(client, "next"), "NEXT");
  EXPECT_EQ(server_->ClientCount(), 1);
}

TEST_F(PipeServerTest, RequestsOnOneConnectionAreAnsweredInOrderOneMessageEach) {
  StartServer();
  TPipeClient client;
  Connect(client);
  // Both requests are queued before the first answer is read: boundaries must hold both ways.
  ASSERT_TRUE(client.Send(ToBytes("first")));
  ASSERT_TRUE(client.Send(ToBytes("second")));
  Bytes one, two;
  ASSERT_TRUE(client.Receive(one, 5s)) << client.LastError();
  ASSERT_TRUE(client.Receive(two, 5s)) << client.LastError();
  EXPECT_EQ(ToText(one), "FIRST");
  EXPECT_EQ(ToText(two), "SECOND");
}

TEST_F(PipeServerTest, StopEndsConnectedClientsAndTheServer) {
  std::atomic<bool> in_event{false};
  StartServer([&](TPipeServerIOHandler& sender, std::span<const std::uint8_t>, Bytes& out) {
    // A long request that watches for the end, as the identification may.
    in_event = true;
    while (!sender.Terminated()) std::this_thread::sleep_for(1ms);
    out = ToBytes("late");
  });
  TPipeClient idle, busy;
  Connect(idle);
  Connect(busy);
  ASSERT_TRUE(busy.Send(ToBytes("work")));
  ASSERT_TRUE(PumpUntil([&] { return in_event.load() && server_->ClientCount() == 2; }));

  const auto before = std::chrono::steady_clock::now();
  server_->Stop();  // drains the queue itself: this is the main thread
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_EQ(server_->ClientCount(), 0);

  Bytes answer;
  EXPECT_FALSE(idle.Receive(answer, 2s));
  EXPECT_NE(idle.LastError().find("closed"), std::string::npos) << idle.LastError();
  TPipeClient late;
  EXPECT_FALSE(late.Connect(name_));
}

TEST_F(PipeServerTest, OneMegabyteRequestArrivesWholeAndGoesBackWhole) {
  std::atomic<std::size_t> received{0};
  StartServer([&](TPipeServerIOHandler&, std::span<const std::uint8_t> in, Bytes& out) {
    received = in.size();
    out.assign(in.begin(), in.end());
  });
  Bytes request(1 << 20);
  for (std::size_t i = 0; i < request.size(); ++i) {
    request[i] = static_cast<std::uint8_t>((i * 131) ^ (i >> 11));
  }
  TPipeClient client;
  Connect(client);
  Bytes answer;
  ASSERT_TRUE(client.Transact(request, answer, 10s)) << client.LastError();
  EXPECT_EQ(received.load(), request.size());
  EXPECT_TRUE(answer == request);
}

TEST_F(PipeServerTest, ClientsBeyondTheLimitWaitForAFreeConnection) {
  StartServer();
  std::vector<std::unique_ptr<TPipeClient>> clients;
  for (int i = 0; i <= TPipeServer::kMaxClients; ++i) {
    clients.push_back(std::make_unique<TPipeClient>());
    ASSERT_TRUE(clients.back()->Connect(name_)) << i << ": " << clients.back()->LastError();
  }
  ASSERT_TRUE(PumpUntil([&] { return server_->ClientCount() == TPipeServer::kMaxClients; }));
  Bytes answer;
  TPipeClient& last = *clients.back();
  ASSERT_TRUE(last.Send(ToBytes("waiting")));
  EXPECT_FALSE(last.Receive(answer, 100ms));  // queued, not served
  EXPECT_EQ(server_->ClientCount(), TPipeServer::kMaxClients);
  clients.front()->Close();  // its notification needs the main thread: wait while pumping
  std::atomic<int> received{-1};
  std::thread waiter([&] { received = last.Receive(answer, 5s) ? 1 : 0; });
  EXPECT_TRUE(PumpUntil([&] { return received != -1; }));
  waiter.join();
  EXPECT_EQ(received, 1) << last.LastError();
  EXPECT_EQ(ToText(answer), "WAITING");
}

TEST_F(PipeServerTest, ThrowingDataEventClosesOnlyThatConnection) {
  StartServer([](TPipeServerIOHandler&, std::span<const std::uint8_t> in, Bytes& out) {
    if (ToText(Bytes(in.begin(), in.end())) == "throw") throw std::runtime_error("broken");
    out.assign(in.begin(), in.end());
  });
  TPipeClient victim, other;
  Connect(victim);
  Connect(other);
  Bytes answer;
  ASSERT_TRUE(victim.Send(ToBytes("throw")));
  EXPECT_FALSE(victim.Receive(answer, 5s));
  EXPECT_NE(victim.LastError().find("closed"), std::string::npos) << victim.LastError();
  EXPECT_TRUE(PumpUntil([&] { return server_->ClientCount() == 1; }));
  EXPECT_EQ(Exchange(other, "fine"), "fine");
}

TEST_F(PipeServerTest, ConnectionsEndEvenWhenTheMainLoopIsGone) {
  StartServer();
  // First the main loop ends while a notification is already queued (it is dropped unrun),
  // then a connection ends after the loop is gone (it cannot be queued at all). Either way the
  // connection must leave the list; otherwise Stop would wait for ever.
  TPipeClient first, second, third;
  Connect(first);
  Connect(second);
  ASSERT_TRUE(PumpUntil([&] { return server_->ClientCount() == 2; }));
  first.Close();
  std::this_thread::sleep_for(100ms);  // its notification is now waiting in the queue
  EXPECT_EQ(server_->ClientCount(), 2);
  queue_->close();
  EXPECT_EQ(server_->ClientCount(), 1);

  second.Close();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (server_->ClientCount() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(server_->ClientCount(), 0);

  Connect(third);
  if (HasFailure()) {
    server_.release();  // would hang in Stop; the failures above already tell why
    return;
  }
  server_->Stop();  // with a client still connected
  EXPECT_EQ(server_->ClientCount(), 0);
}

TEST(PipeServerStart, FailuresAreReportedWithTheUserText) {
  auto queue = std::make_shared<TPlainMainThreadQueue>();
  const std::string taken = UniqueName();
  TPipeServer first(taken, queue);
  ASSERT_TRUE(first.Start()) << first.LastErrorDetail();

  struct Case {
    const char* what;
    std::string name;
  };
  const Case cases[] = {
      {"name held by a running server", taken},
      {"empty name", ""},
      {"abstract name too long", std::string(120, 'n')},
      {"path too long", "/tmp/" + std::string(120, 'p')},
      {"directory missing", "/nonexistent-ms-dir/socket"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TPipeServer server(c.name, queue);
    EXPECT_FALSE(server.Start());
    EXPECT_EQ(server.LastError(),
              "Interface Pipe konnte nicht erzeugt werden, bitte schließen Sie alle Instanzen "
              "dieses Programmes und starten Sie es erneut");
    EXPECT_FALSE(server.LastErrorDetail().empty());
    EXPECT_EQ(server.ClientCount(), 0);
  }
  // The failed attempts did not disturb the running server.
  TPipeClient client;
  EXPECT_TRUE(client.Connect(taken)) << client.LastError();
  first.Stop();
}

TEST(PipeServerStart, SocketFileIsWorldWritableTakesOverStaleFilesAndIsRemoved) {
  auto queue = std::make_shared<TPlainMainThreadQueue>();
  const auto dir = std::filesystem::temp_directory_path() / UniqueName();
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "sock").string();

  // A socket file that nobody listens on, as a crashed service leaves it.
  int stale = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(stale);

  {
    const mode_t old_mask = umask(077);
    TPipeServer server(path, queue);
    bool started = server.Start();
    umask(old_mask);
    ASSERT_TRUE(started) << server.LastErrorDetail();
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
    TPipeClient client;
    EXPECT_TRUE(client.Connect(path)) << client.LastError();
    client.Close();
    server.Stop();
    EXPECT_FALSE(std::filesystem::exists(path));
  }

  // A live server's socket file is never taken over.
  {
    TPipeServer live(path, queue);
    ASSERT_TRUE(live.Start()) << live.LastErrorDetail();
    TPipeServer intruder(path, queue);
    EXPECT_FALSE(intruder.Start());
    TPipeClient client;
    EXPECT_TRUE(client.Connect(path)) << client.LastError();
    EXPECT_TRUE(client.Send(ToBytes("still there")));
  }
  EXPECT_FALSE(std::filesystem::exists(path));

  // Something that is not a socket is never removed.
  std::ofstream(path) << "keep";
  {
    TPipeServer server(path, queue);
    EXPECT_FALSE(server.Start());
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  std::filesystem::remove_all(dir);
}

TEST(PipeName, EnvironmentOverridesWhenSet) {
  struct Case {
    const char* env;  // nullptr: unset
    std::string expected;
  };
  const Case cases[] = {
      {nullptr, "MelodySeeker"}, {"", "MelodySeeker"}, {"/run/x.sock", "/run/x.sock"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env == nullptr ? "unset" : c.env);
    if (c.env == nullptr)
      unsetenv("MELODYSEEKER_PIPE");
    else
      setenv("MELODYSEEKER_PIPE", c.env, 1);
    EXPECT_EQ(PipeNameFromEnvironment(), c.expected);
  }
  unsetenv("MELODYSEEKER_PIPE");
}

}  // namespace
