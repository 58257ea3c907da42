// The whole benchmark in one process, which is also the one caller every pipe server checks:
// the console service, a bare echo server and an echo server that checks its callers. Each round
// takes one sample of every row, so a noisy moment on a shared machine touches all rows alike,
// and starts one step further on than the last; the slow rows (the service control manager, the uninstaller window) take one every few rounds.
// Then the service's working set and handles, idle and after 10,000 requests and 1,000 dropped
// connections, and the sizes of the shipped programs. Prints one Markdown table.
//   bench_driver [rounds] [requests] [--size label=path]...
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "common/platform.h"
#include "common/unique_resource.h"
#include "tests/win/harness.h"
#include "tools/service_client.h"

namespace varnelo {
namespace bench {
namespace {

using test::BinDir;
using test::Child;
using test::Environment;
using test::TempDir;

constexpr wchar_t kServicePipe[] = L"\\\\.\\pipe\\VarneloService";
constexpr wchar_t kEchoPipe[] = L"\\\\.\\pipe\\VarneloBenchEcho";
constexpr wchar_t kVerifyPipe[] = L"\\\\.\\pipe\\VarneloBenchVerify";
constexpr wchar_t kServiceName[] = L"VarneloService";
constexpr wchar_t kUninstallClass[] = L"CMainWnd";
constexpr wchar_t kUninstallTitle[] = L"Varnelo Uninstall Window";
constexpr int kScmEvery = 25;        // a stop waits about 5 s for the pipe thread
constexpr int kUninstallEvery = 5;
constexpr int kLogLinesPerRound = 20;
// Under Wine a process goes on starting for a while after its first output, and an ended one is
// torn down after its handle is signalled; on two cores either competes with whatever is timed
// next. So a core is stopped once it has run this long (as a client's core has when the user
// disconnects; one row shows the stop of a core that is still starting), and the next row waits
// this long after a process has ended.
constexpr DWORD kSettleMs = 50;
constexpr int kDroppedConnections = 1000;
constexpr DWORD kTimeoutMs = 20000;

[[noreturn]] void Fail(const std::string& what) {
  std::printf("benchmark failed: %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

// The same client for every server: retries over busy, absent and failed waits, as the
// product's client does.
UniqueHandle Connect(const wchar_t* pipeName) {
  const ULONGLONG deadline = ::GetTickCount64() + kTimeoutMs;
  for (;;) {
    UniqueHandle pipe(::CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    if (::GetTickCount64() >= deadline) Fail("no connection to " + test::Narrow(pipeName));
    if (::GetLastError() == ERROR_PIPE_BUSY) ::WaitNamedPipeW(pipeName, 100);
    ::Sleep(1);
  }
}

std::string Exchange(const wchar_t* pipeName, const std::string& request) {
  const UniqueHandle pipe = Connect(pipeName);
  SendRequestBytes(pipe.get(), request, 0);
  return ReadUntilDisconnect(pipe.get());
}

// A whole round trip; the answer must hold `expect`.
double TimeExchange(const wchar_t* pipeName, const std::string& request, const char* expect) {
  const double start = Now();
  const std::string response = Exchange(pipeName, request);
  const double elapsed = Now() - start;
  if (response.find(expect) == std::string::npos) {
    Fail("'" + request.substr(0, request.find('\n')) + "' answered '" + response + "'");
  }
  return elapsed;
}

HANDLE AsHandle(const std::string& value) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::strtoull(value.c_str(), nullptr, 10)));
}

// A started core as its client holds it: the read end of its output and its job.
struct StartedCore {
  double answerMs = 0;
  double firstByteMs = 0;
  UniqueHandle output;
  UniqueHandle job;
};

StartedCore StartCore(const wchar_t* pipeName, const std::string& request) {
  StartedCore core;
  const double start = Now();
  const std::string response = Exchange(pipeName, request);
  core.answerMs = Now() - start;
  if (ResponseValue(response, "ok") != "1") Fail("start answered '" + response + "'");
  core.output.reset(AsHandle(ResponseValue(response, "log_handle")));
  core.job.reset(AsHandle(ResponseValue(response, "job_handle")));
  char byte = 0;
  DWORD got = 0;
  if (!core.output || !::ReadFile(core.output.get(), &byte, 1, &got, nullptr) || got != 1) {
    Fail("no output from the core");
  }
  core.firstByteMs = Now() - start;
  return core;
}

// Handles of one process, counted in the system's handle table (GetProcessHandleCount and
// ProcessHandleCount give 0 under Wine).
long CountHandles(DWORD pid) {
  struct Entry {
    void* object;
    ULONG_PTR pid;
    ULONG_PTR value;
    ULONG access;
    USHORT backTrace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
  };
  struct Table {
    ULONG_PTR count;
    ULONG_PTR reserved;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  const Query query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    ULONG needed = 0;
    const LONG status = query(kSystemExtendedHandleInformation, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 65536));
      continue;
    }
    if (status < 0) return -1;
    break;
  }
  const Table* table = reinterpret_cast<const Table*>(buffer.data());
  long count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i) count += table->entries[i].pid == pid ? 1 : 0;
  return count;
}

