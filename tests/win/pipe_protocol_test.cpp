// The console-mode service serving real pipe clients: generic errors, the size limit, banner and DACL.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>
#include <aclapi.h>

#include "tests/win/harness.h"
#include "service/pipe_server.h"
#include "tools/service_client.h"

namespace varnelo {
namespace test {
namespace {

class PipeProtocol : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.ready()); }
  ConsoleService service_;
};

TEST_F(PipeProtocol, GenericErrorsAreByteExact) {
  EXPECT_EQ(Exchange("a=1\n\n"), "error=missing cmd\nerror_code=11\nok=0\n\n");
  EXPECT_EQ(Exchange("cmd=Ping\n\n"), "error=unknown cmd: Ping\nerror_code=12\nok=0\n\n");
  EXPECT_EQ(Exchange("cmd=ping \n\n"), "error=unknown cmd: ping \nerror_code=12\nok=0\n\n");
  // A character outside the BMP crosses the command line as a surrogate pair and the pipe as UTF-8.
  EXPECT_EQ(RunToEnd(QuoteArgument(ClientExe(L"publisher")) + L" send cmd=\U0001F600\\n\\n").output,
            "error=unknown cmd: \xF0\x9F\x98\x80\nerror_code=12\nok=0\n\n");
  // Only the connection that named a command is logged, with its pid.
  const auto log = service_.LogMessages();
  EXPECT_EQ(CountContaining(log, "conn pid="), 3u);  // not the request without cmd
  EXPECT_EQ(CountContaining(log, "conn pid=" + std::to_string(::GetCurrentProcessId()) + " cmd=Ping"), 1u);
}

// Framing and the size limit are judged natively; here the server reads a request in pieces and
// turns the limit into its answer.
TEST_F(PipeProtocol, PiecesAndTheSizeLimit) {
  EXPECT_EQ(Exchange("cmd=ping\r\n\r\n", 3), kPong63);
  EXPECT_EQ(Exchange("cmd=ping\npad=" + std::string(4096 - 15, 'p') + "\n\n"), kPong63);  // the whole buffer
  EXPECT_EQ(Exchange(std::string(4096, 'p'), 1000), "error=request too large\nerror_code=10\nok=0\n\n");
}

TEST_F(PipeProtocol, ConsoleBannerAndLogStart) {
  // The C runtime writes text-mode "\n" as CR LF on the console.
  EXPECT_NE(WithoutCarriageReturns(service_.process().Output()).find(
                "VarneloService running in foreground. Ctrl+C to stop.\n"
                "Pipe: \\\\.\\pipe\\VarneloService\n"
                "Log:  %ProgramData%\\Varnelo\\service.log\n\n"),
            std::string::npos)
      << service_.process().Output();
  const auto log = service_.LogMessages();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "pipe server starting at \\\\.\\pipe\\VarneloService");
  EXPECT_EQ(CountContaining(log, "service starting"), 0u);  // console mode does not say it
}

// Each ACE as "type mask sid", generic rights mapped as the pipe's object type maps them.
std::vector<std::wstring> DaclEntries(PSECURITY_DESCRIPTOR sd) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  std::vector<std::wstring> entries;
  if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) return entries;
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) break;
    ACCESS_ALLOWED_ACE* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);  // denied ACEs share the layout
    ACCESS_MASK mask = entry->Mask;
    ::MapGenericMask(&mask, &mapping);
    wchar_t* sid = nullptr;
    if (!::ConvertSidToStringSidW(&entry->SidStart, &sid)) break;
    const UniqueLocal sidOwner(sid);
    entries.push_back(std::to_wstring(entry->Header.AceType) + L" " + std::to_wstring(mask) + L" " + sid);
  }
  return entries;
}

TEST_F(PipeProtocol, LivePipeCarriesTheIntendedDacl) {
  const UniqueHandle pipe = ConnectToService(10000);
  ASSERT_TRUE(pipe);
  PSECURITY_DESCRIPTOR live = nullptr;
  ASSERT_EQ(::GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &live),
            static_cast<DWORD>(ERROR_SUCCESS));
  const UniqueLocal liveOwner(live);
  const SecurityDescriptor intended = SecurityDescriptor::FromSddl(kPipeSddl);
  ASSERT_TRUE(intended);
  EXPECT_EQ(DaclEntries(live).size(), 3u) << "no DACL lets everyone in";
  EXPECT_EQ(DaclEntries(live), DaclEntries(intended.get()));
}

TEST(ServiceEntry, ByHandWithoutArgumentsPrintsUsage) {
  const RunResult result = RunToEnd(QuoteArgument(BinDir() + L"VarneloService.exe") + L" -bogus");
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(WithoutCarriageReturns(result.output),
            "VarneloService.exe is a Windows Service.\nUsage:\n"
            "  VarneloService.exe -install    (admin)\n"
            "  VarneloService.exe -uninstall  (admin)\n"
            "  VarneloService.exe -run        (run pipe loop in console)\n");
}

}  // namespace
}  // namespace test
}  // namespace varnelo
