// Comparisons that fold the case of ASCII letters only, as Windows compares file and device names
// that a rule must not let a locale reinterpret. Free of Windows headers.
#pragma once

#include <cstddef>
#include <string>

namespace varnelo {

// 'A'..'Z' to 'a'..'z'; every other character as it is.
inline wchar_t FoldAsciiCase(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Equal when only ASCII letters differ in case; other characters and the lengths must match.
bool EqualsIgnoringAsciiCase(const wchar_t* a, std::size_t a_length, const wchar_t* b,
                             std::size_t b_length);
inline bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
  return EqualsIgnoringAsciiCase(a.data(), a.size(), b.data(), b.size());
}

// Whether `text` begins with `prefix`, ASCII case aside.
inline bool StartsWithIgnoringAsciiCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(text.data(), prefix.size(), prefix.data(), prefix.size());
}

// Position of the first occurrence of `needle` at or after `from`, ASCII case aside; npos when
// there is none.
std::size_t FindIgnoringAsciiCase(const std::wstring& text, const std::wstring& needle,
                                  std::size_t from);

}  // namespace varnelo
