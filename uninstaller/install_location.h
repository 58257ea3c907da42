// Finding the installed product and removing its parts: registry reads, the installation
// directory and its guard, silent deletion of paths and keys, ending processes by name. Plain
// functions without state, called from the removal worker only.
#pragma once

#include <windows.h>

#include <string>

#include "uninstaller/install_location_rules.h"

namespace varnelo {

// The shipped uninstaller is a 32-bit program: without a view flag its HKEY_LOCAL_MACHINE\SOFTWARE
// is the 32-bit view. A 64-bit build names that view, so it reads and deletes what the shipped
// program would.
#ifdef _WIN64
constexpr REGSAM kDefaultRegistryView = KEY_WOW64_32KEY;
#else
constexpr REGSAM kDefaultRegistryView = 0;
#endif

extern const wchar_t kProductUninstallKey[];

// Reads a value as text from the default view, retrying in the 64-bit view when the key exists
// but lacks the value. `value` is emptied first; true when it was read.
bool ReadRegString(HKEY root, const wchar_t* subkey, const wchar_t* name, std::wstring* value);

// From the uninstall key's "InstallLocation", else from the directory of its "UninstallString";
// ends in a separator, or is empty.
std::wstring GetInstallDir();

// True when `dir` (ending in a separator) is named "Varnelo" and holds one of the product's
// executables, so it may be deleted as the installation directory.
bool IsProductDir(const std::wstring& dir);

// The current user's shell folder `csidl` (CSIDL_APPDATA...), empty when the shell has none.
std::wstring ShellFolder(int csidl);

// True for an existing object that is not a directory.
bool FileExists(const std::wstring& path);
// True unless the path is known not to exist (an object that cannot be queried counts as there).
bool PathExists(const std::wstring& path);

// Deletes a file or a whole directory through the shell without any dialog; the shell's result.
// A path the shell could resolve against the current folder is never handed to it.
int DeletePathSilently(const std::wstring& path);

// Deletes a key with all its subkeys and values in the default view; true on success.
bool DeleteRegTree(HKEY root, const wchar_t* subkey);

// Ends every process whose executable file name equals `exe_name`, ASCII case aside, and waits
// briefly for each to be gone. False only when the process list cannot be taken.
bool KillProcessesByName(const wchar_t* exe_name);

// Whether a path named in the registry may be deleted recursively: an existing absolute path that
// is no root, neither a shell folder such as Windows, both Program Files and both Common Files
// folders, ProgramData, the profile, Desktop, Documents or the Start menu, nor the folder of all
// user profiles or any profile in it, nor a folder that holds one of these.
bool IsSafeListedPath(const std::wstring& path);

}  // namespace varnelo
