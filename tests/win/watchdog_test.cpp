// The proxy watchdog against the real service: signed clients arm it and die, and the service
// restores the user's proxy settings only when they still hold the client's text. Wine runs every
// process as one user, so the hive the service opens under HKEY_USERS is this test's own.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "service/watchdog/proxy_cleanup.h"
#include "tests/win/harness.h"
#include "tools/service_client.h"

namespace varnelo {
namespace test {
namespace {

constexpr DWORD kWaitMs = 20000;
constexpr DWORD kTickWaitMs = 12000;  // a death is judged within one 5 s tick; two, with slack
constexpr wchar_t kFlagKey[] = L"SOFTWARE\\Varnelo";
constexpr wchar_t kCoreProxy[] = L"127.0.0.1:11719";
constexpr wchar_t kStalePac[] = L"http://127.0.0.1:11720/proxy.pac";
constexpr wchar_t kThirdPartyPac[] = L"http://\u4ee3\u7406.example.com:8080/wpad.dat";
constexpr char kOk[] = "capabilities=63\nok=1\nprotocol=2\n\n";
constexpr char kArmRequest[] =
    "cmd=set_expected_proxy\nproxy=127.0.0.1:11719\nreadback=127.0.0.1:11719\n\n";
constexpr char kDegradedByFlag[] = "degraded=1\nerror=feature_flag_disabled\nok=0\n\n";

// The user's Internet Settings, reached the way the service reaches them.
class UserProxy {
 public:
  UserProxy() : sid_(OwnUserSid()) {
    const std::wstring path =
        sid_ + L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    ::RegCreateKeyExW(HKEY_USERS, path.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      nullptr, key_.put(), nullptr);
  }
  bool ok() const { return !sid_.empty() && static_cast<bool>(key_); }
  std::string sid() const { return Narrow(sid_); }
  void Set(const wchar_t* name, const std::wstring& text) {
    ::RegSetKeyValueW(key_.get(), nullptr, name, REG_SZ, text.c_str(),
                      static_cast<DWORD>((text.size() + 1) * 2));
  }
  // As a client leaves it, with a PAC setting beside it.
  void SetProxy(DWORD enable, const std::wstring& server, const std::wstring& pac) {
    ::RegSetKeyValueW(key_.get(), nullptr, L"ProxyEnable", REG_DWORD, &enable, sizeof(enable));
    Set(L"ProxyServer", server);
    Set(L"ProxyOverride", L"<local>");
    Set(L"AutoConfigURL", pac);
  }
  void Clear() {
    for (const wchar_t* name : kNames) ::RegDeleteValueW(key_.get(), name);
  }
  // "enable|server|override|pac", "-" for an absent value.
  std::string Snapshot() const {
    std::string text;
    for (const wchar_t* name : kNames) {
      union {
        DWORD number;
        wchar_t text[512];
      } value = {};
      DWORD type = 0, size = sizeof(value);
      const bool present =
          ::RegGetValueW(key_.get(), nullptr, name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD, &type, &value,
                         &size) == 0;
      text += (text.empty() ? "" : "|") + (!present            ? "-"
                                           : type == REG_DWORD ? std::to_string(value.number)
                                                               : Narrow(value.text));
    }
    return text;
  }

