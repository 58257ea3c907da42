#include "common/account.h"

#include <sddl.h>

#include <vector>

#include "common/grow_buffer.h"
#include "common/unique_resource.h"

namespace varnelo {

namespace {
// A token's user: its SID and a header, well below this.
constexpr size_t kTokenUserLimit = 1024;
}  // namespace

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
  std::vector<unsigned char> buffer;
  const auto query = [&token](unsigned char* bytes, unsigned long* size) {
    DWORD length = *size;
    const bool read = ::GetTokenInformation(token.get(), TokenUser, bytes, length, &length) != 0;
    *size = length;
    return read;
  };
  if (!QueryGrowingBytes(query, &buffer, kTokenUserLimit)) return std::wstring();
  return SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

}  // namespace varnelo
