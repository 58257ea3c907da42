#include "service/log/log_folder_rules.h"

#include <cwchar>

namespace varnelo {

namespace {
// SID strings name their authority with an upper- or lower-case "S"; the rest is digits.
bool SameSid(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size() || a.empty()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const wchar_t x = (a[i] == L's') ? L'S' : a[i];
    const wchar_t y = (b[i] == L's') ? L'S' : b[i];
    if (x != y) return false;
  }
  return true;
}
}  // namespace

bool IsTrustedLogFolderOwner(const std::wstring& owner_sid, const std::wstring& own_account_sid) {
  return SameSid(owner_sid, kLocalSystemSid) || SameSid(owner_sid, kAdministratorsSid) ||
         SameSid(owner_sid, own_account_sid);
}

std::wstring MovedAsideLogFolderName(unsigned long long stamp) {
  wchar_t name[48];
  std::swprintf(name, sizeof(name) / sizeof(name[0]), L"Varnelo.moved-%016llx", stamp);
  return name;
}

}  // namespace varnelo
