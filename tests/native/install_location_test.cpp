// The install location's string rules, one table per rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uninstaller/install_location_rules.h"
#include "uninstaller/relaunch_rules.h"

namespace varnelo {
namespace {

struct Judged {
  std::wstring path;
  bool expected;
};

// The executable and its directory, as GetInstallDir takes them from "UninstallString".
TEST(InstallLocationRules, TheUninstallCommandsFirstExeAndItsFolderAreTheInstallation) {
  const struct {
    const wchar_t* command;
    const wchar_t* exe;
    const wchar_t* dir;
  } cases[] = {
      {L"\"C:\\Program Files\\Varnelo\\uninstall.exe\" /S",
       L"C:\\Program Files\\Varnelo\\uninstall.exe", L"C:\\Program Files\\Varnelo\\"},
      {L" \t C:\\Program Files\\Varnelo\\Uninstall.EXE /S\r\n",
       L"C:\\Program Files\\Varnelo\\Uninstall.EXE", L"C:\\Program Files\\Varnelo\\"},
      // no closing quote: to the end
      {L"\"C:\\Program Files\\Varnelo\\uninstall.exe -s",
       L"C:\\Program Files\\Varnelo\\uninstall.exe -s", L"C:\\Program Files\\Varnelo\\"},
      // the first ".exe", even inside a folder name
      {L"C:\\Apps\\Varnelo\\tool.exe.bak\\run.exe -x", L"C:\\Apps\\Varnelo\\tool.exe",
       L"C:\\Apps\\Varnelo\\"},
      // no ".exe": the whole line, trimmed
      {L"C:/Apps/Varnelo/uninstall \r\n", L"C:/Apps/Varnelo/uninstall", L"C:/Apps/Varnelo/"},
      {L"uninstall.exe /S", L"uninstall.exe", L"uninstall.exe"},
      {L"\"\"", L"", L""},
      {L" \t\r\n", L"", L""},
      {L".ex", L".ex", L".ex"}};
  for (const auto& c : cases) {
    EXPECT_EQ(GetExePathFromCommand(c.command), c.exe) << c.command;
    EXPECT_EQ(GetDirOfCommand(c.command), c.dir) << c.command;
  }
}

TEST(InstallLocationRules, OnlyAFolderNamedVarneloIsTheProducts) {
  for (const Judged& c : std::vector<Judged>{{L"D:\\Apps\\VARNELO", true},
                                             {L"D:\\Apps\\Varnelo\\\\//", true},
                                             {L"Varnelo", true},
                                             {L"D:/Apps/varnelo/", true},
                                             {L"D:\\Apps\\Varnelo VPN", false},
                                             {L"D:\\Varnelo\\Apps", false},
                                             {L"D:\\Apps\\XVarnelo", false},
                                             {L"\\\\", false},
                                             {L"", false}}) {
    EXPECT_EQ(HasProductDirName(c.path), c.expected) << c.path;
  }
}

// What may reach the shell: the components are judged as IsListedPathDeletable judges them (its
// table below); here the length bound and the roots.
TEST(InstallLocationRules, OnlyAShortAbsolutePathBelowARootReachesTheShell) {
  const std::wstring deep = L"C:\\" + std::wstring(250, L'a') + L"\\Varnelo";
  for (const Judged& c : std::vector<Judged>{{L"C:\\Program Files\\Varnelo", true},
                                             {deep.substr(0, 259), true},
                                             {deep, false},
                                             {L"C:\\", false},
                                             {L"\\\\server\\share", false}}) {
    EXPECT_EQ(IsPlainAbsolutePath(c.path), c.expected) << c.path.size();
  }
}

TEST(InstallLocationRules, AListedPathNeverTakesARootAKnownFolderOrAProfile) {
  const std::vector<std::wstring> known = {L"C:\\WINDOWS", L"C:\\PROGRAM FILES", L"C:\\USERS\\ANN",
                                           L"C:\\USERS\\ANN\\DESKTOP",
                                           L"C:\\USERS\\ANN\\DOCUMENTS"};
  for (const Judged& c :
       std::vector<Judged>{{L"C:\\Program Files\\Varnelo\\Shortcuts", true},
                           {L"C:\\Users\\Ann\\Desktop\\Varnelo VPN.lnk", true},
                           {L"\\\\server\\share\\Varnelo", true},
                           // drive roots
                           {L"C:\\", false},
                           {L"c:/", false},
                           {L"C:\\\\", false},
                           {L"\\\\server\\share\\", false},
                           // known folders in any spelling, and a folder that holds one
                           {L"C:\\Users\\Ann\\Desktop", false},
                           {L"c:/users/ANN/desktop/", false},
                           {L"C:\\\\Windows", false},
                           {L"C:\\Users", false},
                           // relative, rooted without a drive, drive-relative, climbing
                           {L"Varnelo.lnk", false},
                           {L"\\Varnelo", false},
                           {L"C:Varnelo", false},
                           {L"C:\\Program Files\\Varnelo\\..\\..", false},
                           // Windows trims these into the known folder; device paths
                           {L"C:\\Users\\Ann\\Desktop.", false},
                           {L"C:\\Users\\Ann\\Desktop \\", false},
                           {L"\\\\?\\C:\\Temp\\Varnelo", false},
                           {L"\\\\.\\C:\\Temp\\Varnelo", false},
                           {L"", false}}) {
    EXPECT_EQ(IsListedPathDeletable(c.path, known), c.expected) << c.path;
  }
  // Every profile in the profiles folder is kept, also one not in the known list.
  for (const Judged& c : std::vector<Judged>{{L"C:\\Users\\Bob", false},
                                             {L"c:/users/bob/", false},
                                             {L"C:\\Users", false},
                                             {L"C:\\Users\\Bob\\Desktop\\Varnelo VPN.lnk", true},
                                             {L"C:\\UsersOld\\Bob", true}}) {
    EXPECT_EQ(IsListedPathDeletable(c.path, known, {L"C:\\USERS"}), c.expected) << c.path;
  }
}

// The copy's folder is recognised by its name and by lying directly in the system's temporary
// folder; the name the program makes is one it recognises.
TEST(InstallLocationRules, TheCopysFolderLiesDirectlyInTheSystemTempUnderItsOwnName) {
  const unsigned char random[kCopyFolderRandomBytes] = {0x00, 0x1f, 0xa0, 0xff, 1, 2,  3,  4,
                                                        5,    6,    7,    8,    9, 10, 11, 0xbc};
  const std::wstring name = CopyFolderName(random);
  EXPECT_EQ(name, L"Varnelo-001fa0ff0102030405060708090a0bbc");
  const std::wstring temp = L"C:\\Windows\\Temp";
  const std::wstring hex = name.substr(8);
  for (const Judged& c : std::vector<Judged>{
           {temp + L"\\" + name + L"\\uninstall.exe", true},
           {L"c:/windows/TEMP/VARNELO-" + hex + L"/uninstall.exe", true},
           {temp + L"\\\\" + name + L"\\uninstall.exe", true},
           // a user's temporary folder, a folder beside, below or above the right place
           {L"C:\\Users\\Ann\\AppData\\Local\\Temp\\" + name + L"\\uninstall.exe", false},
           {L"C:\\Windows\\Temp2\\" + name + L"\\uninstall.exe", false},
           {temp + L"\\x\\" + name + L"\\uninstall.exe", false},
           {temp + L"\\" + name + L"\\sub\\uninstall.exe", false},
           {temp + L"\\uninstall.exe", false},
           {temp + L"\\" + name + L"\\..\\" + name + L"\\uninstall.exe", false},
           // names: one digit short or long, a letter that is no hexadecimal digit, another prefix
           {temp + L"\\Varnelo-" + hex.substr(1) + L"\\uninstall.exe", false},
           {temp + L"\\Varnelo-" + hex + L"0\\uninstall.exe", false},
           {temp + L"\\Varnelo-" + hex.substr(1) + L"g\\uninstall.exe", false},
           {temp + L"\\Varnelo_" + hex + L"\\uninstall.exe", false},
           {temp + L"\\" + hex + L"\\uninstall.exe", false},
           {L"", false}}) {
    EXPECT_EQ(RunsFromCopyFolder(c.path, temp), c.expected) << c.path;
  }
  EXPECT_TRUE(RunsFromCopyFolder(temp + L"\\" + name + L"\\uninstall.exe", temp + L"\\"));
  EXPECT_FALSE(RunsFromCopyFolder(temp + L"\\" + name + L"\\uninstall.exe", L""));
}

// A copy trusts its folder only on handles named in exactly the form its maker writes; anything
// else on its command line is no relaunch, and the copy relocates.
TEST(RelaunchRules, OnlyTheMakersOwnFormNamesHandles) {
  const RelaunchHandles written = {0x1f4, 0x7ffe0000ull, 0xffffffffffffffffull};
  RelaunchHandles read;
  ASSERT_TRUE(ParseRelaunchArguments(L"  " + RelaunchArguments(written) + L" ", &read));
  EXPECT_EQ(read.parent, written.parent);
  EXPECT_EQ(read.folder, written.folder);
  EXPECT_EQ(read.file, written.file);
  for (const wchar_t* refused :
       {L"", L"--relaunched-copy=", L"--relaunched-copy=1,2", L"--relaunched-copy=1,2,3,4",
        L"--relaunched-copy=1,,3", L"--relaunched-copy=0,2,3", L"--relaunched-copy=01,2,3",
        L"--relaunched-copy=1,2,3 x", L"x --relaunched-copy=1,2,3", L"--relaunched-copy=1,2,G",
        L"--relaunched-copy=1,2,A", L"--RELAUNCHED-COPY=1,2,3", L"--relaunched-copy=-1,2,3",
        L"--relaunched-copy=1,2,10000000000000000", L"\"--relaunched-copy=1,2,3\""}) {
    EXPECT_FALSE(ParseRelaunchArguments(refused, &read)) << refused;
  }
}

// The self-deletion line is built only from text cmd.exe reads as plain names: a variable, an
// escape, a separator of commands, a redirection, a group or a line break anywhere refuses it. It
// runs without the user's AutoRun command, names timeout.exe by its full path, and gets an
// environment of its own, so neither PATH nor PATHEXT of the user's can put another program there.
TEST(RelaunchRules, SelfDeletionRunsOnlyWhatItNamesAndNamesOnlyInertPaths) {
  const std::wstring system = L"C:\\Windows\\system32";
  const std::wstring folder = L"C:\\Windows\\Temp\\Varnelo-00ff";
  EXPECT_EQ(SelfDeletionArguments(system, folder, L"uninstall.exe"),
            L"/D /S /C \"\"C:\\Windows\\system32\\timeout.exe\" /t 3 && del "
            L"\"C:\\Windows\\Temp\\Varnelo-00ff\\uninstall.exe\" && rmdir "
            L"\"C:\\Windows\\Temp\\Varnelo-00ff\"\"");
  const wchar_t block[] =
      L"ComSpec=C:\\Windows\\system32\\cmd.exe\0PATH=C:\\Windows\\system32\0PATHEXT=.COM;.EXE\0"
      L"SystemRoot=C:\\Windows\0";  // the literal's own terminator ends the block
  EXPECT_EQ(SelfDeletionEnvironment(L"C:\\Windows", system),
            std::wstring(block, sizeof(block) / sizeof(block[0])));
  EXPECT_TRUE(IsInertForCommandInterpreter(L"C:\\Program Files\\Varnelo \u4e2d-_.,;=@#$~'`[]{}+"));
  for (const wchar_t* interpreted : {L"%", L"!", L"^", L"&", L"|", L"<", L">", L"\"", L"(", L")",
                                     L"\n", L"\r", L"\x1f", L"\x7f"}) {
    EXPECT_FALSE(IsInertForCommandInterpreter(std::wstring(L"C:\\a") + interpreted + L"b"))
        << interpreted;
    EXPECT_EQ(SelfDeletionArguments(system + interpreted, folder, L"uninstall.exe"), L"")
        << interpreted;
    EXPECT_EQ(SelfDeletionArguments(system, folder + interpreted, L"uninstall.exe"), L"")
        << interpreted;
    EXPECT_EQ(SelfDeletionArguments(system, folder, std::wstring(L"u") + interpreted + L".exe"),
              L"")
        << interpreted;
  }
  EXPECT_EQ(SelfDeletionArguments(system, L"", L"uninstall.exe"), L"");
}

}  // namespace
}  // namespace varnelo
