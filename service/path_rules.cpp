#include "service/path_rules.h"

namespace varnelo {

namespace {
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }
}  // namespace

bool IsUncOrDevicePath(const wchar_t* path, std::size_t length) {
  return length >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

bool EqualsIgnoringAsciiCase(const wchar_t* a, std::size_t aLength, const wchar_t* b,
                             std::size_t bLength) {
  if (aLength != bLength) return false;
  for (std::size_t i = 0; i < aLength; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::wstring WithoutOneTrailingSeparator(const std::wstring& path) {
  const bool driveRoot = path.size() == 3 && path[1] == L':' && IsSeparator(path[2]);
  if (!driveRoot && !path.empty() && IsSeparator(path.back())) return path.substr(0, path.size() - 1);
  return path;
}

}  // namespace varnelo
