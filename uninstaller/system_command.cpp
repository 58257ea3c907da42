#include "system_command.h"

#include <windows.h>

#include "common/unique_resource.h"

namespace varnelo {

bool StartHiddenCommand(const std::wstring& arguments) {
  wchar_t system[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring directory(system, length);
  std::wstring commandLine = L"\"" + directory + L"\\cmd.exe\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        directory.c_str(), &startup, &info)) {
    return false;
  }
  UniqueHandle process(info.hProcess), thread(info.hThread);  // not waited for
  return true;
}

}  // namespace varnelo
