// The installation ACL judge on descriptors made from SDDL text (Wine synthesises every file's
// owner and DACL, so real files cannot show these cases), and the reader's own failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/unique_resource.h"
#include "service/install_acl.h"

namespace varnelo {
namespace {

const wchar_t kPath[] = L"C:\\Program Files\\Varnelo VPN\\";
const char kPathText[] = "C:\\Program Files\\Varnelo VPN\\";

struct AclCase {
  const char* name;
  const wchar_t* sddl;
  // Empty: trusted. Otherwise the reason with "%P" standing for the path.
  std::string reason;
};

std::string WithPath(std::string text) {
  const size_t at = text.find("%P");
  if (at != std::string::npos) text.replace(at, 2, kPathText);
  return text;
}

TEST(InstallAclJudge, TableOfDescriptors) {
  const std::wstring trustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::wstring everyTrustedWriter =
      L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + trustedInstaller + L")(A;OICIIO;GA;;;CO)";
  const std::wstring trustedInstallerOwns = L"O:" + trustedInstaller + L"D:(A;;FA;;;" + trustedInstaller + L")";
  const AclCase cases[] = {
      {"Users with FILE_WRITE_DATA", L"O:BAD:(A;;FA;;;SY)(A;;0x2;;;BU)",
       "untrusted writer SID S-1-5-32-545 on %P"},
      {"Everyone with read, execute and FILE_DELETE_CHILD", L"O:BAD:(A;;FA;;;BA)(A;;0x1200e9;;;WD)", ""},
      {"a deny ACE for Everyone", L"O:BAD:(D;;FA;;;WD)(A;;FA;;;BA)", ""},
      // Wine's SDDL reader turns "D:NO_ACCESS_CONTROL" into an empty DACL; a descriptor without
      // a DACL part gives the NULL DACL on both systems.
      {"a NULL DACL", L"O:BA", "NULL DACL (open access): %P"},
      {"an empty DACL", L"O:BAD:", ""},
      {"an untrusted owner", L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)",
       "untrusted owner SID S-1-5-21-1-2-3-1001 on %P"},
      {"no owner", L"D:(A;;FA;;;SY)", "missing or unreadable owner on %P"},
      {"an inherit-only ACE", L"O:BAD:(A;OICIIO;FA;;;BU)", "untrusted writer SID S-1-5-32-545 on %P"},
      {"GENERIC_WRITE for Users", L"O:SYD:(A;;GW;;;BU)", "untrusted writer SID S-1-5-32-545 on %P"},
      {"the first untrusted writer is named", L"O:BAD:(A;;GR;;;WD)(A;;WD;;;AU)(A;;GA;;;BU)",
       "untrusted writer SID S-1-5-11 on %P"},
      {"every trusted account as owner and writer", everyTrustedWriter.c_str(), ""},
      {"TrustedInstaller as owner", trustedInstallerOwns.c_str(), ""},
  };
  for (const AclCase& test : cases) {
    SCOPED_TRACE(test.name);
    const SecurityDescriptor descriptor = SecurityDescriptor::FromSddl(test.sddl);
    ASSERT_TRUE(descriptor) << descriptor.error();
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.get(), &owner, &ownerDefaulted));
    BOOL daclPresent = FALSE;
    BOOL daclDefaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &daclPresent, &dacl, &daclDefaulted));
    char reason[256];
    std::memset(reason, 'x', sizeof(reason));
    reason[sizeof(reason) - 1] = '\0';
    const std::string untouched = reason;
    const bool trusted = JudgeInstallAcl(owner, daclPresent ? dacl : nullptr, kPath, reason, sizeof(reason));
    EXPECT_EQ(trusted, test.reason.empty());
    EXPECT_EQ(reason, test.reason.empty() ? untouched : WithPath(test.reason));
  }
}

TEST(InstallAclJudge, ReasonIsCutToTheCallersBuffer) {
  const SecurityDescriptor descriptor = SecurityDescriptor::FromSddl(L"O:BA");
  ASSERT_TRUE(descriptor);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
  char reason[12];
  std::memset(reason, 'x', sizeof(reason));
  EXPECT_FALSE(JudgeInstallAcl(owner, nullptr, kPath, reason, sizeof(reason)));
  EXPECT_STREQ(reason, "NULL DACL (");
}

TEST(InstallAclReader, UnreadablePathIsUntrustedWithTheError) {
  char reason[256] = {};
  EXPECT_FALSE(VerifyInstallAcl(L"C:\\no-such-folder-for-acl-test\\VarneloService.exe", reason, sizeof(reason)));
  EXPECT_STREQ(reason, "GetNamedSecurityInfoW(C:\\no-such-folder-for-acl-test\\VarneloService.exe) err=3");
}

}  // namespace
}  // namespace varnelo
