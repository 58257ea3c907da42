// ValidateRequestPath against real paths in the prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include "tests/win/harness.h"
#include "service/path_access.h"
#include "service/path_validation.h"

namespace varnelo {
namespace test {
namespace {

std::string Check(const std::wstring& path) {
  char reason[192] = {};
  return ValidateRequestPath(path.c_str(), path.size(), "app_path", reason, sizeof(reason)) ? "ok" : reason;
}

std::wstring LowerAscii(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

TEST(PathValidation, EachRuleWithItsReason) {
  TempDir temp;
  const std::wstring dir = temp.path();  // canonical, with a trailing backslash
  ::CreateDirectoryW((dir + L"dir").c_str(), nullptr);

  EXPECT_EQ(Check(L""), "app_path empty");
  for (const wchar_t* unc : {L"\\\\host\\share\\dir", L"//host/share/dir", L"\\\\?\\C:\\x", L"\\\\.\\x", L"/\\x"}) {
    EXPECT_EQ(Check(unc), "app_path rejected: UNC") << Narrow(unc);
  }
  const char kNotCanonical[] = "app_path rejected: not absolute/canonical";
  EXPECT_EQ(Check(L"C:/x/"), kNotCanonical);
  EXPECT_EQ(Check(dir + L"dir\\..\\dir\\"), kNotCanonical);
  EXPECT_EQ(Check(L"dir\\sub"), kNotCanonical);
  EXPECT_EQ(Check(L"C:dir"), kNotCanonical);
  EXPECT_EQ(Check(dir + L"dir\\\\sub"), kNotCanonical);
  EXPECT_EQ(Check(dir + L"dir."), kNotCanonical);
  EXPECT_EQ(Check(dir + L"dir "), kNotCanonical);
  EXPECT_EQ(Check(dir + L"."), kNotCanonical);
  std::wstring withNul = dir + L"dir";
  withNul.push_back(L'\0');
  EXPECT_EQ(Check(withNul + L"x"), kNotCanonical);

  EXPECT_EQ(Check(dir), "ok");
  EXPECT_EQ(Check(dir + L"dir\\"), "ok");
  EXPECT_EQ(Check(LowerAscii(dir) + L"DIR"), "ok");  // ASCII case is ignored
  EXPECT_EQ(Check(dir + L"not-yet\\data"), "ok");     // may not exist yet
  EXPECT_EQ(Check(L"C:\\"), "ok");
}

TEST(PathValidation, LengthLimitOf519Characters) {
  std::wstring path = L"C:\\";
  while (path.size() < 519) path += (path.size() % 100 == 99) ? L'\\' : L'a';
  ASSERT_EQ(path.size(), 519u);
  EXPECT_EQ(Check(path), "ok");
  const std::string tooLong = Check(path + L"b");
  EXPECT_EQ(tooLong.rfind("app_path rejected: canonicalize failed err=", 0), 0u) << tooLong;
  EXPECT_EQ(Check(path + std::wstring(2000, L'c')).rfind("app_path rejected: canonicalize failed", 0), 0u);
}

TEST(PathValidation, ReasonBufferIsCutAndTerminated) {
  char reason[10] = "unchanged";
  EXPECT_FALSE(ValidateRequestPath(L"//h/s", 5, "config_path", reason, sizeof(reason)));
  EXPECT_STREQ(reason, "config_pa");
  char untouched[8] = "same";
  EXPECT_FALSE(ValidateRequestPath(L"", 0, "data_path", untouched, 0));
  EXPECT_STREQ(untouched, "same");
  EXPECT_TRUE(ValidateRequestPath(L"C:\\", 3, "data_path", untouched, sizeof(untouched)));
  EXPECT_STREQ(untouched, "same");
}

TEST(PathValidation, JunctionAsLastComponent) {
  TempDir temp, target;
  if (!CreateJunction(temp.path() + L"link", target.path())) {
    GTEST_SKIP() << "this file system cannot make a junction; on Windows a junction or symbolic "
                    "link as the last component is refused as a reparse point, a path below it is not";
  }
  EXPECT_EQ(Check(temp.path() + L"link"), "app_path rejected: reparse point");
  EXPECT_EQ(Check(temp.path() + L"link\\below"), "ok");
}

UniqueHandle OwnCallerToken() {
  DWORD error = 0;
  UniqueHandle token = OpenCallerToken(::GetCurrentProcess(), &error);
  EXPECT_TRUE(token) << error;
  return token;
}

// A real identification token judged against descriptors built from SDDL: Wine enforces no file
// ACLs, so this is where a denial can be seen here.
TEST(CallerAccess, AccessCheckOfTheCallersTokenOnDescriptors) {
  const UniqueHandle token = OwnCallerToken();
  ASSERT_TRUE(token);
  UniqueHandle query;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, query.put()));
  BYTE user[512];
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(query.get(), TokenUser, user, sizeof(user), &size));
  wchar_t* ownText = nullptr;
  ASSERT_TRUE(::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &ownText));
  const UniqueLocal ownTextMemory(ownText);
  const std::wstring own = ownText;
  const auto may = [&](const std::wstring& dacl, ACCESS_MASK desired) {
    const SecurityDescriptor sd = SecurityDescriptor::FromSddl((L"O:SYG:SY" + dacl).c_str());
    EXPECT_TRUE(static_cast<bool>(sd)) << sd.error();
    DWORD error = 1;
    const bool allowed = sd && CallerMayAccess(token.get(), sd.get(), desired, &error);
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

class CallerPathAccess : public ::testing::Test {
 protected:
  std::string Check(const std::wstring& path, RequestPathUse use) {
    char reason[192] = {};
    UniqueHandle held;
    return CheckCallerPathAccess(token_.get(), path, use, "data_path", reason, sizeof(reason), &held) ? "ok"
                                                                                                       : reason;
  }
  const UniqueHandle token_ = OwnCallerToken();
  TempDir temp_;
  const std::wstring dir_ = temp_.path();
};

TEST_F(CallerPathAccess, RealPathOrNearestAncestorAndTheRightKind) {
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
  wchar_t shortName[MAX_PATH] = {};
  ASSERT_GT(::GetShortPathNameW((dir_ + L"A Long Folder Name").c_str(), shortName, MAX_PATH), 0u);
  ASSERT_NE(std::wstring(shortName), dir_ + L"A Long Folder Name") << "no short name to test with";
  EXPECT_EQ(Check(std::wstring(shortName) + L"\\", kData), kElsewhere);
  EXPECT_EQ(Check(std::wstring(shortName) + L"\\new", kData), kElsewhere);
}

TEST_F(CallerPathAccess, HeldFolderCannotBeRenamedUntilReleased) {
  ASSERT_TRUE(::CreateDirectoryW((dir_ + L"data").c_str(), nullptr));
  char reason[192] = {};
  UniqueHandle held;
  ASSERT_TRUE(CheckCallerPathAccess(token_.get(), dir_ + L"data", RequestPathUse::kDataFolder, "data_path", reason,
                                    sizeof(reason), &held))
      << reason;
  EXPECT_FALSE(::MoveFileExW((dir_ + L"data").c_str(), (dir_ + L"swapped").c_str(), 0));
  held.reset();
  EXPECT_TRUE(::MoveFileExW((dir_ + L"data").c_str(), (dir_ + L"swapped").c_str(), 0));
}

}  // namespace
}  // namespace test
}  // namespace varnelo
