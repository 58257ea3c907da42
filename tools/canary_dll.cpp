// A DLL that reports being loaded: on attach it creates the file named by the environment variable
// VARNELO_CANARY_MARKER. Planted under the name of a DLL a program loads, it shows whether the
// program can be made to load code from the folder it was planted in.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t marker[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableW(L"VARNELO_CANARY_MARKER", marker, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      HANDLE file = ::CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    }
  }
  return TRUE;
}