 private:
  static constexpr const wchar_t* kNames[] = {L"ProxyEnable", L"ProxyServer", L"ProxyOverride",
                                              L"AutoConfigURL"};
  std::wstring sid_;
  UniqueRegKey key_;
};

// The test is a 64-bit program: HKLM\SOFTWARE is the 64-bit view the service reads.
void SetDisableFlag(DWORD type, const void* data, DWORD size) {
  EXPECT_EQ(
      ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kFlagKey, L"disable_proxy_watchdog", type, data, size),
      ERROR_SUCCESS);
}
void SetDisableFlag(DWORD value) { SetDisableFlag(REG_DWORD, &value, sizeof(value)); }
void DeleteDisableFlag() {
  ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kFlagKey, L"disable_proxy_watchdog");
}

// A signed client that arms the watchdog expecting `readback`; "--set-proxy" first points the
// proxy at it, as the real client does; "--then hold" keeps it alive until it is killed.
Child ArmClient(const std::wstring& readback, const std::wstring& options = L"--then hold") {
  Child client(QuoteArgument(ClientExe(L"publisher")) + L" arm " + kCoreProxy + L" " +
               QuoteArgument(readback) + L" " + options);
  client.WaitForOutput(options.find(L"hold") != std::wstring::npos ? "holding" : "ok=", kWaitMs);
  return client;
}

// What the last WM_SETTINGCHANGE to a window of this process named.
std::wstring g_setting_changed;
LRESULT CALLBACK RecordSettingChange(HWND window, UINT message, WPARAM w_param, LPARAM l_param) {
  if (message == WM_SETTINGCHANGE && l_param != 0)
    g_setting_changed = reinterpret_cast<const wchar_t*>(l_param);
  return ::DefWindowProcW(window, message, w_param, l_param);
}

// Waits for the line while serving this thread's windows, so a broadcast can reach them.
bool PumpUntil(const std::function<bool()>& done, DWORD timeout_ms) {
  return WaitUntil(timeout_ms, [&] {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
    return done();
  });
}

class Watchdog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(proxy_.ok());
    proxy_.Clear();
    DeleteDisableFlag();
  }
  void TearDown() override { SetUp(); }
  // Waits up to two ticks for the line.
  static bool LogShows(const ConsoleService& service, const std::string& line) {
    return PumpUntil([&] { return CountContaining(service.LogMessages(), line) > 0; }, kTickWaitMs);
  }
  void KillAndWaitFor(const ConsoleService& service, Child& client, const std::string& line) {
    client.Kill();
    EXPECT_TRUE(LogShows(service, line)) << "no \"" << line << "\"";
  }

  UserProxy proxy_;
};

// The second client's arming replaces the first; only the second's death is judged, and it
// restores the proxy it set, clears the stale PAC setting and tells the desktop.
TEST_F(Watchdog, LastArmedClientsDeathRestoresItsProxyAndTellsTheDesktop) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  WNDCLASSW listener_class = {};
  listener_class.lpfnWndProc = RecordSettingChange;
  listener_class.lpszClassName = L"WatchdogTestListener";
  ::RegisterClassW(&listener_class);
  const HWND listener = ::CreateWindowExW(0, listener_class.lpszClassName, L"", WS_OVERLAPPED, 0, 0,
                                          0, 0, nullptr, nullptr, nullptr, nullptr);

  proxy_.Set(L"AutoConfigURL", kStalePac);
  Child first = ArmClient(kCoreProxy, L"--set-proxy --then hold");
  Child second = ArmClient(kCoreProxy, L"--set-proxy --then hold");
  ASSERT_EQ(second.Output(),
            "user proxy set to 127.0.0.1:11719\n" + std::string(kOk) + "holding\n");
  first.Kill();
  const ULONGLONG killed = ::GetTickCount64();
  KillAndWaitFor(service, second,
                 "cleanup OK: trigger=parent_process_exit pre_ProxyServer=[127.0.0.1:11719] "
                 "ProxyEnable set ret=0, ProxyServer delete ret=0, ProxyOverride delete ret=0");
  std::printf("client death to restored settings: %llu ms\n", ::GetTickCount64() - killed);
  EXPECT_EQ(proxy_.Snapshot(), "0|-|-|-");
  EXPECT_TRUE(PumpUntil([] { return g_setting_changed == L"Internet Settings"; }, kWaitMs))
      << "no broadcast";
  ::DestroyWindow(listener);
  const auto log = service.LogMessages();
  const std::string tail = " session=1 sid=" + proxy_.sid() + " endpoint=127.0.0.1:11719";
  EXPECT_EQ(
      CountContaining(log, "set_expected_proxy: armed pid=" + std::to_string(first.pid()) + tail),
      1u);
  EXPECT_EQ(CountContaining(log, "pid=" + std::to_string(first.pid()) + " session"), 1u)
      << "replaced, yet judged";
  EXPECT_EQ(CountContaining(log, "cleanup triggered: trigger=parent_process_exit pid=" +
                                     std::to_string(second.pid()) + tail),
            1u);
  EXPECT_EQ(CountContaining(log, "watchdog_cleanup: cleared stale AutoConfigURL=[" +
                                     Narrow(kStalePac) + "], ret=0"),
            1u);
}

