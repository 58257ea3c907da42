#include "common/platform.h"

#include "common/grow_buffer.h"

namespace varnelo {

std::wstring GetOwnModulePath() {
  // GetModuleFileNameW cuts a path too long for the buffer and returns the buffer's size.
  return QueryGrowingString([](wchar_t* buffer, size_t capacity) {
    return ::GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(capacity));
  });
}

std::wstring DirectoryWithSeparator(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::wstring ReadEnvironmentVariable(const wchar_t* name, bool* present) {
  bool found = false;
  const std::wstring value = QueryGrowingString([&](wchar_t* buffer, size_t capacity) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(capacity));
    // An empty value also reads as 0 characters, but is no ERROR_ENVVAR_NOT_FOUND.
    found = length != 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    return length;
  });
  if (present) *present = found;
  return value;
}

}  // namespace varnelo
