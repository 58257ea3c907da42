// ValidateRequestPath against real paths in the prefix.
#include <gtest/gtest.h>

#include <windows.h>


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
  EXPECT_EQ(Check(L"\\\\host\\share\\dir"), "app_path rejected: UNC");  // the forms: natively
  std::wstring withNul = dir + L"dir";
  withNul.push_back(L'\0');
  for (const std::wstring& path : {std::wstring(L"C:/x/"), dir + L"dir\\..\\dir\\", std::wstring(L"dir\\sub"),
                                   std::wstring(L"C:dir"), dir + L"dir\\\\sub", dir + L"dir.", dir + L"dir ",
                                   dir + L".", withNul + L"x"}) {
    EXPECT_EQ(Check(path), "app_path rejected: not absolute/canonical") << Narrow(path);
  }
  for (const std::wstring& path : {dir, dir + L"dir\\", LowerAscii(dir) + L"DIR", dir + L"not-yet\\data",
                                   std::wstring(L"C:\\")}) {
    EXPECT_EQ(Check(path), "ok") << Narrow(path);  // ASCII case is ignored; a path may not exist yet
  }
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
  const std::wstring own = OwnUserSid();
  ASSERT_FALSE(own.empty());
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
    return CheckCallerPathAccess(token_.get(), path, use, "data_path", reason, sizeof(reason), &held_) ? "ok"
                                                                                                        : reason;
  }
  const UniqueHandle token_ = OwnCallerToken();
  UniqueHandle held_;
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
  ASSERT_EQ(Check(dir_ + L"data", RequestPathUse::kDataFolder), "ok");
  EXPECT_FALSE(::MoveFileExW((dir_ + L"data").c_str(), (dir_ + L"swapped").c_str(), 0));
  held_.reset();
  EXPECT_TRUE(::MoveFileExW((dir_ + L"data").c_str(), (dir_ + L"swapped").c_str(), 0));
}

}  // namespace
}  // namespace test
}  // namespace varnelo
