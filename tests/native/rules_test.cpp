#include <gtest/gtest.h>

#include <climits>
#include <cwchar>
#include <string>
#include <vector>

#include "service/core/core_rules.h"
#include "service/log/link_rules.h"
#include "service/log/log_folder_rules.h"
#include "service/pipe/give_way_rules.h"
#include "service/trust/caller_rules.h"
#include "service/trust/path_rules.h"
#include "service/trust/refused_images.h"
#include "service/trust/trust_rules.h"

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

TEST(CallerImage, OnlyAnImageOnALocalDiskIsRead) {
  for (const wchar_t* local :
       {L"\\Device\\HarddiskVolume3\\Program Files\\Varnelo\\Varnelo.exe",
        L"\\device\\harddiskvolume12\\\u7a0b\u5e8f\\Varnelo.exe", L"\\Device\\CdRom0\\setup.exe",
        // a dynamic disk's volume, as on a mirrored system drive
        L"\\Device\\HarddiskDmVolumes\\HostDg0\\Volume1\\Program Files\\Varnelo\\Varnelo.exe",
        L"\\device\\harddiskdmvolumes\\hostdg0\\volume12\\x.exe"}) {
    EXPECT_TRUE(IsOnLocalVolume(local)) << testing::PrintToString(std::wstring(local));
  }
  // Shares, redirectors (also behind a mapped drive letter), client drives of a remote session,
  // and anything not plainly a numbered local volume.
  for (const wchar_t* remote :
       {L"\\Device\\Mup\\host\\share\\Varnelo.exe",
        L"\\Device\\Mup\\;LanmanRedirector\\;Z:000000000001a2b3\\host\\share\\Varnelo.exe",
        L"\\Device\\LanmanRedirector\\;Z:000000000001a2b3\\host\\share\\Varnelo.exe",
        L"\\Device\\WebDavRedirector\\host\\DavWWWRoot\\Varnelo.exe",
        L"\\Device\\RdpDr\\;:1\\C\\x.exe", L"\\Device\\HarddiskVolume\\x.exe",
        L"\\Device\\HarddiskVolume3", L"\\Device\\HarddiskVolume3x\\a.exe", L"\\??\\C:\\a.exe",
        L"C:\\a.exe", L"\\\\host\\share\\a.exe", L"\\Device\\HarddiskDmVolumes\\HostDg0\\x.exe",
        L"\\Device\\HarddiskDmVolumes\\\\Volume1\\x.exe",
        L"\\Device\\HarddiskDmVolumes\\Dg\\Volume\\x.exe",
        L"\\Device\\HarddiskDmVolumes\\Dg\\Share1\\x.exe",
        L"\\Device\\HarddiskDmVolumes\\Dg\\Volume1"}) {
    EXPECT_FALSE(IsOnLocalVolume(remote)) << testing::PrintToString(std::wstring(remote));
  }
}

// Only a process created after the connection was taken and before it was opened stands for an
// opener that had gone and whose pid was reused; a clock set back meanwhile refuses nobody.
TEST(CallerProcess, OnlyACreationWhileConnectingIsARefusal) {
  const std::uint64_t connected = 1000, opened = 1010;
  EXPECT_FALSE(IsCreatedWhileConnecting(999, connected, opened));  // started before it connected
  EXPECT_FALSE(IsCreatedWhileConnecting(1000, connected, opened));
  EXPECT_TRUE(IsCreatedWhileConnecting(1001, connected, opened));  // the pid passed on meanwhile
  EXPECT_TRUE(IsCreatedWhileConnecting(1010, connected, opened));
  EXPECT_FALSE(IsCreatedWhileConnecting(1011, connected, opened));  // the clock was set back
  EXPECT_FALSE(IsCreatedWhileConnecting(60001000, connected, opened));
}