// Wine reports the resident set of the process's Unix side here (private bytes it gives as 0).
double WorkingSetKb(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!::K32GetProcessMemoryInfo(process, &counters, sizeof(counters))) return -1;
  return static_cast<double>(counters.WorkingSetSize) / 1024.0;
}

// One row of the table: its samples, and the row its median is compared with.
struct Row {
  std::string label;
  std::string shortName;  // how a ratio names this row
  std::vector<double> samples;
  std::string basis;      // key of the row it is a ratio of; empty for none
  double maxRatio = 0;    // the target, 0 for none
  std::string unit = "ms";
};

class Table {
 public:
  void Define(const std::string& key, const std::string& label, const std::string& shortName,
              const std::string& basis = "", double maxRatio = 0) {
    order_.push_back(key);
    rows_[key] = Row{label, shortName, {}, basis, maxRatio};
  }
  void Add(const std::string& key, double value) { rows_.at(key).samples.push_back(value); }
  void AddFact(const std::string& label, const std::string& value, const std::string& target,
               const std::string& met) {
    facts_.push_back({label, value, target, met});
  }
  static double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  }
  static double P95(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return 0;
    const size_t at = static_cast<size_t>(std::ceil(0.95 * static_cast<double>(v.size()))) - 1;
    return v[std::min(at, v.size() - 1)];
  }
  double MedianOf(const std::string& key) const { return Median(rows_.at(key).samples); }

  void Print() const {
    std::printf("| row | median | p95 | n | ratio | target | met |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const std::string& key : order_) {
      const Row& row = rows_.at(key);
      const double median = Median(row.samples);
      std::string ratio, target, met;
      if (!row.basis.empty()) {
        const double r = median / MedianOf(row.basis);
        ratio = Format("%.2f x %s", r, rows_.at(row.basis).shortName.c_str());
        if (row.maxRatio > 0) {
          target = Format("<= %.1f x", row.maxRatio);
          met = r <= row.maxRatio ? "yes" : "**no**";
        }
      }
      std::printf("| %s | %.2f ms | %.2f ms | %zu | %s | %s | %s |\n", row.label.c_str(), median,
                  P95(row.samples), row.samples.size(), ratio.c_str(), target.c_str(),
                  met.c_str());
    }
    for (const Fact& fact : facts_) {
      std::printf("| %s | %s | | | | %s | %s |\n", fact.label.c_str(), fact.value.c_str(),
                  fact.target.c_str(), fact.met.c_str());
    }
  }

  static std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
  }

 private:
  struct Fact {
    std::string label, value, target, met;
  };
  std::vector<std::string> order_;
  std::map<std::string, Row> rows_;
  std::vector<Fact> facts_;
};

