#pragma once
// The request dispatcher: owns the comparator with the loaded cache and the socket server, keeps
// the service state, and turns each request message into one identification and one reply.
//
// Threads: the constructor, Destroy, Abort and state changes run in the main thread (the one that
// drains `queue`). HandlePipeRequest runs in connection threads, several at once; it reads the
// state once per request (an atomic) and the configuration as a copy (GetConfig). Everything a
// request creates is private to it; the comparator is shared and locks its own rows.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "afp/afpcomp_unit.h"
#include "service/pipeserver_unit.h"

enum TPipeServerState : std::int32_t { serverInit = 0, serverReady = 1, serverClosing = 2 };

class TCacheAccess {
 public:
  // Starts the socket server under `pipename` at once (state serverInit), then creates the
  // comparator. PipeServerStarted() tells whether the socket could be created.
  TCacheAccess(std::shared_ptr<TMainThreadQueue> queue, const std::string& pipename);
  ~TCacheAccess();  // Destroy()
  TCacheAccess(const TCacheAccess&) = delete;
  TCacheAccess& operator=(const TCacheAccess&) = delete;

  // State serverClosing; stops the server and waits for its connections; empties and frees the
  // comparator. Main thread; safe to call more than once.
  void Destroy();
  // Stops a cache load that is still running.
  void Abort();

  int PipeServerClientCount() const;
  TPipeServerState PipeServerState() const { return FPipeServerState.load(); }
  void SetPipeServerState(TPipeServerState state) { FPipeServerState.store(state); }
  TAFPComp& AfpComp() { return *FAfpCompObj; }
  bool PipeServerStarted() const { return FStarted; }
  const TPipeServer* PipeServer() const { return FPipeServerObj.get(); }

  // The data event: one reply document for one request message. Never throws.
  void HandlePipeRequest(std::span<const std::uint8_t> ReceivedStream,
                         std::vector<std::uint8_t>& SendStream);

 private:
  std::atomic<TPipeServerState> FPipeServerState{serverInit};
  std::unique_ptr<TPipeServer> FPipeServerObj;
  std::unique_ptr<TAFPComp> FAfpCompObj;
  bool FStarted = false;
};
