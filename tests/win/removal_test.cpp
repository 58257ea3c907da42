// uninstall.exe removing an installed product for real, read from outside: the service control
// manager, the process list, the registry in the program's view, the file system, and the
// progress bar on screen.
#include <windows.h>
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/win/harness.h"
#include "tests/win/uninstaller_driver.h"
#include "uninstaller/install_location.h"
#include "uninstaller/wnd_thread.h"

namespace varnelo {
namespace test {
namespace {

constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Varnelo VPN";
constexpr wchar_t kUnrelatedUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Varnelo VPN Beta";
constexpr wchar_t kSettingsKey[] = L"Software\\Varnelo VPN";
constexpr wchar_t kUnrelatedSettingsKey[] = L"Software\\Varnelo VPN Tools";
constexpr wchar_t kInternetSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr REGSAM kProgramView = KEY_WOW64_32KEY;  // the shipped program is 32-bit

// A subkey whose DACL refuses enumeration makes its parent undeletable.
constexpr wchar_t kLockedSubkey[] = L"Locked";
constexpr wchar_t kLockedDacl[] = L"D:(D;;0x9;;;WD)(A;;KA;;;WD)";
constexpr wchar_t kOpenDacl[] = L"D:(A;;KA;;;WD)";

void SetKeyDacl(HKEY parent, const wchar_t* subkey, const wchar_t* sddl) {
  UniqueRegKey key;
  if (::RegOpenKeyExW(parent, subkey, 0, WRITE_DAC | kProgramView, key.put()) != ERROR_SUCCESS)
    return;
  const SecurityDescriptor descriptor = SecurityDescriptor::FromSddl(sddl);
  ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.get());
}

void DeleteKey(HKEY root, const std::wstring& path) {
  SetKeyDacl(root, (path + L"\\" + kLockedSubkey).c_str(), kOpenDacl);
  ::RegDeleteTreeW(CreateKey(root, path, kProgramView).get(), nullptr);
  ::RegDeleteKeyExW(root, path.c_str(), kProgramView, 0);
}

// Lines "<program path>|<arguments>" of the programs that the netcfg stand-in (and its copies
// under other names) recorded in this run's %TEMP%.
std::string RecordedRuns(const UninstallerRun& run) {
  return WithoutCarriageReturns(ReadFileBytes(run.temp() + L"varnelo-runs.txt"));
}

// Copies of the recording netcfg.exe stand-in under the names of programs that must not run from
// `dir`; any run shows in RecordedRuns.
void PlantRecorders(const std::wstring& dir, std::initializer_list<const wchar_t*> names) {
  for (const wchar_t* name : names) {
    ASSERT_TRUE(::CopyFileW((BinDir() + L"netcfg.exe").c_str(), (dir + name).c_str(), FALSE))
        << Narrow(name);
  }
}

// A product installed the way its setup leaves it, with the user's state it creates: settings
// keys, roaming data, Start-menu shortcuts, proxy values and a folder of its own on the Desktop.
// Beside each part lies a neighbour that must survive.
class InstalledProduct {
 public:
  // Installed as `dir_name` in a fresh folder, or in `install_base` (with a trailing backslash).
  explicit InstalledProduct(const wchar_t* dir_name, const std::wstring& install_base = L"")
      : dir_((install_base.empty() ? base_.path() : install_base) + dir_name + L"\\") {
    ::CreateDirectoryW(dir_.c_str(), nullptr);
    for (const std::wstring& file :
         {base_.path() + L"VarneloData\\keep.txt", listed_ + L"\\Varnelo VPN.lnk",
          app_data_ + L"\\Varnelo\\config.json", app_data_ + L"\\VarneloOther\\config.json",
          start_menu_ + L"Varnelo.lnk", start_menu_ + L"Remove Varnelo.lnk",
          start_menu_ + L"unrelated.txt"}) {
      ::SHCreateDirectoryExW(nullptr, file.substr(0, file.rfind(L'\\')).c_str(), nullptr);
      WriteFileBytes(file, "made by the product or beside it");
    }
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
      SetString(CreateKey(root, std::wstring(kSettingsKey) + L"\\Profiles", kProgramView).get(),
                L"last", L"1");
    }
    SetString(CreateKey(HKEY_CURRENT_USER, kUnrelatedSettingsKey, kProgramView).get(), L"keep",
              L"1");
    const UniqueRegKey proxy = CreateKey(HKEY_CURRENT_USER, kInternetSettings, 0);
    const DWORD enabled = 1;
    ::RegSetValueExW(proxy.get(), L"ProxyEnable", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&enabled), 4);
    SetString(proxy.get(), L"ProxyServer", L"127.0.0.1:7890");
    SetString(proxy.get(), L"AutoConfigURL", L"http://127.0.0.1:7890/pac");
    SetString(proxy.get(), L"ProxyOverride", L"<local>");
  }
  // Processes and the service end before the folders go (the members' reverse order).
  ~InstalledProduct() {
    DeleteKey(HKEY_LOCAL_MACHINE, kUninstallKey);
    DeleteKey(HKEY_LOCAL_MACHINE, kUnrelatedUninstallKey);
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) DeleteKey(root, kSettingsKey);
    DeleteKey(HKEY_CURRENT_USER, kUnrelatedSettingsKey);
    for (const std::wstring& path : {app_data_ + L"\\Varnelo", app_data_ + L"\\VarneloOther",
                                     start_menu_, listed_, user_file(), dir_}) {
      RemoveTree(path);
    }
  }
  InstalledProduct(const InstalledProduct&) = delete;
  InstalledProduct& operator=(const InstalledProduct&) = delete;

  const std::wstring& dir() const { return dir_; }
  const std::wstring& desktop() const { return desktop_; }
  const std::wstring& listed() const { return listed_; }        // the product's own Desktop folder
  std::wstring user_file() const { return listed_ + L".txt"; }  // a user's file on the Desktop
  ScmService& scm() { return scm_; }

  // The uninstaller under test, as the setup puts it beside the product.
  void AddUninstaller() {
    ASSERT_TRUE(
        ::CopyFileW(UninstallerUnderTest().c_str(), (dir_ + L"uninstall.exe").c_str(), FALSE));
  }
  void AddFiles(const std::wstring& from, std::initializer_list<const wchar_t*> names) {
    for (const wchar_t* name : names) {
      ASSERT_TRUE(::CopyFileW((from + name).c_str(), (dir_ + name).c_str(), FALSE)) << Narrow(name);
    }
  }
  // The uninstall key in the program's view, with the given values (an empty one is left out).
  UniqueRegKey WriteUninstallKey(const std::wstring& location, const std::wstring& command,
                                 const std::wstring& shortcut) {
    UniqueRegKey key = CreateKey(HKEY_LOCAL_MACHINE, kUninstallKey, kProgramView);
    if (!location.empty()) SetString(key.get(), L"InstallLocation", location);
    if (!command.empty()) SetString(key.get(), L"UninstallString", command);
    if (!shortcut.empty()) SetString(key.get(), L"DisplayShortcut", shortcut);
    SetString(CreateKey(HKEY_LOCAL_MACHINE, kUnrelatedUninstallKey, kProgramView).get(),
              L"DisplayName", L"other");
    return key;
  }
  void Run(std::initializer_list<const wchar_t*> names) {
    for (const wchar_t* name : names) {
      processes_.emplace_back(QuoteArgument(dir_ + name));
      ASSERT_TRUE(processes_.back().started()) << Narrow(name);
    }
  }
  bool AllProcessesEnded() {
    for (Child& process : processes_) {
      if (process.Wait(0) == STILL_ACTIVE) return false;
    }
    return true;
  }
  bool StartMenuHoldsOnlyTheUnrelatedFile() const {
    return !Exists(start_menu_ + L"Varnelo.lnk") && !Exists(start_menu_ + L"Remove Varnelo.lnk") &&
           Exists(start_menu_ + L"unrelated.txt");
  }
  bool UserStateGoneAndNeighboursKept() const {
    return !Exists(app_data_ + L"\\Varnelo") &&
           !KeyExists(HKEY_CURRENT_USER, kSettingsKey, kProgramView) &&
           !KeyExists(HKEY_CLASSES_ROOT, kSettingsKey, kProgramView) &&
           Exists(base_.path() + L"VarneloData\\keep.txt") &&
           Exists(app_data_ + L"\\VarneloOther\\config.json") &&
           KeyExists(HKEY_LOCAL_MACHINE, kUnrelatedUninstallKey, kProgramView) &&
           KeyExists(HKEY_CURRENT_USER, kUnrelatedSettingsKey, kProgramView);
  }

 private:
  TempDir base_;
  const std::wstring dir_, app_data_ = ShellFolder(CSIDL_APPDATA),
                           start_menu_ = ShellFolder(CSIDL_STARTMENU) + L"\\Varnelo\\",
                           desktop_ = ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\",
                           // Wine maps the Desktop to the Unix home, shared by every prefix (and
                           // their process ids): names of this run only.
      listed_ = desktop_ + L"Varnelo " + std::to_wstring(std::random_device{}());
  ScmService scm_;
  std::vector<Child> processes_;
};

