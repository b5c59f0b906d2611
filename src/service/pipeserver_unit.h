#pragma once
// The local channel between the service and its clients: one well-known name, message
// boundaries kept both ways, any number of clients at once, reachable by every local user.
// On Linux it is a Unix socket of type SOCK_SEQPACKET. A name starting with "/" is a socket file
// (mode 0666); any other name lives in the abstract namespace and leaves no file behind.
//
// TPipeServer accepts clients in its own thread and gives each connection a TPipeServerIOHandler
// thread. That thread reads one request message at a time (in one call of exactly its size),
// hands it to the data event and writes a non-empty answer back as one message. The server
// knows nothing about what the messages mean.
//
// Threads and ownership: the server owns its accept thread and every connection thread. When a
// connection ends, its termination notification runs in the main thread through the
// TMainThreadQueue: it takes the handler out of the list, closes the socket and joins the
// thread. The list (and the data event) are guarded by FPipeServerIOHandlersLock. The data
// event runs in connection threads, several at once; it must be safe for that. A data event that
// throws ends its connection (the client sees the close rather than waiting for an answer).
//
// TPipeClient is the client side of the same channel (melodyseeker-cli, tests).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/main_thread_queue.h"

class TPipeServer;

// The service's channel name.
inline constexpr std::string_view kPipeName = "MelodySeeker";

// MELODYSEEKER_PIPE when set and not empty, otherwise `name`.
std::string PipeNameFromEnvironment(std::string_view name = kPipeName);

// One connection's thread. Only the server creates and ends it.
class TPipeServerIOHandler {
 public:
  using DataEvent =
      std::function<void(TPipeServerIOHandler& Sender, std::span<const std::uint8_t> ReceivedStream,
                         std::vector<std::uint8_t>& SendStream)>;

  ~TPipeServerIOHandler();
  TPipeServerIOHandler(const TPipeServerIOHandler&) = delete;
  TPipeServerIOHandler& operator=(const TPipeServerIOHandler&) = delete;

  // True once the server asked this connection to end; a long data event may look at it.
  bool Terminated() const { return FTerminated.load(); }

 private:
  friend class TPipeServer;
  TPipeServerIOHandler(TPipeServer& server, int fd, DataEvent event);
  void Execute();
  bool WriteAnswer(std::span<const std::uint8_t> answer);

  TPipeServer& FServer;
  int FPipeHandleServer;  // the connected socket; -1 once closed
  DataEvent FPipeServerDataEvent;
  std::atomic<bool> FTerminated{false};
  std::thread FThread;
};

using TPipeServerDataEvent = TPipeServerIOHandler::DataEvent;

class TPipeServer {
 public:
  // Connections served at once; more clients wait until one ends (one thread per connection,
  // so the number must stay bounded).
  static constexpr int kMaxClients = 255;

  // Stores the name; nothing is opened before Start. `queue` carries the termination
  // notifications of the connection threads to the main thread. REQUIRES: queue != nullptr.
  TPipeServer(std::string PipeServerPipeName, std::shared_ptr<TMainThreadQueue> queue);
  ~TPipeServer();  // Stop()
  TPipeServer(const TPipeServer&) = delete;
  TPipeServer& operator=(const TPipeServer&) = delete;

  const std::string& PipeName() const { return FPipeName; }

  // The data event for connections that start from now on.
  void SetOnReceive(TPipeServerDataEvent event);

  // Creates the socket in the calling thread and starts accepting. False when the socket cannot
  // be created (name taken by a running server, bad name, ...): LastError then holds the
  // user text and LastErrorDetail the system's reason. Only the first call does anything.
  bool Start();

  // Stops accepting, tells every connection to end and returns when all connection threads
  // have ended. Safe to call more than once.
  // REQUIRES: called in the main thread of the queue, or while that thread drains the queue.
  void Stop();

  // Number of open connections.
  int ClientCount() const;

  const std::string& LastError() const { return FLastError; }
  const std::string& LastErrorDetail() const { return FLastErrorDetail; }

 private:
  friend class TPipeServerIOHandler;
  void Execute();
  void StartHandler(int fd);
  void HandlerEnded(TPipeServerIOHandler* handler);   // in the connection thread
  void RemoveHandler(TPipeServerIOHandler* handler);  // the termination notification

  const std::string FPipeName;
  const std::shared_ptr<TMainThreadQueue> FQueue;
  std::string FLastError;
  std::string FLastErrorDetail;
  std::string FSocketFile;  // the socket file to remove at the end; empty for abstract names
  std::uint64_t FSocketDevice = 0, FSocketInode = 0;  // identify that file as ours
  int FListenHandle = -1;
  int FStopEvent = -1;  // eventfd, readable once Stop began; wakes every waiting poll
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FExecuteDone{false};
  bool FStarted = false;
  std::thread FThread;

  mutable std::mutex FPipeServerIOHandlersLock;
  std::condition_variable FHandlersGone;  // signalled when a handler leaves the list
  // Guarded by FPipeServerIOHandlersLock.
  std::vector<std::unique_ptr<TPipeServerIOHandler>> FPipeServerIOHandlers;
  TPipeServerDataEvent FPipeServerDataEvent;
};

// Client side of the channel. Not thread-safe; one exchange at a time.
class TPipeClient {
 public:
  TPipeClient() = default;
  ~TPipeClient();  // Close()
  TPipeClient(const TPipeClient&) = delete;
  TPipeClient& operator=(const TPipeClient&) = delete;

  bool Connect(std::string_view name);
  bool Connected() const { return FHandle >= 0; }
  void Close();
  // Makes a Send or Receive that another thread is blocked in return at once (it fails as if
  // the service had closed the connection). Safe from any thread while connected; the
  // connection stays unusable until Close.
  void Shutdown();

  // Sends `message` as one message (empty messages are allowed and get no answer).
  bool Send(std::span<const std::uint8_t> message);
  // Waits up to `timeout` (negative: no limit) for one message. False on time-out, when the
  // server closed the connection, or on error; LastError says which.
  bool Receive(std::vector<std::uint8_t>& message, std::chrono::milliseconds timeout);
  // Send, then Receive.
  bool Transact(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& answer,
                std::chrono::milliseconds timeout);

  const std::string& LastError() const { return FLastError; }

 private:
  bool Fail(std::string text);
  int FHandle = -1;
  std::string FLastError;
};
