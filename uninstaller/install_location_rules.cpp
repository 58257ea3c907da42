#include "uninstaller/install_location_rules.h"

#include <cstddef>

#include "common/ascii.h"

namespace varnelo {

const wchar_t kProductDirName[] = L"Varnelo";

namespace {

constexpr wchar_t kWhitespace[] = L" \t\r\n";
constexpr wchar_t kSeparators[] = L"\\/";
constexpr wchar_t kExeExtension[] = L".exe";
constexpr size_t kExeExtensionLength = sizeof(kExeExtension) / sizeof(wchar_t) - 1;
constexpr size_t kMaxShellPath = 260;  // MAX_PATH, with its terminator
constexpr wchar_t kCopyFolderPrefix[] = L"Varnelo-";
constexpr size_t kCopyFolderPrefixLength = sizeof(kCopyFolderPrefix) / sizeof(wchar_t) - 1;
constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring TrimWhitespace(const std::wstring& text) {
  const size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::wstring::npos) return std::wstring();
  const size_t last = text.find_last_not_of(kWhitespace);
  return text.substr(first, last - first + 1);
}

// Splits an absolute path into its root ("c:" or "\\server\share") followed by its components.
// Empty when the path is not absolute, is a device or verbatim path ("\\?\", "\\.\"), or holds a
// component that Windows would resolve or trim (".", "..", a trailing dot or blank).
std::vector<std::wstring> SplitAbsolute(const std::wstring& path) {
  std::vector<std::wstring> parts;
  size_t pos = 0;
  const wchar_t drive = path.empty() ? L'\0' : FoldAsciiCase(path[0]);
  if (path.size() >= 3 && path[1] == L':' && IsSeparator(path[2]) && drive >= L'a' &&
      drive <= L'z') {
    parts.push_back(std::wstring(1, drive) + L":");
    pos = 3;
  } else if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    const size_t server = path.find_first_of(kSeparators, 2);
    if (server == std::wstring::npos || server == 2 || path.compare(2, server - 2, L"?") == 0 ||
        path.compare(2, server - 2, L".") == 0) {
      return {};
    }
    const size_t share = path.find_first_of(kSeparators, server + 1);
    const size_t share_end = share == std::wstring::npos ? path.size() : share;
    if (share_end == server + 1) return {};
    parts.push_back(path.substr(0, share_end));
    pos = share_end;
  } else {
    return {};
  }
  while (pos < path.size()) {
    const size_t end = path.find_first_of(kSeparators, pos);
    const std::wstring part =
        path.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
    if (!part.empty()) {
      if (part == L"." || part == L".." || part.back() == L'.' || part.back() == L' ') return {};
      parts.push_back(part);
    }
    if (end == std::wstring::npos) break;
    pos = end + 1;
  }
  return parts;
}

// True when `ancestor` equals `path` or contains it.
bool IsSameOrAncestor(const std::vector<std::wstring>& ancestor,
                      const std::vector<std::wstring>& path) {
  if (ancestor.empty() || ancestor.size() > path.size()) return false;
  for (size_t i = 0; i < ancestor.size(); ++i) {
    if (!EqualsIgnoringAsciiCase(ancestor[i], path[i])) return false;
  }
  return true;
}

bool IsHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (FoldAsciiCase(c) >= L'a' && FoldAsciiCase(c) <= L'f');
}

bool IsCopyFolderName(const std::wstring& name) {
  if (name.size() != kCopyFolderPrefixLength + 2 * kCopyFolderRandomBytes ||
      !StartsWithIgnoringAsciiCase(name, kCopyFolderPrefix)) {
    return false;
  }
  for (size_t i = kCopyFolderPrefixLength; i < name.size(); ++i) {
    if (!IsHexDigit(name[i])) return false;
  }
  return true;
}

}  // namespace

void EnsureTrailingSlash(std::wstring* path) {
  if (!path->empty() && !IsSeparator(path->back())) path->push_back(L'\\');
}

std::wstring GetExePathFromCommand(const std::wstring& command) {
  const std::wstring trimmed = TrimWhitespace(command);
  if (trimmed.empty()) return trimmed;
  if (trimmed[0] == L'"') {
    const size_t closing = trimmed.find(L'"', 1);
    return closing == std::wstring::npos ? trimmed.substr(1) : trimmed.substr(1, closing - 1);
  }
  const size_t extension = FindIgnoringAsciiCase(trimmed, kExeExtension, 0);
  return extension == std::wstring::npos ? trimmed
                                         : trimmed.substr(0, extension + kExeExtensionLength);
}

std::wstring GetDirOfCommand(const std::wstring& command) {
  const std::wstring exe = GetExePathFromCommand(command);
  const size_t last = exe.find_last_of(kSeparators);
  return last == std::wstring::npos ? exe : exe.substr(0, last + 1);
}

bool HasProductDirName(const std::wstring& path) {
  const size_t end = path.find_last_not_of(kSeparators);
  if (end == std::wstring::npos) return false;
  const std::wstring trimmed = path.substr(0, end + 1);
  const size_t last = trimmed.find_last_of(kSeparators);
  return EqualsIgnoringAsciiCase(last == std::wstring::npos ? trimmed : trimmed.substr(last + 1),
                                 kProductDirName);
}

bool IsPlainAbsolutePath(const std::wstring& path) {
  return path.size() < kMaxShellPath && SplitAbsolute(path).size() >= 2;
}

bool IsListedPathDeletable(const std::wstring& path,
                           const std::vector<std::wstring>& protected_folders,
                           const std::vector<std::wstring>& containers) {
  const std::vector<std::wstring> parts = SplitAbsolute(path);
  if (parts.size() < 2) return false;  // not absolute, or a drive or share root
  for (const std::wstring& folder : protected_folders) {
    if (IsSameOrAncestor(parts, SplitAbsolute(folder))) return false;
  }
  for (const std::wstring& container : containers) {
    // The container itself, a folder holding it, and each folder directly in it.
    const std::vector<std::wstring> held = SplitAbsolute(container);
    if (IsSameOrAncestor(parts, held) ||
        (parts.size() == held.size() + 1 && IsSameOrAncestor(held, parts))) {
      return false;
    }
  }
  return true;
}

std::wstring CopyFolderName(const unsigned char (&random)[kCopyFolderRandomBytes]) {
  std::wstring name = kCopyFolderPrefix;
  for (unsigned char byte : random) {
    name.push_back(kHexDigits[byte >> 4]);
    name.push_back(kHexDigits[byte & 0xF]);
  }
  return name;
}

bool RunsFromCopyFolder(const std::wstring& exe_path, const std::wstring& system_temp) {
  const std::vector<std::wstring> parts = SplitAbsolute(exe_path);
  const std::vector<std::wstring> temp_parts = SplitAbsolute(system_temp);
  return !temp_parts.empty() && parts.size() == temp_parts.size() + 2 &&
         IsSameOrAncestor(temp_parts, parts) && IsCopyFolderName(parts[parts.size() - 2]);
}

}  // namespace varnelo