// A folder the system names in HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion, 64-bit view, as
// the program reads them: a 32-bit program's own shell folders name only the (x86) set.
std::wstring SystemFolder(const wchar_t* value) {
  UniqueRegKey key;
  wchar_t folder[MAX_PATH] = {};
  DWORD size = sizeof(folder);
  return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                         KEY_READ | KEY_WOW64_64KEY, key.put()) == ERROR_SUCCESS &&
                 ::RegGetValueW(key.get(), nullptr, value, RRF_RT_REG_SZ, nullptr, folder, &size) ==
                     ERROR_SUCCESS
             ? folder
             : L"";
}

// Closes the window of a removal whose worker has finished, without waiting out the display.
void CloseFinishedRemoval(UninstallerRun* run) {
  const HWND window = FindUninstallWindow();
  ASSERT_NE(window, nullptr);
  ClickCloseButton(window);
  EXPECT_EQ(run->copy().Wait(15000), 0u);
}

void SleepUntil(ULONGLONG start, ULONGLONG offset_ms) {
  const ULONGLONG now = ::GetTickCount64();
  if (now < start + offset_ms) ::Sleep(static_cast<DWORD>(start + offset_ms - now));
}

// Waits until the worker has gone past its registry step, then checks the bar holds at `pixels`
// with the window open, and closes it with its button.
void ExpectHeldAt(UninstallerRun* run, ULONGLONG confirmed, ULONGLONG measure_at, int pixels) {
  const HWND window = FindUninstallWindow();
  ASSERT_NE(window, nullptr);
  SleepUntil(confirmed, measure_at);
  EXPECT_EQ(BarPixels(window), pixels);
  ::Sleep(1000);
  EXPECT_EQ(BarPixels(window), pixels) << "the bar moved past its ceiling";
  EXPECT_EQ(FindUninstallWindow(), window) << "the window closed although a step never finished";
  ClickCloseButton(window);
  EXPECT_TRUE(WaitUntil(5000, [] { return FindUninstallWindow() == nullptr; }));
  EXPECT_EQ(run->copy().Wait(15000), 0u);
  EXPECT_TRUE(WaitUntil(10000, [&] { return !Exists(run->CopyPath()); }));
}