// Which files had callers refused lately, and why: the same version of the same file (volume,
// index, size, last write) within the minute; not another file, not the file rewritten, not an
// unknown one, and never more than the memory keeps (the oldest goes first).
TEST(RefusedImages, RemembersTheSameVersionOfTheSameFileForAMinute) {
  RefusedImages refused;
  const FileVersion flood{{true, 7, 100}, 4096, 55};
  const std::wstring path = L"\\Device\\HarddiskVolume3\\flood.exe";
  const std::string why = "caller file signature is invalid or missing";
  refused.Remember(flood, path, why, 1000);
  refused.Remember(FileVersion{}, L"\\Device\\HarddiskVolume3\\unknown.exe", why, 1000);
  EXPECT_EQ(refused.RefusedLately(flood, 1000 + kRefusedImageMemoryMs - 1), why);
  EXPECT_EQ(refused.RefusedLately(flood, 1000 + kRefusedImageMemoryMs), "");
  EXPECT_TRUE(refused.PathRefusedLately(path, 1000 + kRefusedImageMemoryMs - 1));
  EXPECT_FALSE(refused.PathRefusedLately(path, 1000 + kRefusedImageMemoryMs));
  EXPECT_FALSE(refused.PathRefusedLately(L"\\Device\\HarddiskVolume3\\unknown.exe", 1000));
  EXPECT_FALSE(refused.PathRefusedLately(L"", 1000));
  for (const FileVersion& other :
       {FileVersion{{true, 7, 101}, 4096, 55}, FileVersion{{true, 8, 100}, 4096, 55},
        FileVersion{{true, 7, 100}, 4097, 55}, FileVersion{{true, 7, 100}, 4096, 56},
        FileVersion{}}) {
    EXPECT_EQ(refused.RefusedLately(other, 1000), "") << other.file.index << " " << other.size;
  }
  refused.Remember(flood, path, why, 50000);  // a later refusal renews it
  EXPECT_EQ(refused.RefusedLately(flood, 1000 + kRefusedImageMemoryMs), why);
  for (std::uint64_t i = 0; i < kRefusedImagesKept; ++i)
    refused.Remember(FileVersion{{true, 9, i}, 1, 1}, L"other", why, 60000 + i);
  EXPECT_EQ(refused.RefusedLately(flood, 60100), "") << "kept beyond the memory's size";
  EXPECT_EQ(refused.RefusedLately(FileVersion{{true, 9, 0}, 1, 1}, 60100), why);
}

// Which connection gives way when the last instance is taken: none while one listens; the lowest
// rank first and the longest waiting within it; never one that runs its command; and a newcomer
// whose account holds more than half of the instances makes room among that account's own.
TEST(GiveWay, LowestRankLongestWaitingAndNoAccountKeepsTheOthersOut) {
  using R = GiveWayRank;
  const auto waiting = [](R rank, std::uint64_t since, const wchar_t* user) {
    InstanceState state;
    state.waiting = true;
    state.rank = rank;
    state.waiting_since = since;
    state.user = user;
    return state;
  };
  std::vector<InstanceState> instances = {
      waiting(R::kTrusted, 1, L"ann"),  waiting(R::kBeingJudged, 2, L"ann"),
      waiting(R::kUnjudged, 5, L"bob"), waiting(R::kUnjudged, 3, L"bob"),
      waiting(R::kRefused, 9, L"carl"), waiting(R::kTrusted, 0, L"dora"),
      waiting(R::kUnjudged, 0, L"eve"), waiting(R::kUnjudged, 99, L"fay")};
  instances[6].waiting = false;  // its command runs
  EXPECT_EQ(ChooseGiveWay(instances, 7), 4);
  instances[4].gave_way = true;
  EXPECT_EQ(ChooseGiveWay(instances, 7), 3);
  instances[3].rank = R::kTrusted;
  EXPECT_EQ(ChooseGiveWay(instances, 7), 2);
  instances[2].listening = true;
  EXPECT_EQ(ChooseGiveWay(instances, 7), -1);

  // Five of eight held by one account, all of them trusted and stalling: its newcomer makes room
  // among its own, whatever the others' ranks; a newcomer of another account does not.
  std::vector<InstanceState> flood;
  for (std::uint64_t i = 0; i < 5; ++i) flood.push_back(waiting(R::kTrusted, i, L"mallory"));
  flood.push_back(waiting(R::kBeingJudged, 10, L"ann"));
  flood.push_back(waiting(R::kUnjudged, 11, L""));
  flood.push_back(waiting(R::kUnjudged, 12, L"mallory"));
  EXPECT_EQ(ChooseGiveWay(flood, 7), 0);
  flood[7].user = L"ann";
  EXPECT_EQ(ChooseGiveWay(flood, 7), 6);
  flood[7].user = L"";  // an unknown account holds no share
  EXPECT_EQ(ChooseGiveWay(flood, 7), 6);
  for (InstanceState& state : flood) state.user = L"mallory";  // one account on the machine
  EXPECT_EQ(ChooseGiveWay(flood, 7), 6);
}

