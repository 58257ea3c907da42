#include "uninstaller/system_command.h"

#include "common/inherited_handles.h"

namespace varnelo {

UniqueHandle StartProgram(const ProgramStart& start) {
  std::wstring command_line = L"\"" + start.program + L"\" " + start.arguments;
  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof(startup.StartupInfo);
  DWORD flags = start.environment.empty() ? 0 : CREATE_UNICODE_ENVIRONMENT;
  if (start.visibility == Visibility::kHidden) {
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    flags |= CREATE_NO_WINDOW;
  }
  InheritedHandleList list;
  if (!start.inherited.empty()) {
    if (!list.Build(start.inherited)) return UniqueHandle();
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = list.list();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  std::wstring environment = start.environment;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(start.program.c_str(), &command_line[0], nullptr, nullptr,
                        start.inherited.empty() ? FALSE : TRUE, flags,
                        environment.empty() ? nullptr : &environment[0], start.current_directory,
                        &startup.StartupInfo, &info)) {
    return UniqueHandle();
  }
  const UniqueHandle thread(info.hThread);
  return UniqueHandle(info.hProcess);
}

UniqueHandle StartHiddenProgram(const std::wstring& program, const std::wstring& arguments,
                                const wchar_t* current_directory,
                                const std::vector<HANDLE>& inherited) {
  ProgramStart start;
  start.program = program;
  start.arguments = arguments;
  start.current_directory = current_directory;
  start.inherited = inherited;
  return StartProgram(start);
}

std::wstring SystemDirectory() {
  wchar_t system[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(system, length);
}

std::wstring WindowsDirectory() {
  wchar_t windows[MAX_PATH];
  const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(windows, length);
}

bool StartHiddenCommand(const std::wstring& arguments, const std::wstring& environment) {
  const std::wstring directory = SystemDirectory();
  if (directory.empty()) return false;
  ProgramStart start;
  start.program = directory + L"\\cmd.exe";
  start.arguments = arguments;
  start.current_directory = directory.c_str();
  start.environment = environment;
  // Not waited for: the command outlives this program.
  return static_cast<bool>(StartProgram(start));
}

}  // namespace varnelo
