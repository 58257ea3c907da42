// start_core and stop_core with real processes: the signed test client acting as the product's
// client, the stand-in core, kill-on-close jobs, refusals and the orphan clean-up.
#include <gtest/gtest.h>

#include <vector>

#include "common/platform.h"
#include "tests/win/harness.h"
#include "service/core_launch.h"
#include "tools/service_client.h"

namespace varnelo {
namespace test {
namespace {

constexpr DWORD kWaitMs = 20000;

std::string Value(const std::string& response, const std::string& key) { return ResponseValue(response, key); }

bool WaitForExit(DWORD pid, DWORD timeoutMs) {
  return WaitUntil(timeoutMs, [&] { return !IsProcessAlive(pid); });
}

class CoreLaunch : public ::testing::Test {
 protected:
  // A client like Varnelo.exe: start_core, read core output, keep the job, hold until killed.
  Child StartClient(const std::wstring& appDir, const std::wstring& extra = L"--lines 6") {
    const std::wstring line = Quote(BinDir() + L"clients\\pipe_client_publisher.exe") + L" client " +
                              Quote(appDir) + L" " + Quote(DataDir()) + L" " + Quote(ConfigPath()) + L" " +
                              extra + L" --then hold";
    Child client(line);
    client.WaitForOutput("holding", kWaitMs);
    return client;
  }
  std::wstring DataDir() const { return data_.path() + L"core-data\\"; }
  std::wstring ConfigPath() const { return data_.path() + L"core-config"; }
  std::string StartCoreRequest(const std::wstring& appDir) const {
    return "cmd=start_core\napp_path=" + Narrow(appDir) + "\ndata_path=" + Narrow(DataDir()) +
           "\nconfig_path=" + Narrow(ConfigPath()) + "\n\n";
  }

  TempDir data_;
};

TEST_F(CoreLaunch, ClientStartsReadsAndLosesItsCoreWithItsJob) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  const std::wstring bin = BinDir();
  Child client = StartClient(bin);
  const std::string& out = client.Output();
  ASSERT_EQ(Value(out, "ok"), "1") << out;
  EXPECT_FALSE(Value(out, "log_handle").empty());
  EXPECT_FALSE(Value(out, "job_handle").empty());
  EXPECT_EQ(Value(out, "capabilities"), "63");
  const std::string pid = Value(out, "pid");
  const DWORD corePid = std::stoul(pid);

