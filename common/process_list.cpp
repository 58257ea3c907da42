#include "common/process_list.h"

#include <tlhelp32.h>

#include "common/ascii.h"
#include "common/unique_resource.h"

namespace varnelo {

bool ListProcesses(std::vector<ProcessEntry>* processes) {
  processes->clear();
  const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    processes->push_back(
        ProcessEntry{entry.th32ProcessID, entry.szExeFile, entry.th32ParentProcessID});
  }
  return true;
}

namespace {

bool EndProcess(DWORD pid, DWORD wait_ms) {
  UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  const bool waitable = static_cast<bool>(process);
  if (!waitable) process.reset(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
  if (!process || !::TerminateProcess(process.get(), 0)) return false;
  if (waitable) ::WaitForSingleObject(process.get(), wait_ms);
  return true;
}

}  // namespace

int EndProcessesNamed(const wchar_t* exe_name, DWORD wait_ms) {
  std::vector<ProcessEntry> processes;
  if (!ListProcesses(&processes)) return -1;
  int ended = 0;
  for (const ProcessEntry& entry : processes) {
    if (EqualsIgnoringAsciiCase(entry.exe_name, exe_name) && EndProcess(entry.pid, wait_ms))
      ++ended;
  }
  return ended;
}

}  // namespace varnelo