// Text that differs in letter case or by a trailing space is someone else's; and a proxy that is
// already off is left, its stale PAC setting included. One service for all, so each later tick
// also shows that earlier deaths changed nothing.
TEST_F(Watchdog, SettingsThatAreNotTheClientsAreLeftAsTheyAre) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  const struct {
    DWORD enable;
    const wchar_t* actual;
    const wchar_t* expected;
    std::string line;
  } skips[] = {
      {1, L"LOCALHOST:11719", L"localhost:11719",
       "proxy_mismatch expected=[localhost:11719] actual=[LOCALHOST:11719]"},
      {1, L"127.0.0.1:11719 ", kCoreProxy,
       "proxy_mismatch expected=[127.0.0.1:11719] actual=[127.0.0.1:11719 ]"},
      {0, kCoreProxy, kCoreProxy, "proxy_already_clean enable=0 queryRet=0"},
      // Text in Chinese is logged whole on both sides.
      {1, L"\u4ee3\u7406.example:11719", L"\u4ee3\u7406.example:1171",
       "proxy_mismatch expected=[\u4ee3\u7406.example:1171] actual=[\u4ee3\u7406.example:11719]"},
  };
  for (const auto& skip : skips) {
    proxy_.SetProxy(skip.enable, skip.actual, kStalePac);
    const std::string before = proxy_.Snapshot();
    Child client = ArmClient(skip.expected);
    KillAndWaitFor(service, client, "cleanup skipped: reason=" + skip.line);
    EXPECT_EQ(proxy_.Snapshot(), before);
  }
  EXPECT_EQ(CountContaining(service.LogMessages(), "cleanup OK"), 0u);
}

// clear_watchdog disarms without touching anything and logs only when something was armed. The
// disable flag: the next tick logs the change and releases the armed client without cleanup;
// arming is refused before the request's keys are looked at; only REG_DWORD 1 disables. The
// ticks this waits for also show that the disarmed client's death restored nothing.
TEST_F(Watchdog, ClearAndTheDisableFlagReleaseClientsWithoutRestoring) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  EXPECT_EQ(Exchange("cmd=clear_watchdog\n\n"), kOk);
  Child leaving = ArmClient(kCoreProxy, L"--set-proxy --then clear");
  EXPECT_EQ(leaving.Wait(kWaitMs), 0u);
  EXPECT_NE(leaving.Output().find(std::string(kOk) + kOk), std::string::npos) << leaving.Output();
  EXPECT_EQ(CountContaining(service.LogMessages(), "clear_watchdog: released"), 1u);
  EXPECT_EQ(CountContaining(service.LogMessages(), "clear_watchdog: released state for pid=" +
                                                       std::to_string(leaving.pid()) +
                                                       " (reason=normal_disconnect)"),
            1u);
  const std::string left_behind = proxy_.Snapshot();

  Child watched = ArmClient(kCoreProxy);
  SetDisableFlag(1);
  EXPECT_TRUE(LogShows(service, "ProxyWatchdog: feature flag turned ON -- subsystem disabled"));
  EXPECT_TRUE(LogShows(service, "cleanup skipped: reason=feature_flag_disabled pid=" +
                                    std::to_string(watched.pid())));
  EXPECT_EQ(Exchange("cmd=set_expected_proxy\n\n"), kDegradedByFlag);
  EXPECT_EQ(CountContaining(service.LogMessages(),
                            "set_expected_proxy: degraded reason=feature_flag_disabled"),
            1u);
  watched.Kill();
  SetDisableFlag(0);
  EXPECT_TRUE(LogShows(service, "ProxyWatchdog: feature flag turned OFF -- subsystem re-enabled"));
  EXPECT_EQ(proxy_.Snapshot(), left_behind)
      << "a disarmed or released client's death restored the proxy";

  const DWORD two = 2;
  SetDisableFlag(REG_DWORD, &two, sizeof(two));
  EXPECT_EQ(Exchange(kArmRequest), kOk);
  SetDisableFlag(REG_SZ, L"1", sizeof(L"1"));
  EXPECT_EQ(Exchange(kArmRequest), kOk);
  DeleteDisableFlag();
  EXPECT_EQ(Exchange("cmd=set_expected_proxy\nproxy=x\n\n"),
            "error=missing proxy / readback\nerror_code=20\nok=0\n\n");
  EXPECT_EQ(CountContaining(service.LogMessages(), "cleanup OK"), 0u);
}