  // The core's own report, read by the client through the handle it was given.
  EXPECT_NE(out.find("core: SKIP_SAFE_PATH_CHECK=1\n"), std::string::npos) << out;
  const std::wstring dataWithoutSlash = DataDir().substr(0, DataDir().size() - 1);
  EXPECT_NE(out.find("core: cmdline=VarneloCore.exe -d \"" + Narrow(dataWithoutSlash) + "\" -f \"" +
                     Narrow(ConfigPath()) + "\"\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("core: tick 1"), std::string::npos);

  const auto log = service.LogMessages();
  EXPECT_EQ(CountContaining(log, "start_core WARNING: core signature check failed but not enforced path=" +
                                     Narrow(bin) + "VarneloCore.exe reason=file signature is invalid or missing"),
            1u);
  EXPECT_EQ(CountContaining(log, "start_core OK pid=" + pid + " "), 1u);

  const std::string running = "capabilities=63\nok=1\npid=" + pid + "\nprotocol=2\nrunning=1\n\n";
  EXPECT_EQ(Exchange("cmd=status\n\n"), running);
  EXPECT_EQ(Exchange(StartCoreRequest(bin)),
            "error=VarneloCore already running, call stop_core first\nerror_code=2\nok=0\n\n");
  EXPECT_EQ(Value(Exchange(StartCoreRequest(bin + L"release\\")), "error_code"), "13");
  EXPECT_EQ(Exchange("cmd=status\n\n"), running) << "a refusal changed the tracked core";

  client.Kill();  // the job's last handle goes with the client
  EXPECT_TRUE(WaitForExit(corePid, 5000)) << "kill-on-close did not end the core";
  EXPECT_EQ(Exchange("cmd=status\n\n"), "capabilities=63\nok=1\nprotocol=2\nrunning=0\n\n");

  Child second = StartClient(bin);
  ASSERT_EQ(Value(second.Output(), "ok"), "1") << second.Output();
  EXPECT_NE(Value(second.Output(), "pid"), pid);
  second.Kill();
}

// 259 is STILL_ACTIVE: a core that ended with it has ended all the same.
TEST_F(CoreLaunch, CoreThatEndsByItselfIsStillStoppedOnce) {
  ASSERT_TRUE(WriteFileBytes(ConfigPath(), "exit_after=3\nexit_code=259\n"));
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  Child client = StartClient(BinDir(), L"--lines 0");
  const DWORD corePid = std::stoul(Value(client.Output(), "pid"));
  const UniqueHandle core(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, corePid));
  ASSERT_TRUE(core);
  ASSERT_EQ(::WaitForSingleObject(core.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD exitCode = 0;
  ASSERT_TRUE(::GetExitCodeProcess(core.get(), &exitCode));
  ASSERT_EQ(exitCode, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(Exchange("cmd=status\nextra=1\n\n"), "capabilities=63\nok=1\nprotocol=2\nrunning=0\n\n");
  EXPECT_EQ(Exchange("cmd=stop_core\ntimeout_ms=abc\n\n"), "capabilities=63\nok=1\nprotocol=2\nwas_running=1\n\n");
  EXPECT_EQ(Exchange("cmd=stop_core\n\n"), "capabilities=63\nok=1\nprotocol=2\nwas_running=0\n\n");
  EXPECT_EQ(CountContaining(service.LogMessages(), "stop_core OK (via=process)"), 1u);
  client.Kill();
}

// Handles of a process, from the system-wide table (Wine's GetProcessHandleCount says 0).
size_t CountHandlesOf(DWORD pid) {
  using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  struct Entry {
    void* object;
    ULONG_PTR pid;
    ULONG_PTR value;
    ULONG access;
    USHORT backTrace, type;
    ULONG attributes, reserved;
  };
  struct Table {
    ULONG_PTR count, reserved;
    Entry entries[1];
  };
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  std::vector<unsigned char> buffer(1 << 20);
  ULONG needed = 0;
  while (query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) < 0) {
    if (buffer.size() > (64u << 20)) return 0;
    buffer.resize(buffer.size() * 2);
  }
  const Table* table = reinterpret_cast<const Table*>(buffer.data());
  size_t count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i) count += table->entries[i].pid == pid;
  return count;
}

// Under -run the service holds inheritable handles of its own (its console and output pipe):
// the core must get only its output pipe, as a core started with just that handle does.
TEST_F(CoreLaunch, CoreInheritsOnlyItsOutputPipe) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  Child client = StartClient(BinDir(), L"--lines 3");
  const std::string out = client.Output();
  ASSERT_EQ(Value(out, "ok"), "1") << out;
  const DWORD corePid = std::stoul(Value(out, "pid"));

  UniqueHandle readEnd, writeEnd;
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  ASSERT_TRUE(::CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 65536));
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> attributes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  ASSERT_TRUE(::InitializeProcThreadAttributeList(list, 1, 0, &size));
  HANDLE only = writeEnd.get();
  ASSERT_TRUE(::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &only, sizeof(only), nullptr, nullptr));
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.StartupInfo.hStdOutput = startup.StartupInfo.hStdError = writeEnd.get();
  startup.lpAttributeList = list;
  std::wstring line = L"VarneloCore.exe -d " + Quote(DataDir()) + L" -f " + Quote(ConfigPath());
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(::CreateProcessW((BinDir() + L"VarneloCore.exe").c_str(), &line[0], nullptr, nullptr, TRUE,
                               CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, BinDir().c_str(),
                               &startup.StartupInfo, &info));
  ::DeleteProcThreadAttributeList(list);
  ProcessHandles reference{UniqueHandle(info.hProcess), UniqueHandle(info.hThread), info.dwProcessId};
  writeEnd.reset();
  std::string seen;
  char chunk[512];
  DWORD got = 0;
  while (seen.find("tick 2") == std::string::npos && ::ReadFile(readEnd.get(), chunk, sizeof(chunk), &got, nullptr)) {
    seen.append(chunk, got);
  }
  ::Sleep(300);  // both cores now sleep between ticks
  const size_t expected = CountHandlesOf(reference.pid);
  ASSERT_GT(expected, 0u);
  EXPECT_EQ(CountHandlesOf(corePid), expected);
  ::TerminateProcess(reference.process.get(), 0);
  client.Kill();
}

TEST_F(CoreLaunch, DebugModeGivesNoOutputHandle) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  Child client = StartClient(BinDir(), L"--debug");
  const std::string out = client.Output();
  ASSERT_EQ(Value(out, "ok"), "1") << out;
  EXPECT_TRUE(Value(out, "log_handle").empty());
  EXPECT_FALSE(Value(out, "job_handle").empty());
  EXPECT_EQ(Exchange("cmd=stop_core\ntimeout_ms=0\n\n"), "capabilities=63\nok=1\nprotocol=2\nwas_running=1\n\n");
  EXPECT_TRUE(WaitForExit(std::stoul(Value(out, "pid")), 5000));
}

