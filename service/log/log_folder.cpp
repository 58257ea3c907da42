#include "service/log/log_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include <utility>

#include "common/account.h"
#include "service/log/link_rules.h"
#include "service/log/log_folder_rules.h"
#include "service/log/log_hooks.h"
#include "service/log/relative_files.h"

namespace varnelo {

const wchar_t kLogDirectorySddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

namespace {

constexpr wchar_t kLogFolderName[] = L"Varnelo";
// A new folder is owned by Administrators where the creator may name that owner (SYSTEM and
// elevated administrators may), so the service and -install / -uninstall keep using it.
constexpr wchar_t kCreatedOwnerSddl[] = L"O:BA";

constexpr ACCESS_MASK kHeldAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr ULONG kHeldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

constexpr ACCESS_MASK kWriteLikeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                         FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                         WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

static_assert(kAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY &&
                  kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT,
              "link rules read the Windows attribute bits");

bool IsSystemOrAdministrators(PSID sid) {
  return sid != nullptr && (::IsWellKnownSid(sid, WinLocalSystemSid) ||
                            ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

// Owner and DACL of an open file or folder; null when they cannot be read.
UniqueLocal ReadSecurity(HANDLE handle) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &sd) != ERROR_SUCCESS) {
    return UniqueLocal();
  }
  return UniqueLocal(sd);
}

LONG CreateFreshFolder(HANDLE parent, UniqueHandle* held) {
  const SecurityDescriptor with_owner =
      SecurityDescriptor::FromSddl((std::wstring(kCreatedOwnerSddl) + kLogDirectorySddl).c_str());
  const SecurityDescriptor without_owner = SecurityDescriptor::FromSddl(kLogDirectorySddl);
  if (!with_owner || !without_owner) return kStatusAccessDenied;  // never with inherited rights
  RelativeOpen how;
  how.access = kHeldAccess;
  how.share = kHeldShare;
  how.disposition = kFileCreate;
  how.options = kFileDirectoryFile;
  how.security = with_owner.get();
  LONG status = OpenRelative(parent, kLogFolderName, how, held);
  if (status == kStatusInvalidOwner) {  // a creator outside Administrators owns what it makes
    how.security = without_owner.get();
    status = OpenRelative(parent, kLogFolderName, how, held);
  }
  return status;
}

// Holds the existing folder, with the right to repair its DACL where this account has it.
LONG OpenExistingFolder(HANDLE parent, UniqueHandle* held) {
  RelativeOpen how;
  how.access = kHeldAccess | WRITE_DAC;
  how.share = kHeldShare;
  how.disposition = kFileOpen;
  how.options = kFileDirectoryFile;
  LONG status = OpenRelative(parent, kLogFolderName, how, held);
  if (status == kStatusAccessDenied) {
    how.access = kHeldAccess;
    status = OpenRelative(parent, kLogFolderName, how, held);
  }
  return status;
}

enum class FolderVerdict { kUse, kRepair, kForeign, kUnusable };

FolderVerdict JudgeHeldFolder(HANDLE held) {
  const UniqueLocal sd = ReadSecurity(held);
  if (!sd) return FolderVerdict::kUnusable;
  if (!IsLogFolderOwnerTrusted(sd.get())) return FolderVerdict::kForeign;
  EntryFacts facts;
  if (!QueryEntryFacts(held, &facts) || !IsPlainLogEntry(facts.attributes, facts.links, true)) {
    return FolderVerdict::kUnusable;  // a link made by a trusted account: neither moved nor used
  }
  return IsLogFolderDaclSecure(sd.get()) ? FolderVerdict::kUse : FolderVerdict::kRepair;
}

bool RepairDacl(HANDLE held) {
  const SecurityDescriptor wanted = SecurityDescriptor::FromSddl(kLogDirectorySddl);
  if (!wanted) return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(wanted.get(), &present, &dacl, &defaulted);
  return ::SetSecurityInfo(held, SE_FILE_OBJECT,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                           nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// Renames whatever holds the name, judged again on the very handle that renames it, so the
// product's own folder is never moved even if it replaced the foreign one meanwhile.
bool MoveAside(HANDLE parent, LogFolder* folder) {
  RelativeOpen how;
  how.access = DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES;
  how.share = kShareAll;
  how.disposition = kFileOpen;
  UniqueHandle victim;
  if (OpenRelative(parent, kLogFolderName, how, &victim) < 0) return false;
  const UniqueLocal sd = ReadSecurity(victim.get());
  if (!sd || IsLogFolderOwnerTrusted(sd.get())) return false;
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const std::wstring new_name = MovedAsideLogFolderName(
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  if (!RenameRelative(victim.get(), parent, new_name, false)) return false;
  folder->foreign_owner = LogFolderOwner(sd.get());
  folder->moved_aside_as = new_name;
  return true;
}

}  // namespace

bool IsLogFolderOwnerTrusted(PSECURITY_DESCRIPTOR sd) {
  const std::wstring owner = LogFolderOwner(sd);
  return !owner.empty() && IsTrustedLogFolderOwner(owner, ProcessUserSid(::GetCurrentProcess()));
}

bool IsLogFolderDaclSecure(PSECURITY_DESCRIPTOR sd) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorControl(sd, &control, &revision) || !(control & SE_DACL_PROTECTED)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) {
    return false;  // no DACL at all means everyone may write
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return false;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & kWriteLikeRights) != 0 && !IsSystemOrAdministrators(sid)) return false;
  }
  return true;
}

LogFolder OpenLogFolder(const std::wstring& program_data) {
  LogFolder folder;
  const UniqueHandle parent(::CreateFileW(program_data.c_str(), FILE_TRAVERSE | SYNCHRONIZE,
                                          kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!parent) return folder;
  // Usually a name collision; an account that may not create in ProgramData may still log
  // into a folder that exists.
  if (CreateFreshFolder(parent.get(), &folder.handle) >= 0) return folder;

  UniqueHandle held;
  const LONG status = OpenExistingFolder(parent.get(), &held);
  FolderVerdict verdict = FolderVerdict::kUnusable;
  if (status >= 0) {
    verdict = JudgeHeldFolder(held.get());
  } else if (status == kStatusNotADirectory) {
    verdict = FolderVerdict::kForeign;  // a file took the name; MoveAside judges its owner
  }
  switch (verdict) {
    case FolderVerdict::kUse:
      folder.handle = std::move(held);
      break;
    case FolderVerdict::kRepair:
      if (RepairDacl(held.get())) folder.handle = std::move(held);
      break;
    case FolderVerdict::kForeign:
      held.reset();  // our own hold would refuse the rename
      if (MoveAside(parent.get(), &folder)) CreateFreshFolder(parent.get(), &folder.handle);
      break;
    case FolderVerdict::kUnusable:
      break;
  }
  return folder;
}

}  // namespace varnelo
