#include "uninstaller/temp_copy.h"

#include <ntsecapi.h>

#include <cwchar>
#include <string>

#include "common/platform.h"
#include "uninstaller/install_location_rules.h"
#include "uninstaller/system_command.h"

namespace varnelo {

namespace {

constexpr wchar_t kTempSubfolder[] = L"\\Temp";
constexpr wchar_t kCopyName[] = L"uninstall.exe";
constexpr wchar_t kCopyFolderDacl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kAdministratorsOwner[] = L"O:BA";
// The copy read back through the held handle is not what was written.
constexpr DWORD kCopyAlteredError = ERROR_FILE_INVALID;
constexpr wchar_t kDeleteSelfFormat[] = L"/C timeout /t 3 && del \"%ls\" && rmdir \"%ls\"";
constexpr size_t kCommandLineChars = 1024;

// The thread's last error, or `fallback` when a call failed without setting one (a short read).
DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = ::GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

SECURITY_ATTRIBUTES Inheritable(PSECURITY_DESCRIPTOR descriptor = nullptr) {
  return {sizeof(SECURITY_ATTRIBUTES), descriptor, TRUE};
}

bool ReadAll(HANDLE file, std::string* bytes) {
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size) || size.QuadPart > MAXDWORD) return false;
  bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  return bytes->empty() ||
         (::ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &read, nullptr) &&
          read == bytes->size());
}

// Writes `bytes` into a file that did not exist, shared with nobody while it is written, then
// holds it read-only without write or delete sharing. Between the writer's close and that open
// another writer could slip in where the folder's DACL is not enforced, so the held file is read
// back: it is what the relaunch will run.
DWORD WriteHeldCopy(const std::string& bytes, const std::wstring& path, UniqueHandle* held) {
  {
    const UniqueHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!writer) return ::GetLastError();
    if (!::WriteFile(writer.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr)) {
      return ::GetLastError();
    }
    if (written != bytes.size()) return ERROR_WRITE_FAULT;
  }
  SECURITY_ATTRIBUTES inherit = Inheritable();
  held->reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0,
                            nullptr));
  if (!*held) return ::GetLastError();
  std::string check;
  if (!ReadAll(held->get(), &check)) return LastErrorOr(ERROR_READ_FAULT);
  return check == bytes ? ERROR_SUCCESS : kCopyAlteredError;
}

}  // namespace

std::wstring SystemTempFolder() {
  wchar_t windows[MAX_PATH];
  const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(windows, length) + kTempSubfolder;
}

SecurityDescriptor CopyFolderSecurity(bool withOwner) {
  return SecurityDescriptor::FromSddl(
      ((withOwner ? std::wstring(kAdministratorsOwner) : std::wstring()) + kCopyFolderDacl)
          .c_str());
}

DWORD CreateCopyFolder(const std::wstring& path, UniqueHandle* held) {
  const SecurityDescriptor withOwner = CopyFolderSecurity(true);
  const SecurityDescriptor withoutOwner = CopyFolderSecurity(false);
  if (!withOwner) return withOwner.error();
  if (!withoutOwner) return withoutOwner.error();
  SECURITY_ATTRIBUTES security = {sizeof(security), withOwner.get(), FALSE};
  BOOL created = ::CreateDirectoryW(path.c_str(), &security);
  if (!created && ::GetLastError() == ERROR_INVALID_OWNER) {
    security.lpSecurityDescriptor = withoutOwner.get();
    created = ::CreateDirectoryW(path.c_str(), &security);
  }
  if (!created) return ::GetLastError();
  SECURITY_ATTRIBUTES inherit = Inheritable();
  held->reset(::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return *held ? ERROR_SUCCESS : ::GetLastError();
}

DWORD MakeTemporaryCopy(const std::wstring& source, TemporaryCopy* copy) {
  std::string bytes;
  {
    const UniqueHandle own(::CreateFileW(source.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    if (!own || !ReadAll(own.get(), &bytes)) return LastErrorOr(ERROR_READ_FAULT);
  }
  const std::wstring temp = SystemTempFolder();
  if (temp.empty()) return LastErrorOr(ERROR_PATH_NOT_FOUND);
  unsigned char random[kCopyFolderRandomBytes];
  if (!::RtlGenRandom(random, sizeof(random))) return ERROR_GEN_FAILURE;
  copy->folderPath = temp + L"\\" + CopyFolderName(random);
  copy->path = copy->folderPath + L"\\" + kCopyName;
  DWORD result = CreateCopyFolder(copy->folderPath, &copy->folder);
  if (result != ERROR_SUCCESS) return result;
  result = WriteHeldCopy(bytes, copy->path, &copy->file);
  if (result != ERROR_SUCCESS) DiscardTemporaryCopy(copy);
  return result;
}

void DiscardTemporaryCopy(TemporaryCopy* copy) {
  copy->file.reset();
  ::DeleteFileW(copy->path.c_str());
  copy->folder.reset();
  ::RemoveDirectoryW(copy->folderPath.c_str());
}

void StartSelfDeletion() {
  const std::wstring self = GetOwnModulePath();
  if (!RunsFromCopyFolder(self, SystemTempFolder())) return;
  const std::wstring folder = self.substr(0, self.find_last_of(L"\\/"));
  wchar_t arguments[kCommandLineChars];
  if (std::swprintf(arguments, kCommandLineChars, kDeleteSelfFormat, self.c_str(), folder.c_str()) >
      0) {
    StartHiddenCommand(arguments);
  }
}

}  // namespace varnelo
