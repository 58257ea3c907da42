// Small Windows helpers shared by the programs.
#pragma once

#include <windows.h>

#include <string>

namespace varnelo {

// Full path of the running executable, or empty when it cannot be read.
std::wstring GetOwnModulePath();

// The directory part of a path up to and including its last backslash; empty when none.
std::wstring DirectoryWithSeparator(const std::wstring& path);

// Loads a DLL from the system directory only, never from the program's folder or the current
// folder, where another program may have planted one of that name.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Value of an environment variable; `present` tells an empty value from an absent one.
std::wstring ReadEnvironmentVariable(const wchar_t* name, bool* present);

}  // namespace varnelo
