#include "service/pipeserver_unit.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <utility>

#include "diagnostics/debug_unit.h"

namespace {

constexpr char kCreateFailed[] =
    "Interface Pipe konnte nicht erzeugt werden, bitte schließen Sie alle Instanzen dieses "
    "Programmes und starten Sie es erneut";

// How long a writer waits between attempts while the peer's queue is full, and how long the
// accept loop rests when the process is out of descriptors.
constexpr int kRetryMs = 10;

struct Address {
  sockaddr_un addr{};
  socklen_t length = 0;
};

bool MakeAddress(std::string_view name, Address& out, std::string& error) {
  out = Address{};
  out.addr.sun_family = AF_UNIX;
  constexpr std::size_t capacity = sizeof(out.addr.sun_path);
  if (name.empty()) {
    error = "empty channel name";
    return false;
  }
  if (name.front() == '/') {
    // A socket file: the path plus its terminating NUL must fit.
    if (name.size() >= capacity || name.find('\0') != std::string_view::npos) {
      error = "socket path too long or not a path: " + std::string(name);
      return false;
    }
    std::memcpy(out.addr.sun_path, name.data(), name.size());
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
  } else {
    // Abstract namespace: a leading NUL, then the name's bytes, no terminator.
    if (name.size() > capacity - 1) {
      error = "channel name too long: " + std::string(name);
      return false;
    }
    std::memcpy(out.addr.sun_path + 1, name.data(), name.size());
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  }
  return true;
}

const sockaddr* AsSockaddr(const Address& address) {
  return reinterpret_cast<const sockaddr*>(&address.addr);
}

std::string SystemText(int error) { return std::strerror(error); }

// A message of `size` bytes only fits when the send buffer is larger than it; the default
// buffer holds about 200 KB, so larger messages raise it first (the kernel may cap the value,
// and then the send fails with EMSGSIZE instead of cutting the message).
void EnsureSendBuffer(int fd, std::size_t size) {
  int current = 0;
  socklen_t length = sizeof(current);
  const std::size_t needed = size + 4096;
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &current, &length) == 0 && current >= 0 &&
      static_cast<std::size_t>(current) >= needed) {
    return;
  }
  int wanted =
      needed > static_cast<std::size_t>(INT_MAX / 2) ? INT_MAX / 2 : static_cast<int>(needed);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof(wanted));
  // Past the system's cap only a privileged process may go; try, the send reports the rest.
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &current, &length) == 0 &&
      static_cast<std::size_t>(current) < needed) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &wanted, sizeof(wanted));
  }
}

int PollTimeout(std::chrono::steady_clock::time_point deadline, bool unlimited) {
  if (unlimited) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

// Writes `data` as one message. 0 or an errno value; ECANCELED when `stop_fd` became readable,
// ETIMEDOUT after `timeout` (negative: no limit).
int SendMessage(int fd, std::span<const std::uint8_t> data, int stop_fd,
                std::chrono::milliseconds timeout) {
  EnsureSendBuffer(fd, data.size());
  const bool unlimited = timeout.count() < 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<std::size_t>(sent) == data.size() ? 0 : EIO;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    // The peer's queue is full. Wait for room, but look again after a short while anyway: a
    // large message may need more room than the socket reports as writable.
    int wait = std::min(kRetryMs, unlimited ? kRetryMs : PollTimeout(deadline, false));
    if (!unlimited && wait == 0) return ETIMEDOUT;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
    if (poll(fds, stop_fd >= 0 ? 2 : 1, wait) > 0 && stop_fd >= 0 && fds[1].revents != 0) {
      return ECANCELED;
    }
  }
}

// Reads the next message whole, in one call of exactly its size. 0 or an errno value: EPIPE
// when the peer closed the connection, ECANCELED when `stop_fd` became readable, ETIMEDOUT
// after `timeout` (negative: no limit). Zero-length messages are taken off the socket and
// skipped: they carry nothing to answer.
int ReceiveMessage(int fd, std::vector<std::uint8_t>& message, int stop_fd,
                   std::chrono::milliseconds timeout) {
  const bool unlimited = timeout.count() < 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN | POLLRDHUP, 0}, {stop_fd, POLLIN, 0}};
    int ready = poll(fds, stop_fd >= 0 ? 2 : 1, PollTimeout(deadline, unlimited));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (ready == 0) return ETIMEDOUT;
    if (stop_fd >= 0 && fds[1].revents != 0) return ECANCELED;
    const short events = fds[0].revents;
    if (events & POLLNVAL) return EBADF;
    // MSG_TRUNC makes the peek report the message's full size without copying any of it.
    ssize_t size = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return errno;
    }
    if (size == 0) {
      // Either the peer is gone or it sent an empty message; only the hang-up tells them apart.
      if (events & (POLLHUP | POLLRDHUP | POLLERR)) return EPIPE;
      std::uint8_t ignored = 0;
      if (recv(fd, &ignored, 1, MSG_DONTWAIT) < 0 && errno != EAGAIN && errno != EINTR) {
        return errno;
      }
      continue;
    }
    message.resize(static_cast<std::size_t>(size));
    ssize_t got = recv(fd, message.data(), message.size(), MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return errno;
    }
    if (got != size) return EIO;
    return 0;
  }
}

}  // namespace

