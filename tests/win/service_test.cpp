// Who may talk to the service and what it answers: callers signed every way, with real
// Authenticode signatures made for this build; generic errors, the size limit and what reaches the
// log; and one run under the service control manager, with the live pipe's DACL, stalled clients
// at stop and the start and stop order.
// Before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>

#include <windows.h>
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <thread>
#include <vector>

#include "common/platform.h"
#include "common/reason.h"
#include "service/pipe/pipe_server.h"
#include "service/service_host.h"
#include "service/trust/trust.h"
#include "tests/win/harness.h"
#include "tests/win/version_resource.h"
#include "tools/service_client.h"

namespace varnelo {
namespace test {
namespace {

const char kPong127[] = "capabilities=127\nok=1\npong=1\nprotocol=2\n\n";

// The port that the "stray" test certificate's AIA, OCSP and CRL addresses name (made per build).
unsigned short StrayCertificatePort() {
  return static_cast<unsigned short>(
      std::stoul("0" + ReadFileBytes(BinDir() + L"..\\signing\\stray.port")));
}

// A TCP listener on 127.0.0.1 that accepts connections and never answers, counting them: what a
// certificate's addresses lead to when a check fetches them.
class SilentListener {
 public:
  explicit SilentListener(unsigned short port) {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    u_long non_blocking = 1;
    listening_ = listener_ != INVALID_SOCKET &&
                 ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                 ::listen(listener_, SOMAXCONN) == 0 &&
                 ::ioctlsocket(listener_, FIONBIO, &non_blocking) == 0;
  }
  ~SilentListener() {
    for (SOCKET accepted : accepted_) ::closesocket(accepted);
    if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
    if (started_) ::WSACleanup();
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  bool listening() const { return listening_; }
  // Every connection made so far, answered by nothing.
  size_t Accepted() {
    for (SOCKET next; (next = ::accept(listener_, nullptr, nullptr)) != INVALID_SOCKET;)
      accepted_.push_back(next);
    return accepted_.size();
  }

 private:
  bool started_ = false, listening_ = false;
  SOCKET listener_ = INVALID_SOCKET;
  std::vector<SOCKET> accepted_;
};

// Every way a caller can be signed, with what the service answers and logs. A signer whose issuer
// the signature leaves out ("stray") is refused from what the machine holds: the addresses its
// certificate names, where a listener waits that would hold a fetch for as long as it liked, see
// no connection.
TEST(CallerTrust, EveryKindOfCallerIsJudgedAndLogged) {
  SilentListener listener(StrayCertificatePort());
  ASSERT_TRUE(listener.listening()) << "port " << StrayCertificatePort();
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  const struct {
    const wchar_t* identity;
    const char* rejection;  // null when accepted
  } cases[] = {
      {L"publisher", nullptr},
      {L"longer", nullptr},  // the publisher text inside a longer name
      {L"other", "caller file signed by unexpected publisher"},
      {L"lowercase", "caller file signed by unexpected publisher"},
      {L"none", "caller file signature is invalid or missing"},
      {L"tampered", "caller file signature is invalid or missing"},
      {L"untrusted", "caller file signature is invalid or missing"},  // the root is not trusted
      {L"stray", "caller file signature is invalid or missing"},      // the chain is not complete
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.identity));
    Child client(QuoteArgument(ClientExe(c.identity)) + L" send cmd=ping\\n\\n");
    ASSERT_EQ(client.Wait(30000), 0u);
    EXPECT_EQ(client.Output(),
              c.rejection ? "error=unauthorized caller\nerror_code=13\nok=0\n\n" : kPong63);
    const std::string pid = std::to_string(client.pid());
    const auto log = service.LogMessages();
    EXPECT_EQ(CountContaining(log, "conn pid=" + pid + " cmd=ping"), 1u);
    EXPECT_EQ(CountContaining(log, "rejected pid=" + pid +
                                       (c.rejection ? ": " + std::string(c.rejection) : "")),
              c.rejection ? 1u : 0u);
  }
  EXPECT_EQ(listener.Accepted(), 0u) << "a check fetched what a certificate names";