TEST(TimeoutMs, ASignedDecimalIsClampedIntoItsRange) {
  const std::pair<std::string, int32_t> cases[] = {{"1500", 1500},
                                                   {"  \t+25ms", 25},
                                                   {"-1", -1},
                                                   {"", 0},
                                                   {"abc", 0},
                                                   {"-", 0},
                                                   {" 12 34", 12},
                                                   {"2147483647", INT32_MAX},
                                                   {"2147483648", INT32_MAX},
                                                   {std::string(5000, '9'), INT32_MAX},
                                                   {"-2147483648", INT32_MIN},
                                                   {"-99999999999999999999999999", INT32_MIN}};
  for (const auto& c : cases) EXPECT_EQ(ParseTimeoutMs(c.first), c.second) << c.first;
  EXPECT_EQ(static_cast<uint32_t>(ParseTimeoutMs("-1")), 0xFFFFFFFFu);  // no limit
}

// Arguments after the program name, split as CommandLineToArgvW and the C runtime split them.
std::vector<std::wstring> SplitArguments(const std::wstring& line) {
  std::vector<std::wstring> arguments;
  size_t i = 0;
  const auto blank = [&](size_t at) { return line[at] == L' ' || line[at] == L'\t'; };
  for (;;) {
    while (i < line.size() && blank(i)) ++i;
    if (i == line.size()) return arguments;
    std::wstring argument;
    bool quoted = false;
    while (i < line.size() && (quoted || !blank(i))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == L'\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == L'"') {
        argument.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          argument.push_back(L'"');
        } else if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
          argument.push_back(L'"');
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        argument.append(backslashes, L'\\');
        if (i < line.size() && (quoted || !blank(i))) argument.push_back(line[i++]);
      }
    }
    arguments.push_back(argument);
  }
}

