// The install location's string rules, one table per rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uninstaller/install_location_rules.h"

namespace varnelo {
namespace {

struct Case {
  const wchar_t* input;
  const wchar_t* expected;
};
struct Judged {
  std::wstring path;
  bool expected;
};

TEST(InstallLocationRules, EnsureTrailingSlash) {
  for (const Case& c : std::vector<Case>{{L"C:\\Program Files\\Varnelo", L"C:\\Program Files\\Varnelo\\"},
                                         {L"C:\\Program Files\\Varnelo\\", L"C:\\Program Files\\Varnelo\\"},
                                         {L"C:/Apps/Varnelo/", L"C:/Apps/Varnelo/"}, {L"", L""}}) {
    std::wstring path = c.input;
    EnsureTrailingSlash(&path);
    EXPECT_EQ(path, c.expected) << c.input;
  }
}

TEST(InstallLocationRules, TrimWhitespace) {
  for (const Case& c : std::vector<Case>{{L" \t\r\nC:\\a b\r\n", L"C:\\a b"}, {L"x", L"x"}, {L" \t\r\n ", L""},
                                         {L"", L""}, {L"\va\v", L"\va\v"}}) {
    EXPECT_EQ(TrimWhitespace(c.input), c.expected) << c.input;
  }
}

TEST(InstallLocationRules, GetExePathFromCommand) {
  for (const Case& c : std::vector<Case>{
           {L"\"C:\\Program Files\\Varnelo\\uninstall.exe\" /S", L"C:\\Program Files\\Varnelo\\uninstall.exe"},
           {L"  C:\\Program Files\\Varnelo\\Uninstall.EXE /S", L"C:\\Program Files\\Varnelo\\Uninstall.EXE"},
           {L"\"C:\\Program Files\\Varnelo\\uninstall.exe /S", L"C:\\Program Files\\Varnelo\\uninstall.exe /S"},
           {L"C:\\Apps\\Varnelo\\tool.exe.bak\\run.exe -x", L"C:\\Apps\\Varnelo\\tool.exe"},  // first ".exe"
           {L"C:\\Apps\\Varnelo\\uninstall", L"C:\\Apps\\Varnelo\\uninstall"},
           {L"\"\"", L""}, {L" \t\r\n", L""}, {L".ex", L".ex"}}) {
    EXPECT_EQ(GetExePathFromCommand(c.input), c.expected) << c.input;
  }
}

TEST(InstallLocationRules, GetDirOfCommand) {
  for (const Case& c : std::vector<Case>{
           {L"\"C:\\Program Files\\Varnelo\\uninstall.exe\" /S", L"C:\\Program Files\\Varnelo\\"},
           {L"C:\\Program Files\\Varnelo\\Uninstall.EXE /S", L"C:\\Program Files\\Varnelo\\"},
           {L"C:/Apps/Varnelo/uninstall.exe", L"C:/Apps/Varnelo/"}, {L"uninstall.exe /S", L"uninstall.exe"},
           {L"   ", L""}}) {
    EXPECT_EQ(GetDirOfCommand(c.input), c.expected) << c.input;
  }
}

TEST(InstallLocationRules, HasProductDirName) {
  for (const Judged& c : std::vector<Judged>{
           {L"D:\\Apps\\VARNELO", true}, {L"D:\\Apps\\Varnelo\\\\//", true}, {L"Varnelo", true},
           {L"D:/Apps/varnelo/", true}, {L"D:\\Apps\\Varnelo VPN", false}, {L"D:\\Varnelo\\Apps", false},
           {L"D:\\Apps\\XVarnelo", false}, {L"\\\\", false}, {L"", false}}) {
    EXPECT_EQ(HasProductDirName(c.path), c.expected) << c.path;
  }
}

TEST(InstallLocationRules, IsPlainAbsolutePath) {
  const std::wstring deep = L"C:\\" + std::wstring(250, L'a') + L"\\Varnelo";
  for (const Judged& c : std::vector<Judged>{
           {L"C:\\Program Files\\Varnelo", true}, {L"\\\\server\\share\\Varnelo", true}, {deep.substr(0, 259), true},
           {deep, false}, {L"Varnelo", false}, {L"\\Varnelo", false}, {L"C:Varnelo", false}, {L"C:\\", false},
           {L"C:\\Apps\\..\\Varnelo", false}, {L"", false}}) {
    EXPECT_EQ(IsPlainAbsolutePath(c.path), c.expected) << c.path.size();
  }
}

TEST(InstallLocationRules, IsListedPathDeletable) {
  const std::vector<std::wstring> known = {L"C:\\WINDOWS", L"C:\\PROGRAM FILES", L"C:\\USERS\\ANN",
                                           L"C:\\USERS\\ANN\\DESKTOP", L"C:\\USERS\\ANN\\DOCUMENTS"};
  for (const Judged& c : std::vector<Judged>{
           {L"C:\\Program Files\\Varnelo\\Shortcuts", true}, {L"C:\\Users\\Ann\\Desktop\\Varnelo VPN.lnk", true},
           {L"\\\\server\\share\\Varnelo", true},
           // drive roots
           {L"C:\\", false}, {L"c:/", false}, {L"C:\\\\", false}, {L"\\\\server\\share\\", false},
           // known folders in any spelling, and a folder that holds one
           {L"C:\\Users\\Ann\\Desktop", false}, {L"c:/users/ANN/desktop/", false}, {L"C:\\\\Windows", false},
           {L"C:\\Users", false},
           // relative, rooted without a drive, drive-relative, climbing
           {L"Varnelo.lnk", false}, {L"\\Varnelo", false}, {L"C:Varnelo", false},
           {L"C:\\Program Files\\Varnelo\\..\\..", false},
           // Windows trims these into the known folder; device paths
           {L"C:\\Users\\Ann\\Desktop.", false}, {L"C:\\Users\\Ann\\Desktop \\", false},
           {L"\\\\?\\C:\\Temp\\Varnelo", false}, {L"\\\\.\\C:\\Temp\\Varnelo", false}, {L"", false}}) {
    EXPECT_EQ(IsListedPathDeletable(c.path, known), c.expected) << c.path;
  }
  // Every profile in the profiles folder is kept, also one not in the known list.
  for (const Judged& c : std::vector<Judged>{{L"C:\\Users\\Bob", false}, {L"c:/users/bob/", false},
                                             {L"C:\\Users", false}, {L"C:\\Users\\Bob\\Desktop\\Varnelo VPN.lnk", true},
                                             {L"C:\\UsersOld\\Bob", true}}) {
    EXPECT_EQ(IsListedPathDeletable(c.path, known, {L"C:\\USERS"}), c.expected) << c.path;
  }
}

}  // namespace
}  // namespace varnelo
