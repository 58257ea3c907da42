#include "service/trust/path_access.h"

#include <aclapi.h>

#include <vector>

#include "common/grow_buffer.h"
#include "common/reason.h"
#include "service/trust/path_rules.h"

namespace varnelo {

namespace {

constexpr DWORD kSecurityParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Read or list rights take part in share checks, so leaving out delete sharing keeps the object
// from being renamed, deleted or swapped for a link while it is held.
UniqueHandle OpenHeld(const std::wstring& path, bool folder) {
  const DWORD access = (folder ? FILE_LIST_DIRECTORY : FILE_READ_DATA) | READ_CONTROL |
                       FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  return UniqueHandle(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : 0,
                                    nullptr));
}

bool IsFolder(HANDLE handle) {
  FILE_STANDARD_INFO info = {};
  return ::GetFileInformationByHandleEx(handle, FileStandardInfo, &info, sizeof(info)) &&
         info.Directory;
}

std::wstring FinalPathOf(HANDLE handle) {
  return QueryGrowingString([handle](wchar_t* buffer, size_t capacity) {
    return ::GetFinalPathNameByHandleW(handle, buffer, static_cast<DWORD>(capacity),
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
}

bool Refuse(Reason* reason, const char* label, const char* what, DWORD error = 0) {
  if (error != 0) {
    reason->Set("%s rejected: %s err=%lu", label, what, error);
  } else {
    reason->Set("%s rejected: %s", label, what);
  }
  return false;
}

}  // namespace

UniqueHandle OpenCallerToken(HANDLE caller_process, DWORD* error) {
  *error = ERROR_SUCCESS;
  UniqueHandle primary;
  UniqueHandle identification;
  if (caller_process == nullptr) {
    *error = ERROR_INVALID_HANDLE;
  } else if (!::OpenProcessToken(caller_process, TOKEN_DUPLICATE | TOKEN_QUERY, primary.put()) ||
             !::DuplicateToken(primary.get(), SecurityIdentification, identification.put())) {
    *error = ::GetLastError();
    identification.reset();
  }
  return identification;
}

bool CallerMayAccess(HANDLE token, PSECURITY_DESCRIPTOR sd, ACCESS_MASK desired, DWORD* error) {
  *error = ERROR_SUCCESS;
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  ::MapGenericMask(&desired, &mapping);
  std::vector<unsigned char> privileges(256);
  DWORD privileges_size = static_cast<DWORD>(privileges.size());
  DWORD granted = 0;
  BOOL allowed = FALSE;
  if (!::AccessCheck(sd, token, desired, &mapping,
                     reinterpret_cast<PPRIVILEGE_SET>(privileges.data()), &privileges_size,
                     &granted, &allowed)) {
    *error = ::GetLastError();
    return false;
  }
  return allowed && (granted & desired) == desired;
}

bool CheckCallerPathAccess(HANDLE caller_token, const std::wstring& path, RequestPathUse use,
                           const char* label, Reason* reason, UniqueHandle* held) {
  // The nearest object that exists: the path itself, or the folder the rest will be made in.
  std::wstring current = path;
  std::wstring remainder;
  UniqueHandle handle;
  for (;;) {
    const bool folder = !remainder.empty() || use == RequestPathUse::kDataFolder;
    handle = OpenHeld(current, folder);
    if (handle) break;
    const DWORD error = ::GetLastError();
    std::wstring parent, leaf;
    if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) ||
        !SplitLastComponent(current, &parent, &leaf)) {
      return Refuse(reason, label, "open failed", error);
    }
    remainder = remainder.empty() ? leaf : leaf + L"\\" + remainder;
    current = parent;
  }
  const bool want_folder = !remainder.empty() || use == RequestPathUse::kDataFolder;
  if (IsFolder(handle.get()) != want_folder) {
    return Refuse(reason, label, "open failed",
                  want_folder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
  }
  if (!FinalPathMatchesRequest(path, FinalPathOf(handle.get()), remainder)) {
    return Refuse(reason, label, "final path differs");
  }

  // What the core will do there: read the config; create files in the data folder; or make the
  // missing folders (or the one missing file) below the nearest one that exists.
  ACCESS_MASK desired = FILE_GENERIC_READ;
  if (!remainder.empty()) {
    const bool folder_first =
        use == RequestPathUse::kDataFolder || remainder.find(L'\\') != std::wstring::npos;
    desired = folder_first ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE;
  } else if (use == RequestPathUse::kDataFolder) {
    desired = FILE_ADD_FILE;
  }
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD read_error = ::GetSecurityInfo(handle.get(), SE_FILE_OBJECT, kSecurityParts, nullptr,
                                             nullptr, nullptr, nullptr, &sd);
  if (read_error != ERROR_SUCCESS) {
    return Refuse(reason, label, "access check failed", read_error);
  }
  const UniqueLocal sd_owner(sd);
  DWORD check_error = ERROR_SUCCESS;
  if (!CallerMayAccess(caller_token, sd, desired, &check_error)) {
    return check_error != ERROR_SUCCESS ? Refuse(reason, label, "access check failed", check_error)
                                        : Refuse(reason, label, "access denied");
  }
  *held = std::move(handle);
  return true;
}

}  // namespace varnelo
