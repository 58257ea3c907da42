// The installation ACL judge on descriptors made from SDDL text (Wine synthesises every file's
// owner and DACL, so real files cannot show these cases), and the reader's own failure.
#include <gtest/gtest.h>

#include <string>

#include "common/unique_resource.h"
#include "service/install_acl.h"

namespace varnelo {
namespace {

const wchar_t kPath[] = L"C:\\Program Files\\Varnelo VPN\\";
const char kPathText[] = "C:\\Program Files\\Varnelo VPN\\";

// Judges the descriptor `sddl` describes; returns the reason buffer of `size` bytes, which starts
// all 'x'.
std::string Judge(const std::wstring& sddl, size_t size, bool* trusted) {
  const SecurityDescriptor descriptor = SecurityDescriptor::FromSddl(sddl.c_str());
  EXPECT_TRUE(descriptor) << descriptor.error();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE, daclPresent = FALSE;
  EXPECT_TRUE(::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
  EXPECT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &daclPresent, &dacl, &defaulted));
  std::string reason(size, 'x');  // a judge that writes no terminator leaves the x's in the result
  *trusted = JudgeInstallAcl(owner, daclPresent ? dacl : nullptr, kPath, &reason[0], size);
  return reason.c_str();
}

TEST(InstallAclJudge, TableOfDescriptors) {
  const std::wstring trustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::string untouched(256, 'x');
  const struct {
    const char* name;
    std::wstring sddl;
    const char* reason;  // null: trusted
  } cases[] = {
      {"Users with FILE_WRITE_DATA", L"O:BAD:(A;;FA;;;SY)(A;;0x2;;;BU)", "untrusted writer SID S-1-5-32-545 on "},
      {"Everyone with read, execute and FILE_DELETE_CHILD", L"O:BAD:(A;;FA;;;BA)(A;;0x1200e9;;;WD)", nullptr},
      {"a deny ACE for Everyone", L"O:BAD:(D;;FA;;;WD)(A;;FA;;;BA)", nullptr},
      // Wine's SDDL reader turns "D:NO_ACCESS_CONTROL" into an empty DACL; a descriptor without
      // a DACL part gives the NULL DACL on both systems.
      {"a NULL DACL", L"O:BA", "NULL DACL (open access): "},
      {"an empty DACL", L"O:BAD:", nullptr},
      {"an untrusted owner", L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)", "untrusted owner SID S-1-5-21-1-2-3-1001 on "},
      {"no owner", L"D:(A;;FA;;;SY)", "missing or unreadable owner on "},
      {"an inherit-only ACE", L"O:BAD:(A;OICIIO;FA;;;BU)", "untrusted writer SID S-1-5-32-545 on "},
      {"GENERIC_WRITE for Users", L"O:SYD:(A;;GW;;;BU)", "untrusted writer SID S-1-5-32-545 on "},
      {"the first untrusted writer is named", L"O:BAD:(A;;GR;;;WD)(A;;WD;;;AU)(A;;GA;;;BU)",
       "untrusted writer SID S-1-5-11 on "},
      {"every trusted account as owner and writer",
       L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + trustedInstaller + L")(A;OICIIO;GA;;;CO)", nullptr},
      {"TrustedInstaller as owner", L"O:" + trustedInstaller + L"D:(A;;FA;;;" + trustedInstaller + L")", nullptr},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    bool trusted = false;
    EXPECT_EQ(Judge(test.sddl, 256, &trusted), test.reason ? test.reason + std::string(kPathText) : untouched);
    EXPECT_EQ(trusted, test.reason == nullptr);
  }
}

TEST(InstallAclReader, UnreadablePathIsUntrustedWithTheError) {
  char reason[256] = {};
  EXPECT_FALSE(VerifyInstallAcl(L"C:\\no-such-folder-for-acl-test\\VarneloService.exe", reason, sizeof(reason)));
  EXPECT_STREQ(reason, "GetNamedSecurityInfoW(C:\\no-such-folder-for-acl-test\\VarneloService.exe) err=3");
}

}  // namespace
}  // namespace varnelo
