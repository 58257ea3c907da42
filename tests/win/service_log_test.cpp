// The service log as written by the real code: rotation, cutting, and refusing to be redirected.
#include <gtest/gtest.h>

#include "common/platform.h"
#include "tests/win/harness.h"
#include "service/core_launch.h"
#include "service/log_line.h"
#include "service/service_log.h"

namespace varnelo {
namespace test {
namespace {

TEST(LogRotation, LinePastFiveMiBStaysThenNextRunRotatesTwoGenerations) {
  TempDir programData;
  const std::wstring dir = programData.path() + L"Varnelo\\";
  ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr));
  const size_t fiveMiB = 5 * 1024 * 1024;  // the size the log promises, as a number: not the constant
  const std::string almostFull(fiveMiB - 10, 'a');
  ASSERT_TRUE(WriteFileBytes(dir + L"service.log", almostFull));
  ASSERT_TRUE(WriteFileBytes(dir + L"service.log.1", "generation one\r\n"));
  ASSERT_TRUE(WriteFileBytes(dir + L"service.log.2", "generation two\r\n"));

  { ConsoleService run(BinDir() + L"VarneloService.exe", programData.path()); ASSERT_TRUE(run.ready()); }
  const std::string grown = ReadFileBytes(dir + L"service.log");
  EXPECT_GT(grown.size(), fiveMiB) << "the line that crosses 5 MiB still goes in";
  EXPECT_EQ(ReadFileBytes(dir + L"service.log.1"), "generation one\r\n");
  EXPECT_EQ(ReadFileBytes(dir + L"service.log.2"), "generation two\r\n");

  { ConsoleService run(BinDir() + L"VarneloService.exe", programData.path()); ASSERT_TRUE(run.ready()); }
  EXPECT_EQ(ReadFileBytes(dir + L"service.log.2"), "generation one\r\n");
  EXPECT_EQ(ReadFileBytes(dir + L"service.log.1"), grown);
  const auto fresh = ReadLogMessages(dir + L"service.log");
  ASSERT_FALSE(fresh.empty());
  EXPECT_EQ(fresh.front(), "pipe server starting at \\\\.\\pipe\\VarneloService");
}

// In-process: the same ServiceLog the service links, with ProgramData pointed at a test folder.
class LogInProcess : public ::testing::Test {
 protected:
  std::string LogText() { return ReadFileBytes(dir_ + L"service.log"); }

  TempDir programData_;
  const std::wstring dir_ = programData_.path() + L"Varnelo\\";
  const ScopedEnvVar programDataVariable_{
      L"ProgramData", programData_.path().substr(0, programData_.path().size() - 1).c_str()};
};

TEST_F(LogInProcess, ProgramDataTooLongOrAbsentDropsTheLine) {
  const std::wstring tooLong = programData_.path() + std::wstring(300, L'x');
  ::SetEnvironmentVariableW(L"ProgramData", tooLong.c_str());
  ServiceLog("must not land anywhere");
  EXPECT_EQ(CountMatches(programData_.path() + L"*"), 0u) << "a cut ProgramData path was written to";
  ::SetEnvironmentVariableW(L"ProgramData", nullptr);
  ServiceLog("no ProgramData at all");  // must simply return
}

// A failure is reported after its handles are freed and its log line written.
TEST_F(LogInProcess, LoggingAndClosingKeepTheLastError) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  ::SetLastError(ERROR_ACCESS_DENIED);
  event.reset();
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ::SetLastError(ERROR_PATH_NOT_FOUND);
  ServiceLog("after a failure");
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_NE(LogText().find("after a failure"), std::string::npos);
}

TEST_F(LogInProcess, PlantedHardLinkIsNotWrittenThrough) {
  ServiceLog("create folder");
  const std::wstring victim = programData_.path() + L"victim.txt";
  ASSERT_TRUE(WriteFileBytes(victim, "precious\r\n"));
  ASSERT_TRUE(::DeleteFileW((dir_ + L"service.log").c_str()));
  ASSERT_TRUE(::CreateHardLinkW((dir_ + L"service.log").c_str(), victim.c_str(), nullptr));
  {
    const UniqueHandle probe(::CreateFileW(victim.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    ASSERT_TRUE(::GetFileInformationByHandle(probe.get(), &info));
    if (info.nNumberOfLinks < 2) {
      GTEST_SKIP() << "Wine reports no hard-link count; Windows reports 2 and the log then drops "
                      "the planted name and writes a fresh file";
    }
  }
  ServiceLog("redirect attempt");
  EXPECT_EQ(ReadFileBytes(victim), "precious\r\n");
  const auto lines = ReadLogMessages(dir_ + L"service.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "redirect attempt");
}

TEST_F(LogInProcess, JunctionInPlaceOfTheFolderIsRefused) {
  TempDir elsewhere;
  if (!CreateJunction(programData_.path() + L"Varnelo", elsewhere.path())) {
    GTEST_SKIP() << "this file system cannot make a junction; on Windows the log refuses a "
                    "Varnelo folder that is a reparse point";
  }
  ServiceLog("redirect attempt");
  EXPECT_EQ(::GetFileAttributesW((elsewhere.path() + L"service.log").c_str()), INVALID_FILE_ATTRIBUTES);
}

bool SecureFromSddl(const wchar_t* sddl) {
  const SecurityDescriptor sd = SecurityDescriptor::FromSddl(sddl);
  EXPECT_TRUE(static_cast<bool>(sd)) << sd.error();
  return sd && IsLogDirectorySecure(sd.get());
}

TEST(LogDirectorySecurity, OnlySystemAndAdministratorsMayWrite) {
  // What the service applies, with the owner Windows gives a folder created by SYSTEM.
  EXPECT_TRUE(SecureFromSddl((std::wstring(L"O:SY") + kLogDirectorySddl).c_str()));
  EXPECT_TRUE(SecureFromSddl((std::wstring(L"O:BA") + kLogDirectorySddl).c_str()));
  EXPECT_TRUE(SecureFromSddl(L"O:BAD:P(A;;FA;;;SY)(D;;FA;;;AN)(A;;FR;;;WD)"));
  // Planted by a user, or open to users in any way that lets them change what is inside.
  EXPECT_FALSE(SecureFromSddl((std::wstring(L"O:BU") + kLogDirectorySddl).c_str()));
  EXPECT_FALSE(SecureFromSddl(L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));  // inherits ProgramData
  EXPECT_FALSE(SecureFromSddl(L"O:SYD:P(A;;FA;;;SY)(A;;0x4;;;BU)"));        // users may add files
  EXPECT_FALSE(SecureFromSddl(L"O:SYD:P(A;;FA;;;SY)(A;;WD;;;AU)"));         // users may re-ACL
  EXPECT_FALSE(SecureFromSddl(L"O:SYD:P(A;;FA;;;SY)(A;OICI;FA;;;CO)"));      // creator owner
  EXPECT_FALSE(SecureFromSddl(L"O:SYD:NO_ACCESS_CONTROL"));                  // null DACL
}

}  // namespace
}  // namespace test
}  // namespace varnelo