TEST(CoreCommandLine, EachArgumentReadsBackAsGiven) {
  const std::wstring arguments[] = {
      L"C:\\Data\\Core",
      L"C:\\",
      L"C:\\d\\",
      L"C:\\a\\\\",
      L"a\\\\\"b",
      L"\\\"",
      L"C:\\Program Files\\x y\\",
      L"C:\\\u6570\u636e\\\u00e9 \U0001F600",
      L"",
      L"tab\there",
  };
  for (const std::wstring& argument : arguments) {
    const std::vector<std::wstring> expected = {L"-d", argument};
    EXPECT_EQ(SplitArguments(L"-d " + QuoteArgument(argument)), expected);
  }

  std::wstring line;
  ASSERT_TRUE(BuildCoreCommandLine(L"C:\\Data\\Core", L"C:\\Data\\Core\\core-config", &line));
  EXPECT_EQ(
      line,
      L"VarneloCore.exe -d \"C:\\Data\\Core\" -f \"C:\\Data\\Core\\core-config\"");  // as always
  ASSERT_TRUE(BuildCoreCommandLine(WithoutOneTrailingSeparator(L"C:\\"), L"C:\\cfg dir\\", &line));
  const std::vector<std::wstring> expected = {L"VarneloCore.exe", L"-d", L"C:\\", L"-f",
                                              L"C:\\cfg dir\\"};
  EXPECT_EQ(SplitArguments(line), expected)
      << "a drive root or trailing backslash must not escape the quote";

  const std::wstring long_path = L"C:\\" + std::wstring(516, L'a');  // 519 characters each
  ASSERT_TRUE(BuildCoreCommandLine(long_path, long_path + L"f", &line));
  EXPECT_EQ(line,
            L"VarneloCore.exe -d \"" + long_path + L"\" -f \"" + long_path + L"f\"");  // uncut

  line = L"unchanged";
  EXPECT_FALSE(BuildCoreCommandLine(L"C:\\d\" -x \"", L"C:\\c", &line));
  EXPECT_FALSE(BuildCoreCommandLine(L"C:\\d", L"C:\\c\"", &line));
  EXPECT_EQ(line, L"unchanged");
}

