// The service's path and security decisions in process: request paths and the caller's access
// against real paths and this process's real token, and the installation ACL judge and the log
// folder's owner and DACL decisions on descriptors made from SDDL text (Wine synthesises every
// file's owner and DACL, so real files cannot show those cases).
#include <gtest/gtest.h>

#include "common/reason.h"
#include "service/log/log_folder.h"
#include "service/setup/install_acl.h"
#include "service/trust/path_access.h"
#include "service/trust/path_validation.h"
#include "tests/win/harness.h"

namespace varnelo {
namespace test {
namespace {

SecurityDescriptor Sddl(const std::wstring& text) {
  SecurityDescriptor sd = SecurityDescriptor::FromSddl(text.c_str());
  EXPECT_TRUE(sd) << Narrow(text) << " err=" << sd.error();
  return sd;
}

std::string Check(const std::wstring& path) {
  Reason reason;
  return ValidateRequestPath(path.c_str(), path.size(), "app_path", &reason) ? "ok"
                                                                             : reason.c_str();
}

TEST(PathValidation, EachRuleWithItsReason) {
  TempDir temp;
  const std::wstring dir = temp.path();  // canonical, with a trailing backslash
  ::CreateDirectoryW((dir + L"dir").c_str(), nullptr);

  EXPECT_EQ(Check(L""), "app_path empty");
  EXPECT_EQ(Check(L"\\\\host\\share\\dir"), "app_path rejected: UNC");  // the forms: natively
  std::wstring with_nul = dir + L"dir";
  with_nul.push_back(L'\0');
  for (const std::wstring& path :
       {std::wstring(L"C:/x/"), dir + L"dir\\..\\dir\\", std::wstring(L"dir\\sub"),
        std::wstring(L"C:dir"), dir + L"dir\\\\sub", dir + L"dir.", dir + L"dir ", dir + L".",
        with_nul + L"x"}) {
    EXPECT_EQ(Check(path), "app_path rejected: not absolute/canonical") << Narrow(path);
  }
  for (const std::wstring& path : {dir, dir + L"dir\\", L"c" + dir.substr(1) + L"DIR",
                                   dir + L"not-yet\\data", std::wstring(L"C:\\")}) {
    EXPECT_EQ(Check(path), "ok") << Narrow(
        path);  // ASCII case is ignored; a path may not exist yet
  }
}

TEST(PathValidation, LengthLimitOf519Characters) {
  std::wstring path = L"C:\\";
  while (path.size() < 519) path += (path.size() % 100 == 99) ? L'\\' : L'a';
  ASSERT_EQ(path.size(), 519u);
  EXPECT_EQ(Check(path), "ok");
  const std::string too_long = Check(path + L"b");
  EXPECT_EQ(too_long.rfind("app_path rejected: canonicalize failed err=", 0), 0u) << too_long;
  EXPECT_EQ(
      Check(path + std::wstring(2000, L'c')).rfind("app_path rejected: canonicalize failed", 0),
      0u);
}

TEST(PathValidation, JunctionAsLastComponent) {
  TempDir temp, target;
  if (!CreateJunction(temp.path() + L"link", target.path())) {
    GTEST_SKIP()
        << "this file system cannot make a junction; on Windows a junction or symbolic "
           "link as the last component is refused as a reparse point, a path below it is not";
  }
  EXPECT_EQ(Check(temp.path() + L"link"), "app_path rejected: reparse point");
  EXPECT_EQ(Check(temp.path() + L"link\\below"), "ok");
}

// This process's own token, as the service would take a caller's.
class CallerAccess : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(token_) << token_error_; }
  std::string Check(const std::wstring& path, RequestPathUse use) {
    Reason reason;
    return CheckCallerPathAccess(token_.get(), path, use, "data_path", &reason, &held_)
               ? "ok"
               : reason.c_str();
  }
  DWORD token_error_ = 0;
  const UniqueHandle token_ = OpenCallerToken(::GetCurrentProcess(), &token_error_);
  UniqueHandle held_;
  TempDir temp_;
  const std::wstring dir_ = temp_.path();
};

// Wine enforces no file ACLs, so descriptors are where a denial of the real token can be seen.
TEST_F(CallerAccess, AccessCheckOfTheTokenOnDescriptors) {
  const std::wstring own = OwnUserSid();
  ASSERT_FALSE(own.empty());
  const auto may = [&](const std::wstring& dacl, ACCESS_MASK desired) {
    const SecurityDescriptor sd = Sddl(L"O:SYG:SY" + dacl);
    DWORD error = 1;
    const bool allowed = sd && CallerMayAccess(token_.get(), sd.get(), desired, &error);
    EXPECT_EQ(error, 0u);
    return allowed;
  };
  EXPECT_TRUE(may(L"D:(A;;FA;;;" + own + L")", FILE_ADD_FILE));
  EXPECT_TRUE(may(L"D:(A;;FA;;;" + own + L")", FILE_GENERIC_READ));
  EXPECT_FALSE(may(L"D:(D;;FA;;;" + own + L")(A;;FA;;;WD)", FILE_GENERIC_READ));  // denied first
  EXPECT_FALSE(may(L"D:(A;;FRFX;;;" + own + L")", FILE_ADD_FILE));  // read only: no files in it
  EXPECT_TRUE(may(L"D:(A;;FRFX;;;" + own + L")", FILE_GENERIC_READ));
  EXPECT_FALSE(may(L"D:(A;;FA;;;S-1-5-21-1-2-3-1001)", FILE_GENERIC_READ));  // someone else's
}

TEST_F(CallerAccess, RealPathOrNearestAncestorAndTheRightKind) {
  ASSERT_TRUE(::CreateDirectoryW((dir_ + L"data").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(dir_ + L"config", "x"));
  const auto kData = RequestPathUse::kDataFolder;
  const auto kConfig = RequestPathUse::kConfigFile;
  EXPECT_EQ(Check(dir_ + L"data\\", kData), "ok");
  EXPECT_EQ(Check(dir_ + L"DATA", kData), "ok");
  EXPECT_EQ(Check(dir_ + L"new\\deeper\\", kData), "ok");  // made later by the core
  EXPECT_EQ(Check(dir_ + L"config", kConfig), "ok");
  EXPECT_EQ(Check(dir_ + L"new\\config", kConfig), "ok");
  EXPECT_EQ(Check(dir_ + L"config", kData), "data_path rejected: open failed err=267");
  EXPECT_EQ(Check(dir_ + L"data", kConfig), "data_path rejected: open failed err=5");

  const char kElsewhere[] = "data_path rejected: final path differs";
  EXPECT_EQ(Check(dir_ + L"config::$DATA", kConfig), kElsewhere);
  ASSERT_TRUE(WriteFileBytes(dir_ + L"x:ads", "stream"));
  EXPECT_EQ(Check(dir_ + L"x:ads", kConfig), kElsewhere);
  ASSERT_TRUE(::CreateDirectoryW((dir_ + L"A Long Folder Name").c_str(), nullptr));
  wchar_t short_name[MAX_PATH] = {};
  ASSERT_GT(::GetShortPathNameW((dir_ + L"A Long Folder Name").c_str(), short_name, MAX_PATH), 0u);
  ASSERT_NE(std::wstring(short_name), dir_ + L"A Long Folder Name") << "no short name to test with";
  EXPECT_EQ(Check(std::wstring(short_name) + L"\\", kData), kElsewhere);
  EXPECT_EQ(Check(std::wstring(short_name) + L"\\new", kData), kElsewhere);
}

TEST_F(CallerAccess, HeldFolderCannotBeRenamedUntilReleased) {
  ASSERT_TRUE(::CreateDirectoryW((dir_ + L"data").c_str(), nullptr));
  ASSERT_EQ(Check(dir_ + L"data", RequestPathUse::kDataFolder), "ok");
  EXPECT_FALSE(::MoveFileExW((dir_ + L"data").c_str(), (dir_ + L"swapped").c_str(), 0));
  held_.reset();
  EXPECT_TRUE(::MoveFileExW((dir_ + L"data").c_str(), (dir_ + L"swapped").c_str(), 0));
}

TEST(InstallAclJudge, TableOfDescriptors) {
  const std::wstring trusted_installer =
      L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const wchar_t kPath[] = L"C:\\Program Files\\Varnelo VPN\\";
  const struct {
    const char* name;
    std::wstring sddl;
    const char* reason;  // null: trusted
  } cases[] = {
      {"Users with FILE_WRITE_DATA", L"O:BAD:(A;;FA;;;SY)(A;;0x2;;;BU)",
       "untrusted writer SID S-1-5-32-545 on "},
      {"Everyone with read, execute and FILE_DELETE_CHILD", L"O:BAD:(A;;FA;;;BA)(A;;0x1200e9;;;WD)",
       nullptr},
      {"a deny ACE for Everyone", L"O:BAD:(D;;FA;;;WD)(A;;FA;;;BA)", nullptr},
      // Wine's SDDL reader turns "D:NO_ACCESS_CONTROL" into an empty DACL; a descriptor without
      // a DACL part gives the NULL DACL on both systems.
      {"a NULL DACL", L"O:BA", "NULL DACL (open access): "},
      {"an empty DACL", L"O:BAD:", nullptr},
      {"an untrusted owner", L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)",
       "untrusted owner SID S-1-5-21-1-2-3-1001 on "},
      {"no owner", L"D:(A;;FA;;;SY)", "missing or unreadable owner on "},
      {"an inherit-only ACE", L"O:BAD:(A;OICIIO;FA;;;BU)", "untrusted writer SID S-1-5-32-545 on "},
      {"GENERIC_WRITE for Users", L"O:SYD:(A;;GW;;;BU)", "untrusted writer SID S-1-5-32-545 on "},
      {"the first untrusted writer is named", L"O:BAD:(A;;GR;;;WD)(A;;WD;;;AU)(A;;GA;;;BU)",
       "untrusted writer SID S-1-5-11 on "},
      {"every trusted account as owner and writer",
       L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + trusted_installer + L")(A;OICIIO;GA;;;CO)",
       nullptr},
      {"TrustedInstaller as owner",
       L"O:" + trusted_installer + L"D:(A;;FA;;;" + trusted_installer + L")", nullptr},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const SecurityDescriptor sd = Sddl(test.sddl);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, dacl_present = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(sd.get(), &owner, &defaulted) &&
                ::GetSecurityDescriptorDacl(sd.get(), &dacl_present, &dacl, &defaulted));
    Reason reason;
    const bool trusted = JudgeInstallAcl(owner, dacl_present ? dacl : nullptr, kPath, &reason);
    EXPECT_EQ(reason.c_str(), test.reason ? test.reason + Narrow(kPath) : std::string());
    EXPECT_EQ(trusted, test.reason == nullptr);
  }
}

