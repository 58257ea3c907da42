// uninstall.exe: the relaunch from its own folder in the system's temporary folder against a
// racing program, the copy error when that folder cannot be made, the folder's descriptor, single
// window, confirmation in both languages, planted DLLs, resources.
#include <windows.h>
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/platform.h"
#include "tests/win/harness.h"
#include "tests/win/uninstaller_driver.h"
#include "tests/win/version_resource.h"
#include "uninstaller/install_location.h"
#include "uninstaller/install_location_rules.h"
#include "uninstaller/temp_copy.h"

namespace varnelo {
namespace test {
namespace {

std::wstring DaclText(PSECURITY_DESCRIPTOR sd) {
  wchar_t* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return L"";
  }
  const UniqueLocal owner(text);
  return text;
}

class Uninstaller : public ::testing::Test {
 protected:
  UninstallerRun run_;
};

// The confirmation speaks the UI language (the ctest entry uninstaller_test_zh runs this under a
// Chinese one). The installed program started again brings the first window forward through the
// copy it relaunches, which then leaves and deletes its own folder; Cancel ends the program at
// once and removes its copy and the copy's folder.
TEST_F(Uninstaller, ConfirmsInTheUiLanguageAndKeepsOneWindow) {
  const bool chinese = (::GetUserDefaultUILanguage() & 0x3FF) == LANG_CHINESE;
  const HWND dialog = run_.Start();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(WindowText(dialog),
            chinese ? L"Varnelo \u5378\u8f7d\u7a0b\u5e8f" : L"Varnelo Uninstall Window");
  EXPECT_EQ(WindowText(::GetDlgItem(dialog, 0xFFFF)),
            chinese ? L"\u786e\u5b9a\u8981\u5b8c\u5168\u5378\u8f7d Varnelo \u5417\uff1f"
                    : L"Are you sure you want to completely remove Varnelo?");
  const HWND window = FindUninstallWindow();
  ASSERT_NE(window, nullptr);
  ::ShowWindow(window, SW_MINIMIZE);
  const std::vector<std::wstring> before = CopyFolders();
  Child second(QuoteArgument(run_.InstalledPath()), run_.Env());
  EXPECT_EQ(second.Wait(10000), 0u);
  EXPECT_TRUE(WaitUntil(10000, [&] { return !::IsIconic(window); }))
      << "the first window was not restored";
  EXPECT_EQ(FindUninstallWindow(), window);
  EXPECT_TRUE(WaitUntil(10000, [&] { return NewFolders(before, CopyFolders()).empty(); }))
      << "the second copy left its folder behind";
  Answer(dialog, IDCANCEL);
  EXPECT_EQ(run_.copy().Wait(10000), 0u);
  EXPECT_TRUE(WaitUntil(10000, [&] { return !Exists(run_.copy_dir()); }))
      << "Cancel left the copy's folder behind";
}

// A program of the same user that watches the system's temporary folder and, as soon as a new copy
// folder shows, tries again and again to put its own program where the relaunch will start the
// copy: by writing into the copy, replacing it, moving it aside, or moving the whole folder aside.
// The planted program is the recorder (netcfg.exe): a run shows in %TEMP%\varnelo-runs.txt.
class CopyRacer {
 public:
  enum Target { kCopy, kFolder };
  CopyRacer(Target target, std::vector<std::wstring> known)
      : target_(target),
        known_(std::move(known)),
        planted_(ReadFileBytes(BinDir() + L"netcfg.exe")),
        thread_([this] { Run(); }) {}
  ~CopyRacer() { Stop(); }
  CopyRacer(const CopyRacer&) = delete;
  CopyRacer& operator=(const CopyRacer&) = delete;

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  size_t attempts() const { return attempts_; }
  // The folders moved aside, for the clean-up (only after Stop).
  const std::vector<std::wstring>& moved() const { return moved_; }

