// ValidateRequestPath against real paths in the prefix.
#include <gtest/gtest.h>

#include "tests/win/harness.h"
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

}  // namespace
}  // namespace test
}  // namespace varnelo
