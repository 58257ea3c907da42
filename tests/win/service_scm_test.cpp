// The real service under the service control manager: start, answer, refuse unknown controls,
// stop, and the log lines of its start and stop order.
#include <gtest/gtest.h>

#include "common/platform.h"
#include "tests/win/harness.h"
#include "service/service_host.h"
#include "tools/service_client.h"

namespace varnelo {
namespace test {
namespace {

// Wine's service control manager gives services ProgramData=C:\users\Public.
std::wstring ServiceLogPath() {
  bool present = false;
  const std::wstring programData =
      IsRunningUnderWine() ? L"C:\\users\\Public" : ReadEnvironmentVariable(L"ProgramData", &present);
  return programData + L"\\Varnelo\\service.log";
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
  return WaitUntil(timeoutMs, [&] {
    SERVICE_STATUS status = {};
    return ::QueryServiceStatus(service, &status) && status.dwCurrentState == state;
  });
}

class ServiceControl : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_);
    RemoveService();
    RemoveTree(DirectoryWithSeparator(ServiceLogPath()));
  }
  void Register(const std::wstring& directory) {
    const std::wstring binary = Quote(directory + L"VarneloService.exe");
    service_.reset(::CreateServiceW(manager_.get(), L"VarneloService", L"Varnelo VPN Service (test)",
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service_) << ::GetLastError();
  }
  void TearDown() override { RemoveService(); }

  void RemoveService() {
    UniqueServiceHandle existing(::OpenServiceW(manager_.get(), L"VarneloService", SERVICE_ALL_ACCESS));
    if (!existing) return;
    SERVICE_STATUS status = {};
    ::ControlService(existing.get(), SERVICE_CONTROL_STOP, &status);
    WaitForState(existing.get(), SERVICE_STOPPED, 10000);
    ::DeleteService(existing.get());
    service_.reset();
  }

  UniqueServiceHandle manager_;
  UniqueServiceHandle service_;
};

TEST_F(ServiceControl, StartsAnswersAndStopsInOrder) {
  Register(BinDir());
  ASSERT_TRUE(::StartServiceW(service_.get(), 0, nullptr)) << ::GetLastError();
  ASSERT_TRUE(WaitForState(service_.get(), SERVICE_RUNNING, 10000));

  SERVICE_STATUS status = {};
  ASSERT_TRUE(::QueryServiceStatus(service_.get(), &status));
  EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  EXPECT_EQ(Exchange("cmd=ping\n\n"), "capabilities=63\nok=1\npong=1\nprotocol=2\n\n");

  EXPECT_TRUE(::ControlService(service_.get(), SERVICE_CONTROL_INTERROGATE, &status));

  const ULONGLONG stopStart = ::GetTickCount64();
  ASSERT_TRUE(::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(WaitForState(service_.get(), SERVICE_STOPPED, 15000));
  const ULONGLONG stopMs = ::GetTickCount64() - stopStart;
  // No client connects, so the pipe thread is waited for in full and then left behind.
  EXPECT_GE(stopMs, 4500u);
  ASSERT_TRUE(::QueryServiceStatus(service_.get(), &status));
  EXPECT_EQ(status.dwWin32ExitCode, 0u);

  const auto log = ReadLogMessages(ServiceLogPath());
  const std::vector<std::string> expected = {"service starting", "pipe server starting at",
                                             "cmd=ping", "service stop requested (ctrl=1)",
                                             "service stopped"};
  size_t at = 0;
  for (const std::string& line : log) {
    if (at < expected.size() && line.find(expected[at]) != std::string::npos) ++at;
  }
  EXPECT_EQ(at, expected.size()) << "log lines out of order or missing";
  EXPECT_EQ(CountContaining(log, "service stopped"), 1u);
}

TEST_F(ServiceControl, RefusesControlsItDoesNotImplement) {
  if (IsRunningUnderWine()) {
    GTEST_SKIP() << "Wine's ControlService reports success whatever the handler returns; Windows "
                    "fails a user-defined control with ERROR_CALL_NOT_IMPLEMENTED (120).";
  }
  Register(BinDir());
  ASSERT_TRUE(::StartServiceW(service_.get(), 0, nullptr)) << ::GetLastError();
  ASSERT_TRUE(WaitForState(service_.get(), SERVICE_RUNNING, 10000));
  SERVICE_STATUS status = {};
  EXPECT_FALSE(::ControlService(service_.get(), 200, &status));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

// The handler's own answers, which the control manager passes on to ControlService on Windows.
TEST(ServiceControlHandler, AnswersInterrogateAndRefusesUnknownControls) {
  EXPECT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  for (DWORD control : {static_cast<DWORD>(SERVICE_CONTROL_PAUSE), static_cast<DWORD>(SERVICE_CONTROL_PARAMCHANGE), 200ul}) {
    EXPECT_EQ(ServiceCtrlHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << control;
  }
}

TEST_F(ServiceControl, StopEndsTheTrackedCore) {
  const std::wstring release = BinDir() + L"release\\";
  Register(release);
  ASSERT_TRUE(::StartServiceW(service_.get(), 0, nullptr)) << ::GetLastError();
  ASSERT_TRUE(WaitForState(service_.get(), SERVICE_RUNNING, 10000));
  TempDir data;
  Child client(Quote(BinDir() + L"clients\\pipe_client_publisher.exe") + L" client " + Quote(release) + L" " +
               Quote(data.path()) + L" " + Quote(data.path() + L"config") + L" --then hold");
  ASSERT_TRUE(client.WaitForOutput("holding", 20000)) << client.Output();
  const std::string pid = ResponseValue(client.Output(), "pid");
  ASSERT_FALSE(pid.empty()) << client.Output();

  SERVICE_STATUS status = {};
  ASSERT_TRUE(::ControlService(service_.get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(WaitForState(service_.get(), SERVICE_STOPPED, 15000));
  EXPECT_FALSE(IsProcessAlive(std::stoul(pid))) << "the service stop left its core running";
  EXPECT_TRUE(IsProcessAlive(client.pid())) << "only the core is ended, not the client";
  const auto log = ReadLogMessages(ServiceLogPath());
  EXPECT_EQ(CountContaining(log, "start_core OK pid=" + pid + " "), 1u);
  EXPECT_EQ(CountContaining(log, "service stopped"), 1u);
}

}  // namespace
}  // namespace test
}  // namespace varnelo
