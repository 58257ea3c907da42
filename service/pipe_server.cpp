#include "service/pipe_server.h"

#include <memory>
#include <mutex>

#include "service/caller.h"
#include "service/core_launch.h"
#include "service/core_stop.h"
#include "service/log_budget.h"
#include "service/pipe_deadline.h"
#include "service/proxy_watchdog.h"
#include "service/service_log.h"
#include "service/status_commands.h"
#include "service/trust.h"

namespace varnelo {

const wchar_t kPipeName[] = L"\\\\.\\pipe\\VarneloService";
// Authenticated users and SYSTEM full access, anonymous denied, below-medium integrity cannot write.
const wchar_t kPipeSddl[] = L"D:(A;;GA;;;AU)(A;;GA;;;SY)(D;;GA;;;AN)S:(ML;;NW;;;ME)";

namespace {

constexpr DWORD kPipeOpenMode = PIPE_ACCESS_DUPLEX;
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS | PIPE_READMODE_BYTE |
                            PIPE_WAIT;
constexpr DWORD kPipeBufferSize = 4096;
constexpr DWORD kCreateRetryDelayMs = 1000;
constexpr size_t kCallerReasonSize = 128;
// How long one client may take to deliver its request, and to take its answer (the write, then
// the flush). Past that the connection is dropped without an answer, so one silent client holds
// up the others for this long at most.
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

bool IsStopRequested(HANDLE stopEvent) {
  return ::WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

SecurityDescriptor BuildPipeSD() {
  SecurityDescriptor sd = SecurityDescriptor::FromSddl(kPipeSddl);
  if (!sd) ServiceLog("BuildPipeSD failed err=%lu", sd.error());
  return sd;
}

// `first`: this process holds no instance yet, so none may exist (another process squatting the
// name makes the creation fail). Later instances are made while the current one is still open.
UniqueHandle CreatePipeInstance(const SecurityDescriptor& sd, bool first) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), sd.get(), FALSE};
  const DWORD openMode = kPipeOpenMode | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return UniqueHandle(::CreateNamedPipeW(kPipeName, openMode, kPipeMode,
                                         PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
                                         kPipeBufferSize, 0, sd ? &sa : nullptr));
}

DWORD ClientProcessId(HANDLE pipe) {
  ULONG pid = 0;
  return ::GetNamedPipeClientProcessId(pipe, &pid) ? pid : 0;
}

void LogTimeout(HANDLE pipe, const char* stage, DWORD limitMs) {
  ServiceLog("HandleConnection: timeout pid=%lu stage=%s limit_ms=%lu", ClientProcessId(pipe),
             stage, limitMs);
}

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
    ServiceLog("HandleConnection WARNING: lines of %llu unauthenticated connections left out "
               "(at most %u per %llu s)",
               static_cast<unsigned long long>(decision.leftOut), kUnauthenticatedEventsPerWindow,
               static_cast<unsigned long long>(kUnauthenticatedWindowMs / 1000));
  }
  writeLines();
}

enum class ReadResult { kComplete, kTooLarge, kGone, kTimedOut };

ReadResult ReadRequest(HANDLE pipe, char* buffer, size_t* received) {
  PipeDeadline deadline(pipe, kRequestTimeoutMs);
  for (;;) {
    DWORD got = 0;
    if (deadline.expired() ||
        !::ReadFile(pipe, buffer + *received, static_cast<DWORD>(kRequestBufferSize - *received),
                    &got, nullptr) ||
        got == 0) {
      deadline.Stop();
      return deadline.expired() ? ReadResult::kTimedOut : ReadResult::kGone;
    }
    *received += got;
    const FrameState state = CheckFrame(buffer, *received);
    if (state == FrameState::kComplete) return ReadResult::kComplete;
    if (state == FrameState::kTooLarge) return ReadResult::kTooLarge;
  }
}

// Returns once the client has read the answer, has gone, or has had its time.
void FlushAnswer(HANDLE pipe) {
  PipeDeadline deadline(pipe, kAnswerTimeoutMs);
  ::FlushFileBuffers(pipe);
  deadline.Stop();
  if (deadline.expired()) LogTimeout(pipe, "answer", kAnswerTimeoutMs);
}

}  // namespace

