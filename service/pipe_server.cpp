#include "service/pipe_server.h"

#include <memory>

#include "service/core_launch.h"
#include "service/core_stop.h"
#include "service/proxy_watchdog.h"
#include "service/service_log.h"
#include "service/status_commands.h"
#include "service/trust.h"

namespace varnelo {

const wchar_t kPipeName[] = L"\\\\.\\pipe\\VarneloService";
// Authenticated users and SYSTEM full access, anonymous denied, below-medium integrity cannot write.
const wchar_t kPipeSddl[] = L"D:(A;;GA;;;AU)(A;;GA;;;SY)(D;;GA;;;AN)S:(ML;;NW;;;ME)";

namespace {

constexpr DWORD kPipeOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE;
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS | PIPE_READMODE_BYTE |
                            PIPE_WAIT;
constexpr DWORD kPipeBufferSize = 4096;
constexpr DWORD kCreateRetryDelayMs = 1000;
constexpr size_t kCallerReasonSize = 128;

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

UniqueHandle CreatePipeInstance(const SecurityDescriptor& sd) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), sd.get(), FALSE};
  return UniqueHandle(::CreateNamedPipeW(kPipeName, kPipeOpenMode, kPipeMode,
                                         PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
                                         kPipeBufferSize, 0, sd ? &sa : nullptr));
}

DWORD ClientProcessId(HANDLE pipe) {
  ULONG pid = 0;
  return ::GetNamedPipeClientProcessId(pipe, &pid) ? pid : 0;
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
  DWORD written = 0;
  ::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void WriteErrorResponse(HANDLE pipe, const std::string& message, int32_t code) {
  WriteResponse(pipe, MakeErrorResponse(message, code));
}

void HandleConnection(HANDLE pipe) {
  char buffer[kRequestBufferSize];
  size_t received = 0;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(pipe, buffer + received, static_cast<DWORD>(kRequestBufferSize - received), &got,
                    nullptr) ||
        got == 0) {
      return;  // the client went away before finishing its request
    }
    received += got;
    const FrameState state = CheckFrame(buffer, received);
    if (state == FrameState::kComplete) break;
    if (state == FrameState::kTooLarge) {
      WriteErrorResponse(pipe, kErrRequestTooLarge, kCodeRequestTooLarge);
      return;
    }
  }

  const RequestMap request = ParseRequest(buffer, received);
  const auto cmd = request.find("cmd");
  if (cmd == request.end()) {
    WriteErrorResponse(pipe, kErrMissingCmd, kCodeMissingCmd);
    return;
  }
  const DWORD pid = ClientProcessId(pipe);
  ServiceLog("conn pid=%lu cmd=%s", pid, cmd->second.c_str());

  char reason[kCallerReasonSize] = {};
  if (!VerifyCallerSignature(pipe, reason, sizeof(reason))) {
    ServiceLog("rejected pid=%lu: %s", pid, reason);
    WriteErrorResponse(pipe, kErrUnauthorizedCaller, kCodeUnauthorizedCaller);
    return;
  }

  const CommandHandler handler = FindCommandHandler(cmd->second);
  if (handler == nullptr) {
    WriteErrorResponse(pipe, kErrUnknownCmdPrefix + cmd->second, kCodeUnknownCmd);
    return;
  }
  handler(pipe, request);
}

DWORD WINAPI PipeServerThread(void* param) {
  const std::unique_ptr<PipeServerArgs> args(static_cast<PipeServerArgs*>(param));
  const SecurityDescriptor sd = BuildPipeSD();
  ServiceLog("pipe server starting at %ls", kPipeName);

  if (!IsStopRequested(args->stopEvent.get())) {
    do {
      UniqueHandle pipe = CreatePipeInstance(sd);
      if (!pipe) {
        ServiceLog("CreateNamedPipe failed err=%lu", ::GetLastError());
        ::Sleep(kCreateRetryDelayMs);
        continue;
      }
      if (::ConnectNamedPipe(pipe.get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
        HandleConnection(pipe.get());
      }
      ::FlushFileBuffers(pipe.get());  // returns once the client has read the response
      ::DisconnectNamedPipe(pipe.get());
    } while (!IsStopRequested(args->stopEvent.get()));
  }

  ServiceLog("pipe server exiting");
  return 0;
}

}  // namespace varnelo
