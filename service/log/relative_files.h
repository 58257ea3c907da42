// Opens, renames and deletes names inside a folder the caller holds open, so that a name is
// resolved once, below a folder that has already been checked, and never again by its full path.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

namespace varnelo {

// NtCreateFile values and the NTSTATUS values these operations report, named here so that no
// NT header is needed.
constexpr ULONG kFileOpen = 0x1;
constexpr ULONG kFileCreate = 0x2;
constexpr ULONG kFileOpenIf = 0x3;
constexpr ULONG kFileDirectoryFile = 0x1;
constexpr ULONG kFileNonDirectoryFile = 0x40;
constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG kStatusInvalidOwner = static_cast<LONG>(0xC000005A);
constexpr LONG kStatusNotADirectory = static_cast<LONG>(0xC0000103);

struct RelativeOpen {
  ACCESS_MASK access = 0;
  ULONG share = 0;
  ULONG disposition = 0;  // FILE_OPEN, FILE_CREATE, FILE_OPEN_IF (NtCreateFile values)
  ULONG options = 0;      // FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE, ...
  ULONG attributes = 0;
  PSECURITY_DESCRIPTOR security = nullptr;  // for a new file or folder only
};

// NtCreateFile of `name` (one component, no separators) relative to `folder`. Links are never
// followed: the open always names the link itself. Synchronous I/O. Returns the NTSTATUS.
LONG OpenRelative(HANDLE folder, const std::wstring& name, const RelativeOpen& how,
                  UniqueHandle* opened);

// Renames the file or folder behind `handle` (opened with DELETE) to `new_name` inside `folder`.
bool RenameRelative(HANDLE handle, HANDLE folder, const std::wstring& new_name, bool replace);

// Opens `name` inside `folder` with DELETE and renames it; false when it is absent or in use.
bool RenameNameRelative(HANDLE folder, const std::wstring& name, const std::wstring& new_name,
                        bool replace);

// What the link checks read about an open file or folder.
struct EntryFacts {
  DWORD attributes = 0;
  DWORD links = 0;
  ULONGLONG size = 0;
};

// Two cheap queries, where GetFileInformationByHandle also asks for the volume.
bool QueryEntryFacts(HANDLE handle, EntryFacts* facts);

// Deletes the name `name` inside `folder` (a link itself, never its target).
bool DeleteRelative(HANDLE folder, const std::wstring& name);

}  // namespace varnelo
