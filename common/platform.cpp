#include "platform.h"

namespace varnelo {

bool IsRunningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring GetOwnModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring DirectoryWithSeparator(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::wstring ReadEnvironmentVariable(const wchar_t* name, bool* present) {
  if (present) *present = false;
  ::SetLastError(ERROR_SUCCESS);
  DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) {
    // An existing empty variable also reports 0, but leaves the last error untouched.
    if (present) *present = ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    return std::wstring();
  }
  std::wstring value(size, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(name, &value[0], size);
  if (length == 0 || length >= size) return std::wstring();
  value.resize(length);
  if (present) *present = true;
  return value;
}

}  // namespace varnelo
