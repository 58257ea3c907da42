// Test client of the service pipe. Before it sends anything it checks that the server end is the
// service (a LocalSystem process, or the one running --service), as the product's client must.
//   pipe_client send <request> [--chunk N] [--hangup] [--delay MS] [--service PATH] [--repeat N]
//       Sends the request (escapes \n \r \0 \\ \xHH), writes the exact response bytes to stdout.
//       --hangup disconnects right after writing, without reading. --delay waits before connecting.
//       --service defaults to VarneloService.exe in the folder above this program's.
//       --repeat sends it N times, one connection each, and prints only "answered=K".
//   pipe_client client <app_path> <data_path> <config_path> [--debug] [--lines N] [--then
//   exit|hold|stop]
//       Acts like the real client: start_core, prints the response, reads N lines of core output
//       through the log_handle it was given, keeps the job_handle, then exits, holds until killed,
//       or sends stop_core. The service is <app_path>VarneloService.exe.
//   pipe_client arm <proxy> <readback> [--set-proxy] [--then exit|hold|clear] [--service PATH]
//       Acts like the client arming the proxy watchdog: with --set-proxy it first points the
//       user's proxy at <readback>, as the real client does; sends set_expected_proxy, prints the
//       response, then exits, holds until killed, or disarms with clear_watchdog.
//   pipe_client probe <ms>
//       Opens the pipe name in a tight loop for that long and prints how each attempt ended:
//       opened=N busy=N absent=N other=N.
//   pipe_client stall <clients> <ms> [--silent MS] [--ready]
//       That many clients side by side, each for <ms> in a loop: connect, stay silent (1500 ms),
//       send half a request, hang up. Prints connections=N. --ready first prints "stalling" once
//       every client holds its first connection, so a caller knows when the stall is in place.
//   pipe_client hand <pid>
//       Opens the pipe, gives the handle to process <pid>, prints handle=N and pid=<own> and exits.
// Exit code: 0 on an answer, 2 when the service could not be reached, 3 when the server end of the
// pipe is not the service.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "common/platform.h"
#include "common/utf8.h"
#include "tools/service_client.h"

namespace {

using varnelo::UniqueHandle;

void WriteStdout(const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

const wchar_t* Option(int argc, wchar_t** argv, const wchar_t* name) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], name) == 0) return argv[i + 1];
  }
  return nullptr;
}

bool Flag(int argc, wchar_t** argv, const wchar_t* name) {
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], name) == 0) return true;
  }
  return false;
}

constexpr int kExitUnreachable = 2;
constexpr int kExitNotTheService = 3;
constexpr DWORD kConnectTimeoutMs = 10000;

// Connects and makes sure the service answers, not some other process holding an instance of its
// name. `exit_code` says why there is no pipe.
UniqueHandle ConnectToTheService(const std::wstring& service_image, int* exit_code) {
  UniqueHandle pipe = varnelo::ConnectToService(kConnectTimeoutMs);
  if (!pipe) {
    *exit_code = kExitUnreachable;
    return pipe;
  }
  std::string why;
  if (!varnelo::ServerIsService(pipe.get(), service_image, &why)) {
    std::fprintf(stderr, "server end of the pipe is not the service: %s\n", why.c_str());
    *exit_code = kExitNotTheService;
    return UniqueHandle();
  }
  return pipe;
}

int Exchange(const std::wstring& service_image, const std::string& request, std::string* response) {
  int exit_code = 0;
  const UniqueHandle pipe = ConnectToTheService(service_image, &exit_code);
  if (!pipe) return exit_code;
  varnelo::SendRequestBytes(pipe.get(), request, 0);
  *response = varnelo::ReadUntilDisconnect(pipe.get());
  return 0;
}

// --service, or VarneloService.exe in the folder above this program's (the build's layout).
std::wstring ServiceImage(int argc, wchar_t** argv) {
  if (const wchar_t* service = Option(argc, argv, L"--service")) return service;
  const std::wstring own_dir = varnelo::DirectoryWithSeparator(varnelo::GetOwnModulePath());
  return varnelo::DirectoryWithSeparator(own_dir.substr(0, own_dir.size() - 1)) +
         L"VarneloService.exe";
}

int Send(int argc, wchar_t** argv) {
  const std::string request = varnelo::UnescapeArgument(argv[2]);
  const wchar_t* chunk = Option(argc, argv, L"--chunk");
  const wchar_t* delay = Option(argc, argv, L"--delay");
  if (delay) ::Sleep(std::wcstoul(delay, nullptr, 10));
  const std::wstring service_image = ServiceImage(argc, argv);
  const wchar_t* repeat = Option(argc, argv, L"--repeat");
  const unsigned long times = repeat ? std::wcstoul(repeat, nullptr, 10) : 1;
  unsigned long answered = 0;
  for (unsigned long i = 0; i < times; ++i) {
    int exit_code = 0;
    const UniqueHandle pipe = ConnectToTheService(service_image, &exit_code);
    if (!pipe) return exit_code;
    varnelo::SendRequestBytes(pipe.get(), request, chunk ? std::wcstoul(chunk, nullptr, 10) : 0);
    if (Flag(argc, argv, L"--hangup")) continue;
    const std::string response = varnelo::ReadUntilDisconnect(pipe.get());
    if (!repeat) WriteStdout(response);
    answered += response.size() >= 2 && response.compare(response.size() - 2, 2, "\n\n") == 0;
  }
  if (repeat) WriteStdout("answered=" + std::to_string(answered) + "\n");
  return 0;
}

