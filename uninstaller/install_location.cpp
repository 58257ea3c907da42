#include "uninstaller/install_location.h"

#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <vector>

#include "common/grow_buffer.h"
#include "common/process_list.h"
#include "common/registry_text.h"
#include "common/unique_resource.h"

namespace varnelo {

const wchar_t kProductUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Varnelo VPN";

namespace {

constexpr wchar_t kInstallLocationValue[] = L"InstallLocation";
constexpr wchar_t kUninstallStringValue[] = L"UninstallString";
constexpr const wchar_t* kMarkerExecutables[] = {L"Varnelo.exe", L"uninstall.exe",
                                                 L"VarneloService.exe"};
// What a value of the uninstall key may hold.
constexpr DWORD kRegQueryBytes = 10240;
constexpr DWORD kProcessExitWaitMs = 3000;
constexpr FILEOP_FLAGS kSilentDeleteFlags =
    FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;

// Shell folders whose deletion, or that of a folder holding them, would take a user's or the
// system's files with it.
constexpr int kProtectedFolderIds[] = {
    CSIDL_WINDOWS,         CSIDL_SYSTEM,           CSIDL_SYSTEMX86,
    CSIDL_PROGRAM_FILES,   CSIDL_PROGRAM_FILESX86, CSIDL_PROGRAM_FILES_COMMON,
    CSIDL_PROFILE,         CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY,
    CSIDL_PERSONAL,        CSIDL_COMMON_DOCUMENTS, CSIDL_MYMUSIC,
    CSIDL_MYPICTURES,      CSIDL_MYVIDEO,          CSIDL_FAVORITES,
    CSIDL_STARTMENU,       CSIDL_COMMON_STARTMENU, CSIDL_PROGRAMS,
    CSIDL_COMMON_PROGRAMS, CSIDL_STARTUP,          CSIDL_COMMON_STARTUP,
    CSIDL_APPDATA,         CSIDL_LOCAL_APPDATA,    CSIDL_COMMON_APPDATA,
    CSIDL_FONTS,           CSIDL_SENDTO,           CSIDL_TEMPLATES,
    CSIDL_RECENT,
};

// Both sets of program folders, whatever this build's bitness: for a 32-bit program on 64-bit
// Windows CSIDL_PROGRAM_FILES and CSIDL_PROGRAM_FILES_COMMON are the (x86) ones, and only these
// values (read in the 64-bit view) name the native ones.
constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const wchar_t* kProgramFolderValues[] = {L"ProgramW6432Dir", L"CommonW6432Dir",
                                                   L"ProgramFilesDir", L"ProgramFilesDir (x86)",
                                                   L"CommonFilesDir",  L"CommonFilesDir (x86)"};
// The folder that holds every user's profile.
constexpr wchar_t kProfileListKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kProfilesDirectoryValue[] = L"ProfilesDirectory";
constexpr DWORD kFolderValueBytes = 2048;

// Whatever the stored type, the value is taken as zero-terminated text.
LSTATUS QueryString(HKEY key, const wchar_t* name, std::wstring* value) {
  return ReadRegistryText(key, name, kRegQueryBytes, value);
}

std::wstring FullPath(const std::wstring& path) {
  return QueryGrowingString([&path](wchar_t* buffer, size_t capacity) {
    return ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(capacity), buffer, nullptr);
  });
}

std::wstring UpperCase(std::wstring text) {
  if (!text.empty()) ::CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

// The long, absolute, upper-cased form of an existing path; empty when it does not exist.
std::wstring CanonicalPath(const std::wstring& path) {
  const std::wstring full = FullPath(path);
  if (full.empty()) return std::wstring();
  const std::wstring canonical = QueryGrowingString([&full](wchar_t* buffer, size_t capacity) {
    return ::GetLongPathNameW(full.c_str(), buffer, static_cast<DWORD>(capacity));
  });
  return canonical.empty() ? canonical : UpperCase(canonical);
}

// A protected folder as listed paths are compared with it: canonical when it exists, otherwise
// protected by its full path as named.
std::wstring ComparablePath(const std::wstring& path) {
  const std::wstring canonical = CanonicalPath(path);
  return canonical.empty() ? UpperCase(FullPath(path)) : canonical;
}

// A folder named by a registry value of the 64-bit view (also for the 32-bit build), with
// environment variables expanded; empty when it is not there.
std::wstring ReadFolderValue(const wchar_t* subkey, const wchar_t* name) {
  UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS) {
    return std::wstring();
  }
  std::wstring value;
  return ReadRegistryText(key.get(), name, kFolderValueBytes, &value, true) == ERROR_SUCCESS
             ? value
             : std::wstring();
}

std::vector<std::wstring> ProtectedFolders() {
  std::vector<std::wstring> named;
  for (int id : kProtectedFolderIds) named.push_back(ShellFolder(id));
  for (const wchar_t* value : kProgramFolderValues)
    named.push_back(ReadFolderValue(kCurrentVersionKey, value));
  PWSTR downloads = nullptr;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &downloads)))
    named.push_back(downloads);
  ::CoTaskMemFree(downloads);
  wchar_t temp[MAX_PATH];
  const DWORD temp_length = ::GetTempPathW(MAX_PATH, temp);
  if (temp_length > 0 && temp_length < MAX_PATH) named.push_back(temp);
  std::vector<std::wstring> folders;
  for (const std::wstring& path : named) {
    if (!path.empty()) folders.push_back(ComparablePath(path));
  }
  return folders;
}