  // A publisher-signed client started from a share: its file is never read by the service, whose
  // machine credentials would otherwise go to the host the caller named. The test session maps
  // \\localhost\share to a folder of its prefix.
  const std::wstring on_share =
      L"\\\\localhost\\share\\client-" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
  if (!::CopyFileW(ClientExe(L"publisher").c_str(), on_share.c_str(), FALSE)) {
    GTEST_SKIP()
        << "no share \\\\localhost\\share here (error " << ::GetLastError()
        << "); the decision is tested natively (CallerImage.OnlyAnImageOnALocalDiskIsRead)";
  }
  Child remote(QuoteArgument(on_share) + L" send cmd=ping\\n\\n --service " +
               QuoteArgument(BinDir() + L"VarneloService.exe"));
  ASSERT_EQ(remote.Wait(30000), 0u);
  EXPECT_EQ(remote.Output(), "error=unauthorized caller\nerror_code=13\nok=0\n\n");
  EXPECT_EQ(CountContaining(service.LogMessages(), "rejected pid=" + std::to_string(remote.pid()) +
                                                       ": caller image is not on a local volume"),
            1u);
  ::DeleteFileW(on_share.c_str());
}

TEST(PipeProtocol, GenericErrorsPiecesTheSizeLimitAndTheLog) {
  ConsoleService service;
  ASSERT_TRUE(service.ready());
  // Without cmd nobody is checked: an unsigned caller hears "missing cmd".
  EXPECT_EQ(RunToEnd(QuoteArgument(ClientExe(L"none")) + L" send a=1\\n\\n").output,
            "error=missing cmd\nerror_code=11\nok=0\n\n");
  // Commands match exactly; control bytes and line separators in one must not plant log lines.
  const std::string planted = "x\x1b[2J\x0b\x0c\x7f\xc2\x85\xe2\x80\xa8y";
  for (const std::string& cmd : {std::string("Ping"), std::string("ping "), planted}) {
    EXPECT_EQ(Exchange("cmd=" + cmd + "\n\n"),
              "error=unknown cmd: " + cmd + "\nerror_code=12\nok=0\n\n");
  }
  // Framing and the size limit are judged natively; here the server reads a request in pieces and
  // turns the limit into its answer.
  EXPECT_EQ(Exchange("cmd=ping\r\n\r\n", 3), kPong63);
  EXPECT_EQ(Exchange("cmd=ping\npad=" + std::string(4096 - 15, 'p') + "\n\n"),
            kPong63);  // the whole buffer
  EXPECT_EQ(Exchange(std::string(4096, 'p'), 1000),
            "error=request too large\nerror_code=10\nok=0\n\n");

  const auto log = service.LogMessages();
  // Only a connection that named a command is logged, with its pid.
  EXPECT_EQ(CountContaining(log, "conn pid="), 5u);
  EXPECT_EQ(CountContaining(log, "rejected pid="), 0u);
  EXPECT_EQ(CountContaining(log, "conn pid=" + std::to_string(::GetCurrentProcessId()) +
                                     " cmd=x\\x1B[2J\\x0B\\x0C\\x7F\\xC2\\x85\\xE2\\x80\\xA8y"),
            1u);
  EXPECT_EQ(ReadFileBytes(service.LogPath()).find_first_of("\x1b\x0b\x0c\x7f"), std::string::npos);
  // An unsigned service says once that it does not insist on a signed core.
  EXPECT_EQ(CountContaining(
                log,
                "core signature enforcement disabled: service binary is not Varnelo-signed (file "
                "signature is invalid or missing)"),
            1u);
  EXPECT_EQ(CountContaining(log, "service starting"), 0u);  // console mode does not say it
  // The C runtime writes text-mode "\n" as CR LF on the console.
  EXPECT_NE(WithoutCarriageReturns(service.process().Output())
                .find("VarneloService running in foreground. Ctrl+C to stop.\n"
                      "Pipe: \\\\.\\pipe\\VarneloService\n"
                      "Log:  %ProgramData%\\Varnelo\\service.log\n\n"),
            std::string::npos)
      << service.process().Output();
}

// Each ACE as "type mask sid", generic rights mapped as the pipe's object type maps them.
std::vector<std::wstring> DaclEntries(PSECURITY_DESCRIPTOR sd) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  std::vector<std::wstring> entries;
  if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl)
    return entries;
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) break;
    ACCESS_ALLOWED_ACE* entry =
        static_cast<ACCESS_ALLOWED_ACE*>(ace);  // denied ACEs share the layout
    ACCESS_MASK mask = entry->Mask;
    ::MapGenericMask(&mask, &mapping);
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(&entry->SidStart, &sid)) break;
    const UniqueLocal sid_owner(sid);
    entries.push_back(std::to_wstring(entry->Header.AceType) + L" " + std::to_wstring(mask) + L" " +
                      sid);
  }
  return entries;
}

