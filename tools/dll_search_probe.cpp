// dll_search_probe.exe <bare|restricted|system> <dll name>: loads a DLL that lies beside it, the
// way a program without protection does (bare), after the uninstaller's start-up restriction
// (restricted), or the way the uninstaller loads GDI+ and WinINet (system). Exit code 0 when the
// DLL was loaded, 1 when it was refused, 2 for a wrong command line.
#include <windows.h>

#include <string>

#include "common/platform.h"
#include "uninstaller/startup.h"

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc == 3 ? argv[1] : L"";
  if (mode == L"restricted") {
    varnelo::RestrictDllSearch();
  } else if (mode != L"bare" && mode != L"system") {
    return 2;
  }
  const HMODULE module =
      mode == L"system" ? varnelo::LoadSystemLibrary(argv[2]) : ::LoadLibraryW(argv[2]);
  return module != nullptr ? 0 : 1;
}