std::string PipeNameFromEnvironment(std::string_view name) {
  const char* override_name = std::getenv("MELODYSEEKER_PIPE");
  if (override_name != nullptr && *override_name != '\0') return override_name;
  return std::string(name);
}

// --- TPipeServerIOHandler ---------------------------------------------------------------------

TPipeServerIOHandler::TPipeServerIOHandler(TPipeServer& server, int fd, DataEvent event)
    : FServer(server), FPipeHandleServer(fd), FPipeServerDataEvent(std::move(event)) {}

TPipeServerIOHandler::~TPipeServerIOHandler() {
  if (FPipeHandleServer >= 0) close(FPipeHandleServer);
}

void TPipeServerIOHandler::Execute() {
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> answer;
  while (!FTerminated.load() && FPipeHandleServer >= 0) {
    // Ends on the peer's close, a socket error, or the server's stop event.
    if (ReceiveMessage(FPipeHandleServer, request, FServer.FStopEvent,
                       std::chrono::milliseconds(-1)) != 0) {
      break;
    }
    answer.clear();
    if (FPipeServerDataEvent) {
      try {
        FPipeServerDataEvent(*this, request, answer);
      } catch (const std::exception& e) {
        // No answer can be made up here: close, so the client does not wait for ever.
        Debug_Log(std::string("pipe server: request handler failed: ") + e.what());
        break;
      } catch (...) {
        Debug_Log("pipe server: request handler failed");
        break;
      }
    }
    if (!answer.empty() && SendMessage(FPipeHandleServer, answer, FServer.FStopEvent,
                                       std::chrono::milliseconds(-1)) != 0) {
      break;
    }
  }
  // The peer learns of the end now; closing the descriptor waits for the notification.
  shutdown(FPipeHandleServer, SHUT_RDWR);
  FServer.HandlerEnded(this);
  // `this` may be gone from here on.
}

// --- TPipeServer -------------------------------------------------------------------------------

TPipeServer::TPipeServer(std::string PipeServerPipeName, std::shared_ptr<TMainThreadQueue> queue)
    : FPipeName(std::move(PipeServerPipeName)), FQueue(std::move(queue)) {}

TPipeServer::~TPipeServer() {
  Stop();
  if (FStopEvent >= 0) close(FStopEvent);
}

void TPipeServer::SetOnReceive(TPipeServerDataEvent event) {
  std::lock_guard<std::mutex> guard(FPipeServerIOHandlersLock);
  FPipeServerDataEvent = std::move(event);
}

int TPipeServer::ClientCount() const {
  std::lock_guard<std::mutex> guard(FPipeServerIOHandlersLock);
  return static_cast<int>(FPipeServerIOHandlers.size());
}

