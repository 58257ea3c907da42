#include "uninstaller/removal_worker.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "common/platform.h"
#include "common/unique_resource.h"
#include "uninstaller/install_location.h"
#include "uninstaller/system_command.h"

namespace varnelo {

namespace {

constexpr wchar_t kServiceProgram[] = L"VarneloService.exe";
constexpr wchar_t kServiceUninstallParameters[] = L"-uninstall";
constexpr DWORD kServiceWaitMs = 30000;
constexpr DWORD kAfterServicePauseMs = 1000;
constexpr const wchar_t* kProcessNames[] = {L"Varnelo.exe", L"VarneloCore.exe", L"ferryd.exe",
                                            L"Zephlin.exe", L"VarneloService.exe"};
constexpr wchar_t kNetworkTool[] = L"netcfg.exe";
constexpr wchar_t kNetworkToolArguments[] = L"set 1";
constexpr DWORD kNetworkToolWaitMs = 3000;
constexpr wchar_t kInternetSettingsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const wchar_t* kProxyValues[] = {L"ProxyServer", L"AutoConfigURL", L"ProxyOverride"};
// INTERNET_OPTION_REFRESH and INTERNET_OPTION_SETTINGS_CHANGED of WinINet.
constexpr DWORD kInternetOptionRefresh = 37;
constexpr DWORD kInternetOptionSettingsChanged = 39;
constexpr wchar_t kDisplayShortcutValue[] = L"DisplayShortcut";
constexpr wchar_t kProductSettingsKey[] = L"Software\\Varnelo VPN";
constexpr wchar_t kStartMenuShortcut[] = L".lnk";
constexpr wchar_t kRemoveShortcutPrefix[] = L"Remove ";

using InternetSetOptionWFn = BOOL(WINAPI*)(void*, DWORD, void*, DWORD);

// The installation directory as a place to start programs from: only an absolute one, so that
// nothing is looked for in the current folder.
std::wstring ProgramDir(const std::wstring& install_dir) {
  return IsPlainAbsolutePath(install_dir) ? install_dir : std::wstring();
}

// Starts "<dir>VarneloService.exe -uninstall" hidden and waits for it, then pauses; skipped with
// no directory or no service program.
void RemoveService(const std::wstring& install_dir) {
  const std::wstring dir = ProgramDir(install_dir);
  if (dir.empty()) return;
  const std::wstring program = dir + kServiceProgram;
  if (::GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  info.lpVerb = L"open";
  info.lpFile = program.c_str();  // a full path: nothing is searched for
  info.lpParameters = kServiceUninstallParameters;
  info.lpDirectory = dir.c_str();
  info.nShow = SW_HIDE;
  if (::ShellExecuteExW(&info) && info.hProcess) {
    const UniqueHandle process(info.hProcess);
    ::WaitForSingleObject(process.get(), kServiceWaitMs);
  }
  ::Sleep(kAfterServicePauseMs);
}

// Runs "<dir>netcfg.exe" set 1 and waits briefly. Only from the installation directory: without
// one there is nothing to run, and a bare name would be looked for in the current folder.
void RunNetworkTool(const std::wstring& dir) {
  if (dir.empty()) return;
  const std::wstring tool = dir + kNetworkTool;
  if (!FileExists(tool)) return;
  const UniqueHandle process = StartHiddenProgram(tool, kNetworkToolArguments, nullptr);
  if (process) ::WaitForSingleObject(process.get(), kNetworkToolWaitMs);
}

void ResetProxyValues() {
  UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, KEY_WRITE, key.put()) !=
      ERROR_SUCCESS)
    return;
  const DWORD disabled = 0;
  ::RegSetValueExW(key.get(), L"ProxyEnable", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&disabled), sizeof(disabled));
  for (const wchar_t* name : kProxyValues) ::RegDeleteValueW(key.get(), name);
}

void NotifyProxyChange() {
  const UniqueModule wininet(LoadSystemLibrary(L"wininet.dll"));
  if (!wininet) return;
  const auto set_option = reinterpret_cast<InternetSetOptionWFn>(
      reinterpret_cast<void*>(::GetProcAddress(wininet.get(), "InternetSetOptionW")));
  if (!set_option) return;
  set_option(nullptr, kInternetOptionSettingsChanged, nullptr, 0);
  set_option(nullptr, kInternetOptionRefresh, nullptr, 0);
}

// The steps, in the order RunRemoval takes them after the service removal and the processes.
// `install_dir` is the installation directory as read once from the registry (with a trailing
// separator; empty when none is known).
void ResetNetworkSettings(const std::wstring& install_dir) {
  RunNetworkTool(ProgramDir(install_dir));
  ResetProxyValues();
  NotifyProxyChange();
}

// True when the directory is gone.
bool RemoveProductFiles(const std::wstring& dir) {
  if (!IsProductDir(dir)) return false;
  DeletePathSilently(dir);
  const std::wstring app_data = ShellFolder(CSIDL_APPDATA);
  if (!app_data.empty()) DeletePathSilently(app_data + L"\\" + kProductDirName);
  // A file in use keeps the directory, and with it the product's files: not removed.
  return !PathExists(dir);
}

bool RemoveListedShortcut() {
  std::wstring listed;
  // A damaged or edited value must not take a drive, a user folder or the system with it.
  if (ReadRegString(HKEY_LOCAL_MACHINE, kProductUninstallKey, kDisplayShortcutValue, &listed) &&
      !listed.empty() && IsSafeListedPath(listed)) {
    DeletePathSilently(listed);
  }
  return true;
}

bool CleanRegistry() {
  const bool removed = DeleteRegTree(HKEY_LOCAL_MACHINE, kProductUninstallKey);
  DeleteRegTree(HKEY_CURRENT_USER, kProductSettingsKey);
  DeleteRegTree(HKEY_CLASSES_ROOT, kProductSettingsKey);
  return removed;
}

void RemoveStartMenuShortcuts() {
  const std::wstring start_menu = ShellFolder(CSIDL_STARTMENU);
  if (start_menu.empty()) return;
  const std::wstring folder = start_menu + L"\\" + kProductDirName;
  ::DeleteFileW((folder + L"\\" + kProductDirName + kStartMenuShortcut).c_str());
  ::DeleteFileW(
      (folder + L"\\" + kRemoveShortcutPrefix + kProductDirName + kStartMenuShortcut).c_str());
  ::RemoveDirectoryW(folder.c_str());  // only when nothing else is left in it
}

}  // namespace

void RunRemoval(void* argument) {
  RemovalReport& report = *static_cast<RemovalReport*>(argument);
  // The shell may hand ShellExecuteExW to extensions that need COM on the calling thread.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const std::wstring install_dir = GetInstallDir();
  RemoveService(install_dir);
  for (const wchar_t* name : kProcessNames) KillProcessesByName(name);
  ResetNetworkSettings(install_dir);
  report.files_removed = RemoveProductFiles(install_dir);
  report.shortcuts_removed = RemoveListedShortcut();
  report.registry_cleaned = CleanRegistry();
  RemoveStartMenuShortcuts();
  report.worker_done = true;
  if (SUCCEEDED(com)) ::CoUninitialize();
}

}  // namespace varnelo