TEST(InstallAclReader, UnreadablePathIsUntrustedWithTheError) {
  Reason reason;
  EXPECT_FALSE(VerifyInstallAcl(L"C:\\no-such-folder-for-acl-test\\VarneloService.exe", &reason));
  EXPECT_STREQ(reason.c_str(),
               "GetNamedSecurityInfoW(C:\\no-such-folder-for-acl-test\\VarneloService.exe) err=3");
}

bool Decide(bool (*decide)(PSECURITY_DESCRIPTOR), const std::wstring& sddl) {
  const SecurityDescriptor sd = Sddl(sddl);
  return sd && decide(sd.get());
}

// The SIDs themselves are judged natively; here what only Windows can give: the owner read from a
// descriptor, this process's own account, and a descriptor without an owner.
TEST(LogFolderOwner, OwnAccountKeptAndNoOwnerMoved) {
  const std::wstring own = OwnUserSid();
  ASSERT_FALSE(own.empty());
  EXPECT_TRUE(Decide(IsLogFolderOwnerTrusted, L"O:" + own + kLogDirectorySddl));
  EXPECT_FALSE(Decide(IsLogFolderOwnerTrusted, kLogDirectorySddl));
}

TEST(LogDirectorySecurity, OnlySystemAndAdministratorsMayWrite) {
  EXPECT_TRUE(Decide(IsLogFolderDaclSecure, kLogDirectorySddl));
  EXPECT_TRUE(Decide(IsLogFolderDaclSecure, L"O:BAD:P(A;;FA;;;SY)(D;;FA;;;AN)(A;;FR;;;WD)"));
  // Open to users in any way that lets them change what is inside.
  for (const wchar_t* open : {L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",  // inherits ProgramData
                              L"O:SYD:P(A;;FA;;;SY)(A;;0x4;;;BU)",        // users may add files
                              L"O:SYD:P(A;;FA;;;SY)(A;;WD;;;AU)",         // users may re-ACL
                              L"O:SYD:P(A;;FA;;;SY)(A;OICI;FA;;;CO)",     // creator owner
                              L"O:SYD:NO_ACCESS_CONTROL"}) {              // null DACL
    EXPECT_FALSE(Decide(IsLogFolderDaclSecure, open)) << Narrow(open);
  }
}

}  // namespace
}  // namespace test
}  // namespace varnelo
