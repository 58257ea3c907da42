// The baselines the service is measured against: a pipe server shaped like the service's (same
// pipe modes, one connection served at a time while the next instance listens, answer, flush,
// disconnect) that does only the least work a request needs.
//
//   bench_echo_server <pipe name> bare          echoes every request
//   bench_echo_server <pipe name> verify <core> <data> <config>
//                                               checks the caller as the service does, then:
//     cmd=launch     also checks <core>'s signature and launches it suspended in a kill-on-close
//                    job, with the command line and folder the service gives it, its output in
//                    a pipe; the read end and the job go to the caller
//     cmd=terminate  terminates the core launched last and waits for it to end; the answer
//                    tells how long that took (wait_ms)
//     anything else  echoes the request
// Runs until it is killed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/unique_resource.h"
#include "service/caller.h"
#include "service/request.h"
#include "service/trust.h"

namespace {

using varnelo::UniqueHandle;

constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS | PIPE_READMODE_BYTE |
                            PIPE_WAIT;
constexpr DWORD kBufferSize = 4096;
constexpr DWORD kTerminateWaitMs = 3000;

struct Server {
  bool verify = false;
  std::wstring corePath;
  std::wstring coreDirectory;
  std::wstring commandLine;
  UniqueHandle coreProcess;
};

UniqueHandle CreateInstance(const wchar_t* name) {
  return UniqueHandle(::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, kPipeMode,
                                         PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0,
                                         nullptr));
}

void Answer(HANDLE pipe, const std::string& text) {
  DWORD written = 0;
  ::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::uint64_t GiveToCaller(const varnelo::Caller& caller, HANDLE handle, DWORD access,
                           DWORD options) {
  HANDLE target = nullptr;
  if (!caller.process() || !::DuplicateHandle(::GetCurrentProcess(), handle, caller.process(),
                                              &target, access, FALSE, options)) {
    return 0;
  }
  return reinterpret_cast<std::uintptr_t>(target);
}

// The least a core launch takes: the core's signature, a pipe for its output, a kill-on-close
// job, a suspended start, assignment, resume, and the hand-over of the read end and the job.
std::string LaunchCore(Server* server, const varnelo::Caller& caller) {
  if (!varnelo::VerifyFileSignature(server->corePath.c_str(), nullptr, 0)) return "ok=0\n\n";
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  UniqueHandle readEnd, writeEnd;
  if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 65536)) return "ok=0\n\n";
  ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = writeEnd.get();
  std::wstring commandLine = server->commandLine;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(server->corePath.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                        server->coreDirectory.c_str(), &startup, &info)) {
    return "ok=0\n\n";
  }
  writeEnd.reset();
  server->coreProcess.reset(info.hProcess);
  const UniqueHandle thread(info.hThread);
  ::AssignProcessToJobObject(job.get(), info.hProcess);
  ::ResumeThread(thread.get());
  const std::uint64_t log = GiveToCaller(caller, readEnd.get(), GENERIC_READ, 0);
  const std::uint64_t jobHandle = GiveToCaller(caller, job.get(), 0, DUPLICATE_SAME_ACCESS);
  return "ok=1\nlog_handle=" + std::to_string(log) + "\njob_handle=" + std::to_string(jobHandle) +
         "\n\n";
}

std::string TerminateCore(Server* server) {
  const UniqueHandle process = std::move(server->coreProcess);
  if (!process) return "ok=1\nwas_running=0\n\n";
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  ::TerminateProcess(process.get(), 0);
  ::WaitForSingleObject(process.get(), kTerminateWaitMs);
  ::QueryPerformanceCounter(&end);
  char waited[32];
  std::snprintf(waited, sizeof(waited), "%.3f",
                1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                    static_cast<double>(frequency.QuadPart));
  return std::string("ok=1\nwas_running=1\nwait_ms=") + waited + "\n\n";
}

void Serve(Server* server, HANDLE pipe) {
  char buffer[varnelo::kRequestBufferSize];
  size_t received = 0;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(pipe, buffer + received,
                    static_cast<DWORD>(varnelo::kRequestBufferSize - received), &got, nullptr) ||
        got == 0) {
      return;
    }
    received += got;
    const varnelo::FrameState state = varnelo::CheckFrame(buffer, received);
    if (state == varnelo::FrameState::kComplete) break;
    if (state == varnelo::FrameState::kTooLarge) return;
  }
  const std::string request(buffer, received);
  if (!server->verify) return Answer(pipe, request);
  const varnelo::Caller caller = varnelo::Caller::AtConnection(pipe, varnelo::PreciseSystemTime());
  if (!varnelo::VerifyCallerSignature(caller, nullptr, 0)) return Answer(pipe, "ok=0\n\n");
  if (request == "cmd=launch\n\n") return Answer(pipe, LaunchCore(server, caller));
  if (request == "cmd=terminate\n\n") return Answer(pipe, TerminateCore(server));
  Answer(pipe, request);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  Server server;
  server.verify = std::wstring(argv[2]) == L"verify";
  if (server.verify && argc > 5) {
    server.corePath = argv[3];
    server.coreDirectory = server.corePath.substr(0, server.corePath.find_last_of(L'\\') + 1);
    server.commandLine = std::wstring(L"VarneloCore.exe -d \"") + argv[4] + L"\" -f \"" +
                         argv[5] + L"\"";
  }
  // As the service does: the next instance listens before the current one closes.
  UniqueHandle listening = CreateInstance(argv[1]);
  while (listening) {
    const UniqueHandle pipe = std::move(listening);
    const bool connected =
        ::ConnectNamedPipe(pipe.get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
    listening = CreateInstance(argv[1]);
    if (connected) Serve(&server, pipe.get());
    ::FlushFileBuffers(pipe.get());
    ::DisconnectNamedPipe(pipe.get());
  }
  return 1;
}
