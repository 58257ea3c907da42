// dll_search_probe.exe <bare|restricted|system> <dll name>: loads a DLL that lies beside it, the
// way a program without protection does (bare), after the uninstaller's start-up restriction
// (restricted), or the way the uninstaller loads GDI+ and WinINet (system). Exit code 0 when the
// DLL was loaded, 1 when it was refused, 2 for a wrong command line.
#include <windows.h>

#include <cwchar>

#include "common/platform.h"
#include "uninstaller/startup.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HMODULE module = nullptr;
  if (std::wcscmp(argv[1], L"bare") == 0) {
    module = ::LoadLibraryW(argv[2]);
  } else if (std::wcscmp(argv[1], L"restricted") == 0) {
    varnelo::RestrictDllSearch();
    module = ::LoadLibraryW(argv[2]);
  } else if (std::wcscmp(argv[1], L"system") == 0) {
    module = varnelo::LoadSystemLibrary(argv[2]);
  } else {
    return 2;
  }
  return module != nullptr ? 0 : 1;
}
