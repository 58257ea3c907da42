#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "service/caller_rules.h"
#include "service/core_rules.h"
#include "service/link_rules.h"
#include "service/path_rules.h"
#include "service/trust_rules.h"

namespace varnelo {
namespace {

// The decision behind refusing a caller that renamed its running file (Wine cannot show a rename).
TEST(CallerImage, OnlyTheMappedFileItselfPasses) {
  const FileIdentity running{true, 0x1234, 77};
  EXPECT_EQ(MatchCallerImage(running, running), ImageMatch::kSameFile);
  EXPECT_EQ(MatchCallerImage(FileIdentity{true, 0x1234, 78}, running), ImageMatch::kOtherFile);
  EXPECT_EQ(MatchCallerImage(FileIdentity{true, 0x4321, 77}, running), ImageMatch::kOtherFile);
  EXPECT_EQ(MatchCallerImage(FileIdentity{}, running), ImageMatch::kUnknown);
  EXPECT_EQ(MatchCallerImage(running, FileIdentity{}), ImageMatch::kUnknown);
}

TEST(TimeoutMs, SignedDecimalWithClamping) {
  const std::pair<std::string, int32_t> cases[] = {
      {"1500", 1500}, {"  \t+25ms", 25}, {"-1", -1}, {"", 0}, {"abc", 0}, {"-", 0}, {" 12 34", 12},
      {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX}, {std::string(5000, '9'), INT32_MAX},
      {"-2147483648", INT32_MIN}, {"-99999999999999999999999999", INT32_MIN}};
  for (const auto& c : cases) EXPECT_EQ(ParseTimeoutMs(c.first), c.second) << c.first;
  EXPECT_EQ(static_cast<uint32_t>(ParseTimeoutMs("-1")), 0xFFFFFFFFu);  // no limit
}

TEST(CoreCommandLine, QuotedArgumentsAtAnyLength) {
  std::wstring line;
  ASSERT_TRUE(BuildCoreCommandLine(L"C:\\Data\\Core", L"C:\\Data\\Core\\core-config", &line));
  EXPECT_EQ(line, L"VarneloCore.exe -d \"C:\\Data\\Core\" -f \"C:\\Data\\Core\\core-config\"");

  const std::wstring longPath = L"C:\\" + std::wstring(516, L'a');  // 519 characters each
  ASSERT_TRUE(BuildCoreCommandLine(longPath, longPath + L"f", &line));
  EXPECT_EQ(line, L"VarneloCore.exe -d \"" + longPath + L"\" -f \"" + longPath + L"f\"");  // uncut

  line = L"unchanged";
  EXPECT_FALSE(BuildCoreCommandLine(L"C:\\d\" -x \"", L"C:\\c", &line));
  EXPECT_FALSE(BuildCoreCommandLine(L"C:\\d", L"C:\\c\"", &line));
  EXPECT_EQ(line, L"unchanged");
}

TEST(PathRules, UncAndCaseAndSeparators) {
  EXPECT_TRUE(IsUncOrDevicePath(L"\\\\host\\share", 13));
  EXPECT_TRUE(IsUncOrDevicePath(L"//host/share", 12));
  EXPECT_TRUE(IsUncOrDevicePath(L"\\/x", 3));
  EXPECT_TRUE(IsUncOrDevicePath(L"\\\\?\\C:\\x", 8));
  EXPECT_FALSE(IsUncOrDevicePath(L"\\x", 2));
  EXPECT_FALSE(IsUncOrDevicePath(L"\\", 1));
  EXPECT_FALSE(IsUncOrDevicePath(L"C:\\\\", 4));

  EXPECT_TRUE(EqualsIgnoringAsciiCase(std::wstring(L"c:\\Program Files\\"), L"C:\\program files\\"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(std::wstring(L"C:\\x"), L"C:\\x\\"));
  // Only ASCII letters fold: U+00C9 and U+00E9 differ.
  EXPECT_FALSE(EqualsIgnoringAsciiCase(std::wstring(L"C:\\\u00C9"), L"C:\\\u00E9"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(std::wstring(L"["), L"{"));  // '[' is not 'A'+26 folded

  EXPECT_EQ(WithoutOneTrailingSeparator(L"C:\\data\\"), L"C:\\data");
  EXPECT_EQ(WithoutOneTrailingSeparator(L"C:\\data//"), L"C:\\data/");
  EXPECT_EQ(WithoutOneTrailingSeparator(L"C:\\data"), L"C:\\data");
  EXPECT_EQ(WithoutOneTrailingSeparator(L""), L"");
}

TEST(LinkRules, RequestPathEndingInALinkIsRefused) {
  constexpr std::uint32_t kReadOnly = 0x1, kNormal = 0x80;
  EXPECT_TRUE(IsLinkedPathComponent(kAttributeDirectory | kAttributeReparsePoint));  // junction
  EXPECT_TRUE(IsLinkedPathComponent(kNormal | kAttributeReparsePoint));  // file symbolic link
  EXPECT_FALSE(IsLinkedPathComponent(kAttributeDirectory | kReadOnly));
  EXPECT_FALSE(IsLinkedPathComponent(kInvalidAttributes));  // not there yet: nothing to follow
}

TEST(LinkRules, LogFolderAndFileMustBePlainAndSingleNamed) {
  EXPECT_TRUE(IsPlainLogEntry(kAttributeDirectory, 1, true));
  EXPECT_TRUE(IsPlainLogEntry(kAttributeDirectory, 3, true));  // a folder's link count is moot
  EXPECT_FALSE(IsPlainLogEntry(kAttributeDirectory | kAttributeReparsePoint, 1, true));
  EXPECT_FALSE(IsPlainLogEntry(0x80, 1, true));  // a file where the folder should be

  EXPECT_TRUE(IsPlainLogEntry(0x20, 1, false));
  EXPECT_FALSE(IsPlainLogEntry(0x20, 2, false));  // a planted hard link
  EXPECT_FALSE(IsPlainLogEntry(0x20 | kAttributeReparsePoint, 1, false));
  EXPECT_FALSE(IsPlainLogEntry(kAttributeDirectory, 1, false));
}

TEST(TrustRules, ChainMustReachATrustedRootIntact) {
  constexpr std::uint32_t kNotTimeValid = 0x1, kRevocationUnknown = 0x40, kOfflineRevocation = 0x01000000;
  EXPECT_TRUE(IsChainTrusted(0));
  EXPECT_TRUE(IsChainTrusted(kNotTimeValid | kRevocationUnknown | kOfflineRevocation));
  for (std::uint32_t refused : {kChainUntrustedRoot, kChainPartial, kChainSignatureInvalid, kChainRevoked,
                                kChainCyclic, kChainExplicitDistrust}) {
    EXPECT_FALSE(IsChainTrusted(refused)) << std::hex << refused;
    EXPECT_FALSE(IsChainTrusted(refused | kNotTimeValid)) << std::hex << refused;
  }
}

}  // namespace
}  // namespace varnelo
