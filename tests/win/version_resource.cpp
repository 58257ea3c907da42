#include "tests/win/version_resource.h"

#include <cwchar>

#include "common/unique_resource.h"

namespace varnelo {
namespace test {

VersionBlock::VersionBlock(const std::wstring& exe) {
  block_.resize(::GetFileVersionInfoSizeW(exe.c_str(), nullptr));
  if (block_.empty() ||
      !::GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(block_.size()), block_.data())) {
    block_.clear();
  }
}

std::wstring VersionBlock::Translation() const {
  void* found = nullptr;
  UINT length = 0;
  if (block_.empty() ||
      !::VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation", &found, &length) ||
      length < 2 * sizeof(WORD)) {
    return L"";
  }
  const WORD* pair = static_cast<const WORD*>(found);
  wchar_t name[9];
  std::swprintf(name, 9, L"%04x%04x", pair[0], pair[1]);
  return name;
}

std::wstring VersionBlock::Value(const wchar_t* name) const {
  const std::wstring translation = Translation();
  void* found = nullptr;
  UINT length = 0;
  if (translation.empty() ||
      !::VerQueryValueW(block_.data(), (L"\\StringFileInfo\\" + translation + L"\\" + name).c_str(),
                        &found, &length) ||
      length == 0) {
    return L"";
  }
  return static_cast<const wchar_t*>(found);
}

std::wstring VersionBlock::FixedFileVersion() const {
  void* found = nullptr;
  UINT length = 0;
  if (block_.empty() || !::VerQueryValueW(block_.data(), L"\\", &found, &length) ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return L"";
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(found);
  return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
         std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
         std::to_wstring(LOWORD(fixed->dwFileVersionLS));
}

std::string ResourceBytes(const std::wstring& exe, const wchar_t* type, const wchar_t* name,
                          WORD language) {
  const UniqueModule module(::LoadLibraryExW(
      exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  const HRSRC found = module ? ::FindResourceExW(module.get(), type, name, language) : nullptr;
  const void* bytes = found ? ::LockResource(::LoadResource(module.get(), found)) : nullptr;
  if (!bytes) return "";
  return std::string(static_cast<const char*>(bytes), ::SizeofResource(module.get(), found));
}

}  // namespace test
}  // namespace varnelo
