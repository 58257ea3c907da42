#include "service/trust/path_rules.h"

namespace varnelo {

namespace {
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
// One trailing separator off, a drive root's too, so "C:\\" and "C:" compare alike here.
std::wstring WithoutTrailing(const std::wstring& path) {
  if (!path.empty() && IsSeparator(path.back())) return path.substr(0, path.size() - 1);
  return path;
}
}  // namespace

bool IsUncOrDevicePath(const wchar_t* path, std::size_t length) {
  return length >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

std::wstring WithoutOneTrailingSeparator(const std::wstring& path) {
  const bool drive_root = path.size() == 3 && path[1] == L':' && IsSeparator(path[2]);
  if (!drive_root && !path.empty() && IsSeparator(path.back())) {
    return path.substr(0, path.size() - 1);
  }
  return path;
}

bool SplitLastComponent(const std::wstring& path, std::wstring* parent, std::wstring* leaf) {
  const std::wstring trimmed = WithoutOneTrailingSeparator(path);
  const std::size_t separator = trimmed.find_last_of(L"\\/");
  if (separator == std::wstring::npos || separator + 1 == trimmed.size()) return false;
  *parent = trimmed.substr(0, separator + 1);
  *leaf = trimmed.substr(separator + 1);
  return true;
}

bool FinalPathMatchesRequest(const std::wstring& requested, const std::wstring& final_path,
                             const std::wstring& remainder) {
  if (requested.find(L':', 2) != std::wstring::npos) return false;
  static const wchar_t kLongPrefix[] = L"\\\\?\\";
  std::wstring real =
      final_path.compare(0, 4, kLongPrefix) == 0 ? final_path.substr(4) : final_path;
  if (!remainder.empty()) real = WithoutTrailing(real) + L"\\" + remainder;
  return EqualsIgnoringAsciiCase(WithoutTrailing(real), WithoutTrailing(requested));
}

}  // namespace varnelo
