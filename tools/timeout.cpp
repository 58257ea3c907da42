// Stand-in for Windows' timeout.exe, which Wine lacks: "timeout /t N [/nobreak]" waits N seconds
// (N = -1 waits forever) and exits 0; anything else prints the usage and exits 1.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  long seconds = -2;
  for (int i = 1; i < argc; ++i) {
    if ((_wcsicmp(argv[i], L"/t") == 0 || _wcsicmp(argv[i], L"-t") == 0) && i + 1 < argc) {
      seconds = std::wcstol(argv[++i], nullptr, 10);
    } else if (_wcsicmp(argv[i], L"/nobreak") != 0) {
      seconds = -2;
      break;
    }
  }
  if (seconds < -1 || seconds > 99999) {
    std::fwprintf(stderr, L"usage: timeout /t <seconds> [/nobreak]\n");
    return 1;
  }
  ::Sleep(seconds < 0 ? INFINITE : static_cast<DWORD>(seconds) * 1000);
  return 0;
}
