#include "common/registry_text.h"

#include <vector>

#include "common/grow_buffer.h"

namespace varnelo {

LSTATUS ReadRegistryText(HKEY key, const wchar_t* name, DWORD max_bytes, std::wstring* text,
                         bool expand) {
  const size_t units = max_bytes / sizeof(wchar_t);
  std::vector<wchar_t> buffer(units + 1, L'\0');  // one more, so the text always ends
  DWORD size = static_cast<DWORD>(units * sizeof(wchar_t));
  DWORD type = REG_NONE;
  const LSTATUS result =
      ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
  if (result != ERROR_SUCCESS) return result;
  if (size > (units - 1) * sizeof(wchar_t) && units > 0 && buffer[units - 1] != L'\0') {
    return ERROR_MORE_DATA;
  }
  if (!expand || type != REG_EXPAND_SZ) {
    text->assign(buffer.data());
    return ERROR_SUCCESS;
  }
  const std::wstring stored = buffer.data();
  *text = QueryGrowingString([&stored](wchar_t* expanded, size_t capacity) -> DWORD {
    // Counts the terminator both when it fits and when it does not.
    const DWORD needed =
        ::ExpandEnvironmentStringsW(stored.c_str(), expanded, static_cast<DWORD>(capacity));
    return needed != 0 && needed <= capacity ? needed - 1 : needed;
  });
  return text->empty() && !stored.empty() ? ERROR_INVALID_DATA : ERROR_SUCCESS;
}

}  // namespace varnelo