int Probe(const wchar_t* milliseconds) {
  const ULONGLONG deadline = ::GetTickCount64() + std::wcstoul(milliseconds, nullptr, 10);
  unsigned long opened = 0, busy = 0, absent = 0, other = 0;
  while (::GetTickCount64() < deadline) {
    const UniqueHandle pipe(::CreateFileW(L"\\\\.\\pipe\\VarneloService",
                                          GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          0, nullptr));
    const DWORD error = ::GetLastError();
    if (pipe) {
      ++opened;
    } else if (error == ERROR_PIPE_BUSY) {
      ++busy;
    } else if (error == ERROR_FILE_NOT_FOUND) {
      ++absent;
    } else {
      ++other;
    }
  }
  std::printf("opened=%lu busy=%lu absent=%lu other=%lu\n", opened, busy, absent, other);
  return 0;
}

// Opens the service's pipe without any check of the server (a hostile client's way), waiting
// while every instance is busy; empty when the time is up.
UniqueHandle OpenPipeRaw(ULONGLONG deadline) {
  while (::GetTickCount64() < deadline) {
    UniqueHandle pipe(::CreateFileW(L"\\\\.\\pipe\\VarneloService", GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    if (::GetLastError() == ERROR_PIPE_BUSY) {
      ::WaitNamedPipeW(L"\\\\.\\pipe\\VarneloService", 100);
    } else {
      ::Sleep(1);
    }
  }
  return UniqueHandle();
}

struct Staller {
  ULONGLONG deadline;
  DWORD silent_ms;
  long connections = 0;
  long holding = 0;  // clients that have made their first connection
};

DWORD WINAPI StallLoop(void* param) {
  Staller* staller = static_cast<Staller*>(param);
  bool first = true;
  while (::GetTickCount64() < staller->deadline) {
    const UniqueHandle pipe = OpenPipeRaw(staller->deadline);
    if (!pipe) break;
    ::InterlockedIncrement(&staller->connections);
    if (first) ::InterlockedIncrement(&staller->holding);
    first = false;
    ::Sleep(staller->silent_ms);
    varnelo::SendRequestBytes(pipe.get(), "cmd=ping\n", 0);
  }
  return 0;
}

int Stall(int argc, wchar_t** argv) {
  const unsigned long clients = std::wcstoul(argv[2], nullptr, 10);
  const wchar_t* silent = Option(argc, argv, L"--silent");
  Staller staller = {::GetTickCount64() + std::wcstoul(argv[3], nullptr, 10),
                     silent ? std::wcstoul(silent, nullptr, 10) : 1500};
  std::vector<UniqueHandle> threads;
  for (unsigned long i = 0; i < clients; ++i) {
    threads.emplace_back(::CreateThread(nullptr, 0, StallLoop, &staller, 0, nullptr));
  }
  if (Flag(argc, argv, L"--ready")) {
    while (::InterlockedCompareExchange(&staller.holding, 0, 0) < static_cast<long>(clients) &&
           ::GetTickCount64() < staller.deadline) {
      ::Sleep(1);
    }
    if (::InterlockedCompareExchange(&staller.holding, 0, 0) == static_cast<long>(clients)) {
      WriteStdout("stalling\n");
    }
  }
  for (const UniqueHandle& thread : threads) ::WaitForSingleObject(thread.get(), INFINITE);
  std::printf("connections=%ld\n", staller.connections);
  return 0;
}

// Opens a connection and hands it to another process, then ends: the connection outlives the
// process that opened it.
int Hand(const wchar_t* pid) {
  const UniqueHandle pipe = OpenPipeRaw(::GetTickCount64() + kConnectTimeoutMs);
  const UniqueHandle target(
      ::OpenProcess(PROCESS_DUP_HANDLE, FALSE, std::wcstoul(pid, nullptr, 10)));
  HANDLE given = nullptr;
  if (!pipe || !target ||
      !::DuplicateHandle(::GetCurrentProcess(), pipe.get(), target.get(), &given, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return kExitUnreachable;
  }
  std::printf("handle=%llu\npid=%lu\n",
              static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(given)),
              ::GetCurrentProcessId());
  return 0;
}

std::string Utf8(const wchar_t* text) { return varnelo::WideToUtf8(text); }

// Reads whole lines from the core's output pipe and echoes them with a prefix.
void EchoCoreLines(HANDLE output, int lines) {
  std::string pending;
  char buffer[512];
  while (lines > 0) {
    DWORD got = 0;
    if (!::ReadFile(output, buffer, sizeof(buffer), &got, nullptr) || got == 0) {
      WriteStdout("core output closed\n");
      return;
    }
    pending.append(buffer, got);
    size_t eol;
    while (lines > 0 && (eol = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, eol);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      WriteStdout("core: " + line + "\n");
      pending.erase(0, eol + 1);
      --lines;
    }
  }
}

int Client(int argc, wchar_t** argv) {
  std::string request = "cmd=start_core\napp_path=" + Utf8(argv[2]) +
                        "\ndata_path=" + Utf8(argv[3]) + "\nconfig_path=" + Utf8(argv[4]) + "\n";
  if (Flag(argc, argv, L"--debug")) request += "debug=1\n";
  request += "\n";
  const std::wstring service_image = std::wstring(argv[2]) + L"VarneloService.exe";
  std::string response;
  if (const int exit_code = Exchange(service_image, request, &response)) return exit_code;
  WriteStdout(response);

  // The handles were duplicated into this process by the service; we own them now.
  const std::string log = varnelo::ResponseValue(response, "log_handle");
  const std::string job = varnelo::ResponseValue(response, "job_handle");
  const UniqueHandle output(
      log.empty() ? nullptr : reinterpret_cast<HANDLE>(std::strtoull(log.c_str(), nullptr, 10)));
  const UniqueHandle job_handle(
      job.empty() ? nullptr : reinterpret_cast<HANDLE>(std::strtoull(job.c_str(), nullptr, 10)));

  const wchar_t* lines = Option(argc, argv, L"--lines");
  if (output && lines)
    EchoCoreLines(output.get(), static_cast<int>(std::wcstol(lines, nullptr, 10)));

  const wchar_t* then = Option(argc, argv, L"--then");
  if (then && std::wcscmp(then, L"hold") == 0) {
    WriteStdout("holding\n");
    ::Sleep(INFINITE);
  }
  if (then && std::wcscmp(then, L"stop") == 0) {
    if (const int exit_code = Exchange(service_image, "cmd=stop_core\n\n", &response))
      return exit_code;
    WriteStdout(response);
  }
  return 0;
}

bool PointUserProxyAt(const std::wstring& server) {
  varnelo::UniqueRegKey settings;
  if (::RegCreateKeyExW(
          HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
          nullptr, 0, KEY_SET_VALUE, nullptr, settings.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD enable = 1;
  const wchar_t bypass[] = L"<local>";
  return ::RegSetValueExW(settings.get(), L"ProxyEnable", 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&enable),
                          sizeof(enable)) == ERROR_SUCCESS &&
         ::RegSetValueExW(settings.get(), L"ProxyServer", 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(server.c_str()),
                          static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t))) ==
             ERROR_SUCCESS &&
         ::RegSetValueExW(settings.get(), L"ProxyOverride", 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(bypass), sizeof(bypass)) == ERROR_SUCCESS;
}

int Arm(int argc, wchar_t** argv) {
  if (Flag(argc, argv, L"--set-proxy")) {
    if (!PointUserProxyAt(argv[3])) {
      WriteStdout("could not set the user's proxy\n");
      return 1;
    }
    WriteStdout("user proxy set to " + Utf8(argv[3]) + "\n");
  }
  std::string response;
  const std::string request =
      "cmd=set_expected_proxy\nproxy=" + Utf8(argv[2]) + "\nreadback=" + Utf8(argv[3]) + "\n\n";
  const std::wstring service_image = ServiceImage(argc, argv);
  if (const int exit_code = Exchange(service_image, request, &response)) return exit_code;
  WriteStdout(response);

  const wchar_t* then = Option(argc, argv, L"--then");
  if (then && std::wcscmp(then, L"hold") == 0) {
    WriteStdout("holding\n");
    ::Sleep(INFINITE);
  }
  if (then && std::wcscmp(then, L"clear") == 0) {
    if (const int exit_code = Exchange(service_image, "cmd=clear_watchdog\n\n", &response))
      return exit_code;
    WriteStdout(response);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc >= 3 && std::wcscmp(argv[1], L"send") == 0) return Send(argc, argv);
  if (argc >= 5 && std::wcscmp(argv[1], L"client") == 0) return Client(argc, argv);
  if (argc >= 4 && std::wcscmp(argv[1], L"arm") == 0) return Arm(argc, argv);
  if (argc >= 3 && std::wcscmp(argv[1], L"probe") == 0) return Probe(argv[2]);
  if (argc >= 4 && std::wcscmp(argv[1], L"stall") == 0) return Stall(argc, argv);
  if (argc >= 3 && std::wcscmp(argv[1], L"hand") == 0) return Hand(argv[2]);
  std::fwprintf(stderr,
                L"usage: pipe_client send <request> [--chunk N] [--hangup] [--delay MS]"
                L" [--service PATH] [--repeat N]\n"
                L"       pipe_client client <app> <data> <config> [--debug] [--lines N]"
                L" [--then exit|hold|stop]\n"
                L"       pipe_client arm <proxy> <readback> [--set-proxy]"
                L" [--then exit|hold|clear] [--service PATH]\n"
                L"       pipe_client probe <ms>\n"
                L"       pipe_client stall <clients> <ms> [--silent MS] [--ready]\n"
                L"       pipe_client hand <pid>\n");
  return 1;
}