TEST_F(CoreLaunch, RefusalsAnswerLogAndLeaveNothingTracked) {
  const std::wstring release = BinDir() + L"release\\";
  ConsoleService service(release + L"VarneloService.exe");
  ASSERT_TRUE(service.ready());
  struct Refusal {
    std::string request;
    std::string error;
    std::string code;
    std::string logLine;
  };
  const std::string app = Narrow(release), data = Narrow(DataDir()), config = Narrow(ConfigPath());
  // Paths that only look right: a short name, and a stream of the config file.
  const std::wstring longFolder = data_.path() + L"A Long Folder Name";
  ASSERT_TRUE(::CreateDirectoryW(longFolder.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(ConfigPath(), "x"));
  wchar_t shortFolder[MAX_PATH] = {};
  ASSERT_GT(::GetShortPathNameW(longFolder.c_str(), shortFolder, MAX_PATH), 0u);
  const Refusal refusals[] = {
      {"app_path=" + app + "\ndata_path=" + Narrow(shortFolder) + "\\\nconfig_path=" + config + "\n",
       "data_path rejected: final path differs", "12", "start_core: data_path rejected: final path differs"},
      {"app_path=" + app + "\ndata_path=" + data + "\nconfig_path=" + config + "::$DATA\n",
       "config_path rejected: final path differs", "12", "start_core: config_path rejected: final path differs"},
      {"app_path=" + app + "\ndata_path=" + data + "\n", "missing app_path / data_path / config_path", "1", ""},
      {"app_path=" + app + "\ndata_path=//host/share/\nconfig_path=" + config + "\n",
       "data_path rejected: UNC", "12", "start_core: data_path rejected: UNC"},
      {"app_path=" + app + "\ndata_path=" + data + "\nconfig_path=" + config + "\" -x \"y\n",
       "data_path / config_path rejected: invalid character", "12", "rejected: invalid character"},
      {"app_path=" + app.substr(0, app.size() - 1) + "\ndata_path=" + data + "\nconfig_path=" + config + "\n",
       "app_path must equal service install directory", "13", "start_core: app_path rejected: "},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.request);
    const std::string response = Exchange("cmd=start_core\n" + r.request + "\n");
    EXPECT_EQ(response, "error=" + r.error + "\nerror_code=" + r.code + "\nok=0\n\n");
    if (!r.logLine.empty()) {
      EXPECT_EQ(CountContaining(service.LogMessages(), r.logLine), 1u);
    }
  }
  EXPECT_EQ(Exchange("cmd=status\n\n"), "capabilities=127\nok=1\nprotocol=2\nrunning=0\n\n");

  // Case differences in the directory are accepted: this one is refused later, for the core file.
  service.Stop();
  ConsoleService noCore(BinDir() + L"no-core\\VarneloService.exe");
  ASSERT_TRUE(noCore.ready());
  EXPECT_EQ(Exchange(StartCoreRequest(BinDir() + L"NO-CORE\\")),
            "error=VarneloCore.exe not found at app_path\nerror_code=3\nok=0\n\n");
  EXPECT_EQ(CountContaining(noCore.LogMessages(), "start_core: missing " + Narrow(BinDir()) + "NO-CORE\\VarneloCore.exe"), 1u);
  noCore.Stop();

  ConsoleService unsignedCore(BinDir() + L"unsigned-core\\VarneloService.exe");
  ASSERT_TRUE(unsignedCore.ready());
  EXPECT_EQ(Exchange(StartCoreRequest(BinDir() + L"unsigned-core\\")),
            "error=VarneloCore.exe signature rejected\nerror_code=11\nok=0\n\n");
  EXPECT_EQ(CountContaining(unsignedCore.LogMessages(),
                            "start_core: core signature rejected path=" + Narrow(BinDir()) +
                                "unsigned-core\\VarneloCore.exe reason=file signature is invalid or missing"),
            1u);
  EXPECT_EQ(Exchange("cmd=status\n\n"), "capabilities=127\nok=1\nprotocol=2\nrunning=0\n\n");
}