bool TPipeServer::Start() {
  if (FStarted) return FThread.joinable();
  FStarted = true;
  auto fail = [this](std::string detail) {
    FLastError = kCreateFailed;
    FLastErrorDetail = std::move(detail);
    Debug_Log("pipe server: " + FLastErrorDetail);
    if (FListenHandle >= 0) close(FListenHandle);
    FListenHandle = -1;
    FExecuteDone = true;
    return false;
  };

  Address address;
  std::string detail;
  if (!MakeAddress(FPipeName, address, detail)) return fail(detail);
  FStopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FStopEvent < 0) return fail("eventfd: " + SystemText(errno));
  FListenHandle = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (FListenHandle < 0) return fail("socket: " + SystemText(errno));

  const bool is_file = FPipeName.front() == '/';
  if (bind(FListenHandle, AsSockaddr(address), address.length) != 0) {
    int error = errno;
    // A socket file left behind by a server that died is taken over; one a live server is
    // listening on, and anything that is not a socket, are left alone.
    struct stat info {};
    bool retried = false;
    if (error == EADDRINUSE && is_file && lstat(FPipeName.c_str(), &info) == 0 &&
        S_ISSOCK(info.st_mode)) {
      // Non-blocking, so a live server with a full queue answers EAGAIN instead of stalling us.
      int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (probe >= 0) {
        if (connect(probe, AsSockaddr(address), address.length) != 0 && errno == ECONNREFUSED &&
            unlink(FPipeName.c_str()) == 0) {
          retried = true;
          if (bind(FListenHandle, AsSockaddr(address), address.length) != 0)
            error = errno;
          else
            error = 0;
        }
        close(probe);
      }
    }
    if (!retried || error != 0) return fail("bind " + FPipeName + ": " + SystemText(error));
  }
  if (is_file) {
    FSocketFile = FPipeName;
    struct stat created {};
    if (lstat(FPipeName.c_str(), &created) == 0) {
      FSocketDevice = created.st_dev;
      FSocketInode = created.st_ino;
    }
    // Every local user may connect, whatever the umask said.
    if (chmod(FPipeName.c_str(), 0666) != 0) {
      int error = errno;
      unlink(FPipeName.c_str());
      FSocketFile.clear();
      return fail("chmod " + FPipeName + ": " + SystemText(error));
    }
  }
  if (listen(FListenHandle, SOMAXCONN) != 0) {
    int error = errno;
    if (!FSocketFile.empty()) unlink(FSocketFile.c_str());
    FSocketFile.clear();
    return fail("listen: " + SystemText(error));
  }
  try {
    FThread = std::thread([this] { Execute(); });
  } catch (const std::system_error& e) {
    if (!FSocketFile.empty()) unlink(FSocketFile.c_str());
    FSocketFile.clear();
    return fail(e.what());
  }
  return true;
}

void TPipeServer::Execute() {
  while (!FTerminated.load()) {
    pollfd fds[2] = {{FListenHandle, POLLIN, 0}, {FStopEvent, POLLIN, 0}};
    int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno != EINTR) poll(&fds[1], 1, kRetryMs);
      continue;
    }
    if (fds[1].revents != 0) break;
    if ((fds[0].revents & POLLIN) == 0) {
      if (fds[0].revents != 0) poll(&fds[1], 1, kRetryMs);  // an error state: do not spin
      continue;
    }
    if (ClientCount() >= kMaxClients) {
      // Full: further clients wait in the listen queue until a connection ends.
      poll(&fds[1], 1, kRetryMs);
      continue;
    }
    int fd = accept4(FListenHandle, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      StartHandler(fd);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      // Out of descriptors or memory: the pending client stays queued; rest instead of spinning.
      poll(&fds[1], 1, kRetryMs);
    }
  }

  close(FListenHandle);
  FListenHandle = -1;
  // Only our own socket file: a file put there by someone else since is left alone.
  struct stat current {};
  if (!FSocketFile.empty() && lstat(FSocketFile.c_str(), &current) == 0 &&
      current.st_dev == FSocketDevice && current.st_ino == FSocketInode) {
    unlink(FSocketFile.c_str());
  }

  {
    std::lock_guard<std::mutex> guard(FPipeServerIOHandlersLock);
    for (auto& handler : FPipeServerIOHandlers) handler->FTerminated = true;
  }
  // The connection threads leave the list through their notifications in the main thread
  // (which Stop drains while it waits for us).
  {
    std::unique_lock<std::mutex> guard(FPipeServerIOHandlersLock);
    FHandlersGone.wait(guard, [this] { return FPipeServerIOHandlers.empty(); });
  }
  FExecuteDone = true;
}

void TPipeServer::StartHandler(int fd) {
  std::lock_guard<std::mutex> guard(FPipeServerIOHandlersLock);
  auto handler = std::unique_ptr<TPipeServerIOHandler>(
      new TPipeServerIOHandler(*this, fd, FPipeServerDataEvent));
  TPipeServerIOHandler* raw = handler.get();
  FPipeServerIOHandlers.push_back(std::move(handler));
  // In the list before it can end; started under the lock so that its notification cannot
  // touch FThread before it is assigned.
  try {
    raw->FThread = std::thread([raw] { raw->Execute(); });
  } catch (const std::system_error&) {
    FPipeServerIOHandlers.pop_back();  // closes the socket: the client sees the refusal
  }
}

namespace {

// The termination notification of one connection. It runs in the main thread; should the
// queue drop it unrun (queue closed before or after posting), its destructor does the same work
// in the thread that dropped it, so that no connection stays in the list for ever and Stop
// cannot hang on a main loop that has ended.
class TerminationNotice {
 public:
  explicit TerminationNotice(std::function<void()> work) : FWork(std::move(work)) {}
  TerminationNotice(const TerminationNotice&) = delete;
  TerminationNotice& operator=(const TerminationNotice&) = delete;
  ~TerminationNotice() { Run(); }
  void Run() {
    if (std::exchange(FDone, true)) return;
    FWork();
  }