// Folders each of whose direct children is protected: the profiles folder.
std::vector<std::wstring> ProtectedContainers() {
  const std::wstring profiles = ReadFolderValue(kProfileListKey, kProfilesDirectoryValue);
  if (profiles.empty()) return {};
  return {ComparablePath(profiles)};
}

}  // namespace

bool ReadRegString(HKEY root, const wchar_t* subkey, const wchar_t* name, std::wstring* value) {
  value->clear();
  UniqueRegKey key;
  if (::RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE | kDefaultRegistryView, key.put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LSTATUS status = QueryString(key.get(), name, value);
  if (status != ERROR_FILE_NOT_FOUND) return status == ERROR_SUCCESS;
  // The key exists here but lacks the value: a 64-bit installer may have written it to the other
  // view.
  if (::RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  return QueryString(key.get(), name, value) == ERROR_SUCCESS;
}

std::wstring GetInstallDir() {
  std::wstring dir;
  if (ReadRegString(HKEY_LOCAL_MACHINE, kProductUninstallKey, kInstallLocationValue, &dir) &&
      !dir.empty()) {
    EnsureTrailingSlash(&dir);
    return dir;
  }
  std::wstring command;
  if (!ReadRegString(HKEY_LOCAL_MACHINE, kProductUninstallKey, kUninstallStringValue, &command)) {
    return std::wstring();
  }
  dir = GetDirOfCommand(command);
  EnsureTrailingSlash(&dir);
  return dir;
}

bool IsProductDir(const std::wstring& dir) {
  if (dir.empty() || !HasProductDirName(dir)) return false;
  for (const wchar_t* marker : kMarkerExecutables) {
    if (FileExists(dir + marker)) return true;
  }
  return false;
}

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH];
  return SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) ? path
                                                                                          : L"";
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool PathExists(const std::wstring& path) {
  if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  const DWORD error = ::GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

int DeletePathSilently(const std::wstring& path) {
  // The shell takes a directory by its name: a trailing separator is dropped, except from a root.
  std::wstring list = path;
  while (list.size() > 3 && (list.back() == L'\\' || list.back() == L'/')) list.pop_back();
  if (!IsPlainAbsolutePath(list)) return ERROR_BAD_PATHNAME;
  list.push_back(L'\0');  // with the string's own terminator, a double-terminated list of one
  SHFILEOPSTRUCTW operation = {};
  operation.wFunc = FO_DELETE;
  operation.pFrom = list.c_str();
  operation.fFlags = kSilentDeleteFlags;
  return ::SHFileOperationW(&operation);
}

bool DeleteRegTree(HKEY root, const wchar_t* subkey) {
  // SHDeleteKeyW takes no view flag: open the parent in the default view and delete relative to it.
  const std::wstring path = subkey;
  const size_t split = path.find_last_of(L'\\');
  if (split == std::wstring::npos) return ::SHDeleteKeyW(root, subkey) == ERROR_SUCCESS;
  UniqueRegKey parent;
  if (::RegOpenKeyExW(root, path.substr(0, split).c_str(), 0,
                      KEY_ENUMERATE_SUB_KEYS | kDefaultRegistryView,
                      parent.put()) != ERROR_SUCCESS) {
    return false;
  }
  return ::SHDeleteKeyW(parent.get(), path.c_str() + split + 1) == ERROR_SUCCESS;
}

bool KillProcessesByName(const wchar_t* exe_name) {
  // Termination is asynchronous and a dying program still holds its files: each gets a moment to
  // be gone, so the deletion that follows does not fail on them.
  return EndProcessesNamed(exe_name, kProcessExitWaitMs) >= 0;
}

bool IsSafeListedPath(const std::wstring& path) {
  // Judge the text as written first: a relative path would be resolved against the current folder.
  if (!IsListedPathDeletable(path, {})) return false;
  const std::wstring canonical = CanonicalPath(path);
  return !canonical.empty() &&
         IsListedPathDeletable(canonical, ProtectedFolders(), ProtectedContainers());
}

}  // namespace varnelo
