// -install and -uninstall against the real service control manager: the phases of one
// installation's life (a fresh install, an upgrade with a running client, installs over a
// stopping and a stopped service, its removal), what -install hands the control manager, and a
// registration still marked for deletion.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/platform.h"
#include "tests/win/harness.h"

namespace varnelo {
namespace test {
namespace {

const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\VarneloService";
const char kWarning[] = "Warning: untrusted install ACL accepted: ";
const char kRestarted[] = "RestartExistingServiceAfterUpgrade: StartService bRet=1 err=0";

struct ModeRun {
  DWORD exit_code;
  std::string console;
  std::vector<std::string> log;
};

// Runs `exe -install` or `exe -uninstall` with a ProgramData of its own, so its log holds only
// this run's lines.
ModeRun RunMode(const std::wstring& exe, const wchar_t* mode) {
  TempDir program_data;
  const std::wstring root = program_data.path().substr(0, program_data.path().size() - 1);
  const RunResult result =
      RunToEnd(QuoteArgument(exe) + L" " + mode, 120000, {{L"ProgramData", root}});
  return {result.exit_code, WithoutCarriageReturns(result.output),
          ReadLogMessages(program_data.path() + L"Varnelo\\service.log")};
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// What QueryServiceConfigW (level 0) or QueryServiceConfig2W at `level` reads; empty when it
// cannot. Neither returns more than 8 KiB.
std::vector<BYTE> QueryConfig(SC_HANDLE manager, DWORD level = 0) {
  const UniqueServiceHandle service(
      ::OpenServiceW(manager, L"VarneloService", SERVICE_QUERY_CONFIG));
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!(level == 0 ? ::QueryServiceConfigW(service.get(), config, 8192, &needed)
                   : ::QueryServiceConfig2W(service.get(), level, buffer.data(), 8192, &needed))) {
    buffer.clear();
  }
  return buffer;
}

// Under Wine every file belongs to the Wine user, so each checked path is reported and accepted.
void ExpectOwnerWarnings(const ModeRun& run, size_t paths) {
  if (!IsRunningUnderWine()) return;
  EXPECT_EQ(CountOf(run.console, std::string(kWarning) + "untrusted owner SID S-1-5-21-"), paths)
      << run.console;
  EXPECT_EQ(CountContaining(run.log,
                            "InstallService WARNING: untrusted ACL accepted for compatibility: "),
            paths);
}

// A publisher-signed service and core in a folder with a Chinese name, as a user may choose:
// every log and console line must carry the path whole.
std::wstring ChineseInstallation(const TempDir& root) {
  const std::wstring dir = root.path() + L"\u7a0b\u5e8f\\";
  ::CreateDirectoryW(dir.c_str(), nullptr);
  for (const wchar_t* file : {L"VarneloService.exe", L"VarneloCore.exe"}) {
    ::CopyFileW((BinDir() + L"release\\" + file).c_str(), (dir + file).c_str(), FALSE);
  }
  return dir + L"VarneloService.exe";
}

// Runs `command_line` on a console of this process's own and returns the console's first rows, as a
// person sitting at it would read them.
std::wstring RunOnAConsole(const std::wstring& command_line) {
  const HANDLE saved_out = ::GetStdHandle(STD_OUTPUT_HANDLE),
               saved_err = ::GetStdHandle(STD_ERROR_HANDLE);
  ::FreeConsole();
  if (!::AllocConsole()) return L"";
  std::wstring line = command_line;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  std::wstring screen;
  if (::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
    const UniqueHandle process(info.hProcess), thread(info.hThread);
    ::WaitForSingleObject(process.get(), 120000);
    const UniqueHandle console(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    std::wstring rows(80 * 25, L' ');
    DWORD got = 0;
    if (::ReadConsoleOutputCharacterW(console.get(), &rows[0], static_cast<DWORD>(rows.size()),
                                      COORD{0, 0}, &got)) {
      screen = rows.substr(0, got);
    }
  }
  ::FreeConsole();
  ::SetStdHandle(STD_OUTPUT_HANDLE, saved_out);
  ::SetStdHandle(STD_ERROR_HANDLE, saved_err);
  return screen;
}

class Installation : public ::testing::Test {
 protected:
  // The first install of each phase below; its own checks are the first phase's.
  void InstallAndWaitUntilRunning() {
    const ModeRun run = RunMode(release_, L"-install");
    ASSERT_EQ(run.exit_code, 0u) << run.console;
    ASSERT_TRUE(scm_.WaitFor(SERVICE_RUNNING));
  }

  TempDir install_root_;
  const std::wstring release_ = ChineseInstallation(install_root_);
  ScmService scm_;
};

// A switch of the test build of the service, set under HKLM for the service the control manager
// starts, and gone when the phase ends however it ends.
class TestFaultSwitch {
 public:
  TestFaultSwitch(const wchar_t* name, const wchar_t* value) {
    set_ = ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, name, REG_SZ, value,
                             static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }
  ~TestFaultSwitch() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
  TestFaultSwitch(const TestFaultSwitch&) = delete;
  TestFaultSwitch& operator=(const TestFaultSwitch&) = delete;
  bool set() const { return set_; }

 private:
  static constexpr const wchar_t* kKey = L"SOFTWARE\\Varnelo\\TestFaults";
  bool set_ = false;
};

// The phases of one installation's life, from a fresh install through upgrades to its removal;
// each starts from a fresh install and reads its lines from the log of the run that wrote them.
TEST_F(Installation, FreshInstallRegistersAndStartsTheService) {
  const ModeRun fresh = RunMode(release_, L"-install");
  EXPECT_EQ(fresh.exit_code, 0u) << fresh.console;
  EXPECT_TRUE(EndsWith(fresh.console, "Service installed and started.\n")) << fresh.console;
  ExpectOwnerWarnings(fresh, 3);  // folder, service, core
  // Console lines are UTF-8 when redirected, as here; a console gets them as UTF-16.
  EXPECT_EQ(CountOf(fresh.console, " on " + Narrow(release_) + "\n"),
            IsRunningUnderWine() ? 1u : 0u)
      << fresh.console;
  const std::vector<BYTE> buffer = QueryConfig(scm_.manager());
  ASSERT_FALSE(buffer.empty()) << ::GetLastError();
  const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + release_ + L"\"");
  EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
  EXPECT_EQ(std::wstring(config->lpDisplayName), L"Varnelo Service");
  const std::vector<BYTE> described = QueryConfig(scm_.manager(), SERVICE_CONFIG_DESCRIPTION);
  ASSERT_FALSE(described.empty()) << ::GetLastError();
  EXPECT_EQ(
      std::wstring(reinterpret_cast<const SERVICE_DESCRIPTIONW*>(described.data())->lpDescription),
      L"Privileged helper for Varnelo VPN. Launches VarneloCore.exe so the user-mode UI does not "
      L"need administrator rights.");
  ASSERT_TRUE(scm_.WaitFor(SERVICE_RUNNING));
  EXPECT_EQ(
      CountInOrder(fresh.log, {"InstallService: begin", "InstallService: image=" + Narrow(release_),
                               "InstallService: CreateService OK"}),
      3u);
}

// An upgrade from another folder closes the running client, though another program's window of
// the same class is met first by the search.
TEST_F(Installation, UpgradeFromAnotherFolderClosesTheRunningClient) {
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilRunning());
  Child client(QuoteArgument(BinDir() + L"Varnelo.exe"));
  ASSERT_TRUE(client.WaitForOutput("window ready", 10000)) << client.Output();
  TempDir other;
  ASSERT_TRUE(::CopyFileW((BinDir() + L"Varnelo.exe").c_str(),
                          (other.path() + L"OtherApp.exe").c_str(), FALSE));
  Child decoy(QuoteArgument(other.path() + L"OtherApp.exe") + L" --topmost");
  ASSERT_TRUE(decoy.WaitForOutput("window ready", 10000)) << decoy.Output();
  const std::wstring upgrade = BinDir() + L"no-core\\VarneloService.exe";
  const ModeRun run = RunMode(upgrade, L"-install");
  EXPECT_EQ(run.exit_code, 0u) << run.console;
  EXPECT_TRUE(EndsWith(run.console, "Service already exists, ImagePath refreshed.\n"))
      << run.console;
  ExpectOwnerWarnings(run, 2);  // no core beside this copy
  const std::vector<BYTE> upgraded = QueryConfig(scm_.manager());
  ASSERT_FALSE(upgraded.empty()) << ::GetLastError();
  EXPECT_EQ(std::wstring(
                reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(upgraded.data())->lpBinaryPathName),
            L"\"" + upgrade + L"\"");
  EXPECT_EQ(scm_.State(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(client.Wait(2000), 0u) << "the client was not closed";
  EXPECT_NE(client.Output().find("WM_CLOSE received"), std::string::npos);
  EXPECT_EQ(decoy.Wait(0), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(decoy.Output().find("WM_CLOSE"), std::string::npos) << decoy.Output();
  EXPECT_EQ(CountContaining(run.log, "RequestVarneloExitBeforeUpgrade: skip CMainWnd hwnd="), 1u);
  EXPECT_EQ(CountContaining(run.log, " pid=" + std::to_string(decoy.pid()) + " exe=OtherApp.exe"),
            1u);
  EXPECT_EQ(
      CountInOrder(
          run.log,
          {"InstallService: CreateService failed err=1073",
           "InstallService: service exists, refreshing ImagePath to " + Narrow(upgrade),
           "RequestVarneloExitBeforeUpgrade: WM_CLOSE -> Varnelo.exe pid=" +
               std::to_string(client.pid()) + " hwnd=",
           "RequestVarneloExitBeforeUpgrade: wait result=0x0 timeout=8000ms",
           "RestartExistingServiceAfterUpgrade: ControlService(STOP) bRet=1 err=0", kRestarted}),
      6u);
}

// A stop that comes while a start_core is between its launch and its hand-over (the test build of
// the service pauses there) waits for that handler, reporting stop-pending meanwhile; an install
// then neither stops the stopping service again nor fails to start it.
TEST_F(Installation, InstallOverAStoppingServiceStartsItWithoutASecondStop) {
  const TestFaultSwitch pause(L"VARNELO_FAULT_HANDOVER_PAUSE_MS", L"3000");
  ASSERT_TRUE(pause.set());
  const std::wstring faults = BinDir() + L"faults\\";
  ASSERT_EQ(RunMode(faults + L"VarneloService.exe", L"-install").exit_code, 0u);
  ASSERT_TRUE(scm_.WaitFor(SERVICE_RUNNING));
  TempDir data;
  Child client = StartCoreClient(faults, data.path(), L"hold");
  ASSERT_TRUE(WaitUntil(10000, [] { return ProcessIdsNamed(L"VarneloCore.exe").size() == 1; }));
  ASSERT_TRUE(scm_.SendStop()) << ::GetLastError();
  ASSERT_EQ(scm_.State(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  const ModeRun over_stopping = RunMode(release_, L"-install");
  EXPECT_EQ(over_stopping.exit_code, 0u) << over_stopping.console;
  EXPECT_EQ(scm_.State(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(CountContaining(over_stopping.log, "ControlService(STOP)"), 0u)
      << "a stopping service got a second stop";
  EXPECT_EQ(CountContaining(over_stopping.log, kRestarted), 1u);
}

// The one slow phase: the 8 s wait for a client that will not close, over a stopped service.
TEST_F(Installation, InstallOverAStoppedServiceWaitsForAClientThatWillNotClose) {
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilRunning());
  ASSERT_TRUE(scm_.Stop()) << ::GetLastError();
  Child client(QuoteArgument(BinDir() + L"Varnelo.exe") + L" --ignore-close");
  ASSERT_TRUE(client.WaitForOutput("window ready", 10000)) << client.Output();
  const ModeRun run = RunMode(release_, L"-install");
  EXPECT_EQ(run.exit_code, 0u) << run.console;
  EXPECT_TRUE(EndsWith(run.console, "Service already exists, ImagePath refreshed.\n"))
      << run.console;
  EXPECT_EQ(scm_.State(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(client.WaitForOutput("WM_CLOSE ignored", 1000));
  EXPECT_EQ(client.Wait(0), static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(
      CountContaining(run.log, "RequestVarneloExitBeforeUpgrade: wait result=0x102 timeout=8000ms"),
      1u);
  EXPECT_EQ(CountContaining(
                run.log,
                "RequestVarneloExitBeforeUpgrade: ERROR VARNELO_STILL_RUNNING_DURING_UPGRADE pid=" +
                    std::to_string(client.pid()) +
                    " \xE2\x80\x94 system proxy may be left dirty; installer must handshake "
                    "Varnelo.exe shutdown before invoking -install"),
            1u);
  EXPECT_EQ(CountContaining(run.log, "ControlService(STOP)"), 0u)
      << "a stopped service got a stop control";
  EXPECT_EQ(CountContaining(run.log, kRestarted), 1u);
}

// -uninstall removes the registration and its key; a second one says there is nothing to remove.
TEST_F(Installation, UninstallRemovesTheRegistrationAndASecondFindsNone) {
  ASSERT_NO_FATAL_FAILURE(InstallAndWaitUntilRunning());
  const ModeRun removed = RunMode(release_, L"-uninstall");
  EXPECT_EQ(removed.exit_code, 0u) << removed.console;
  EXPECT_EQ(removed.console, "Service deleted and SCM released.\n");
  EXPECT_FALSE(scm_.Exists());
  UniqueRegKey key;
  EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, key.put()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CountInOrder(removed.log, {"UninstallService: state after stop wait: 1",
                                       "UninstallService: registry key gone after ",
                                       "UninstallService: success"}),
            3u);
  const ModeRun again = RunMode(release_, L"-uninstall");
  EXPECT_EQ(again.exit_code, 0u);
  EXPECT_EQ(again.console, "OpenService failed: 1060\n");
  EXPECT_EQ(CountContaining(again.log, "UninstallService: OpenService failed err=1060"), 1u);
}

// The values as one list, in the order the test build of the service records them.
std::vector<DWORD> FailureActionValues(const SERVICE_FAILURE_ACTIONSW& failure) {
  std::vector<DWORD> values = {failure.dwResetPeriod, failure.cActions};
  for (DWORD i = 0; i < failure.cActions; ++i) {
    values.push_back(failure.lpsaActions[i].Type);
    values.push_back(failure.lpsaActions[i].Delay);
  }
  return values;
}
const std::vector<DWORD> kFailureActions = {
    86400, 3, SC_ACTION_RESTART, 5000, SC_ACTION_RESTART, 30000, SC_ACTION_RESTART, 60000};

// What -install hands the control manager, as the test build of the service records it at the
// call; Wine keeps nothing of it to read back (below).
TEST_F(Installation, FailureActionsHandedToTheControlManager) {
  TempDir record;
  const std::wstring file = record.path() + L"failure-actions.txt";
  const std::wstring faults = BinDir() + L"faults\\VarneloService.exe";
  ASSERT_EQ(
      RunToEnd(QuoteArgument(faults) + L" -install", 120000, {{L"VARNELO_FAULT_RECORD_SCM", file}})
          .exit_code,
      0u);
  std::string expected;
  for (DWORD value : kFailureActions) expected += std::to_string(value) + " ";
  EXPECT_EQ(ReadFileBytes(file), expected + "reboot=0 command=0\n");
}

TEST_F(Installation, FailureActionsReadBack) {
  if (IsRunningUnderWine()) {
    GTEST_SKIP()
        << "Wine can neither query failure actions (error 124) nor keeps them; Windows reads "
           "back what Installation.FailureActionsHandedToTheControlManager checks";
  }
  ASSERT_EQ(RunMode(release_, L"-install").exit_code, 0u);
  const std::vector<BYTE> buffer = QueryConfig(scm_.manager(), SERVICE_CONFIG_FAILURE_ACTIONS);
  ASSERT_FALSE(buffer.empty()) << ::GetLastError();
  EXPECT_EQ(FailureActionValues(*reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data())),
            kFailureActions);
}

// A handle held to the service keeps its registration after the delete: -uninstall waits for it
// (60 polls, 250 ms apart) and says whether it went. First the handle outlives the wait; then the
// test marks the service for deletion itself, so -uninstall's own delete fails, and lets go a few
// seconds into the wait.
TEST_F(Installation, UninstallWaitsForTheLastHandleAndReportsAFailedDelete) {
  ASSERT_EQ(RunMode(release_, L"-install").exit_code, 0u);
  {
    const UniqueServiceHandle held(
        ::OpenServiceW(scm_.manager(), L"VarneloService", SERVICE_QUERY_STATUS));
    ASSERT_TRUE(held);
    const ModeRun run = RunMode(release_, L"-uninstall");
    EXPECT_EQ(run.exit_code, 1u);
    EXPECT_EQ(run.console, "Service marked for deletion but SCM still holds reference.\n");
    EXPECT_EQ(CountInOrder(run.log, {"UninstallService: DeleteService bRet=1 err=0",
                                     "UninstallService: timed out waiting for SCM to purge"}),
              2u);
  }
  ASSERT_TRUE(WaitUntil(5000, [&] { return !scm_.Exists(); }));

  ASSERT_EQ(RunMode(release_, L"-install").exit_code, 0u);
  UniqueServiceHandle held(
      ::OpenServiceW(scm_.manager(), L"VarneloService", DELETE | SERVICE_QUERY_STATUS));
  ASSERT_TRUE(held);
  ASSERT_TRUE(::DeleteService(held.get()));
  std::thread let_go([&held] {
    ::Sleep(3000);
    held.reset();
  });
  const ModeRun run = RunMode(release_, L"-uninstall");
  let_go.join();
  EXPECT_EQ(run.exit_code, 1u) << "its own delete failed";
  EXPECT_EQ(run.console, "Service deleted and SCM released.\n");
  EXPECT_EQ(CountContaining(run.log, "UninstallService: DeleteService bRet=0 err=1072"), 1u);
  size_t polls = 0;
  for (const std::string& line : run.log) {
    const std::string gone = "UninstallService: registry key gone after ";
    if (line.rfind(gone, 0) == 0) polls = std::stoul(line.substr(gone.size()));
  }
  EXPECT_GE(polls, 6u) << "the key was gone before the test let go of its handle";
  EXPECT_FALSE(scm_.Exists());
}

TEST_F(Installation, RegistrationMarkedForDeletionRefusesInstall) {
  // A handle held open keeps a deleted registration in place, as a lingering one does.
  UniqueServiceHandle held(::CreateServiceW(
      scm_.manager(), L"VarneloService", L"Varnelo Service", SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      QuoteArgument(release_).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(held) << ::GetLastError();
  ASSERT_TRUE(::DeleteService(held.get()));

  const ModeRun run = RunMode(release_, L"-install");
  EXPECT_EQ(run.exit_code, static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE)) << run.console;
  EXPECT_TRUE(EndsWith(run.console,
                       "VarneloService is marked for delete from a previous uninstall.\n"
                       "Please reboot the system and reinstall.\n"))
      << run.console;
  EXPECT_EQ(CountContaining(run.log,
                            "InstallService: ghost record from prior uninstall, reboot required"),
            1u);

  // On a console the lines reach the screen as written, whatever its code page: the folder's
  // Chinese name included.
  const std::wstring screen = RunOnAConsole(QuoteArgument(release_) + L" -install");
  EXPECT_NE(screen.find(L"Please reboot the system and reinstall."), std::wstring::npos)
      << Narrow(screen);
  if (IsRunningUnderWine()) {
    EXPECT_NE(screen.find(L" on " + release_), std::wstring::npos) << Narrow(screen);
  }
  held.reset();
}

}  // namespace
}  // namespace test
}  // namespace varnelo
