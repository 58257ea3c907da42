// The hooks of the test build of the uninstaller, uninstall_faults.exe; each switch is read from
// the program's environment.
//   VARNELO_FAULT_ALTER_COPY=1   another writer changes the temporary copy after the program
//                                wrote it and before it holds it, as one could where the copy's
//                                folder DACL is not enforced.
#include <windows.h>

#include "common/platform.h"
#include "common/unique_resource.h"
#include "uninstaller/uninstaller_hooks.h"

namespace varnelo {

void AfterCopyWritten(const std::wstring& path) {
  bool present = false;
  if (ReadEnvironmentVariable(L"VARNELO_FAULT_ALTER_COPY", &present) != L"1") return;
  const UniqueHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  const char planted[] = "planted";
  DWORD written = 0;
  if (writer) ::WriteFile(writer.get(), planted, sizeof(planted) - 1, &written, nullptr);
}

}  // namespace varnelo
