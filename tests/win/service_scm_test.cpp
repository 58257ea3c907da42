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

TEST(ServiceControl, StartsAnswersAndStopsInOrder) {
  ScmService service;
  ASSERT_TRUE(service.RegisterAndStart(BinDir())) << ::GetLastError();
  SERVICE_STATUS status = {};
  ASSERT_TRUE(::QueryServiceStatus(service.get(), &status));
  EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  EXPECT_EQ(Exchange("cmd=ping\n\n"), kPong63);
  EXPECT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status));

  const ULONGLONG stopStart = ::GetTickCount64();
  ASSERT_TRUE(service.Stop());
  // No client connects, so the pipe thread is waited for in full and then left behind.
  EXPECT_GE(::GetTickCount64() - stopStart, 4500u);
  ASSERT_TRUE(::QueryServiceStatus(service.get(), &status));
  EXPECT_EQ(status.dwWin32ExitCode, 0u);

  const auto log = ReadLogMessages(ServiceLogPath());
  EXPECT_EQ(CountInOrder(log, {"service starting", "pipe server starting at", "cmd=ping",
                               "service stop requested (ctrl=1)", "service stopped"}),
            5u);
  EXPECT_EQ(CountContaining(log, "service stopped"), 1u);
}

TEST(ServiceControl, RefusesControlsItDoesNotImplement) {
  if (IsRunningUnderWine()) {
    GTEST_SKIP() << "Wine's ControlService reports success whatever the handler returns; Windows "
                    "fails a user-defined control with ERROR_CALL_NOT_IMPLEMENTED (120).";
  }
  ScmService service;
  ASSERT_TRUE(service.RegisterAndStart(BinDir())) << ::GetLastError();
  SERVICE_STATUS status = {};
  EXPECT_FALSE(::ControlService(service.get(), 200, &status));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

// The handler's own answers, which the control manager passes on to ControlService on Windows.
TEST(ServiceControlHandler, AnswersInterrogateAndRefusesUnknownControls) {
  EXPECT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  for (DWORD control : {static_cast<DWORD>(SERVICE_CONTROL_PAUSE), static_cast<DWORD>(SERVICE_CONTROL_PARAMCHANGE), 200ul}) {
    EXPECT_EQ(ServiceCtrlHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << control;
  }
}

TEST(ServiceControl, StopEndsTheTrackedCore) {
  ScmService service;
  const std::wstring release = BinDir() + L"release\\";
  ASSERT_TRUE(service.RegisterAndStart(release)) << ::GetLastError();
  TempDir data;
  Child client = StartCoreClient(release, data.path(), L"hold");
  ASSERT_TRUE(client.WaitForOutput("holding", 20000)) << client.Output();
  const std::string pid = ResponseValue(client.Output(), "pid");
  ASSERT_FALSE(pid.empty()) << client.Output();

  ASSERT_TRUE(service.Stop());
  EXPECT_FALSE(IsProcessAlive(std::stoul(pid))) << "the service stop left its core running";
  EXPECT_TRUE(IsProcessAlive(client.pid())) << "only the core is ended, not the client";
  EXPECT_EQ(CountContaining(ReadLogMessages(ServiceLogPath()), "start_core OK pid=" + pid + " "), 1u);
}

}  // namespace
}  // namespace test
}  // namespace varnelo