 private:
  void Run() {
    while (!stop_) {
      for (const std::wstring& folder : NewFolders(known_, CopyFolders())) {
        target_ == kCopy ? AttackCopy(folder) : AttackFolder(folder);
        ++attempts_;
      }
    }
  }
  void Plant(const std::wstring& path) { WriteFileBytes(path, planted_); }
  void AttackCopy(const std::wstring& folder) {
    const std::wstring copy = folder + L"uninstall.exe";
    const UniqueHandle writer(::CreateFileW(copy.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD written = 0;
    if (writer)
      ::WriteFile(writer.get(), planted_.data(), static_cast<DWORD>(planted_.size()), &written,
                  nullptr);
    if (::MoveFileW(copy.c_str(), (folder + L"moved.exe").c_str()) || ::DeleteFileW(copy.c_str()))
      Plant(copy);
  }
  void AttackFolder(const std::wstring& folder) {
    const std::wstring name = folder.substr(0, folder.size() - 1), aside = name + L"-moved";
    if (!::MoveFileW(name.c_str(), aside.c_str())) return;
    moved_.push_back(aside);
    ::CreateDirectoryW(name.c_str(), nullptr);
    Plant(folder + L"uninstall.exe");
  }

  const Target target_;
  const std::vector<std::wstring> known_;
  const std::string planted_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> attempts_{0};
  std::vector<std::wstring> moved_;
  std::thread thread_;
};

std::wstring ImageOf(DWORD pid) {
  const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  wchar_t image[MAX_PATH] = {};
  DWORD length = MAX_PATH;
  return process && ::QueryFullProcessImageNameW(process.get(), 0, image, &length) ? image : L"";
}

// The program installed in a folder of its own, as its setup leaves it.
class InstalledProgram {
 public:
  explicit InstalledProgram(const std::wstring& source = UninstallerUnderTest()) {
    ::CopyFileW(source.c_str(), path().c_str(), FALSE);
  }
  std::wstring dir() const { return dir_.path(); }
  std::wstring path() const { return dir_.path() + L"uninstall.exe"; }

 private:
  TempDir dir_;
};

// Started where the setup put it, the program writes its copy into a new folder directly in the
// system's temporary folder and relaunches it from there; the racer, which finds that folder at
// once (Wine enforces no DACL, so only the held handles stop it), never gets its program started,
// and nothing is written to %TEMP%. Refusing with the copy error would be safe too.
TEST(Relaunch, CopyRunsFromANewFolderThatARacerCannotChange) {
  for (CopyRacer::Target target : {CopyRacer::kCopy, CopyRacer::kFolder}) {
    SCOPED_TRACE(target == CopyRacer::kCopy ? "racing on the copy" : "racing on its folder");
    UninstallerRun run;  // the program's %TEMP%
    const InstalledProgram installed;
    const std::vector<std::wstring> before = CopyFolders();
    CopyRacer racer(target, before);
    Child installed_copy(QuoteArgument(installed.path()), run.Env(), installed.dir());
    HWND window = nullptr, refusal = nullptr;
    EXPECT_TRUE(WaitUntil(20000, [&] {
      return (window = FindUninstallWindow()) != nullptr ||
             (refusal = FindConfirmation(installed_copy.pid())) != nullptr;
    })) << "neither the relaunched window nor a copy error";
    racer.Stop();
    EXPECT_GT(racer.attempts(), 0u) << "the racer never found the copy's folder";
    if (refusal) {
      EXPECT_EQ(
          WindowText(::GetDlgItem(refusal, 0xFFFF)).rfind(L"uninstall.exe copy error,err=", 0), 0u);
      Answer(refusal, IDOK);
    } else if (window) {
      DWORD pid = 0;
      ::GetWindowThreadProcessId(window, &pid);
      const std::wstring image = ImageOf(pid);
      EXPECT_TRUE(RunsFromCopyFolder(image, SystemTempFolder())) << Narrow(image);
      EXPECT_EQ(NewFolders(before, {DirectoryWithSeparator(image)}).size(), 1u)
          << "not a new folder";
      const UniqueHandle relaunched(::OpenProcess(SYNCHRONIZE, FALSE, pid));
      const HWND dialog = WaitForConfirmation(pid);
      if (dialog) Answer(dialog, IDCANCEL);
      // Ended by itself, after starting its own deletion (a kill meanwhile would stall that start).
      EXPECT_EQ(::WaitForSingleObject(relaunched.get(), 10000), WAIT_OBJECT_0);
    }
    EXPECT_EQ(installed_copy.Wait(10000), 0u);
    EXPECT_EQ(ReadFileBytes(run.temp() + L"varnelo-runs.txt"), "")
        << "the racer's program was started";
    EXPECT_EQ(CountMatches(run.temp() + L"*"), 0u) << "the program wrote into %TEMP%";
    KillProcessesByName(L"uninstall.exe");
    for (const std::wstring& folder : NewFolders(before, CopyFolders())) RemoveTree(folder);
    for (const std::wstring& folder : racer.moved()) RemoveTree(folder);
  }
}

// <Windows>\Temp set aside and a file put in its place for the object's life, so no folder can be
// made in it.
class UnusableSystemTemp {
 public:
  UnusableSystemTemp() : temp_(SystemTempFolder()), aside_(temp_ + L"-aside") {
    moved_ = ::MoveFileW(temp_.c_str(), aside_.c_str()) != FALSE;
    blocked_ = moved_ && WriteFileBytes(temp_, "a file where the folder was");
  }
  ~UnusableSystemTemp() {
    if (!moved_) return;
    ::DeleteFileW(temp_.c_str());
    ::MoveFileW(aside_.c_str(), temp_.c_str());
  }
  UnusableSystemTemp(const UnusableSystemTemp&) = delete;
  UnusableSystemTemp& operator=(const UnusableSystemTemp&) = delete;
  bool blocked() const { return blocked_; }
  // The error that making a folder in it gives.
  DWORD FolderError() const {
    return ::CreateDirectoryW((temp_ + L"\\Varnelo-probe").c_str(), nullptr) ? ERROR_SUCCESS
                                                                             : ::GetLastError();
  }

 private:
  const std::wstring temp_, aside_;
  bool moved_ = false, blocked_ = false;
};

// What the installed program shows when it cannot relaunch: the copy error's text (empty when it
// showed none). It relaunches nothing, and writes its copy nowhere, also not into %TEMP% or beside
// itself.
std::string CopyErrorOf(const InstalledProgram& installed, const Environment& env,
                        const std::wstring& temp) {
  const std::vector<std::wstring> before = CopyFolders();
  Child program(QuoteArgument(installed.path()), env, installed.dir());
  HWND box = nullptr;
  EXPECT_TRUE(WaitUntil(20000, [&] {
    return (box = FindConfirmation(program.pid())) != nullptr || program.Wait(0) != STILL_ACTIVE;
  }));
  std::wstring caption, text;
  if (box) {
    caption = WindowText(box);
    text = WindowText(::GetDlgItem(box, 0xFFFF));
    Answer(box, IDCANCEL);  // closes the message; a confirmation in its place removes nothing
  }
  EXPECT_EQ(program.Wait(10000), 0u);
  EXPECT_EQ(Narrow(caption), box ? "Varnelo Uninstall Window" : "");
  EXPECT_EQ(NewFolders(before, CopyFolders()).size(), 0u);
  EXPECT_EQ(CountMatches(temp + L"*"), 0u) << "the program wrote into %TEMP%";
  EXPECT_EQ(CountMatches(installed.dir() + L"*"), 1u) << "the program wrote beside itself";
  EXPECT_EQ(FindUninstallWindow(), nullptr) << "a copy was relaunched";
  return Narrow(text);
}

// Without a folder for the copy the installed program shows the copy error with the error code.
TEST(Relaunch, CopyErrorWhenTheCopysFolderCannotBeMade) {
  UninstallerRun run;  // the program's %TEMP%
  const InstalledProgram installed;
  const std::vector<std::wstring> before = CopyFolders();
  DWORD expected = ERROR_SUCCESS;
  std::string shown;
  {
    const UnusableSystemTemp unusable;
    ASSERT_TRUE(unusable.blocked()) << "the system's temporary folder could not be set aside";
    expected = unusable.FolderError();
    shown = CopyErrorOf(installed, run.Env(), run.temp());
  }
  EXPECT_NE(expected, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(shown, "uninstall.exe copy error,err=" + std::to_string(expected));
  KillProcessesByName(L"uninstall.exe");
  for (const std::wstring& folder : NewFolders(before, CopyFolders())) RemoveTree(folder);
}

// A copy that another writer changed between its writing and its holding (the test build changes
// it, as a program could where the folder's DACL is not enforced) is never started: the read-back
// finds it and the program shows the copy error instead.
TEST(Relaunch, CopyChangedBeforeItIsHeldGivesTheCopyError) {
  UninstallerRun run;  // the program's %TEMP%
  const InstalledProgram installed(BesideUninstallerUnderTest(L"uninstall_faults.exe"));
  Environment env = run.Env();
  env[L"VARNELO_FAULT_ALTER_COPY"] = L"1";
  EXPECT_EQ(CopyErrorOf(installed, env, run.temp()),
            "uninstall.exe copy error,err=" + std::to_string(ERROR_FILE_INVALID));
}

// Users may make folders in the system's temporary folder, so a folder named like the copy's
// proves nothing. The program put there by the test, under a name that the command interpreter
// would expand (%X% leads from the folder to a victim's files), relocates into a new folder of its
// own; Cancel there deletes that copy and folder only, never the victim's files or the test's
// folder. Started with a relaunch argument it cannot prove, it shows the copy error instead.
TEST(Relaunch, AFolderNamedLikeTheCopysIsNotTrusted) {
  const std::wstring victim = L"C:\\varnelo-victim-" + std::to_wstring(::GetCurrentProcessId());
  const unsigned char random[kCopyFolderRandomBytes] = {0x5e, 0x1f};
  const std::wstring planted = SystemTempFolder() + L"\\" + CopyFolderName(random) + L"\\";
  const std::wstring program = planted + L"u%X%.exe";
  UninstallerRun run;  // the program's %TEMP%
  ASSERT_TRUE(::CreateDirectoryW(victim.c_str(), nullptr) ||
              ::GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(WriteFileBytes(victim + L"\\a.exe", "victim") &&
              WriteFileBytes(victim + L"\\b.exe", "victim"));
  ASSERT_TRUE(::CreateDirectoryW(planted.c_str(), nullptr) ||
              ::GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(::CopyFileW(UninstallerUnderTest().c_str(), program.c_str(), FALSE));
  Environment env = run.Env();
  env[L"X"] = L"\\..\\..\\..\\..\\" + victim.substr(3) + L"\\*";
  const std::vector<std::wstring> before = CopyFolders();
  {
    Child started(QuoteArgument(program), env, planted);
    HWND dialog = nullptr;
    EXPECT_TRUE(WaitUntil(20000, [&] {
      const HWND window = FindUninstallWindow();
      DWORD pid = 0;
      if (window) ::GetWindowThreadProcessId(window, &pid);
      return window && (dialog = WaitForConfirmation(pid, 0)) != nullptr;
    })) << "no window";
    DWORD pid = 0;
    if (dialog) ::GetWindowThreadProcessId(dialog, &pid);
    const std::wstring image = ImageOf(pid);
    const std::vector<std::wstring> made = NewFolders(before, CopyFolders());
    ASSERT_EQ(made.size(), 1u) << "the program ran in place from " << Narrow(image);
    EXPECT_EQ(::CompareStringOrdinal(DirectoryWithSeparator(image).c_str(), -1, made[0].c_str(), -1,
                                     TRUE),
              CSTR_EQUAL)
        << Narrow(image);
    EXPECT_EQ(started.Wait(10000), 0u) << "the planted program did not end after relaunching";
    const WatchedProcess copy(pid);
    Answer(dialog, IDCANCEL);
    EXPECT_EQ(copy.Wait(10000), 0u);
    EXPECT_TRUE(WaitUntil(10000, [&] { return !Exists(made[0]); }))
        << "the relaunched copy's folder is still there";
  }
  // Its maker's handles are what a relaunch is proven by; values alone prove nothing.
  Child forged(QuoteArgument(program) + L" --relaunched-copy=4,8,c", env, planted);
  HWND box = nullptr;
  EXPECT_TRUE(WaitUntil(20000, [&] { return (box = FindConfirmation(forged.pid())) != nullptr; }));
  EXPECT_EQ(Narrow(WindowText(::GetDlgItem(box, 0xFFFF))),
            "uninstall.exe copy error,err=" + std::to_string(ERROR_INVALID_HANDLE));
  if (box) Answer(box, IDOK);
  EXPECT_EQ(forged.Wait(10000), 0u);
  EXPECT_EQ(NewFolders(before, CopyFolders()).size(), 0u);
  ::Sleep(1000);  // longer than a deletion started at Cancel could still take to come
  EXPECT_TRUE(Exists(victim + L"\\a.exe") && Exists(victim + L"\\b.exe"))
      << "files outside the program's folders were deleted";
  EXPECT_TRUE(Exists(program)) << "the test's folder was changed";
  EXPECT_EQ(CountMatches(planted + L"*"), 1u) << "the test's folder was changed";
  RemoveTree(planted);
  RemoveTree(victim + L"\\");
}

// What the relaunched copy is handed must let it prove what it is: Windows reads a file's or a
// folder's identity only through a handle with attribute-read rights. Wine grants them to every
// open, so the rights asked for are judged here.
TEST(CopyFolder, HeldWithTheRightsTheCopyNeedsToProveIt) {
  GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                           FILE_ALL_ACCESS};
  for (DWORD access : {kHeldFolderAccess, kHeldCopyAccess}) {
    ::MapGenericMask(&access, &files);
    EXPECT_NE(access & FILE_READ_ATTRIBUTES, 0u) << std::hex << access;
    EXPECT_EQ(access & (DELETE | FILE_WRITE_DATA | WRITE_DAC), 0u) << std::hex << access;
  }
}

// The new folder's descriptor: protected, so nothing is inherited from the temporary folder,
// where users may create files; only SYSTEM and Administrators are let in, and Administrators
// own it where the creator may name them.
TEST(CopyFolder, DescriptorLetsOnlySystemAndAdministratorsIn) {
  for (bool with_owner : {true, false}) {
    const SecurityDescriptor sd = CopyFolderSecurity(with_owner);
    ASSERT_TRUE(sd) << sd.error();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(sd.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr) << "a NULL DACL lets everyone in";
    EXPECT_GT(dacl->AceCount, 0u);
    for (WORD i = 0; i < dacl->AceCount; ++i) {
      ACCESS_ALLOWED_ACE* ace = nullptr;
      ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
      EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
      const PSID sid = &ace->SidStart;
      EXPECT_TRUE(::IsWellKnownSid(sid, WinLocalSystemSid) ||
                  ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
          << i;
    }
    PSID owner = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(sd.get(), &owner, &defaulted));
    EXPECT_EQ(owner != nullptr && ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid), with_owner);
  }
}

// The DACL of a folder made as the copy's reads back as it was given.
TEST(CopyFolder, DaclReadsBackAsWritten) {
  const std::vector<std::wstring> before = CopyFolders();
  const unsigned char random[kCopyFolderRandomBytes] = {0x7e, 0x57};
  const std::wstring path = SystemTempFolder() + L"\\" + CopyFolderName(random);
  std::wstring given, found;
  {
    UniqueHandle held;
    ASSERT_EQ(CreateCopyFolder(path, &held), static_cast<DWORD>(ERROR_SUCCESS));
    given = DaclText(CopyFolderSecurity(false).get());
    PSECURITY_DESCRIPTOR read = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &read),
              static_cast<DWORD>(ERROR_SUCCESS));
    const UniqueLocal owner(read);
    found = DaclText(read);
  }
  ::RemoveDirectoryW(path.c_str());
  if (found != given && IsRunningUnderWine()) {
    GTEST_SKIP() << "Wine keeps no DACL given to a new folder (it reads back " << Narrow(found)
                 << "); Windows keeps the protected DACL " << Narrow(given)
                 << ", which CopyFolder.DescriptorLetsOnlySystemAndAdministratorsIn judges";
  }
  EXPECT_EQ(found, given);
}

// Under Wine the names the uninstaller loads (gdiplus, wininet) resolve to built-in DLLs first, so
// a canary planted under them proves little. A name Wine has no built-in for, beside a probe that
// uses the uninstaller's own code, shows each defence on its own: the bare load is the control
// (the folder is searched and the canary reports), then the start-up restriction and the
// system-directory load each refuse it. Windows searches the program's folder the same way.
TEST(DllSearch, CanaryBesideAProgramLoadsOnlyWithoutTheDefences) {
  TempDir dir;
  const std::wstring marker = dir.path() + L"canary-loaded";
  ASSERT_TRUE(::CopyFileW((BinDir() + L"dll_search_probe.exe").c_str(),
                          (dir.path() + L"probe.exe").c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW((BinDir() + L"canary.dll").c_str(),
                          (dir.path() + L"canary-probe.dll").c_str(), FALSE));
  const Environment env = {{L"VARNELO_CANARY_MARKER", marker}};
  const struct {
    const wchar_t* mode;
    DWORD exit_code;
  } cases[] = {{L"bare", 0}, {L"restricted", 1}, {L"system", 1}};
  for (const auto& c : cases) {
    ::DeleteFileW(marker.c_str());
    EXPECT_EQ(
        RunToEnd(QuoteArgument(dir.path() + L"probe.exe") + L" " + c.mode + L" canary-probe.dll",
                 20000, env)
            .exit_code,
        c.exit_code)
        << Narrow(c.mode);
    EXPECT_EQ(Exists(marker), c.exit_code == 0) << Narrow(c.mode);
  }
}

// The real program with both defences. A canary is planted under the name of GDI+, which the
// copy loads when it builds its window, beside the installed program and beside the relaunched
// copy as soon as its folder shows (Wine enforces no DACL there), before that window exists.
// WinINet goes through the same loader, proven above. The canary is built for the architecture
// of the program under test, so that it would load if the program looked for it there.
TEST_F(Uninstaller, DllPlantedBesideTheProgramOrItsCopyIsNotLoaded) {
  const std::wstring marker = run_.temp() + L"canary-loaded";
  const std::wstring canary = BesideUninstallerUnderTest(L"canary.dll");
  ASSERT_EQ(IsI686Program(canary), IsI686Program(UninstallerUnderTest()));
  ASSERT_TRUE(::CopyFileW(canary.c_str(),
                          (DirectoryWithSeparator(run_.InstalledPath()) + L"gdiplus.dll").c_str(),
                          FALSE));
  std::atomic<bool> stop{false}, planted_first{false};
  const std::vector<std::wstring> before = CopyFolders();
  std::thread planter([&] {
    while (!stop) {
      const std::vector<std::wstring> made = NewFolders(before, CopyFolders());
      if (made.empty()) continue;
      const bool window_yet = FindUninstallWindow() != nullptr;
      planted_first =
          ::CopyFileW(canary.c_str(), (made[0] + L"gdiplus.dll").c_str(), FALSE) && !window_yet;
      return;
    }
  });
  // Wine: prefer a DLL found on disk.
  const HWND dialog = run_.Start(L"", {{L"VARNELO_CANARY_MARKER", marker},
                                       {L"WINEDLLOVERRIDES", L"gdiplus=n,b;mscoree,mshtml="}});
  stop = true;
  planter.join();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(planted_first) << "the canary was not beside the copy before its window";
  ASSERT_NE(FindUninstallWindow(), nullptr);  // drawn, so its images were decoded through GDI+
  Answer(dialog, IDCANCEL);
  EXPECT_EQ(run_.copy().Wait(10000), 0u);
  EXPECT_FALSE(Exists(marker)) << "uninstall.exe loaded a DLL from its own folder";
}

// What a broken resource build would lose: the version block, the skin archive under the
// language the program looks it up in, and the icon sizes.
TEST(UninstallerResources, VersionArchiveAndIcons) {
  const std::wstring exe = UninstallerUnderTest();
  const VersionBlock version(exe);
  EXPECT_EQ(version.Translation(), L"080404b0");
  EXPECT_EQ(version.Value(L"FileVersion"), kProductVersion);

  const std::string zip = ResourceBytes(exe, L"ZIPRES", MAKEINTRESOURCEW(102),
                                        MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
  EXPECT_EQ(zip.substr(0, 2), "PK");
  const std::string group = ResourceBytes(exe, RT_GROUP_ICON, MAKEINTRESOURCEW(101));
  ASSERT_GE(group.size(), 6u);
  const auto octet = [&](size_t at) {
    return at < group.size() ? static_cast<unsigned char>(group[at]) : 0;
  };
  std::vector<int> sizes;
  for (int i = 0, count = octet(4) | (octet(5) << 8); i < count; ++i)
    sizes.push_back(octet(6 + 14 * i) == 0 ? 256 : octet(6 + 14 * i));
  EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 48, 64, 128, 256}));
}

}  // namespace
}  // namespace test
}  // namespace varnelo
