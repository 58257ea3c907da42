// The running processes, from one Toolhelp snapshot.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace varnelo {

struct ProcessEntry {
  DWORD pid = 0;
  std::wstring exe_name;  // the executable's file name, as the snapshot gives it
  DWORD parent_pid = 0;   // the process that created it (its pid may have passed on since)
};

// False when no snapshot can be taken.
bool ListProcesses(std::vector<ProcessEntry>* processes);

// Ends every process whose file name equals `exe_name` (ASCII case aside), waiting up to
// `wait_ms` for each; one whose DACL lets it be ended but not waited for is ended without the wait.
// Returns how many were ended, or -1 when no snapshot can be taken.
int EndProcessesNamed(const wchar_t* exe_name, DWORD wait_ms);

}  // namespace varnelo