TEST(PathRules, NetworkPathsAreRefusedAndCaseAndSeparatorsDoNotCount) {
  EXPECT_TRUE(IsUncOrDevicePath(L"\\\\host\\share", 13));
  EXPECT_TRUE(IsUncOrDevicePath(L"//host/share", 12));
  EXPECT_TRUE(IsUncOrDevicePath(L"\\/x", 3));
  EXPECT_TRUE(IsUncOrDevicePath(L"\\\\?\\C:\\x", 8));
  EXPECT_FALSE(IsUncOrDevicePath(L"\\x", 2));
  EXPECT_FALSE(IsUncOrDevicePath(L"\\", 1));
  EXPECT_FALSE(IsUncOrDevicePath(L"C:\\\\", 4));

  EXPECT_TRUE(
      EqualsIgnoringAsciiCase(std::wstring(L"c:\\Program Files\\"), L"C:\\program files\\"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(std::wstring(L"C:\\x"), L"C:\\x\\"));
  // Only ASCII letters fold: U+00C9 and U+00E9 differ.
  EXPECT_FALSE(EqualsIgnoringAsciiCase(std::wstring(L"C:\\\u00C9"), L"C:\\\u00E9"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(std::wstring(L"["), L"{"));  // '[' is not 'A'+26 folded

  EXPECT_EQ(WithoutOneTrailingSeparator(L"C:\\data\\"), L"C:\\data");
  EXPECT_EQ(WithoutOneTrailingSeparator(L"C:\\data//"), L"C:\\data/");
  EXPECT_EQ(WithoutOneTrailingSeparator(L"C:\\data"), L"C:\\data");
  EXPECT_EQ(WithoutOneTrailingSeparator(L""), L"");
  EXPECT_EQ(WithoutOneTrailingSeparator(L"C:\\"), L"C:\\");  // "C:" would be drive-relative
  EXPECT_EQ(WithoutOneTrailingSeparator(L"C:\\d\\"), L"C:\\d");
}

TEST(PathRules, FinalPathMustBeTheRequestedPath) {
  struct Case {
    const wchar_t* requested;
    const wchar_t* final_path;
    const wchar_t* remainder;
    bool matches;
  } cases[] = {
      {L"C:\\Data\\core", L"\\\\?\\C:\\Data\\core", L"", true},
      {L"c:\\DATA\\Core\\", L"\\\\?\\C:\\Data\\core", L"", true},  // case and a trailing separator
      {L"C:\\", L"\\\\?\\C:\\", L"", true},
      {L"C:\\Data\\new\\deeper", L"\\\\?\\C:\\Data\\", L"new\\deeper", true},  // not there yet
      {L"C:\\PROGRA~1\\x", L"\\\\?\\C:\\Program Files\\x", L"", false},        // 8.3 name
      {L"C:\\PROGRA~1\\new", L"\\\\?\\C:\\Program Files\\", L"new", false},
      {L"C:\\d\\x:ads", L"\\\\?\\C:\\d\\x:ads", L"", false},  // a stream
      {L"C:\\d\\x::$DATA", L"\\\\?\\C:\\d\\x", L"", false},
      {L"C:\\u\\link\\data", L"\\\\?\\C:\\Windows\\System32\\config", L"",
       false},  // junction in a parent
      {L"C:\\u\\link\\new", L"\\\\?\\C:\\Windows\\", L"new", false},
      {L"Z:\\share\\x", L"\\\\?\\UNC\\server\\share\\x", L"", false},  // mapped drive
      {L"C:\\data", L"\\\\?\\Volume{0b1e}\\data", L"", false},
      {L"C:\\data", L"\\\\?\\C:\\data\\more", L"", false},
      {L"C:\\\u00c9t\u00e9", L"\\\\?\\C:\\\u00e9t\u00e9", L"", false},  // only ASCII letters fold
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FinalPathMatchesRequest(c.requested, c.final_path, c.remainder), c.matches)
        << std::string(c.requested, c.requested + std::wcslen(c.requested));
  }

  std::wstring parent, leaf;
  ASSERT_TRUE(SplitLastComponent(L"C:\\a\\b\\", &parent, &leaf));
  EXPECT_EQ(parent + L"|" + leaf, L"C:\\a\\|b");
  ASSERT_TRUE(SplitLastComponent(L"C:\\a", &parent, &leaf));
  EXPECT_EQ(parent + L"|" + leaf, L"C:\\|a");
  EXPECT_FALSE(SplitLastComponent(L"C:\\", &parent, &leaf));
  EXPECT_FALSE(SplitLastComponent(L"C:", &parent, &leaf));
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

TEST(LogFolderRules, OnlySystemAdministratorsOrTheOwnAccountKeepTheFolder) {
  const std::wstring own = L"S-1-5-21-1004336348-1177238915-682003330-1001";
  for (const std::wstring& kept :
       {std::wstring(L"S-1-5-18"), std::wstring(L"S-1-5-32-544"), own, std::wstring(L"s-1-5-18")}) {
    EXPECT_TRUE(IsTrustedLogFolderOwner(kept, own)) << std::string(kept.begin(), kept.end());
  }
  for (const wchar_t* moved : {L"S-1-5-21-1004336348-1177238915-682003330-1002", L"S-1-5-32-545",
                               L"S-1-1-0", L"S-1-5-18-1", L"S-1-5-32-54", L"S-1-5-11", L""}) {
    EXPECT_FALSE(IsTrustedLogFolderOwner(moved, own)) << moved;
  }
  EXPECT_FALSE(IsTrustedLogFolderOwner(L"", L"")) << "an unknown owner is never the own account";
  EXPECT_TRUE(IsTrustedLogFolderOwner(L"S-1-5-18", L""));
}

TEST(TrustRules, ChainMustReachATrustedRootIntact) {
  constexpr std::uint32_t kNotTimeValid = 0x1, kRevocationUnknown = 0x40,
                          kOfflineRevocation = 0x01000000;
  EXPECT_TRUE(IsChainTrusted(0));
  EXPECT_TRUE(IsChainTrusted(kNotTimeValid | kRevocationUnknown | kOfflineRevocation));
  for (std::uint32_t refused : {kChainUntrustedRoot, kChainPartial, kChainSignatureInvalid,
                                kChainRevoked, kChainCyclic, kChainExplicitDistrust}) {
    EXPECT_FALSE(IsChainTrusted(refused)) << std::hex << refused;
    EXPECT_FALSE(IsChainTrusted(refused | kNotTimeValid)) << std::hex << refused;
  }
}

}  // namespace
}  // namespace varnelo