// The test build of the service withholds PROCESS_DUP_HANDLE for the handles named in
// VARNELO_FAULT_DUP, so the real DuplicateHandle of both fails.
TEST_F(CoreLaunch, FailedHandOversStillStartTheCoreAndKeepTheJob) {
  const std::wstring faults = BinDir() + L"faults\\";
  ConsoleService service(faults + L"VarneloService.exe", L"", {{L"VARNELO_FAULT_DUP", L"log_handle,job_handle"}});
  ASSERT_TRUE(service.ready());
  Child client = StartClient(faults, L"--lines 1");
  const std::string out = client.Output();
  ASSERT_EQ(Value(out, "ok"), "1") << out;
  EXPECT_TRUE(Value(out, "log_handle").empty());
  EXPECT_TRUE(Value(out, "job_handle").empty());
  const DWORD corePid = std::stoul(Value(out, "pid"));
  const auto log = service.LogMessages();
  EXPECT_EQ(CountContaining(log, "DupHandleToCaller(log_handle): DuplicateHandle failed err="), 1u);
  EXPECT_EQ(CountContaining(log, "DupHandleToCaller(job_handle): DuplicateHandle failed err="), 1u);
  EXPECT_EQ(CountContaining(log, "start_core WARNING: dup job_handle failed -- service retains hJob as fallback"), 1u);

  client.Kill();  // the service's job handle keeps the core alive now
  ::Sleep(500);
  EXPECT_TRUE(IsProcessAlive(corePid));
  EXPECT_EQ(Exchange("cmd=stop_core\ntimeout_ms=-1\n\n"), "capabilities=127\nok=1\nprotocol=2\nwas_running=1\n\n");
  EXPECT_TRUE(WaitForExit(corePid, 5000));
  EXPECT_EQ(CountContaining(service.LogMessages(), "stop_core OK (via=job)"), 1u);
}

TEST(ScopedEnvVar, PutsBackWhatWasThereBefore) {
  ::SetEnvironmentVariableW(L"VARNELO_SCOPED_TEST", L"earlier");
  {
    const ScopedEnvVar scoped(L"VARNELO_SCOPED_TEST", L"1");
    bool present = false;
    EXPECT_EQ(ReadEnvironmentVariable(L"VARNELO_SCOPED_TEST", &present), L"1");
  }
  bool present = false;
  EXPECT_EQ(ReadEnvironmentVariable(L"VARNELO_SCOPED_TEST", &present), L"earlier");
  ::SetEnvironmentVariableW(L"VARNELO_SCOPED_TEST", L"");
  { const ScopedEnvVar scoped(L"VARNELO_SCOPED_TEST", L"1"); }
  EXPECT_EQ(ReadEnvironmentVariable(L"VARNELO_SCOPED_TEST", &present), L"");
  EXPECT_TRUE(present) << "an empty value is a value";
  ::SetEnvironmentVariableW(L"VARNELO_SCOPED_TEST", nullptr);
  { const ScopedEnvVar scoped(L"VARNELO_SCOPED_TEST", L"1"); }
  ReadEnvironmentVariable(L"VARNELO_SCOPED_TEST", &present);
  EXPECT_FALSE(present);
}

TEST(OrphanCleanup, EndsCoresOfAnyLetterCaseAtStart) {
  TempDir lower, upper;  // two folders: the names may be one file on a case-insensitive disk
  std::vector<Child> orphans;
  for (const std::wstring& path : {lower.path() + L"varnelocore.EXE", upper.path() + L"VARNELOCORE.exe"}) {
    ASSERT_TRUE(::CopyFileW((BinDir() + L"VarneloCore.exe").c_str(), path.c_str(), FALSE));
    orphans.emplace_back(Quote(path) + L" -d " + Quote(lower.path() + L"d") + L" -f x");
    ASSERT_TRUE(orphans.back().WaitForOutput("tick 1", kWaitMs));
  }
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  for (Child& orphan : orphans) EXPECT_EQ(orphan.Wait(5000), 0u) << "orphan still running";
  EXPECT_EQ(CountContaining(service.LogMessages(), "orphan cleanup: killed 2 VarneloCore.exe instance(s)"), 1u);

  ConsoleService again;  // nothing left to end: no line
  ASSERT_TRUE(again.ready());
  EXPECT_EQ(CountContaining(again.LogMessages(), "orphan cleanup"), 0u);
}

}  // namespace
}  // namespace test
}  // namespace varnelo
