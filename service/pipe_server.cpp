#include "service/pipe_server.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "service/caller.h"
#include "service/core_launch.h"
#include "service/core_stop.h"
#include "service/log_budget.h"
#include "service/names.h"
#include "service/pipe_deadline.h"
#include "service/proxy_watchdog.h"
#include "service/service_log.h"
#include "service/status_commands.h"
#include "service/trust.h"

namespace varnelo {

// Authenticated users and SYSTEM full access, anonymous denied, below-medium integrity cannot
// write.
const wchar_t kPipeSddl[] = L"D:(A;;GA;;;AU)(A;;GA;;;SY)(D;;GA;;;AN)S:(ML;;NW;;;ME)";

namespace {

constexpr DWORD kPipeOpenMode = PIPE_ACCESS_DUPLEX;
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS | PIPE_READMODE_BYTE | PIPE_WAIT;
constexpr DWORD kPipeBufferSize = 4096;
constexpr DWORD kCreateRetryDelayMs = 1000;
constexpr DWORD kConnectRetryDelayMs = 100;
constexpr DWORD kStopCancelIntervalMs = 10;
constexpr size_t kCallerReasonSize = 128;
// How long one client may take to deliver its request, and to take its answer (the write, then
// the flush). Past that the connection is dropped without an answer; it holds only its own
// instance meanwhile.
constexpr DWORD kRequestTimeoutMs = 3000;
constexpr DWORD kAnswerTimeoutMs = 3000;

struct CommandEntry {
  const char* name;
  CommandHandler handler;
};

const CommandEntry kCommands[] = {
    {"ping", HandlePing},
    {"status", HandleStatus},
    {"start_core", HandleStartCore},
    {"stop_core", HandleStopCore},
    {"set_expected_proxy", set_expected_proxy},
    {"clear_watchdog", clear_watchdog},
};

// The log lines of callers nobody has authenticated (rejected, or dropped before their request
// was judged), within their budget. Shared by every connection.
std::mutex g_unauthenticatedLock;
UnauthenticatedLogBudget g_unauthenticatedBudget;

template <typename WriteLines>
void LogUnauthenticated(WriteLines writeLines) {
  UnauthenticatedLogBudget::Decision decision;
  {
    const std::lock_guard<std::mutex> lock(g_unauthenticatedLock);
    decision = g_unauthenticatedBudget.Admit(::GetTickCount64());
  }
  if (!decision.log) return;
  if (decision.leftOut != 0) {
    ServiceLog(
        "HandleConnection WARNING: lines of %llu unauthenticated connections left out "
        "(at most %u per %llu s)",
        static_cast<unsigned long long>(decision.leftOut), kUnauthenticatedEventsPerWindow,
        static_cast<unsigned long long>(kUnauthenticatedWindowMs / 1000));
  }
  writeLines();
}

// A trusted caller's lines are always written; anyone else's within the budget.
template <typename WriteLines>
void LogForCaller(bool trusted, WriteLines writeLines) {
  if (trusted) {
    writeLines();
  } else {
    LogUnauthenticated(writeLines);
  }
}

// Complete requests take their turn here, one handler at a time, in the order they arrived, so
// no handler overlaps another and CoreState, the watchdog and the log keep their rules.
class HandlerQueue {
 public:
  class Turn {
   public:
    explicit Turn(HandlerQueue& queue) : queue_(queue) {
      std::unique_lock<std::mutex> lock(queue_.lock_);
      const std::uint64_t ticket = queue_.next_++;
      queue_.turnChanged_.wait(lock, [&] { return queue_.serving_ == ticket; });
    }
    ~Turn() {
      {
        const std::lock_guard<std::mutex> lock(queue_.lock_);
        ++queue_.serving_;
      }
      queue_.turnChanged_.notify_all();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    HandlerQueue& queue_;
  };

