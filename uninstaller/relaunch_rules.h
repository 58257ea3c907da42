// What an elevated copy is told by the program that made it, and the command line that deletes
// the copy afterwards. Free of Windows headers, so they are tested natively.
#pragma once

#include <cstdint>
#include <string>

namespace varnelo {

// The handles a relaunching program hands its copy, inherited through a handle list and named by
// value on the copy's command line: the relaunching process (waited for, so it has left the
// installation directory), the copy's folder and the copy's file. Only a process that started
// the copy itself can put a handle into it, so a handle to the copy's own running file proves
// which program made the copy; a folder's name proves nothing (users may make folders in the
// system's temporary folder).
struct RelaunchHandles {
  std::uint64_t parent = 0;
  std::uint64_t folder = 0;
  std::uint64_t file = 0;
};

// "--relaunched-copy=<parent>,<folder>,<file>", each in hexadecimal.
std::wstring RelaunchArguments(const RelaunchHandles& handles);

// The handles named by a command line's arguments (what follows the program's name, blanks
// around it ignored), only in exactly the form RelaunchArguments writes, each non-zero.
bool ParseRelaunchArguments(const std::wstring& arguments, RelaunchHandles* handles);

// Whether `text` can stand inside a double-quoted argument of a cmd.exe /C line without cmd
// reading any of it: no % (variables are expanded even between quotes), no ! ^ & | < > " or
// parentheses, no control character (a line break ends the command).
bool IsInertForCommandInterpreter(const std::wstring& text);

// The arguments of the cmd.exe that deletes `folder`\`file_name` and then `folder`, three seconds
// after the program ends: without the user's AutoRun command (/D), the whole line quoted (/S), and
// timeout.exe named by its full path in `system_directory`, so no PATH or PATHEXT of the user's
// picks another. Empty when any part is not inert for the interpreter.
std::wstring SelfDeletionArguments(const std::wstring& system_directory, const std::wstring& folder,
                                   const std::wstring& file_name);

// The whole environment of that cmd.exe, as a block of "name=value" strings each ending in a NUL,
// the block ending in one more: nothing of the user's, only what cmd.exe needs.
std::wstring SelfDeletionEnvironment(const std::wstring& windows_directory,
                                     const std::wstring& system_directory);

}  // namespace varnelo
