// The one home of reading a registry value as bounded text.
#pragma once

#include <windows.h>

#include <string>

namespace varnelo {

// Reads value `name` of `key` as text, whatever its stored type, up to its first NUL. A value of
// more than `max_bytes` bytes, or one that fills them without ending in a NUL, is refused with
// ERROR_MORE_DATA; otherwise the registry's own result. A REG_EXPAND_SZ value is expanded when
// `expand` is set.
LSTATUS ReadRegistryText(HKEY key, const wchar_t* name, DWORD max_bytes, std::wstring* text,
                         bool expand = false);

}  // namespace varnelo
