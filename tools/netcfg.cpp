// Stand-in for the product's netcfg.exe, and a recorder for planted programs: appends one line,
// its own full path and then its arguments, to %TEMP%\varnelo-runs.txt, and exits 0. Copied
// under other names (cmd.exe, timeout.exe, VarneloService.exe) it shows whether a program was run
// from a folder it should never be run from.
#include <windows.h>

#include <string>

int wmain() {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  // The arguments: the command line after the program's own (possibly quoted) name.
  const wchar_t* arguments = ::GetCommandLineW();
  const bool quoted = *arguments == L'"';
  if (quoted) ++arguments;
  while (*arguments && (quoted ? *arguments != L'"' : *arguments != L' ')) ++arguments;
  if (quoted && *arguments) ++arguments;
  while (*arguments == L' ') ++arguments;

  wchar_t temp[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  const std::wstring line = std::wstring(self) + L"|" + arguments + L"\r\n";
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()),
                                          nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &text[0], bytes,
                        nullptr, nullptr);
  HANDLE file =
      ::CreateFileW((std::wstring(temp) + L"\\varnelo-runs.txt").c_str(), FILE_APPEND_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
  return 0;
}
