// String rules of the install location: command lines, directory names, the judgement of a
// listed path before it is deleted, and the name of the folder the elevated copy runs from.
// Free of Windows headers, so they are tested natively.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varnelo {

// The product's directory name, compared without regard to case.
extern const wchar_t kProductDirName[];

// Appends one backslash unless the string is empty or already ends in '\' or '/'.
void EnsureTrailingSlash(std::wstring* path);

// The executable at the head of a command line, leading and trailing blanks, tabs, carriage returns
// and line feeds aside: between quotes when it starts with one (to the end when the closing quote
// is missing), otherwise up to and including the first ".exe" in any case, otherwise the whole
// line.
std::wstring GetExePathFromCommand(const std::wstring& command);

// The directory of that executable, up to and including its last separator.
std::wstring GetDirOfCommand(const std::wstring& command);

// True when the last component, trailing separators ignored, is "Varnelo" in any case.
bool HasProductDirName(const std::wstring& path);

// An absolute path (drive or UNC) that is no root, holds no component Windows would resolve or
// trim, and is shorter than MAX_PATH: what may be handed to the shell for deletion, or name a
// program to start. Anything else would be resolved against the current folder (under Wine the
// shell emptied that folder for a longer path).
bool IsPlainAbsolutePath(const std::wstring& path);

// Whether a path listed in the registry may be deleted recursively: only an absolute path (drive
// or UNC) without "." or ".." components or components that Windows would trim, that is no root
// and neither one of `protected_folders` nor an ancestor of one. Every path is compared component
// by component without regard to ASCII case; callers pass canonical, upper-cased paths.
// `containers` are folders whose direct children are protected too (the folder of all user
// profiles: every profile in it, whether or not it is the elevating account's).
bool IsListedPathDeletable(const std::wstring& path,
                           const std::vector<std::wstring>& protected_folders,
                           const std::vector<std::wstring>& containers = {});

// The elevated copy runs from a folder of its own directly in the system's temporary folder, named
// "Varnelo-" and the random bytes in hexadecimal, so no other program can guess it in advance.
constexpr size_t kCopyFolderRandomBytes = 16;
std::wstring CopyFolderName(const unsigned char (&random)[kCopyFolderRandomBytes]);

// True when `exe_path` lies directly in a folder named like CopyFolderName that lies directly in
// `system_temp`: the program already runs as that copy and does not move again.
bool RunsFromCopyFolder(const std::wstring& exe_path, const std::wstring& system_temp);

}  // namespace varnelo