TEST(ServiceControl, OneRunStartsAnswersAndStopsAtOnceWhileClientsStall) {
  ScmService service;
  const std::wstring release = BinDir() + L"release\\";
  ASSERT_TRUE(service.RegisterAndStart(release)) << ::GetLastError();
  SERVICE_STATUS status = {};
  ASSERT_TRUE(::QueryServiceStatus(service.get(), &status));
  EXPECT_EQ(status.dwControlsAccepted,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  // A publisher-signed service insists on a signed core.
  EXPECT_EQ(Exchange("cmd=ping\n\n"), "capabilities=127\nok=1\npong=1\nprotocol=2\n\n");

  TempDir data;
  Child client = StartCoreClient(release, data.path(), L"hold");
  ASSERT_TRUE(client.WaitForOutput("holding", 20000)) << client.Output();
  const std::string core = ResponseValue(client.Output(), "pid");
  ASSERT_FALSE(core.empty()) << client.Output();

  // This connection reads the live pipe's DACL, then stalls: it never sends a request.
  const UniqueHandle silent = ConnectToService(10000);
  ASSERT_TRUE(silent);
  PSECURITY_DESCRIPTOR live = nullptr;
  ASSERT_EQ(::GetSecurityInfo(silent.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &live),
            static_cast<DWORD>(ERROR_SUCCESS));
  const UniqueLocal live_owner(live);
  const SecurityDescriptor intended = SecurityDescriptor::FromSddl(kPipeSddl);
  ASSERT_TRUE(intended);
  EXPECT_EQ(DaclEntries(live), DaclEntries(intended.get()));
  // And this one is in the middle of its request.
  const UniqueHandle mid_request = ConnectToService(10000);
  ASSERT_TRUE(mid_request);
  ASSERT_TRUE(SendRequestBytes(mid_request.get(), "cmd=status\n", 0));
  ::Sleep(200);  // the service is now waiting for both
  const ULONGLONG stop_start = ::GetTickCount64();
  ASSERT_TRUE(service.Stop());
  // The stop ends every connection at once instead of waiting out their bounds.
  EXPECT_LE(::GetTickCount64() - stop_start, 1500u);
  ASSERT_TRUE(::QueryServiceStatus(service.get(), &status));
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  EXPECT_FALSE(IsProcessAlive(std::stoul(core))) << "the service stop left its core running";
  EXPECT_TRUE(IsProcessAlive(client.pid())) << "only the core is ended, not the client";

  const auto log = ReadLogMessages(ServiceLogPath());
  EXPECT_EQ(CountInOrder(log, {"service starting", "pipe server starting at", "cmd=ping",
                               "start_core OK pid=" + core + " ", "service stop requested (ctrl=1)",
                               "pipe server exiting", "service stopped"}),
            7u);
  EXPECT_EQ(CountContaining(log, "HandleConnection: timeout"), 0u)
      << "a stop waited for a stalled client";
  EXPECT_EQ(CountContaining(log, "enforcement disabled"), 0u);
}

// Eight callers in a loop whose checks, if the service fetched what their certificates name, would
// wait on the network for as long as a silent host liked: a signed ping is still answered at once,
// and a stop of the control manager ends the service promptly (bench/ measures how promptly).
TEST(ServiceControl, CallersWhoseChecksCouldHangHoldNeitherTheDoorNorTheStop) {
  SilentListener listener(StrayCertificatePort());
  ScmService service;
  ASSERT_TRUE(service.RegisterAndStart(BinDir() + L"release\\")) << ::GetLastError();
  std::vector<Child> callers;
  for (int i = 0; i < 8; ++i) {
    callers.emplace_back(QuoteArgument(ClientExe(L"stray")) +
                         L" send cmd=ping\\n\\n --repeat 1000000 --service " +
                         QuoteArgument(BinDir() + L"release\\VarneloService.exe"));
    ASSERT_TRUE(callers.back().started());
  }
  ::Sleep(1000);
  for (int i = 0; i < 5; ++i) {
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(Exchange("cmd=ping\n\n"), kPong127) << "ping " << i;
    EXPECT_LE(::GetTickCount64() - start, 1000u) << "ping " << i;
  }
  const ULONGLONG stop_start = ::GetTickCount64();
  ASSERT_TRUE(service.Stop());
  EXPECT_LE(::GetTickCount64() - stop_start, 1500u);
  for (Child& caller : callers) caller.Kill();
  const auto log = ReadLogMessages(ServiceLogPath());
  EXPECT_EQ(CountInOrder(log, {"service stop requested", "pipe server exiting", "service stopped"}),
            3u);
  EXPECT_GE(CountContaining(log, ": caller file signature is invalid or missing"), 1u);
  EXPECT_EQ(listener.Accepted(), 0u) << "a check fetched what a certificate names";
}

TEST(ServiceControl, RefusesControlsItDoesNotImplement) {
  if (IsRunningUnderWine()) {
    GTEST_SKIP() << "Wine's ControlService reports success whatever the handler returns; Windows "
                    "fails a user-defined control with ERROR_CALL_NOT_IMPLEMENTED (120). The "
                    "handler's answer is tested in process (ServiceControlHandler).";
  }
  ScmService service;
  ASSERT_TRUE(service.RegisterAndStart(BinDir())) << ::GetLastError();
  SERVICE_STATUS status = {};
  EXPECT_FALSE(::ControlService(service.get(), 200, &status));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

// The handler's own answers, which the control manager passes on to ControlService on Windows.
TEST(ServiceControlHandler, AnswersInterrogateAndRefusesUnknownControls) {
  EXPECT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  for (DWORD control : {static_cast<DWORD>(SERVICE_CONTROL_PAUSE),
                        static_cast<DWORD>(SERVICE_CONTROL_PARAMCHANGE), 200ul}) {
    EXPECT_EQ(ServiceCtrlHandler(control, 0, nullptr, nullptr),
              static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED))
        << control;
  }
}

TEST(ServiceEntry, ByHandWithoutArgumentsPrintsUsage) {
  const RunResult result = RunToEnd(QuoteArgument(BinDir() + L"VarneloService.exe") + L" -bogus");
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_EQ(WithoutCarriageReturns(result.output)
                .rfind("VarneloService.exe is a Windows Service.\nUsage:\n", 0),
            0u)
      << result.output;
}

// What Windows' file properties, an installer's version comparison and an inventory read from the
// service: the product's version block, and a manifest that runs it as its caller and declares
// the same Windows versions as the uninstaller's.
TEST(ServiceResources, VersionBlockAndManifest) {
  const std::wstring service = BinDir() + L"VarneloService.exe";
  const std::wstring uninstaller = BinDir() + L"uninstall.exe";
  const VersionBlock version(service);
  EXPECT_EQ(version.Translation(), VersionBlock(uninstaller).Translation());
  const std::pair<const wchar_t*, std::wstring> expected[] = {
      {L"ProductName", L"Varnelo VPN"},
      {L"CompanyName", L"Varnelo VPN"},
      {L"FileDescription", L"Varnelo VPN privileged helper service"},
      {L"OriginalFilename", L"VarneloService.exe"},
      {L"InternalName", L"VarneloService.exe"},
      {L"ProductVersion", kProductVersion},
      {L"FileVersion", kProductVersion}};
  for (const auto& [name, value] : expected) EXPECT_EQ(version.Value(name), value) << Narrow(name);
  EXPECT_EQ(version.FixedFileVersion(), kProductVersion);

  const auto supported_os = [](const std::string& manifest) {
    std::vector<std::string> ids;
    const std::string key = "supportedOS Id=\"";
    for (size_t at = manifest.find(key); at != std::string::npos; at = manifest.find(key, at + 1)) {
      ids.push_back(
          manifest.substr(at + key.size(), manifest.find('"', at + key.size()) - at - key.size()));
    }
    return ids;
  };
  const std::string manifest = ResourceBytes(service, RT_MANIFEST, MAKEINTRESOURCEW(1));
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos)
      << manifest;
  const std::vector<std::string> uninstaller_os =
      supported_os(ResourceBytes(uninstaller, RT_MANIFEST, MAKEINTRESOURCEW(1)));
  EXPECT_EQ(uninstaller_os.size(), 4u);
  EXPECT_EQ(supported_os(manifest), uninstaller_os);
}

// What only the file check itself shows: an empty path, a missing file, and a buffer a success
// leaves alone. Each caller's reason is shown through the pipe above.
TEST(FileSignature, Reasons) {
  Reason reason;
  EXPECT_FALSE(VerifyFileSignature(nullptr, &reason));
  EXPECT_STREQ(reason.c_str(), "empty file path");
  EXPECT_FALSE(VerifyFileSignature(L"", &reason));
  EXPECT_FALSE(VerifyFileSignature((BinDir() + L"no-such.exe").c_str(), &reason));
  EXPECT_STREQ(reason.c_str(), "file signature is invalid or missing");
  Reason kept;
  EXPECT_TRUE(VerifyFileSignature(GetOwnModulePath().c_str(), &kept));
  EXPECT_TRUE(kept.empty());
}

}  // namespace
}  // namespace test
}  // namespace varnelo