// The service registered with the service control manager for the start and stop rows.
class RegisteredService {
 public:
  explicit RegisteredService(const std::wstring& exe) {
    manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager_) Fail("OpenSCManager failed");
    const std::wstring command = QuoteArgument(exe);
    service_.reset(::CreateServiceW(manager_.get(), kServiceName, kServiceName,
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service_) Fail(Table::Format("CreateService failed err=%lu", ::GetLastError()));
  }
  ~RegisteredService() { ::DeleteService(service_.get()); }

  // Milliseconds from StartService to RUNNING, and from the stop control to STOPPED.
  void StartAndStop(double* startMs, double* stopMs) {
    double start = Now();
    if (!::StartServiceW(service_.get(), 0, nullptr)) {
      Fail(Table::Format("StartService failed err=%lu", ::GetLastError()));
    }
    const SERVICE_STATUS_PROCESS running = WaitFor(SERVICE_RUNNING);
    *startMs = Now() - start;
    const UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId));
    SERVICE_STATUS status = {};
    start = Now();
    ::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
    WaitFor(SERVICE_STOPPED);
    *stopMs = Now() - start;
    if (process) ::WaitForSingleObject(process.get(), kTimeoutMs);  // before the next start
  }

 private:
  SERVICE_STATUS_PROCESS WaitFor(DWORD state) {
    const ULONGLONG deadline = ::GetTickCount64() + kTimeoutMs;
    SERVICE_STATUS_PROCESS status = {};
    for (;;) {
      DWORD needed = 0;
      if (!::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
        Fail("QueryServiceStatusEx failed");
      }
      if (status.dwCurrentState == state) return status;
      if (::GetTickCount64() >= deadline) Fail(Table::Format("service never reached state %lu", state));
      ::Sleep(1);
    }
  }

  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
};

BOOL CALLBACK FindDialogOf(HWND hwnd, LPARAM param) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  auto* search = reinterpret_cast<std::pair<DWORD, HWND>*>(param);
  wchar_t className[16] = {};
  ::GetClassNameW(hwnd, className, 16);
  if (pid == search->first && std::wstring(className) == L"#32770") {
    search->second = hwnd;
    return FALSE;
  }
  return TRUE;
}

// uninstall.exe started from %TEMP% (where it runs in place) until its window shows; then its
// confirmation is cancelled, which ends it without removing anything.
double TimeUninstallWindow(const std::wstring& program) {
  TempDir temp;
  const std::wstring copy = temp.path() + L"uninstall.exe";
  if (!::CopyFileW(program.c_str(), copy.c_str(), FALSE)) Fail("cannot copy uninstall.exe");
  const std::wstring tempValue = temp.path().substr(0, temp.path().size() - 1);
  const double start = Now();
  Child child(QuoteArgument(copy), Environment{{L"TEMP", tempValue}, {L"TMP", tempValue}});
  if (!child.started()) Fail("uninstall.exe did not start");
  HWND window = nullptr;
  const ULONGLONG deadline = ::GetTickCount64() + kTimeoutMs;
  while ((window = ::FindWindowW(kUninstallClass, kUninstallTitle)) == nullptr ||
         !::IsWindowVisible(window)) {
    if (::GetTickCount64() >= deadline) Fail("the uninstaller showed no window");
    ::Sleep(1);
  }
  const double elapsed = Now() - start;
  std::pair<DWORD, HWND> dialog(child.pid(), nullptr);
  test::WaitUntil(kTimeoutMs, [&] {
    ::EnumWindows(FindDialogOf, reinterpret_cast<LPARAM>(&dialog));
    return dialog.second != nullptr;
  });
  if (dialog.second != nullptr) {
    ::PostMessageW(dialog.second, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog.second, IDCANCEL)));
  }
  if (child.Wait(kTimeoutMs) == STILL_ACTIVE) child.Kill();
  return elapsed;
}

std::string ReadLine(const std::string& output, const std::string& key) {
  const size_t at = output.find(key + "=");
  return at == std::string::npos ? "" : output.substr(at + key.size() + 1, output.find_first_of(" \r\n", at) - at - key.size() - 1);
}

