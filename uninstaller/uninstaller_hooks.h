// The points where the test build of the uninstaller (uninstall_faults.exe) can change what the
// program finds, so the tests reach paths no real machine shows on demand. Each program links its
// own definitions: the shipped program's (uninstaller/uninstaller_hooks.cpp) do nothing; the test
// build's live in tools/uninstaller_fault_hooks.cpp.
#pragma once

#include <string>

namespace varnelo {

// Runs between writing the temporary copy at `path` and holding it for the relaunch.
void AfterCopyWritten(const std::wstring& path);

}  // namespace varnelo
