// Stand-in for Windows' timeout.exe, which Wine lacks: "timeout /t N [/nobreak]" waits N seconds
// (N = -1 waits forever) and exits 0; anything else prints the usage and exits 1. When its
// environment holds VARNELO_TIMEOUT_RECORD, it appends a line to the file named there, so a test
// can see whether a variable of the program that started the command reached it.
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
  wchar_t record[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableW(L"VARNELO_TIMEOUT_RECORD", record, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    if (FILE* file = _wfopen(record, L"a")) {
      std::fputs("timeout saw the starting program's environment\n", file);
      std::fclose(file);
    }
  }
  ::Sleep(seconds < 0 ? INFINITE : static_cast<DWORD>(seconds) * 1000);
  return 0;
}