CommandHandler FindCommandHandler(const std::string& cmd) {
  for (const CommandEntry& entry : kCommands) {
    if (cmd == entry.name) return entry.handler;
  }
  return nullptr;
}

void WriteResponse(HANDLE pipe, const ResponseMap& response) {
  const std::string text = FormatResponse(response);
  // An answer larger than the pipe's buffer waits for the client to read.
  PipeDeadline deadline(pipe, kAnswerTimeoutMs);
  DWORD written = 0;
  ::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  deadline.Stop();
  if (deadline.expired()) {
    LogTimeout(pipe, "answer", kAnswerTimeoutMs);
    ::DisconnectNamedPipe(pipe);  // the flush that follows then returns at once
  }
}

void WriteErrorResponse(HANDLE pipe, const std::string& message, int32_t code) {
  WriteResponse(pipe, MakeErrorResponse(message, code));
}

void HandleConnection(HANDLE pipe) {
  char buffer[kRequestBufferSize];
  size_t received = 0;
  switch (ReadRequest(pipe, buffer, &received)) {
    case ReadResult::kComplete:
      break;
    case ReadResult::kTooLarge:
      WriteErrorResponse(pipe, kErrRequestTooLarge, kCodeRequestTooLarge);
      return;
    case ReadResult::kTimedOut:
      LogUnauthenticated([pipe] { LogTimeout(pipe, "request", kRequestTimeoutMs); });
      return;
    case ReadResult::kGone:
      return;  // the client went away before finishing its request
  }

  const RequestMap request = ParseRequest(buffer, received);
  const auto cmd = request.find("cmd");
  if (cmd == request.end()) {
    WriteErrorResponse(pipe, kErrMissingCmd, kCodeMissingCmd);
    return;
  }
  const Caller caller = Caller::FromPipe(pipe);
  const std::string logged = LoggedCommand(cmd->second);
  char reason[kCallerReasonSize] = {};
  if (!VerifyCallerSignature(caller, reason, sizeof(reason))) {
    LogUnauthenticated([&] {
      ServiceLog("conn pid=%lu cmd=%s", caller.pid(), logged.c_str());
      ServiceLog("rejected pid=%lu: %s", caller.pid(), reason);
    });
    WriteErrorResponse(pipe, kErrUnauthorizedCaller, kCodeUnauthorizedCaller);
    return;
  }
  ServiceLog("conn pid=%lu cmd=%s", caller.pid(), logged.c_str());

  const CommandHandler handler = FindCommandHandler(cmd->second);
  if (handler == nullptr) {
    WriteErrorResponse(pipe, kErrUnknownCmdPrefix + cmd->second, kCodeUnknownCmd);
    return;
  }
  handler(pipe, caller, request);
}

DWORD WINAPI PipeServerThread(void* param) {
  const std::unique_ptr<PipeServerArgs> args(static_cast<PipeServerArgs*>(param));
  const SecurityDescriptor sd = BuildPipeSD();
  ServiceLog("pipe server starting at %ls", kPipeName);

  if (!IsStopRequested(args->stopEvent.get())) {
    UniqueHandle listening;  // the instance the next client connects to
    do {
      if (!listening) {
        listening = CreatePipeInstance(sd, true);
        if (!listening) {
          ServiceLog("CreateNamedPipe failed err=%lu", ::GetLastError());
          ::Sleep(kCreateRetryDelayMs);
          continue;
        }
      }
      const UniqueHandle pipe = std::move(listening);
      const bool connected =
          ::ConnectNamedPipe(pipe.get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
      // The next instance exists before this one closes, so the name is never free for another
      // process to take while the service runs.
      listening = CreatePipeInstance(sd, false);
      if (!listening) ServiceLog("CreateNamedPipe failed err=%lu", ::GetLastError());
      if (connected) HandleConnection(pipe.get());
      FlushAnswer(pipe.get());
      ::DisconnectNamedPipe(pipe.get());
    } while (!IsStopRequested(args->stopEvent.get()));
  }

  ServiceLog("pipe server exiting");
  return 0;
}

}  // namespace varnelo
