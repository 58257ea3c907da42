#include "common/account.h"

#include <sddl.h>

#include <vector>

#include "common/unique_resource.h"

namespace varnelo {

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return std::wstring();
  const UniqueLocal owner(text);
  return text;
}

std::wstring OwnerSidText(PSECURITY_DESCRIPTOR sd) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (sd == nullptr || !::GetSecurityDescriptorOwner(sd, &owner, &defaulted)) return std::wstring();
  return SidText(owner);
}

std::wstring ProcessUserSid(HANDLE process) {
  UniqueHandle token;
  if (!::OpenProcessToken(process, TOKEN_QUERY, token.put())) return std::wstring();
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return std::wstring();
  }
  return SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

}  // namespace varnelo
