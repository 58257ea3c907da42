#include "uninstaller/system_command.h"

#include "common/inherited_handles.h"

namespace varnelo {

UniqueHandle StartProgram(const std::wstring& program, const std::wstring& arguments,
                          const wchar_t* currentDirectory, const std::vector<HANDLE>& inherited,
                          Visibility visibility) {
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup.StartupInfo);
  DWORD flags = 0;
  if (visibility == Visibility::kHidden) {
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    flags = CREATE_NO_WINDOW;
  }
  InheritedHandleList list;
  if (!inherited.empty()) {
    if (!list.Build(inherited)) return UniqueHandle();
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = list.list();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr,
                        inherited.empty() ? FALSE : TRUE, flags, nullptr, currentDirectory,
                        &startup.StartupInfo, &info)) {
    return UniqueHandle();
  }
  const UniqueHandle thread(info.hThread);
  return UniqueHandle(info.hProcess);
}

UniqueHandle StartHiddenProgram(const std::wstring& program, const std::wstring& arguments,
                                const wchar_t* currentDirectory,
                                const std::vector<HANDLE>& inherited) {
  return StartProgram(program, arguments, currentDirectory, inherited, Visibility::kHidden);
}

std::wstring SystemDirectory() {
  wchar_t system[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(system, length);
}

bool StartHiddenCommand(const std::wstring& arguments) {
  const std::wstring directory = SystemDirectory();
  if (directory.empty()) return false;
  // Not waited for: the command outlives this program.
  return static_cast<bool>(
      StartHiddenProgram(directory + L"\\cmd.exe", arguments, directory.c_str()));
}

}  // namespace varnelo