 private:
  std::mutex lock_;
  std::condition_variable turnChanged_;
  std::uint64_t next_ = 0;
  std::uint64_t serving_ = 0;
};

// Never destroyed: a connection that the stop gave up waiting for may still use it.
HandlerQueue& g_handlers = *new HandlerQueue;

bool IsStopRequested(HANDLE stopEvent) {
  return ::WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

SecurityDescriptor BuildPipeSD() {
  SecurityDescriptor sd = SecurityDescriptor::FromSddl(kPipeSddl);
  if (!sd) ServiceLog("BuildPipeSD failed err=%lu", sd.error());
  return sd;
}

// `first`: this process holds no instance yet, so none may exist (another process squatting the
// name makes the creation fail).
UniqueHandle CreatePipeInstance(const SecurityDescriptor& sd, bool first) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), sd.get(), FALSE};
  const DWORD openMode = kPipeOpenMode | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return UniqueHandle(::CreateNamedPipeW(kPipeName, openMode, kPipeMode, PIPE_UNLIMITED_INSTANCES,
                                         kPipeBufferSize, kPipeBufferSize, 0, sd ? &sa : nullptr));
}

enum class ReadResult { kComplete, kTooLarge, kGone, kTimedOut };

ReadResult ReadRequest(HANDLE pipe, const PipeDeadline& deadline, char* buffer, size_t* received) {
  for (;;) {
    DWORD got = 0;
    if (deadline.expired() ||
        !::ReadFile(pipe, buffer + *received, static_cast<DWORD>(kRequestBufferSize - *received),
                    &got, nullptr) ||
        got == 0) {
      return deadline.expired() ? ReadResult::kTimedOut : ReadResult::kGone;
    }
    *received += got;
    const FrameState state = CheckFrame(buffer, *received);
    if (state == FrameState::kComplete) return ReadResult::kComplete;
    if (state == FrameState::kTooLarge) return ReadResult::kTooLarge;
  }
}

// What a connection is doing: only a connection waiting on its client may give way to another.
enum class Stage { kListening, kRequest, kCommand, kAnswer };

const char* StageName(Stage stage) { return stage == Stage::kAnswer ? "answer" : "request"; }

// One pipe instance and the connection on it, served by a thread of its own.
struct Slot {
  UniqueHandle pipe;
  UniqueHandle thread;
  // Guarded by PipeServer::lock_.
  Stage stage = Stage::kListening;
  ULONGLONG waitingSince = 0;
  bool gaveWay = false;
  PipeDeadline* deadline = nullptr;
};

class PipeServer {
 public:
  explicit PipeServer(HANDLE stopEvent) : stopEvent_(stopEvent) {}
  void Run();

 private:
  struct ConnectionStart {
    PipeServer* server;
    Slot* slot;
  };
  static DWORD WINAPI ConnectionThread(void* start);

  bool CreateInstances();
  void StartConnections();
  void ServeConnections(Slot* slot);
  void Serve(Slot* slot, const Caller& caller);
  void Answer(Slot* slot, const Caller& caller, const Reply& reply, bool trusted);
  void LetGoOfConnections();

  // A stage with a time limit on the client, during which the connection may have to give way.
  class ClientWait {
   public:
    ClientWait(PipeServer* server, Slot* slot, Stage stage, DWORD limitMs);
    ~ClientWait();
    ClientWait(const ClientWait&) = delete;
    ClientWait& operator=(const ClientWait&) = delete;
    const PipeDeadline& deadline() const { return deadline_; }

   private:
    PipeServer* server_;
    Slot* slot_;
    PipeDeadline deadline_;
  };

  void EnterStage(Slot* slot, Stage stage);
  void MakeRoomFor(const Slot* newcomer);
  void LogDropped(const Slot* slot, const Caller& caller, Stage stage, bool trusted);

  HANDLE stopEvent_;
  SecurityDescriptor sd_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::mutex lock_;
};

PipeServer::ClientWait::ClientWait(PipeServer* server, Slot* slot, Stage stage, DWORD limitMs)
    : server_(server), slot_(slot), deadline_(slot->pipe.get(), limitMs) {
  const std::lock_guard<std::mutex> lock(server_->lock_);
  slot_->stage = stage;
  slot_->waitingSince = ::GetTickCount64();
  slot_->deadline = &deadline_;
  if (slot_->gaveWay) deadline_.Expire();
}

PipeServer::ClientWait::~ClientWait() {
  {
    const std::lock_guard<std::mutex> lock(server_->lock_);
    slot_->deadline = nullptr;
  }
  deadline_.Stop();
}

void PipeServer::EnterStage(Slot* slot, Stage stage) {
  const std::lock_guard<std::mutex> lock(lock_);
  slot->stage = stage;
  slot->waitingSince = ::GetTickCount64();
  if (stage == Stage::kListening) slot->gaveWay = false;
}

// Called as a connection is made: when no instance is left listening, the connection that has
// waited longest on its client (for its request, or to take its answer) gives way, so the next
// client finds an instance. A connection whose command runs is never cut off.
void PipeServer::MakeRoomFor(const Slot* newcomer) {
  const std::lock_guard<std::mutex> lock(lock_);
  Slot* oldest = nullptr;
  for (const std::unique_ptr<Slot>& slot : slots_) {
    if (slot->stage == Stage::kListening) return;
    const bool waiting = slot->stage == Stage::kRequest || slot->stage == Stage::kAnswer;
    if (slot.get() == newcomer || !waiting || slot->gaveWay) continue;
    if (oldest == nullptr || slot->waitingSince < oldest->waitingSince) oldest = slot.get();
  }
  if (oldest == nullptr) return;
  oldest->gaveWay = true;
  if (oldest->deadline != nullptr) oldest->deadline->Expire();
}

void PipeServer::LogDropped(const Slot* slot, const Caller& caller, Stage stage, bool trusted) {
  bool gaveWay = false;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    gaveWay = slot->gaveWay;
  }
  const char* stageName = StageName(stage);
  const DWORD limitMs = stage == Stage::kAnswer ? kAnswerTimeoutMs : kRequestTimeoutMs;
  LogForCaller(trusted, [&] {
    if (gaveWay) {
      ServiceLog("HandleConnection: dropped pid=%lu stage=%s to make room, every instance busy",
                 caller.pid(), stageName);
    } else {
      ServiceLog("HandleConnection: timeout pid=%lu stage=%s limit_ms=%lu", caller.pid(), stageName,
                 limitMs);
    }
  });
}