std::string FileSizeText(const std::wstring& path, ULONGLONG* bytes) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return "missing";
  *bytes = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return Table::Format("%.0f KB", static_cast<double>(*bytes) / 1024.0);
}

int Run(int rounds, int requests, const std::vector<std::pair<std::string, std::wstring>>& sizes) {
  const std::wstring bin = BinDir();
  const std::wstring release = bin + L"release\\";
  TempDir data, logData;
  const std::wstring coreData = data.path() + L"core-data";
  const std::wstring coreConfig = data.path() + L"core-config";
  Child echo(QuoteArgument(bin + L"bench_echo_server.exe") + L" " + kEchoPipe + L" bare");
  Child verify(QuoteArgument(bin + L"bench_echo_server.exe") + L" " + kVerifyPipe + L" verify " +
               QuoteArgument(release + L"VarneloCore.exe") + L" " + QuoteArgument(coreData) + L" " +
               QuoteArgument(coreConfig));
  test::ConsoleService service(release + L"VarneloService.exe");
  if (!echo.started() || !verify.started() || !service.ready()) Fail("a server did not start");
  RegisteredService registered(release + L"VarneloService.exe");
  const std::string startCore = "cmd=start_core\napp_path=" + test::Narrow(release) +
                                "\ndata_path=" + test::Narrow(coreData) +
                                "\nconfig_path=" + test::Narrow(coreConfig) + "\n\n";
  const std::string arm =
      "cmd=set_expected_proxy\nproxy=127.0.0.1:11719\nreadback=127.0.0.1:11719\n\n";
  const std::wstring logCommand = QuoteArgument(bin + L"bench_log.exe") + L" " +
                                 std::to_wstring(kLogLinesPerRound);
  const Environment logEnvironment{
      {L"ProgramData", logData.path().substr(0, logData.path().size() - 1)}};

  Table table;
  table.Define("echo", "bare pipe echo", "echo");
  table.Define("verify", "echo + caller verification", "verified echo", "echo");
  table.Define("a1", "service `a=1` (answered before any caller check)", "", "echo");
  table.Define("ping", "service `ping`", "", "verify", 1.1);
  table.Define("status", "service `status`", "", "verify");
  table.Define("arm", "service `set_expected_proxy`", "", "verify");
  table.Define("disarm", "service `clear_watchdog`", "", "verify");
  table.Define("launch", "baseline: caller check + core check + bare launch in a job, to the answer",
               "bare launch");
  table.Define("launchByte", "baseline: the same, to the core's first byte", "bare launch");
  table.Define("start", "service `start_core`, to the answer", "", "launch");
  table.Define("startByte", "service `start_core`, to the core's first byte", "", "launchByte", 1.1);
  table.Define("kill", "baseline: caller check + terminate and wait", "bare terminate");
  table.Define("killInside", "of which terminate and wait, timed inside the server", "",
               "kill");
  table.Define("stop", "service `stop_core`", "", "kill", 1.2);
  table.Define("killFresh", "baseline: caller check + terminate and wait, right after the core's first byte",
               "fresh bare terminate", "kill");
  table.Define("killFreshInside", "of which terminate and wait, timed inside the server", "",
               "killFresh");
  table.Define("stopFresh", "service `stop_core` right after the core's first byte", "", "killFresh");
  table.Define("bare", "bare open-append-close line, same folder", "bare append");
  table.Define("log", "`ServiceLog` line", "ServiceLog line", "bare", 1.5);
  table.Define("rotate", "`ServiceLog` line that rotates the log", "", "log");
  table.Define("scmStart", "service start to RUNNING (service control manager)", "");
  table.Define("scmStop", "service stop to STOPPED (service control manager)", "");
  table.Define("uninstall", "`uninstall.exe` (x86_64 build) launch from %TEMP% to window visible", "");

  // Warm-up: every kind of request once, so that one-time loads are not in the idle figures.
  long sentToService = 0;
  TimeExchange(kEchoPipe, "a=1\n\n", "a=1");
  TimeExchange(kVerifyPipe, "a=1\n\n", "a=1");
  for (const char* request : {"a=1\n\n", "cmd=ping\n\n", "cmd=status\n\n", arm.c_str(),
                              "cmd=clear_watchdog\n\n", "cmd=stop_core\n\n"}) {
    Exchange(kServicePipe, request);
    ++sentToService;
  }
  { StartedCore warm = StartCore(kServicePipe, startCore); }
  TimeExchange(kServicePipe, "cmd=stop_core\n\n", "ok=1");
  sentToService += 2;
  ::Sleep(500);
  const UniqueHandle serviceProcess(::OpenProcess(
      PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, service.process().pid()));
  const double idleWorkingSet = WorkingSetKb(serviceProcess.get());
  const long idleHandles = CountHandles(service.process().pid());

  // One step per row or group of rows that belong together; each round starts one step further
  // on, so that no row always follows the same one.
  const std::vector<std::function<void(int)>> steps = {
      [&](int) { table.Add("echo", TimeExchange(kEchoPipe, "cmd=ping\n\n", "cmd=ping")); },
      [&](int) { table.Add("verify", TimeExchange(kVerifyPipe, "cmd=ping\n\n", "cmd=ping")); },
      [&](int) { table.Add("a1", TimeExchange(kServicePipe, "a=1\n\n", "missing cmd")); },
      [&](int) { table.Add("ping", TimeExchange(kServicePipe, "cmd=ping\n\n", "pong=1")); },
      [&](int) { table.Add("status", TimeExchange(kServicePipe, "cmd=status\n\n", "running=0")); },
      [&](int) {
        table.Add("arm", TimeExchange(kServicePipe, arm, "ok=1"));
        table.Add("disarm", TimeExchange(kServicePipe, "cmd=clear_watchdog\n\n", "ok=1"));
      },
      [&](int) {
        StartedCore core = StartCore(kVerifyPipe, "cmd=launch\n\n");
        table.Add("launch", core.answerMs);
        table.Add("launchByte", core.firstByteMs);
        ::Sleep(kSettleMs);
        const double start = Now();
        const std::string answer = Exchange(kVerifyPipe, "cmd=terminate\n\n");
        table.Add("kill", Now() - start);
        if (ResponseValue(answer, "was_running") != "1") Fail("terminate answered " + answer);
        table.Add("killInside", std::atof(ResponseValue(answer, "wait_ms").c_str()));
        ::Sleep(kSettleMs);
      },
      [&](int) {
        StartedCore core = StartCore(kServicePipe, startCore);
        table.Add("start", core.answerMs);
        table.Add("startByte", core.firstByteMs);
        ::Sleep(kSettleMs);
        table.Add("stop", TimeExchange(kServicePipe, "cmd=stop_core\n\n", "was_running=1"));
        ::Sleep(kSettleMs);
      },
      [&](int) {
        StartedCore core = StartCore(kVerifyPipe, "cmd=launch\n\n");
        const double start = Now();
        const std::string answer = Exchange(kVerifyPipe, "cmd=terminate\n\n");
        table.Add("killFresh", Now() - start);
        if (ResponseValue(answer, "was_running") != "1") Fail("terminate answered " + answer);
        table.Add("killFreshInside", std::atof(ResponseValue(answer, "wait_ms").c_str()));
        ::Sleep(kSettleMs);
      },
      [&](int) {
        StartedCore core = StartCore(kServicePipe, startCore);
        table.Add("stopFresh", TimeExchange(kServicePipe, "cmd=stop_core\n\n", "was_running=1"));
        ::Sleep(kSettleMs);
      },
      [&](int) {
        const test::RunResult log = test::RunToEnd(logCommand, kTimeoutMs, logEnvironment);
        if (log.exitCode != 0) Fail("bench_log: " + log.output);
        table.Add("log", std::atof(ReadLine(log.output, "service_ms").c_str()));
        table.Add("bare", std::atof(ReadLine(log.output, "bare_ms").c_str()));
        table.Add("rotate", std::atof(ReadLine(log.output, "rotate_ms").c_str()));
        ::Sleep(kSettleMs);
      },
      [&](int round) {
        if (round % kScmEvery != 0) return;
        double startMs = 0, stopMs = 0;
        registered.StartAndStop(&startMs, &stopMs);
        table.Add("scmStart", startMs);
        table.Add("scmStop", stopMs);
        ::Sleep(kSettleMs);
      },
      [&](int round) {
        if (round % kUninstallEvery != 0) return;
        table.Add("uninstall", TimeUninstallWindow(bin + L"uninstall.exe"));
        ::Sleep(kSettleMs);
      },
  };
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = 0; i < steps.size(); ++i) steps[(round + i) % steps.size()](round);
    sentToService += 9;
  }

  // Up to the request count with the cheap and the checked requests in turn, then connections
  // that drop before their request is complete.
  const char* const mix[] = {"a=1\n\n", "cmd=ping\n\n", "cmd=status\n\n", "cmd=clear_watchdog\n\n"};
  for (long i = 0; sentToService < requests; ++i, ++sentToService) Exchange(kServicePipe, mix[i % 4]);
  for (int i = 0; i < kDroppedConnections; ++i) {
    const UniqueHandle pipe = Connect(kServicePipe);
    if (i % 2 == 1) SendRequestBytes(pipe.get(), "cmd=pi", 0);
  }
  TimeExchange(kServicePipe, "cmd=ping\n\n", "pong=1");  // the service is still serving
  ::Sleep(500);
  const double afterWorkingSet = WorkingSetKb(serviceProcess.get());
  const long afterHandles = CountHandles(service.process().pid());

  const bool handlesKept = afterHandles <= idleHandles;
  Table& facts = table;
  const std::string after = Table::Format("after %d requests and %d dropped connections",
                                          requests, kDroppedConnections);
  facts.AddFact("service working set, idle", Table::Format("%.0f KB", idleWorkingSet), "", "");
  facts.AddFact("service working set " + after,
                Table::Format("%.0f KB (%+.0f KB)", afterWorkingSet,
                              afterWorkingSet - idleWorkingSet),
                "no growth (2 % slack)", afterWorkingSet <= idleWorkingSet * 1.02 ? "yes" : "**no**");
  facts.AddFact("service handles, idle", std::to_string(idleHandles), "", "");
  facts.AddFact("service handles " + after,
                Table::Format("%ld (%+ld)", afterHandles, afterHandles - idleHandles), "no growth",
                handlesKept ? "yes" : "**no**");
  for (const auto& size : sizes) {
    ULONGLONG bytes = 0;
    const std::string text = FileSizeText(size.second, &bytes);
    const size_t limitAt = size.first.find('<');
    std::string label = size.first, target, met;
    if (limitAt != std::string::npos) {
      label = size.first.substr(0, limitAt);
      const double limitKb = std::atof(size.first.c_str() + limitAt + 1);
      target = Table::Format("<= %.0f KB", limitKb);
      met = bytes <= limitKb * 1024 ? "yes" : "**no**";
    }
    facts.AddFact("size of " + label, text, target, met);
  }
  table.Print();
  return 0;
}

}  // namespace
}  // namespace bench
}  // namespace varnelo

int wmain(int argc, wchar_t** argv) {
  int rounds = 250, requests = 10000;
  std::vector<std::pair<std::string, std::wstring>> sizes;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--size" && i + 1 < argc) {
      const std::wstring spec = argv[++i];
      const size_t eq = spec.find(L'=');
      sizes.emplace_back(varnelo::test::Narrow(spec.substr(0, eq)), spec.substr(eq + 1));
    } else if (positional++ == 0) {
      rounds = _wtoi(arg.c_str());
    } else {
      requests = _wtoi(arg.c_str());
    }
  }
  return varnelo::bench::Run(std::max(1, rounds), requests, sizes);
}
