#include "service/trust/path_validation.h"

#include <windows.h>

#include <string>

#include "common/reason.h"
#include "service/log/link_rules.h"
#include "service/trust/path_rules.h"

namespace varnelo {

namespace {
constexpr DWORD kCanonicalPathChars = 520;
static_assert(kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT &&
                  kInvalidAttributes == INVALID_FILE_ATTRIBUTES,
              "link rules read the Windows attribute bits");
}  // namespace

bool ValidateRequestPath(const wchar_t* path, size_t length, const char* label, Reason* reason) {
  if (length == 0) {
    reason->Set("%s empty", label);
    return false;
  }
  if (IsUncOrDevicePath(path, length)) {
    reason->Set("%s rejected: UNC", label);
    return false;
  }
  // GetFullPathNameW reads a terminated string; the request value may carry no terminator.
  const std::wstring given(path, length);
  wchar_t canonical[kCanonicalPathChars];
  const DWORD canonical_length =
      ::GetFullPathNameW(given.c_str(), kCanonicalPathChars, canonical, nullptr);
  const DWORD error = ::GetLastError();
  if (canonical_length == 0 || canonical_length >= kCanonicalPathChars) {
    reason->Set("%s rejected: canonicalize failed err=%lu", label, error);
    return false;
  }
  // An embedded NUL never survives canonicalisation, so such a path fails this comparison too.
  if (!EqualsIgnoringAsciiCase(given.data(), given.size(), canonical, canonical_length)) {
    reason->Set("%s rejected: not absolute/canonical", label);
    return false;
  }
  if (IsLinkedPathComponent(::GetFileAttributesW(canonical))) {
    reason->Set("%s rejected: reparse point", label);
    return false;
  }
  return true;
}

}  // namespace varnelo
