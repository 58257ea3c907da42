#include "service/watchdog/proxy_rules.h"

#include <cstddef>

#include "common/ascii.h"

namespace varnelo {

namespace {

constexpr wchar_t kCorePacPath[] = L"/commands/pac";
constexpr wchar_t kLoopbackAddressPrefix[] = L"127.0.0.1:";
constexpr wchar_t kLocalhostPrefix[] = L"localhost:";

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Whether the digit run at `pos` names a core port. The value stops growing once it has left
// the range, so a run of any length cannot wrap back into it.
bool IsCorePortAt(const std::wstring& text, std::size_t pos) {
  if (pos >= text.size() || !IsDigit(text[pos])) return false;
  std::uint32_t value = 0;
  for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
    if (value <= kCorePacPortLast)
      value = value * 10 + static_cast<std::uint32_t>(text[pos] - L'0');
  }
  return value >= kCorePacPortFirst && value <= kCorePacPortLast;
}

bool HasHostWithCorePort(const std::wstring& url, const std::wstring& host_prefix) {
  for (std::size_t at = FindIgnoringAsciiCase(url, host_prefix, 0); at != std::wstring::npos;
       at = FindIgnoringAsciiCase(url, host_prefix, at + 1)) {
    if (IsCorePortAt(url, at + host_prefix.size())) return true;
  }
  return false;
}

}  // namespace

bool IsStaleAutoConfigUrl(const std::wstring& url) {
  return FindIgnoringAsciiCase(url, kCorePacPath, 0) != std::wstring::npos ||
         HasHostWithCorePort(url, kLoopbackAddressPrefix) ||
         HasHostWithCorePort(url, kLocalhostPrefix);
}

}  // namespace varnelo
