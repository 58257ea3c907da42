// What Windows' file properties, an installer's version comparison and an inventory read from a
// shipped program: its version block and its other resources.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace varnelo {
namespace test {

// The product version the build gives both programs (from project()).
constexpr wchar_t kProductVersion[] = L"" VARNELO_PRODUCT_VERSION;

class VersionBlock {
 public:
  explicit VersionBlock(const std::wstring& exe);
  // The first translation as the name of its string block ("080404b0"); empty without one.
  std::wstring Translation() const;
  // A string of that block (FileVersion, ProductName...); empty when absent.
  std::wstring Value(const wchar_t* name) const;
  // The fixed part's file version as "a.b.c.d"; empty without one.
  std::wstring FixedFileVersion() const;

 private:
  std::vector<BYTE> block_;
};

// A resource of a program opened as data; empty when the program has none.
std::string ResourceBytes(const std::wstring& exe, const wchar_t* type, const wchar_t* name,
                          WORD language = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));

}  // namespace test
}  // namespace varnelo
