// String rules for request paths, free of Windows headers for native tests.
#pragma once

#include <cstddef>
#include <string>

namespace varnelo {

// Two leading separators (any mix of '\' and '/'): UNC shares and the \\?\ and \\.\ prefixes.
bool IsUncOrDevicePath(const wchar_t* path, std::size_t length);

// Equal when only ASCII letters differ in case; other characters and the lengths must match.
bool EqualsIgnoringAsciiCase(const wchar_t* a, std::size_t aLength, const wchar_t* b,
                             std::size_t bLength);
inline bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
  return EqualsIgnoringAsciiCase(a.data(), a.size(), b.data(), b.size());
}

// The path with one trailing '\' or '/' removed, if it has one; a drive root ("C:\") keeps its
// separator, as "C:" alone means the current folder on that drive.
std::wstring WithoutOneTrailingSeparator(const std::wstring& path);

}  // namespace varnelo