// Writes the answer and waits for the client to take it, within the answer's limit.
void PipeServer::Answer(Slot* slot, const Caller& caller, const Reply& reply, bool trusted) {
  const std::string& text = reply.text();
  const ClientWait wait(this, slot, Stage::kAnswer, kAnswerTimeoutMs);
  DWORD written = 0;
  if (!wait.deadline().expired()) {
    ::WriteFile(slot->pipe.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  // Returns once the client has read the answer, has gone, or has had its time.
  if (!wait.deadline().expired()) ::FlushFileBuffers(slot->pipe.get());
  if (wait.deadline().expired() && !IsStopRequested(stopEvent_)) {
    LogDropped(slot, caller, Stage::kAnswer, trusted);
  }
}

void PipeServer::Serve(Slot* slot, const Caller& caller) {
  char buffer[kRequestBufferSize];
  size_t received = 0;
  ReadResult result;
  {
    const ClientWait wait(this, slot, Stage::kRequest, kRequestTimeoutMs);
    result = ReadRequest(slot->pipe.get(), wait.deadline(), buffer, &received);
  }
  if (IsStopRequested(stopEvent_)) return;
  Reply reply;
  bool trusted = false;
  switch (result) {
    case ReadResult::kGone:
      return;  // the client went away before finishing its request
    case ReadResult::kTimedOut:
      LogDropped(slot, caller, Stage::kRequest, false);
      return;
    case ReadResult::kTooLarge:
      WriteErrorResponse(reply, kErrRequestTooLarge, kCodeRequestTooLarge);
      break;
    case ReadResult::kComplete: {
      const RequestMap request = ParseRequest(buffer, received);
      const auto cmd = request.find("cmd");
      if (cmd == request.end()) {
        WriteErrorResponse(reply, kErrMissingCmd, kCodeMissingCmd);  // nobody is checked for it
        break;
      }
      EnterStage(slot, Stage::kCommand);
      trusted = HandleCommand(reply, caller, request, cmd->second, stopEvent_);
      break;
    }
  }
  if (IsStopRequested(stopEvent_) || !reply.given()) return;
  Answer(slot, caller, reply, trusted);
}

// One instance's life: listen, take hold of the caller as it connects, serve it, listen again.
// The instance is kept across connections, so the pipe's name is never free while the service
// runs.
void PipeServer::ServeConnections(Slot* slot) {
  const HANDLE pipe = slot->pipe.get();
  while (!IsStopRequested(stopEvent_)) {
    EnterStage(slot, Stage::kListening);
    const bool connected =
        ::ConnectNamedPipe(pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
    const DWORD connectError = ::GetLastError();
    if (IsStopRequested(stopEvent_)) break;
    if (connected) {
      const Caller caller = Caller::AtConnection(pipe, PreciseSystemTime());
      EnterStage(slot, Stage::kRequest);
      MakeRoomFor(slot);
      Serve(slot, caller);
    } else if (connectError != ERROR_NO_DATA) {
      // ERROR_NO_DATA: a client came and went before the connection was taken up.
      ::WaitForSingleObject(stopEvent_, kConnectRetryDelayMs);
    }
    ::DisconnectNamedPipe(pipe);
  }
}

DWORD WINAPI PipeServer::ConnectionThread(void* param) {
  const std::unique_ptr<ConnectionStart> start(static_cast<ConnectionStart*>(param));
  start->server->ServeConnections(start->slot);
  return 0;
}

// The first instance must be the name's only one; until it can be made, that is retried every
// second. The others are made beside it.
bool PipeServer::CreateInstances() {
  UniqueHandle first;
  while (!first) {
    first = CreatePipeInstance(sd_, true);
    if (first) break;
    ServiceLog("CreateNamedPipe failed err=%lu", ::GetLastError());
    if (::WaitForSingleObject(stopEvent_, kCreateRetryDelayMs) == WAIT_OBJECT_0) return false;
  }
  slots_.push_back(std::unique_ptr<Slot>(new Slot));
  slots_.back()->pipe = std::move(first);
  while (slots_.size() < kPipeInstances) {
    UniqueHandle pipe = CreatePipeInstance(sd_, false);
    if (!pipe) {
      ServiceLog("CreateNamedPipe failed err=%lu", ::GetLastError());
      break;
    }
    slots_.push_back(std::unique_ptr<Slot>(new Slot));
    slots_.back()->pipe = std::move(pipe);
  }
  return true;
}

void PipeServer::StartConnections() {
  for (std::unique_ptr<Slot>& slot : slots_) {
    std::unique_ptr<ConnectionStart> start(new ConnectionStart{this, slot.get()});
    slot->thread.reset(::CreateThread(nullptr, 0, ConnectionThread, start.get(), 0, nullptr));
    if (!slot->thread) {
      ServiceLog("CreateThread(pipe connection) failed err=%lu", ::GetLastError());
      continue;
    }
    static_cast<void>(start.release());  // the thread owns it now
  }
}

// Ends listening and every connection at once: their pipe calls are cancelled until each thread
// has returned (a call that starts just after one cancel is caught by the next).
void PipeServer::LetGoOfConnections() {
  std::vector<HANDLE> threads;
  for (const std::unique_ptr<Slot>& slot : slots_) {
    if (slot->thread) threads.push_back(slot->thread.get());
  }
  if (threads.empty()) return;
  do {
    for (const std::unique_ptr<Slot>& slot : slots_) ::CancelIoEx(slot->pipe.get(), nullptr);
  } while (::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE,
                                    kStopCancelIntervalMs) == WAIT_TIMEOUT);
}

void PipeServer::Run() {
  sd_ = BuildPipeSD();
  ServiceLog("pipe server starting at %ls", kPipeName);
  if (!IsStopRequested(stopEvent_) && CreateInstances()) {
    StartConnections();
    ::WaitForSingleObject(stopEvent_, INFINITE);
    LetGoOfConnections();
  }
  ServiceLog("pipe server exiting");
}

}  // namespace

CommandHandler FindCommandHandler(const std::string& cmd) {
  for (const CommandEntry& entry : kCommands) {
    if (cmd == entry.name) return entry.handler;
  }
  return nullptr;
}

bool HandleCommand(Reply& reply, const Caller& caller, const RequestMap& request,
                   const std::string& cmd, HANDLE stopEvent) {
  const std::string logged = LoggedCommand(cmd);
  char reason[kCallerReasonSize] = {};
  if (!VerifyCallerSignature(caller, reason, sizeof(reason))) {
    LogUnauthenticated([&] {
      ServiceLog("conn pid=%lu cmd=%s", caller.pid(), logged.c_str());
      ServiceLog("rejected pid=%lu: %s", caller.pid(), reason);
    });
    WriteErrorResponse(reply, kErrUnauthorizedCaller, kCodeUnauthorizedCaller);
    return false;
  }
  ServiceLog("conn pid=%lu cmd=%s", caller.pid(), logged.c_str());
  const CommandHandler handler = FindCommandHandler(cmd);
  if (handler == nullptr) {
    WriteErrorResponse(reply, kErrUnknownCmdPrefix + cmd, kCodeUnknownCmd);
    return true;
  }
  const HandlerQueue::Turn turn(g_handlers);
  // None starts once the service stops.
  if (!IsStopRequested(stopEvent)) handler(reply, caller, request);
  return true;
}

DWORD WINAPI PipeServerThread(void* param) {
  const std::unique_ptr<PipeServerArgs> args(static_cast<PipeServerArgs*>(param));
  PipeServer server(args->stopEvent.get());
  server.Run();
  return 0;
}

}  // namespace varnelo