// The test build can refuse the watchdog its handle to the caller, or give it one without the
// right to read the caller's token: the answers are degraded, and only a trusted caller ever has
// the service retry with SeDebugPrivilege; an unsigned caller's request ends at its check.
TEST_F(Watchdog, CallersThatCannotBeWatchedGetDegradedAnswers) {
  const std::string self = std::to_string(::GetCurrentProcessId());
  const std::wstring faults = BinDir() + L"faults\\VarneloService.exe";
  {
    ConsoleService service(faults, L"", {{L"VARNELO_FAULT_REOPEN", L"watch"}});
    ASSERT_TRUE(service.ready());
    EXPECT_EQ(Exchange(kArmRequest), "degraded=1\nerror=open_process_denied\nok=0\n\n");
    const RunResult unsigned_run =
        RunToEnd(QuoteArgument(ClientExe(L"none")) + L" send " +
                 QuoteArgument(L"cmd=set_expected_proxy\\nproxy=x\\nreadback=x\\n\\n") +
                 L" --service " + QuoteArgument(faults));
    EXPECT_EQ(unsigned_run.output, "error=unauthorized caller\nerror_code=13\nok=0\n\n");
    const auto log = service.LogMessages();
    EXPECT_EQ(CountInOrder(
                  log, {"conn pid=" + self + " cmd=set_expected_proxy",
                        "OpenProcess pid=" + self + " access denied, retry with SeDebugPrivilege",
                        "OpenProcess pid=" + self + " still failed after SeDebugPrivilege err=5",
                        "set_expected_proxy: degraded (open_process_denied) pid=" + self}),
              4u);
    EXPECT_EQ(CountContaining(log, "SeDebugPrivilege"), 2u)
        << "the unsigned caller had the privilege enabled";
    EXPECT_EQ(CountContaining(log, "rejected pid="), 1u);
  }
  ConsoleService service(faults, L"", {{L"VARNELO_FAULT_DUP", L"watch"}});
  ASSERT_TRUE(service.ready());
  EXPECT_EQ(Exchange(kArmRequest), "degraded=1\nerror=sid_lookup_failed\nok=0\n\n");
  EXPECT_EQ(CountContaining(service.LogMessages(),
                            "set_expected_proxy: degraded (sid_lookup_failed) pid=" + self),
            1u);
  // Nothing was armed: a clear finds nothing to release.
  EXPECT_EQ(Exchange("cmd=clear_watchdog\n\n"), "capabilities=127\nok=1\nprotocol=2\n\n");
  EXPECT_EQ(CountContaining(service.LogMessages(), "clear_watchdog: released"), 0u);
}

// The settings-change broadcast waits on every window in turn; a request arriving meanwhile is
// answered at once, not after the last window.
TEST_F(Watchdog, RequestsAreServedWhileSlowWindowsTakeTheBroadcast) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  constexpr int kSlowWindows = 4;
  Child windows(QuoteArgument(BinDir() + L"Varnelo.exe") + L" --slow-setting-change " +
                std::to_wstring(kSlowWindows) + L" 900");
  ASSERT_TRUE(windows.WaitForOutput("window ready", kWaitMs)) << windows.Output();
  Child client = ArmClient(kCoreProxy, L"--set-proxy --then hold");
  client.Kill();
  ASSERT_TRUE(windows.WaitForOutput("setting change 1", kTickWaitMs)) << "no broadcast began";
  EXPECT_EQ(Exchange("cmd=clear_watchdog\n\n"), kOk);
  EXPECT_EQ(windows.Output().find("setting change " + std::to_string(kSlowWindows)),
            std::string::npos)
      << "clear_watchdog was answered only after the broadcast had reached every window";
  EXPECT_EQ(CountContaining(service.LogMessages(), "cleanup OK: trigger=parent_process_exit"), 1u);
  EXPECT_TRUE(windows.WaitForOutput("setting change " + std::to_string(kSlowWindows), kWaitMs));
}

