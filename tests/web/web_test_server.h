#pragma once
// A real HTTP server on 127.0.0.1 (ephemeral port) for the web client's tests. Register the
// routes, then Start(); the destructor stops the server and joins its threads. Handlers that
// stream slowly must watch Stopping() so that a test ends promptly.

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

class WebTestServer {
 public:
  // Plain HTTP, or HTTPS with the given certificate and key files. Idle keep-alive connections
  // end after a second, so that stopping never waits long for one.
  WebTestServer() : FServer(std::make_unique<httplib::Server>()) { Setup(); }
  WebTestServer(const std::string& cert, const std::string& key)
      : FServer(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())) {
    Setup();
  }
  WebTestServer(const WebTestServer&) = delete;
  WebTestServer& operator=(const WebTestServer&) = delete;
  ~WebTestServer() { Stop(); }

  httplib::Server& Http() { return *FServer; }

  // Binds to an ephemeral port (or `port`, when given) and starts accepting. False when the
  // port cannot be bound.
  bool Start(int port = 0) {
    if (port == 0) {
      FPort = FServer->bind_to_any_port("127.0.0.1");
    } else {
      FPort = FServer->bind_to_port("127.0.0.1", port) ? port : -1;
    }
    if (FPort <= 0) return false;
    // The socket listens once bound; connections wait in its backlog until the thread accepts.
    FThread = std::thread([this] { FServer->listen_after_bind(); });
    // stop() only acts on a running server; wait until it runs so that Stop() cannot miss it.
    while (!FServer->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }

  void Stop() {
    FStopping = true;
    if (FThread.joinable()) {
      FServer->stop();
      FThread.join();
    }
  }

  bool Stopping() const { return FStopping.load(); }
  int Port() const { return FPort; }
  std::string Url(const std::string& path, const char* scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(FPort) + path;
  }

  // Serves `total` bytes of `fill` in pieces of `piece` bytes, pausing `pause` after each piece;
  // stops early when the client goes away or the server stops.
  void ServeSlowly(httplib::Response& res, std::size_t total, std::size_t piece,
                   std::chrono::milliseconds pause, const char* type = "application/octet-stream",
                   char fill = 'x') {
    res.set_content_provider(total, type,
                             [this, piece, pause, fill](std::size_t offset, std::size_t length,
                                                        httplib::DataSink& sink) {
                               (void)offset;
                               const std::string block(std::min(piece, length), fill);
                               if (Stopping() || !sink.write(block.data(), block.size()))
                                 return false;
                               if (pause.count() > 0) std::this_thread::sleep_for(pause);
                               return true;
                             });
  }

 private:
  void Setup() { FServer->set_keep_alive_timeout(1); }

  std::unique_ptr<httplib::Server> FServer;
  std::thread FThread;
  std::atomic<bool> FStopping{false};
  int FPort = -1;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
inline int UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(addr);
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

// The bytes of a Base64 text as a request carries it (line breaks and fill are skipped).
inline std::string FromBase64(std::string_view text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    const std::size_t value = alphabet.find(c);
    if (value == std::string::npos) continue;  // line breaks and fill
    bits = bits << 6 | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>(bits >> count & 0xFF);
    }
  }
  return out;
}
