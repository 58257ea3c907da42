#include "service/log/relative_files.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace varnelo {

namespace {

// NtCreateFile values that winternl.h does not always carry.
constexpr ULONG kFileSynchronousIoNonAlert = 0x20;
constexpr ULONG kFileOpenReparsePoint = 0x00200000;
constexpr ULONG kCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE
constexpr int kFileRenameInformation = 10;
constexpr int kFileDispositionInformation = 13;

}  // namespace

LONG OpenRelative(HANDLE folder, const std::wstring& name, const RelativeOpen& how,
                  UniqueHandle* opened) {
  UNICODE_STRING object_name;
  object_name.Buffer = const_cast<wchar_t*>(name.c_str());
  object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes = {};
  attributes.Length = sizeof(attributes);
  attributes.RootDirectory = folder;
  attributes.ObjectName = &object_name;
  attributes.Attributes = kCaseInsensitive;
  attributes.SecurityDescriptor = how.security;
  IO_STATUS_BLOCK status = {};
  HANDLE handle = nullptr;
  const NTSTATUS result =
      ::NtCreateFile(&handle, how.access | SYNCHRONIZE, &attributes, &status, nullptr,
                     how.attributes, how.share, how.disposition,
                     how.options | kFileOpenReparsePoint | kFileSynchronousIoNonAlert, nullptr, 0);
  if (result < 0) return result;
  opened->reset(handle);
  return result;
}

bool RenameRelative(HANDLE handle, HANDLE folder, const std::wstring& new_name, bool replace) {
  const size_t name_bytes = new_name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) + name_bytes +
                                    sizeof(wchar_t));
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = folder;
  info->FileNameLength = static_cast<DWORD>(name_bytes);
  std::copy(new_name.begin(), new_name.end(), info->FileName);
  IO_STATUS_BLOCK status = {};
  return ::NtSetInformationFile(handle, &status, info, static_cast<ULONG>(buffer.size()),
                                static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformation)) >= 0;
}

bool RenameNameRelative(HANDLE folder, const std::wstring& name, const std::wstring& new_name,
                        bool replace) {
  RelativeOpen how;
  how.access = DELETE;
  how.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  how.disposition = kFileOpen;
  UniqueHandle file;
  if (OpenRelative(folder, name, how, &file) < 0) return false;
  return RenameRelative(file.get(), folder, new_name, replace);
}

bool QueryEntryFacts(HANDLE handle, EntryFacts* facts) {
  FILE_STANDARD_INFO standard = {};
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard)) ||
      !::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag))) {
    return false;
  }
  facts->attributes = tag.FileAttributes;
  facts->links = standard.NumberOfLinks;
  facts->size = static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
  return true;
}

bool DeleteRelative(HANDLE folder, const std::wstring& name) {
  RelativeOpen how;
  how.access = DELETE;
  how.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  how.disposition = kFileOpen;
  how.options = kFileNonDirectoryFile;
  UniqueHandle file;
  if (OpenRelative(folder, name, how, &file) < 0) return false;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  IO_STATUS_BLOCK status = {};
  return ::NtSetInformationFile(file.get(), &status, &disposition, sizeof(disposition),
                                static_cast<FILE_INFORMATION_CLASS>(kFileDispositionInformation)) >=
         0;
}

}  // namespace varnelo