// The cleanup itself, in this process, for the two ways a user's settings cannot be reached: a
// user whose hive is not loaded (logged off), and a settings key the service may not open.
TEST(ProxyCleanup, SkipsAHiveThatIsNotThereOrCannotBeOpened) {
  const InProcessLog log;
  WatchdogState state;
  state.pid = 7;
  state.user_sid = L"S-1-5-21-7-7-7-1001";  // no such hive
  EXPECT_FALSE(RunProxyCleanup(state, "parent_process_exit"));

  state.user_sid = L"S-1-5-21-7-7-7-1002";
  const std::wstring root = state.user_sid + L"\\Software\\Microsoft\\Windows\\CurrentVersion";
  UniqueRegKey parent;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_USERS, root.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              parent.put(), nullptr),
            ERROR_SUCCESS);
  UniqueRegKey settings;
  ASSERT_EQ(::RegCreateKeyExW(parent.get(), L"Internet Settings", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, settings.put(), nullptr),
            ERROR_SUCCESS);
  const SecurityDescriptor denied = SecurityDescriptor::FromSddl(L"D:(D;;KA;;;WD)");
  ASSERT_EQ(::RegSetKeySecurity(settings.get(), DACL_SECURITY_INFORMATION, denied.get()),
            ERROR_SUCCESS);
  EXPECT_FALSE(RunProxyCleanup(state, "parent_process_exit"));
  settings.reset();
  ::RegDeleteKeyW(parent.get(), L"Internet Settings");
  parent.reset();
  ::RegDeleteTreeW(HKEY_USERS, state.user_sid.c_str());

  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"cleanup triggered: trigger=parent_process_exit pid=7 "
                                      "session=0 sid=S-1-5-21-7-7-7-1001 endpoint=",
                                      "cleanup skipped: reason=user_hive_unavailable lReg=2",
                                      "cleanup triggered: trigger=parent_process_exit pid=7 "
                                      "session=0 sid=S-1-5-21-7-7-7-1002 endpoint=",
                                      "cleanup skipped: reason=regopen_failed lReg=5"}));
}

// Ctrl+C on the service's console ends -run; an armed, living client's proxy stays as it is.
TEST_F(Watchdog, ConsoleStopLeavesALivingClientsProxy) {
  // A console of its own: a control event reaches every process of a console.
  ConsoleService service(BinDir() + L"VarneloService.exe", L"", {}, CREATE_NEW_CONSOLE);
  ASSERT_TRUE(service.ready());
  Child client = ArmClient(kCoreProxy, L"--set-proxy --then hold");
  ASSERT_EQ(CountContaining(service.LogMessages(), "armed pid=" + std::to_string(client.pid())),
            1u);
  const std::string before = proxy_.Snapshot();

  ::FreeConsole();  // one console per process: leave ours to join the service's
  const bool attached = ::AttachConsole(service.process().pid()) &&
                        ::SetConsoleCtrlHandler(nullptr, TRUE) &&
                        ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ::FreeConsole();
  ASSERT_TRUE(attached);
  EXPECT_EQ(service.process().Wait(kWaitMs), 0u);
  EXPECT_TRUE(IsProcessAlive(client.pid()));
  EXPECT_EQ(proxy_.Snapshot(), before);
  EXPECT_EQ(CountContaining(service.LogMessages(), "cleanup"), 0u);
}

// Under the service control manager a stop restores the settings of a client that still runs.
TEST_F(Watchdog, ServiceStopRestoresALivingClientsProxy) {
  ScmService service;
  ASSERT_TRUE(service.RegisterAndStart(BinDir())) << ::GetLastError();
  proxy_.Set(L"AutoConfigURL", kThirdPartyPac);
  Child client = ArmClient(kCoreProxy, L"--set-proxy --then hold");
  EXPECT_TRUE(service.Stop());
  EXPECT_TRUE(IsProcessAlive(client.pid()));
  EXPECT_EQ(proxy_.Snapshot(), "0|-|-|" + Narrow(kThirdPartyPac));
  const auto log = ReadLogMessages(ServiceLogPath());
  const std::string pid = std::to_string(client.pid());
  EXPECT_EQ(CountContaining(log, "service stop: releasing watchdog state for pid=" + pid), 1u);
  EXPECT_EQ(CountContaining(log, "cleanup triggered: trigger=service_stop pid=" + pid), 1u);
  EXPECT_EQ(CountContaining(log, "watchdog_cleanup: kept third-party AutoConfigURL=[" +
                                     Narrow(kThirdPartyPac) + "]"),
            1u);
  EXPECT_EQ(CountContaining(log, "cleanup OK: trigger=service_stop"), 1u);
}

}  // namespace
}  // namespace test
}  // namespace varnelo
