#include "common/platform.h"

namespace varnelo {

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
  std::wstring value;
  bool found = false;
  // Sizes count the terminator; a variable that grows between two calls asks for more again.
  for (DWORD size = 0;;) {
    value.resize(size);
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(name, size ? &value[0] : nullptr, size);
    if (length == 0) {
      // An empty value also reads as 0 characters, but is no ERROR_ENVVAR_NOT_FOUND.
      found = ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
      value.clear();
      break;
    }
    if (length < size) {
      value.resize(length);
      found = true;
      break;
    }
    size = length;
  }
  if (present) *present = found;
  return value;
}

}  // namespace varnelo
