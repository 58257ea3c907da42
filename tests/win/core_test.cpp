// start_core and stop_core with real processes: the signed test client acting as the product's
// client, the stand-in core, kill-on-close jobs, refusals and the orphan clean-up.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/platform.h"
#include "service/core/core_launch.h"
#include "tests/win/harness.h"
#include "tools/service_client.h"

namespace varnelo {
namespace test {
namespace {

constexpr DWORD kWaitMs = 20000;

std::string Value(const std::string& response, const std::string& key) {
  return ResponseValue(response, key);
}
bool WaitForExit(DWORD pid) {
  return WaitUntil(5000, [&] { return !IsProcessAlive(pid); });
}
// A successful answer of a service whose capabilities are `caps` (63 for a test build, 127
// release).
std::string Answer(int caps, const std::string& rest) {
  return "capabilities=" + std::to_string(caps) + "\nok=1\nprotocol=2\n" + rest + "\n\n";
}

class CoreLaunch : public ::testing::Test {
 protected:
  // A client like Varnelo.exe: start_core, read core output, keep the job, hold until killed.
  Child StartClient(const std::wstring& app_dir, const std::wstring& extra = L"--lines 6") {
    Child client(QuoteArgument(BinDir() + L"clients\\pipe_client_publisher.exe") + L" client " +
                 QuoteArgument(app_dir) + L" " + QuoteArgument(DataDir()) + L" " +
                 QuoteArgument(ConfigPath()) + L" " + extra + L" --then hold");
    client.WaitForOutput("holding", kWaitMs);
    return client;
  }
  // Chinese names, as a user's profile and data folders may have: every log line and the core's
  // command line must carry them whole.
  std::wstring DataDir() const { return data_.path() + L"\u5f20\u4f1f\u6570\u636e\\"; }
  std::wstring ConfigPath() const { return data_.path() + L"\u914d\u7f6e"; }
  std::string StartCoreRequest(const std::wstring& app_dir) const {
    return "cmd=start_core\napp_path=" + Narrow(app_dir) + "\ndata_path=" + Narrow(DataDir()) +
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
  ASSERT_EQ(Value(out, "ok"), "1")
      << out;  // the output below shows the log handle, the kill the job's
  const std::string pid = Value(out, "pid");
  const DWORD core_pid = std::stoul(pid);

  // The core's own report, read by the client through the handle it was given.
  EXPECT_NE(out.find("core: SKIP_SAFE_PATH_CHECK=1\n"), std::string::npos) << out;
  const std::wstring data_without_slash = DataDir().substr(0, DataDir().size() - 1);
  EXPECT_NE(out.find("core: cmdline=VarneloCore.exe -d \"" + Narrow(data_without_slash) +
                     "\" -f \"" + Narrow(ConfigPath()) + "\"\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("core: tick 1"), std::string::npos);

  const auto log = service.LogMessages();
  EXPECT_EQ(
      CountContaining(
          log, "start_core WARNING: core signature check failed but not enforced path=" +
                   Narrow(bin) + "VarneloCore.exe reason=file signature is invalid or missing"),
      1u);
  EXPECT_EQ(CountContaining(log, "start_core OK pid=" + pid + " "), 1u);
  EXPECT_EQ(CountContaining(log, " cmd=VarneloCore.exe -d \"" + Narrow(data_without_slash) +
                                     "\" -f \"" + Narrow(ConfigPath()) + "\""),
            1u);

  const std::string running = "capabilities=63\nok=1\npid=" + pid + "\nprotocol=2\nrunning=1\n\n";
  EXPECT_EQ(Exchange("cmd=status\n\n"), running);
  EXPECT_EQ(Exchange(StartCoreRequest(bin)),
            "error=VarneloCore already running, call stop_core first\nerror_code=2\nok=0\n\n");
  EXPECT_EQ(Exchange("cmd=status\n\n"), running) << "a refusal changed the tracked core";

  client.Kill();  // the job's last handle goes with the client
  EXPECT_TRUE(WaitForExit(core_pid)) << "kill-on-close did not end the core";
  EXPECT_EQ(Exchange("cmd=status\n\n"), Answer(63, "running=0"));

  // A new core may start now; in debug mode the client gets no output handle, only the job.
  Child second = StartClient(bin, L"--debug");
  const std::string& debug = second.Output();
  ASSERT_EQ(Value(debug, "ok"), "1") << debug;
  EXPECT_TRUE(Value(debug, "log_handle").empty());
  EXPECT_FALSE(Value(debug, "job_handle").empty());
  EXPECT_EQ(Exchange("cmd=stop_core\ntimeout_ms=0\n\n"), Answer(63, "was_running=1"));
  EXPECT_TRUE(WaitForExit(std::stoul(Value(debug, "pid"))));
}

// Requests that arrive together are read side by side, but their handlers run one after the
// other: exactly one start_core starts the core, the others find it running, each gets its own
// answer.
TEST_F(CoreLaunch, RequestsArrivingTogetherAreHandledOneAtATime) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  const UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::string> answers(3);
  std::vector<std::thread> clients;
  for (std::string& answer : answers) {
    clients.emplace_back([&] {
      ::WaitForSingleObject(go.get(), INFINITE);
      answer = Exchange(StartCoreRequest(BinDir()));
    });
  }
  ::SetEvent(go.get());
  for (std::thread& client : clients) client.join();
  size_t started = 0;
  for (const std::string& answer : answers) {
    if (Value(answer, "ok") != "1") {
      EXPECT_EQ(answer,
                "error=VarneloCore already running, call stop_core first\nerror_code=2\nok=0\n\n");
      continue;
    }
    ++started;
    // The handles were given to this process; the core goes with its job.
    ::CloseHandle(reinterpret_cast<HANDLE>(std::stoull(Value(answer, "log_handle"))));
    ::CloseHandle(reinterpret_cast<HANDLE>(std::stoull(Value(answer, "job_handle"))));
    EXPECT_TRUE(WaitForExit(std::stoul(Value(answer, "pid"))));
  }
  EXPECT_EQ(started, 1u);
  const auto log = service.LogMessages();
  EXPECT_EQ(CountContaining(
                log, "conn pid=" + std::to_string(::GetCurrentProcessId()) + " cmd=start_core"),
            3u);
  EXPECT_EQ(CountContaining(log, "start_core OK pid="), 1u);
}

// 259 is STILL_ACTIVE: a core that ended with it has ended all the same.
TEST_F(CoreLaunch, CoreThatEndsByItselfIsStillStoppedOnce) {
  ASSERT_TRUE(WriteFileBytes(ConfigPath(), "exit_after=3\nexit_code=259\n"));
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  Child client = StartClient(BinDir(), L"--lines 0");
  const UniqueHandle core(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                        std::stoul(Value(client.Output(), "pid"))));
  ASSERT_TRUE(core);
  ASSERT_EQ(::WaitForSingleObject(core.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD exit_code = 0;
  ASSERT_TRUE(::GetExitCodeProcess(core.get(), &exit_code));
  ASSERT_EQ(exit_code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(Exchange("cmd=status\n\n"), Answer(63, "running=0"));
  EXPECT_EQ(Exchange("cmd=stop_core\n\n"), Answer(63, "was_running=1"));
  EXPECT_EQ(Exchange("cmd=stop_core\n\n"), Answer(63, "was_running=0"));
  EXPECT_EQ(CountContaining(service.LogMessages(), "stop_core OK (via=process)"), 1u);
}

// Under -run the service holds inheritable handles of its own (its console and output pipe):
// the core must get only its output pipe, as a core started with just that handle does.
TEST_F(CoreLaunch, CoreInheritsOnlyItsOutputPipe) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  Child client = StartClient(BinDir(), L"--lines 3");
  ASSERT_EQ(Value(client.Output(), "ok"), "1") << client.Output();
  Child reference(QuoteArgument(BinDir() + L"VarneloCore.exe") + L" -d " +
                      QuoteArgument(DataDir()) + L" -f " + QuoteArgument(ConfigPath()),
                  {}, BinDir(), CREATE_NO_WINDOW);
  ASSERT_TRUE(reference.WaitForOutput("tick 2", kWaitMs));
  ::Sleep(300);  // both cores now sleep between ticks
  const size_t expected = CountHandlesOf(reference.pid());
  ASSERT_GT(expected, 0u);
  EXPECT_EQ(CountHandlesOf(std::stoul(Value(client.Output(), "pid"))), expected);
}

TEST_F(CoreLaunch, RefusalsAnswerLogAndLeaveNothingTracked) {
  const std::wstring release = BinDir() + L"release\\";
  ConsoleService service(release + L"VarneloService.exe");
  ASSERT_TRUE(service.ready());
  const std::string app = Narrow(release), data = Narrow(DataDir()), config = Narrow(ConfigPath());
  // A path that only looks right, a stream of the config file; the other kinds are judged in
  // process.
  ASSERT_TRUE(WriteFileBytes(ConfigPath(), "x"));
  const struct {
    std::string request, error, code, log_line;
  } refusals[] = {
      {"app_path=" + app + "\ndata_path=" + data + "\nconfig_path=" + config + "::$DATA\n",
       "config_path rejected: final path differs", "12",
       "start_core: config_path rejected: final path differs"},
      {"app_path=" + app + "\ndata_path=" + data + "\n",
       "missing app_path / data_path / config_path", "1", ""},
      {"app_path=" + app + "\ndata_path=//host/share/\nconfig_path=" + config + "\n",
       "data_path rejected: UNC", "12", "start_core: data_path rejected: UNC"},
      {"app_path=" + app + "\ndata_path=" + data + "\nconfig_path=" + config + "\" -x \"y\n",
       "data_path / config_path rejected: invalid character", "12", "rejected: invalid character"},
      {"app_path=" + app.substr(0, app.size() - 1) + "\ndata_path=" + data +
           "\nconfig_path=" + config + "\n",
       "app_path must equal service install directory", "13", "start_core: app_path rejected: "},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.request);
    EXPECT_EQ(Exchange("cmd=start_core\n" + r.request + "\n"),
              "error=" + r.error + "\nerror_code=" + r.code + "\nok=0\n\n");
    if (!r.log_line.empty()) {
      EXPECT_EQ(CountContaining(service.LogMessages(), r.log_line), 1u);
    }
  }
  EXPECT_EQ(Exchange("cmd=status\n\n"), Answer(127, "running=0"));
  service.Stop();

  // Installs whose core is missing or unsigned; letter case in the directory is accepted.
  const std::string bin = Narrow(BinDir());
  const struct {
    const wchar_t *folder, *requested;
    std::string answer, log_line;
  } bad_cores[] = {
      {L"no-core\\", L"NO-CORE\\", "error=VarneloCore.exe not found at app_path\nerror_code=3",
       "start_core: missing " + bin + "NO-CORE\\VarneloCore.exe"},
      {L"unsigned-core\\", L"unsigned-core\\",
       "error=VarneloCore.exe signature rejected\nerror_code=11",
       "start_core: core signature rejected path=" + bin +
           "unsigned-core\\VarneloCore.exe reason=file signature is invalid or missing"},
  };
  for (const auto& bad : bad_cores) {
    ConsoleService installed(BinDir() + bad.folder + L"VarneloService.exe");
    ASSERT_TRUE(installed.ready());
    EXPECT_EQ(Exchange(StartCoreRequest(BinDir() + bad.requested)), bad.answer + "\nok=0\n\n");
    EXPECT_EQ(CountContaining(installed.LogMessages(), bad.log_line), 1u);
    EXPECT_EQ(Exchange("cmd=status\n\n"), Answer(127, "running=0"));
  }
}

// The test build makes the hand-overs fail two ways: its reopen of the connection's process
// withholds PROCESS_DUP_HANDLE, so the real DuplicateHandle fails; or the reopen itself is denied.
// Neither is retried with the debug privilege or by opening the pid afresh (either would succeed
// here and hand the handles over), the core still runs, and the service keeps the job.
TEST_F(CoreLaunch, FailedHandOversStillStartTheCoreAndKeepTheJob) {
  const std::wstring faults = BinDir() + L"faults\\";
  const struct {
    const wchar_t* variable;
    const char* logged;  // after "DupHandleToCaller(<label>): "
  } kinds[] = {{L"VARNELO_FAULT_DUP", "DuplicateHandle failed err="},
               {L"VARNELO_FAULT_REOPEN", "OpenProcess(caller pid="}};
  for (const auto& kind : kinds) {
    SCOPED_TRACE(Narrow(kind.variable));
    ConsoleService service(faults + L"VarneloService.exe", L"",
                           {{kind.variable, L"log_handle,job_handle"}});
    ASSERT_TRUE(service.ready());
    Child client = StartClient(faults, L"--lines 1");
    const std::string out = client.Output();
    ASSERT_EQ(Value(out, "ok"), "1") << out;
    EXPECT_TRUE(Value(out, "log_handle").empty());
    EXPECT_TRUE(Value(out, "job_handle").empty());
    const DWORD core_pid = std::stoul(Value(out, "pid"));
    const auto log = service.LogMessages();
    for (const std::string label : {"log_handle", "job_handle"}) {
      EXPECT_EQ(CountContaining(log, "DupHandleToCaller(" + label + "): " + kind.logged), 1u)
          << label;
    }
    EXPECT_EQ(CountContaining(log,
                              "start_core WARNING: dup job_handle failed -- service retains "
                              "hJob as fallback"),
              1u);
    EXPECT_EQ(CountContaining(log, "SeDebugPrivilege"), 0u);

    client.Kill();  // the service's job handle keeps the core alive now
    ::Sleep(500);
    EXPECT_TRUE(IsProcessAlive(core_pid));
    EXPECT_EQ(Exchange("cmd=stop_core\ntimeout_ms=-1\n\n"), Answer(127, "was_running=1"));
    EXPECT_TRUE(WaitForExit(core_pid));
    EXPECT_EQ(CountContaining(service.LogMessages(), "stop_core OK (via=job)"), 1u);
  }
}

// The test build makes one launch step fail at a time: the answer names the call, the core is
// ended, and the second failure leaves the service with no more handles than the first did.
TEST_F(CoreLaunch, FailedLaunchStepsLeaveNoCoreJobOrHandle) {
  const std::wstring faults = BinDir() + L"faults\\";
  const struct {
    const wchar_t* call;
    const char* answer;
    const char* logged;
  } steps[] = {
      {L"CreateProcessW", "error=CreateProcess failed: 5\nerror_code=4\nok=0\n\n",
       "start_core: CreateProcess failed err=5 path="},
      {L"AssignProcessToJobObject",
       "error=AssignProcessToJobObject failed: 5\nerror_code=9\nok=0\n\n",
       "start_core: AssignProcessToJobObject failed err=5"},
      {L"ResumeThread", "error=ResumeThread failed: 5\nerror_code=10\nok=0\n\n",
       "start_core: ResumeThread failed err=5"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(Narrow(step.call));
    ConsoleService service(faults + L"VarneloService.exe", L"",
                           {{L"VARNELO_FAULT_FAIL", step.call}});
    ASSERT_TRUE(service.ready());
    ASSERT_EQ(Exchange(StartCoreRequest(faults)), step.answer);
    EXPECT_TRUE(WaitUntil(5000, [] { return ProcessIdsNamed(L"VarneloCore.exe").empty(); }));
    const size_t handles = CountHandlesOf(service.process().pid());
    ASSERT_EQ(Exchange(StartCoreRequest(faults)), step.answer);
    EXPECT_TRUE(WaitUntil(5000, [] { return ProcessIdsNamed(L"VarneloCore.exe").empty(); }));
    EXPECT_LE(CountHandlesOf(service.process().pid()), handles);
    EXPECT_EQ(Exchange("cmd=status\n\n"), Answer(127, "running=0"));
    EXPECT_EQ(CountContaining(service.LogMessages(), step.logged), 2u);
    EXPECT_EQ(CountContaining(service.LogMessages(), "start_core OK"), 0u);
  }
}

TEST(ScopedEnvVar, PutsBackWhatWasThereBefore) {
  const wchar_t* name = L"VARNELO_SCOPED_TEST";
  bool present = false;
  for (const wchar_t* before :
       {L"earlier", L"", static_cast<const wchar_t*>(nullptr)}) {  // "" is a value
    ::SetEnvironmentVariableW(name, before);
    {
      const ScopedEnvVar scoped(name, L"1");
      EXPECT_EQ(ReadEnvironmentVariable(name, &present), L"1");
    }
    EXPECT_EQ(ReadEnvironmentVariable(name, &present), before ? before : L"");
    EXPECT_EQ(present, before != nullptr);
  }
}

TEST(OrphanCleanup, EndsCoresOfAnyLetterCaseAtStart) {
  TempDir lower, upper;  // two folders: the names may be one file on a case-insensitive disk
  std::vector<Child> orphans;
  for (const std::wstring& path :
       {lower.path() + L"varnelocore.EXE", upper.path() + L"VARNELOCORE.exe"}) {
    ASSERT_TRUE(::CopyFileW((BinDir() + L"VarneloCore.exe").c_str(), path.c_str(), FALSE));
    orphans.emplace_back(QuoteArgument(path) + L" -d " + QuoteArgument(lower.path() + L"d") +
                         L" -f x");
    ASSERT_TRUE(orphans.back().WaitForOutput("tick 1", kWaitMs));
  }
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  for (Child& orphan : orphans) EXPECT_EQ(orphan.Wait(5000), 0u) << "orphan still running";
  EXPECT_EQ(CountContaining(service.LogMessages(),
                            "orphan cleanup: killed 2 VarneloCore.exe instance(s)"),
            1u);

  ConsoleService again;  // nothing left to end: no line
  ASSERT_TRUE(again.ready());
  EXPECT_EQ(CountContaining(again.LogMessages(), "orphan cleanup"), 0u);
}

}  // namespace
}  // namespace test
}  // namespace varnelo
