#include "service/setup/install_acl.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "common/account.h"
#include "common/reason.h"
#include "common/unique_resource.h"
#include "common/utf8.h"

namespace varnelo {

namespace {

// LocalSystem, Administrators, TrustedInstaller, CREATOR OWNER.
const wchar_t* const kTrustedInstallSids[] = {
    L"S-1-5-18",
    L"S-1-5-32-544",
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
    L"S-1-3-0",
};

// Reasons are 8-bit text; paths and SIDs go in as UTF-8 so a non-ASCII folder name is kept rather
// than making the formatter fail and leave an empty reason.
std::string Utf8(const wchar_t* text) { return text == nullptr ? std::string() : WideToUtf8(text); }

bool IsTrustedSid(PSID sid) {
  if (sid == nullptr || !::IsValidSid(sid)) return false;
  for (const wchar_t* text : kTrustedInstallSids) {
    UniqueLocal trusted;
    PSID converted = nullptr;
    if (!::ConvertStringSidToSidW(text, &converted)) continue;
    trusted.reset(converted);
    if (::EqualSid(sid, converted)) return true;
  }
  return false;
}

// The SID's string form, or false when it cannot be formatted.
// The SID as UTF-8 text for a reason; false when it cannot be converted.
bool SidText(PSID sid, std::string* text) {
  const std::wstring converted = varnelo::SidText(sid);
  if (converted.empty()) return false;
  *text = Utf8(converted.c_str());
  return true;
}

}  // namespace

bool JudgeInstallAcl(PSID owner, const ACL* dacl, const wchar_t* path, Reason* reason) {
  const std::string path_text = Utf8(path);
  if (dacl == nullptr) {
    reason->Set("NULL DACL (open access): %s", path_text.c_str());
    return false;
  }
  if (!IsTrustedSid(owner)) {
    std::string owner_text;
    if (owner != nullptr && SidText(owner, &owner_text)) {
      reason->Set("untrusted owner SID %s on %s", owner_text.c_str(), path_text.c_str());
    } else {
      reason->Set("missing or unreadable owner on %s", path_text.c_str());
    }
    return false;
  }
  // GetAce takes a non-const ACL although it only reads it.
  PACL list = const_cast<PACL>(dacl);
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* ace = nullptr;
    if (!::GetAce(list, index, &ace)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kInstallWriterRightsMask) == 0) continue;
    PSID writer = &allowed->SidStart;
    if (IsTrustedSid(writer)) continue;
    std::string writer_text;
    if (SidText(writer, &writer_text)) {
      reason->Set("untrusted writer SID %s on %s", writer_text.c_str(), path_text.c_str());
    } else {
      reason->Set("untrusted writer SID (unable to format) on %s", path_text.c_str());
    }
    return false;
  }
  return true;
}

bool VerifyInstallAcl(const wchar_t* path, Reason* reason) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetNamedSecurityInfoW(
      path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
      &dacl, nullptr, &descriptor);
  const UniqueLocal descriptor_owner(descriptor);
  if (error != ERROR_SUCCESS) {
    reason->Set("GetNamedSecurityInfoW(%s) err=%lu", Utf8(path).c_str(), error);
    return false;
  }
  return JudgeInstallAcl(owner, dacl, path, reason);
}

}  // namespace varnelo