 private:
  std::function<void()> FWork;
  bool FDone = false;
};

}  // namespace

void TPipeServer::HandlerEnded(TPipeServerIOHandler* handler) {
  auto notice = std::make_shared<TerminationNotice>([this, handler] { RemoveHandler(handler); });
  FQueue->post([notice] { notice->Run(); });
  // Whether the queue took it or not, `notice` must not outlive this call here: the last owner
  // runs it. Nothing of the handler is touched after this.
}

void TPipeServer::RemoveHandler(TPipeServerIOHandler* handler) {
  std::unique_ptr<TPipeServerIOHandler> own;
  {
    std::lock_guard<std::mutex> guard(FPipeServerIOHandlersLock);
    auto found = std::find_if(FPipeServerIOHandlers.begin(), FPipeServerIOHandlers.end(),
                              [handler](const auto& item) { return item.get() == handler; });
    if (found == FPipeServerIOHandlers.end()) return;
    own = std::move(*found);
    FPipeServerIOHandlers.erase(found);
    // Signalled under the lock: once it is released the server may be destroyed at any moment
    // (Stop waits for exactly this), so nothing of it is touched afterwards.
    FHandlersGone.notify_all();
  }
  // The thread has left its loop and only returns. When the notice ends up running in that very
  // thread (the queue refused it), the thread lets go of its own handle instead of joining.
  if (own->FThread.get_id() == std::this_thread::get_id()) {
    own->FThread.detach();
  } else if (own->FThread.joinable()) {
    own->FThread.join();
  }
  own.reset();  // closes the socket
}

void TPipeServer::Stop() {
  if (!FStarted || !FThread.joinable()) return;
  if (!FTerminated.exchange(true)) {
    std::uint64_t one = 1;
    ssize_t written = write(FStopEvent, &one, sizeof(one));
    (void)written;  // an eventfd write of 1 cannot fail short of overflow
  }
  while (!FExecuteDone.load()) {
    if (FQueue->process_pending() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  FThread.join();
}

// --- TPipeClient -------------------------------------------------------------------------------

TPipeClient::~TPipeClient() { Close(); }

bool TPipeClient::Fail(std::string text) {
  FLastError = std::move(text);
  return false;
}

bool TPipeClient::Connect(std::string_view name) {
  Close();
  FLastError.clear();
  Address address;
  std::string error;
  if (!MakeAddress(name, address, error)) return Fail(error);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Fail("socket: " + SystemText(errno));
  // Non-blocking: a server whose queue is full refuses at once (EAGAIN) instead of hanging.
  if (connect(fd, AsSockaddr(address), address.length) != 0) {
    int code = errno;
    close(fd);
    return Fail("cannot connect to \"" + std::string(name) + "\": " + SystemText(code));
  }
  FHandle = fd;
  return true;
}

void TPipeClient::Close() {
  if (FHandle >= 0) close(FHandle);
  FHandle = -1;
}

void TPipeClient::Shutdown() {
  if (FHandle >= 0) shutdown(FHandle, SHUT_RDWR);
}

bool TPipeClient::Send(std::span<const std::uint8_t> message) {
  if (FHandle < 0) return Fail("not connected");
  int code = SendMessage(FHandle, message, -1, std::chrono::milliseconds(-1));
  if (code == 0) return true;
  if (code == EPIPE || code == ECONNRESET) return Fail("the service closed the connection");
  if (code == EMSGSIZE) {
    return Fail("message of " + std::to_string(message.size()) +
                " bytes is larger than the system lets a socket message be "
                "(net.core.wmem_max)");
  }
  return Fail("send: " + SystemText(code));
}

bool TPipeClient::Receive(std::vector<std::uint8_t>& message, std::chrono::milliseconds timeout) {
  if (FHandle < 0) return Fail("not connected");
  int code = ReceiveMessage(FHandle, message, -1, timeout);
  if (code == 0) return true;
  if (code == EPIPE || code == ECONNRESET) return Fail("the service closed the connection");
  if (code == ETIMEDOUT) return Fail("no answer within " + std::to_string(timeout.count()) + " ms");
  return Fail("receive: " + SystemText(code));
}

bool TPipeClient::Transact(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& answer,
                           std::chrono::milliseconds timeout) {
  return Send(request) && Receive(answer, timeout);
}