TEST(Removal, RemovesAnInstalledProductAndLeavesItsNeighbours) {
  InstalledProduct product(L"Varnelo");
  product.AddUninstaller();
  product.AddFiles(BinDir(), {L"Varnelo.exe", L"netcfg.exe", L"ferryd.exe", L"Zephlin.exe"});
  product.AddFiles(BinDir() + L"release\\", {L"VarneloService.exe", L"VarneloCore.exe"});
  ASSERT_TRUE(WriteFileBytes(product.dir() + L"readme.txt", "read me"));
  ::SetFileAttributesW((product.dir() + L"readme.txt").c_str(), FILE_ATTRIBUTE_READONLY);

  const RunResult installed =
      RunToEnd(QuoteArgument(product.dir() + L"VarneloService.exe") + L" -install", 60000);
  ASSERT_EQ(installed.exit_code, 0u) << installed.output;
  ASSERT_TRUE(product.scm().WaitFor(SERVICE_RUNNING, 5000));
  product.Run(
      {L"Varnelo.exe", L"VarneloCore.exe", L"VarneloCore.exe", L"ferryd.exe", L"Zephlin.exe"});
  const std::wstring location = product.dir().substr(0, product.dir().size() - 1);
  product.WriteUninstallKey(location, QuoteArgument(product.dir() + L"uninstall.exe"),
                            product.listed());

  // Started where the setup put it: it copies itself into one new folder of the system's temporary
  // folder, and that copy shows the window; %TEMP% gets nothing. A cmd.exe and a timeout.exe
  // planted beside the installed program, its current folder, and in %TEMP% must never run.
  UninstallerRun run;
  PlantRecorders(product.dir(), {L"cmd.exe", L"timeout.exe"});
  PlantRecorders(run.temp(), {L"cmd.exe", L"timeout.exe"});
  const std::vector<std::wstring> before = CopyFolders();
  // A variable of the program's own environment must not reach the elevated deletion command,
  // which gets an environment of its own (the timeout.exe stand-in records one that does).
  Environment env = run.Env();
  const std::wstring leaked = run.temp() + L"timeout-env.txt";
  env[L"VARNELO_TIMEOUT_RECORD"] = leaked;
  Child installed_copy(QuoteArgument(product.dir() + L"uninstall.exe"), env, product.dir());
  EXPECT_EQ(installed_copy.Wait(10000), 0u);
  const std::vector<std::wstring> made = NewFolders(before, CopyFolders());
  ASSERT_EQ(made.size(), 1u) << "one folder for the copy";
  EXPECT_EQ(ReadFileBytes(made[0] + L"uninstall.exe"), ReadFileBytes(UninstallerUnderTest()));
  EXPECT_EQ(CountMatches(run.temp() + L"*.exe"), 2u) << "only the two planted programs in %TEMP%";
  HWND window = nullptr;
  ASSERT_TRUE(WaitUntil(15000, [&] { return (window = FindUninstallWindow()) != nullptr; }));
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  EXPECT_EQ(NewFolders(before, CopyFolders()), made) << "the copy moved again";
  const UniqueHandle copy(
      ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  const HWND dialog = WaitForConfirmation(pid);
  ASSERT_NE(dialog, nullptr);
  Answer(dialog, IDOK);
  const ULONGLONG confirmed = ::GetTickCount64();

  // The worker is done in a few seconds; the display still takes each phase in turn.
  SleepUntil(confirmed, 9000);
  SaveScreenshot(window, L"removal-phase2");
  SleepUntil(confirmed, 12200);
  SaveScreenshot(window, L"removal-phase4");
  // Alt+F4 only hides it; it still closes by itself when the display completes.
  ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_TRUE(WaitUntil(3000, [&] { return !::IsWindowVisible(window); }));
  DWORD exit_code = STILL_ACTIVE;
  EXPECT_EQ(::WaitForSingleObject(copy.get(), 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(::GetExitCodeProcess(copy.get(), &exit_code) && exit_code == 0) << exit_code;
  const ULONGLONG closed_after = ::GetTickCount64() - confirmed;
  EXPECT_GE(closed_after, 12900u);
  EXPECT_LE(closed_after, 17000u);
  // The deletion waits three seconds first: a 32-bit cmd.exe finds timeout.exe in SysWOW64, where
  // System32 leads it (Wine's cmd would go on to delete at once without one).
  ::Sleep(1000);
  EXPECT_TRUE(Exists(made[0])) << "the copy was deleted without the pause";
  EXPECT_TRUE(WaitUntil(10000, [&] { return !Exists(made[0]); }))
      << "the copy or its folder is still there";
  EXPECT_FALSE(Exists(leaked)) << "the deletion command ran with the program's environment";

  EXPECT_FALSE(product.scm().Exists()) << "registration not purged";
  EXPECT_TRUE(product.AllProcessesEnded());
  EXPECT_FALSE(Exists(product.dir()));
  EXPECT_FALSE(Exists(product.listed()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, kProgramView));
  EXPECT_TRUE(product.UserStateGoneAndNeighboursKept());
  EXPECT_TRUE(product.StartMenuHoldsOnlyTheUnrelatedFile());
  EXPECT_EQ(RecordedRuns(run), Narrow(product.dir()) + "netcfg.exe|set 1\n");
  DWORD proxy_enable = 1, size = sizeof(proxy_enable);
  EXPECT_EQ(::RegGetValueW(HKEY_CURRENT_USER, kInternetSettings, L"ProxyEnable", RRF_RT_REG_DWORD,
                           nullptr, &proxy_enable, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(proxy_enable, 0u);
  for (const wchar_t* name : {L"ProxyServer", L"AutoConfigURL", L"ProxyOverride"}) {
    EXPECT_EQ(::RegGetValueW(HKEY_CURRENT_USER, kInternetSettings, name, RRF_RT_ANY, nullptr,
                             nullptr, nullptr),
              ERROR_FILE_NOT_FOUND)
        << Narrow(name);
  }
}

// A directory not named "Varnelo" is not deleted, however product-like; nor is a listed Desktop.
// The rest still runs: the uninstall key goes and the bar stops in the first phase. Programs
// planted in the current folder it was started in and beside its running copy (the worker's,
// cmd.exe, timeout.exe) never run, while the real ones delete the program's copy.
TEST(Removal, RefusesADirectoryNotNamedVarnelo) {
  InstalledProduct product(L"VarneloApp");
  product.AddFiles(BinDir(), {L"Varnelo.exe"});
  product.AddUninstaller();
  ASSERT_TRUE(WriteFileBytes(product.user_file(), "user data"));
  product.WriteUninstallKey(product.dir(), L"", product.desktop());
  TempDir current;
  PlantRecorders(current.path(),
                 {L"netcfg.exe", L"VarneloService.exe", L"cmd.exe", L"timeout.exe"});
  UninstallerRun run;
  const HWND dialog = run.Start(current.path());
  ASSERT_NE(dialog, nullptr);
  PlantRecorders(run.copy_dir(), {L"cmd.exe", L"timeout.exe"});
  const ULONGLONG confirmed = UninstallerRun::Confirm(dialog);
  EXPECT_TRUE(
      WaitUntil(10000, [] { return !KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, kProgramView); }));
  ExpectHeldAt(&run, confirmed, 12300, 200);  // 50 %
  EXPECT_TRUE(Exists(product.dir() + L"Varnelo.exe"));
  EXPECT_TRUE(Exists(product.user_file()));
  EXPECT_TRUE(product.StartMenuHoldsOnlyTheUnrelatedFile());
  EXPECT_EQ(RecordedRuns(run), "") << "a program was run from the current folder";
}

// The program folders a 32-bit program does not see as its own (the native Program Files and
// Common Files, which its shell folders never name) and the (x86) one it does: each listed as the
// product's shortcut is kept with what it holds, while the rest of the removal goes on.
TEST(Removal, ListedProgramFoldersAreKeptWithTheirContent) {
  for (const wchar_t* value : {L"ProgramFilesDir", L"CommonFilesDir", L"ProgramFilesDir (x86)"}) {
    const std::wstring folder = SystemFolder(value);
    SCOPED_TRACE(Narrow(value) + " " + Narrow(folder));
    ASSERT_FALSE(folder.empty());
    const std::wstring kept =
        folder + L"\\varnelo-kept-" + std::to_wstring(::GetCurrentProcessId()) + L".txt";
    ASSERT_TRUE(WriteFileBytes(kept, "not the product's"));
    InstalledProduct product(L"Varnelo");
    product.AddUninstaller();
    product.WriteUninstallKey(product.dir(), L"", folder);
    UninstallerRun run;
    run.StartConfirmed();
    EXPECT_TRUE(WaitUntil(20000, [&] {
      return !Exists(product.dir()) && !KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, kProgramView);
    })) << "the removal did not go on";
    EXPECT_TRUE(Exists(kept)) << "the listed program folder lost its content";
    CloseFinishedRemoval(&run);
    ::DeleteFileW(kept.c_str());
  }
}

// A product installed where a 32-bit setup puts it, C:\Program Files (x86)\Varnelo, with its key
// in the 32-bit view, is removed completely.
TEST(Removal, ProductUnderProgramFilesX86IsRemovedCompletely) {
  const std::wstring x86 = SystemFolder(L"ProgramFilesDir (x86)");
  ASSERT_FALSE(x86.empty());
  InstalledProduct product(L"Varnelo", x86 + L"\\");
  product.AddUninstaller();
  product.AddFiles(BinDir(), {L"Varnelo.exe", L"ferryd.exe"});
  const std::wstring location = product.dir().substr(0, product.dir().size() - 1);
  product.WriteUninstallKey(location, QuoteArgument(product.dir() + L"uninstall.exe"),
                            product.listed());
  UninstallerRun run(product.dir() + L"uninstall.exe");
  run.StartConfirmed();
  EXPECT_TRUE(WaitUntil(20000, [&] {
    return !Exists(product.dir()) && !KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, kProgramView);
  })) << "the product under Program Files (x86) is still there";
  EXPECT_FALSE(Exists(product.listed()));
  EXPECT_TRUE(product.UserStateGoneAndNeighboursKept());
  EXPECT_TRUE(product.StartMenuHoldsOnlyTheUnrelatedFile());
  CloseFinishedRemoval(&run);
}

// A product file in use (held open without delete sharing) keeps the installation directory: the
// files are not reported removed, so the bar holds in the first phase while the rest still runs.
TEST(Removal, AFileInUseKeepsTheFirstPhase) {
  InstalledProduct product(L"Varnelo");
  product.AddUninstaller();
  ASSERT_TRUE(WriteFileBytes(product.dir() + L"core.log", "in use"));
  const UniqueHandle in_use(::CreateFileW((product.dir() + L"core.log").c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(in_use);
  product.WriteUninstallKey(product.dir(), L"", product.listed());
  UninstallerRun run;
  const ULONGLONG confirmed = run.StartConfirmed();
  EXPECT_TRUE(
      WaitUntil(10000, [] { return !KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, kProgramView); }));
  ExpectHeldAt(&run, confirmed, 12300, 200);  // 50 %
  EXPECT_TRUE(Exists(product.dir() + L"core.log"));
}

// Only "UninstallString" names the directory; the listed path is the product's own. The uninstall
// key cannot be deleted (a subkey refuses enumeration): the bar stops at 90 %.
TEST(Removal, UninstallStringAloneAndAKeyThatCannotBeDeleted) {
  InstalledProduct product(L"Varnelo");
  product.AddUninstaller();
  {
    const UniqueRegKey key = product.WriteUninstallKey(
        L"", L" \"" + product.dir() + L"uninstall.exe\" /S", product.listed());
    CreateKey(key.get(), kLockedSubkey, 0);
    SetKeyDacl(key.get(), kLockedSubkey, kLockedDacl);
  }

  UninstallerRun run;
  const ULONGLONG confirmed = run.StartConfirmed();
  EXPECT_TRUE(WaitUntil(10000, [&] { return !Exists(product.dir()); }))
      << "the directory was not derived";
  ExpectHeldAt(&run, confirmed, 13300, kTrackWidth);  // 90 %, of which the track shows 350 pixels
  EXPECT_FALSE(Exists(product.listed()));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, kProgramView));
}

// The close button while the worker still waits for "VarneloService.exe -uninstall" (here a
// stand-in that never ends): the window goes at once and the self-deletion command starts; the
// program then gives the worker CWndThread::kStopWaitMs and ends it inside its wait, so no later
// step runs (the stand-in would be ended, the files and the key deleted).
TEST(Removal, CloseButtonWhileTheWorkerWaitsForTheService) {
  InstalledProduct product(L"Varnelo");
  product.AddUninstaller();
  ASSERT_TRUE(::CopyFileW((BinDir() + L"ferryd.exe").c_str(),
                          (product.dir() + L"VarneloService.exe").c_str(), FALSE));
  product.WriteUninstallKey(product.dir(), L"", product.listed());
  UninstallerRun run;
  const std::vector<std::wstring> before = CopyFolders();
  run.StartConfirmed();
  std::vector<DWORD> service;
  ASSERT_TRUE(WaitUntil(10000, [&] {
    return !(service = ProcessIdsNamed(L"VarneloService.exe")).empty();
  })) << "the worker never started the service program";
  const HWND window = FindUninstallWindow();
  ASSERT_NE(window, nullptr);
  ClickCloseButton(window);
  const ULONGLONG clicked = ::GetTickCount64();
  EXPECT_TRUE(WaitUntil(3000, [] { return FindUninstallWindow() == nullptr; }))
      << "the window waited for the worker";
  // Well before the worker's own wait for the service program would have ended.
  EXPECT_EQ(run.copy().Wait(CWndThread::kStopWaitMs + 10000), 0u) << "the worker was not ended";
  EXPECT_GE(::GetTickCount64() - clicked, CWndThread::kStopWaitMs - 500)
      << "the worker was not waited for";
  // The deletion comes once the copy has stopped running, so it finds nothing in its way.
  EXPECT_TRUE(WaitUntil(10000, [&] { return NewFolders(before, CopyFolders()).empty(); }))
      << "the copy or its folder is still there";
  EXPECT_TRUE(IsProcessAlive(service[0])) << "the worker went on past the service step";
  EXPECT_TRUE(Exists(product.dir() + L"uninstall.exe"));
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey, kProgramView));
  KillProcessesByName(L"VarneloService.exe");
}

}  // namespace
}  // namespace test
}  // namespace varnelo
