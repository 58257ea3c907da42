#include "common/ascii.h"

namespace varnelo {

bool EqualsIgnoringAsciiCase(const wchar_t* a, std::size_t a_length, const wchar_t* b,
                             std::size_t b_length) {
  if (a_length != b_length) return false;
  for (std::size_t i = 0; i < a_length; ++i) {
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
  }
  return true;
}

std::size_t FindIgnoringAsciiCase(const std::wstring& text, const std::wstring& needle,
                                  std::size_t from) {
  if (needle.size() > text.size()) return std::wstring::npos;
  for (std::size_t start = from; start + needle.size() <= text.size(); ++start) {
    if (EqualsIgnoringAsciiCase(text.data() + start, needle.size(), needle.data(), needle.size()))
      return start;
  }
  return std::wstring::npos;
}

}  // namespace varnelo
