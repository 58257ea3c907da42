// The baselines the service is measured against, written the plain way with Win32 calls alone
// and none of the service's code: a named pipe server that serves one connection at a time
// (the next instance listens before the current one closes), reads one request up to its blank
// line, answers, flushes and disconnects.
//
//   bench_echo_server <pipe name> bare          echoes every request: the pipe alone
//   bench_echo_server <pipe name> verify <core> <data> <config>
//       checks every caller first: its pid from the pipe, OpenProcess, QueryFullProcessImageNameW,
//       WinVerifyTrust on that path (state kept) and the signer's subject name from that state,
//       which must be the publisher; a caller that fails gets "ok=0". Then:
//     cmd=launch     WinVerifyTrust of <core> and its signer the same way, a pipe for its output,
//                    a kill-on-close job, a suspended start with the service's command line and
//                    folder, assignment, resume; the read end and the job go to the caller
//     cmd=terminate  terminates the core launched last and waits for it to end; the answer
//                    tells how long that took (wait_ms)
//     anything else  echoes the request
// Runs until it is killed.
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_clock.h"
#include "common/unique_resource.h"

namespace {

using varnelo::UniqueHandle;

constexpr wchar_t kPublisher[] = L"Varnelo International Co., Ltd";
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_REJECT_REMOTE_CLIENTS | PIPE_READMODE_BYTE | PIPE_WAIT;
constexpr DWORD kBufferSize = 4096;
constexpr DWORD kOutputPipeSize = 65536;
constexpr DWORD kTerminateWaitMs = 3000;
constexpr DWORD kPathChars = 1024;

struct Server {
  bool verify = false;
  std::wstring core_path;
  std::wstring core_directory;
  std::wstring command_line;
  UniqueHandle core_process;
};

UniqueHandle CreateInstance(const wchar_t* name) {
  return UniqueHandle(::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, kPipeMode,
                                         PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0,
                                         nullptr));
}

// A request is complete at its first blank line; false when the client went or sent too much.
bool ReadRequest(HANDLE pipe, std::string* request) {
  char buffer[kBufferSize];
  DWORD got = 0;
  while (request->find("\n\n") == std::string::npos) {
    if (request->size() >= kBufferSize ||
        !::ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) || got == 0) {
      return false;
    }
    request->append(buffer, got);
  }
  return true;
}

void Answer(HANDLE pipe, const std::string& text) {
  DWORD written = 0;
  ::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// WinVerifyTrust on the file, then the subject of the signer's certificate from the state that
// call kept.
bool SignedByPublisher(const wchar_t* path) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  bool signed_by_publisher = false;
  if (::WinVerifyTrust(nullptr, &action, &data) == ERROR_SUCCESS) {
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer =
        provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (signer != nullptr && signer->csCertChain > 0) {
      wchar_t subject[256] = {};
      ::CertGetNameStringW(signer->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                           subject, 256);
      signed_by_publisher = std::wcscmp(subject, kPublisher) == 0;
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  ::WinVerifyTrust(nullptr, &action, &data);
  return signed_by_publisher;
}

// The client's process, opened with `access`, when its image is signed by the publisher.
UniqueHandle TrustedCaller(HANDLE pipe, DWORD access) {
  ULONG pid = 0;
  if (!::GetNamedPipeClientProcessId(pipe, &pid)) return UniqueHandle();
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | access, FALSE, pid));
  wchar_t image[kPathChars] = {};
  DWORD chars = kPathChars;
  if (!process || !::QueryFullProcessImageNameW(process.get(), 0, image, &chars) ||
      !SignedByPublisher(image)) {
    return UniqueHandle();
  }
  return process;
}

std::uint64_t GiveToCaller(HANDLE caller, HANDLE handle, DWORD access, DWORD options) {
  HANDLE target = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), handle, caller, &target, access, FALSE, options)) {
    return 0;
  }
  return reinterpret_cast<std::uintptr_t>(target);
}

std::string LaunchCore(Server* server, HANDLE caller) {
  if (!SignedByPublisher(server->core_path.c_str())) return "ok=0\n\n";
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  UniqueHandle read_end, write_end;
  if (!::CreatePipe(read_end.put(), write_end.put(), &inheritable, kOutputPipeSize))
    return "ok=0\n\n";
  ::SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!job || !::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                         sizeof(limits))) {
    return "ok=0\n\n";
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end.get();
  startup.hStdError = write_end.get();
  std::wstring command_line = server->command_line;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(server->core_path.c_str(), &command_line[0], nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                        server->core_directory.c_str(), &startup, &info)) {
    return "ok=0\n\n";
  }
  write_end.reset();
  server->core_process.reset(info.hProcess);
  const UniqueHandle thread(info.hThread);
  ::AssignProcessToJobObject(job.get(), info.hProcess);
  ::ResumeThread(thread.get());
  const std::uint64_t output = GiveToCaller(caller, read_end.get(), GENERIC_READ, 0);
  const std::uint64_t job_handle = GiveToCaller(caller, job.get(), 0, DUPLICATE_SAME_ACCESS);
  return "ok=1\nlog_handle=" + std::to_string(output) +
         "\njob_handle=" + std::to_string(job_handle) + "\n\n";
}

std::string TerminateCore(Server* server) {
  const UniqueHandle process = std::move(server->core_process);
  if (!process) return "ok=1\nwas_running=0\n\n";
  const double start = varnelo::bench::Now();
  ::TerminateProcess(process.get(), 0);
  ::WaitForSingleObject(process.get(), kTerminateWaitMs);
  char waited[32];
  std::snprintf(waited, sizeof(waited), "%.3f", varnelo::bench::Now() - start);
  return std::string("ok=1\nwas_running=1\nwait_ms=") + waited + "\n\n";
}

void Serve(Server* server, HANDLE pipe) {
  std::string request;
  if (!ReadRequest(pipe, &request)) return;
  if (!server->verify) return Answer(pipe, request);
  const bool launch = request == "cmd=launch\n\n";
  const UniqueHandle caller = TrustedCaller(pipe, launch ? PROCESS_DUP_HANDLE : 0);
  if (!caller) return Answer(pipe, "ok=0\n\n");
  if (launch) return Answer(pipe, LaunchCore(server, caller.get()));
  if (request == "cmd=terminate\n\n") return Answer(pipe, TerminateCore(server));
  Answer(pipe, request);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  Server server;
  server.verify = std::wcscmp(argv[2], L"verify") == 0;
  if (server.verify && argc > 5) {
    server.core_path = argv[3];
    server.core_directory = server.core_path.substr(0, server.core_path.find_last_of(L'\\') + 1);
    server.command_line =
        std::wstring(L"VarneloCore.exe -d \"") + argv[4] + L"\" -f \"" + argv[5] + L"\"";
  }
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
