#include "system_command.h"

#include <windows.h>

#include "common/inherited_handles.h"
#include "common/unique_resource.h"

namespace varnelo {

bool StartHiddenCommand(const std::wstring& arguments, const std::vector<HANDLE>& inherited) {
  wchar_t system[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring directory(system, length);
  std::wstring commandLine = L"\"" + directory + L"\\cmd.exe\" " + arguments;
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup.StartupInfo);
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  DWORD flags = CREATE_NO_WINDOW;
  InheritedHandleList list;
  if (!inherited.empty()) {
    if (!list.Build(inherited)) return false;
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = list.list();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, inherited.empty() ? FALSE : TRUE, flags, nullptr,
                        directory.c_str(), &startup.StartupInfo, &info)) {
    return false;
  }
  UniqueHandle process(info.hProcess), thread(info.hThread);  // not waited for
  return true;
}

}  // namespace varnelo
