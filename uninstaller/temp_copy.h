// The elevated program's temporary copy: a folder of its own with an unguessable name directly in
// the system's temporary folder, writable by SYSTEM and Administrators only, and the copy in it.
// The user's own %TEMP% is never used: any program the user runs could replace a file there
// before the elevated relaunch starts it.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

namespace varnelo {

// The copy with the handles that keep it as written until the relaunch has started it: the
// folder without delete sharing (it cannot be renamed), the file read-only without write or
// delete sharing (it cannot be changed, renamed or replaced). Both are inheritable, so the
// relaunching command can hold them.
struct TemporaryCopy {
  std::wstring folderPath;
  std::wstring path;  // <folder>\uninstall.exe
  UniqueHandle folder;
  UniqueHandle file;
};

// "<Windows>\Temp" of the system (not the TEMP variable), empty when it cannot be read.
std::wstring SystemTempFolder();

// The new folder's descriptor: protected DACL, full access for SYSTEM and Administrators only,
// and Administrators as owner when `withOwner` (not every creator may name that owner).
SecurityDescriptor CopyFolderSecurity(bool withOwner);

// Creates the folder `path` with CopyFolderSecurity and holds it; ERROR_SUCCESS or the failure.
DWORD CreateCopyFolder(const std::wstring& path, UniqueHandle* held);

// Makes a fresh folder in the system's temporary folder and writes `source` into it as
// uninstall.exe; ERROR_SUCCESS or the failure, after which nothing of it is left.
DWORD MakeTemporaryCopy(const std::wstring& source, TemporaryCopy* copy);

// Deletes the copy and its folder (after a relaunch that could not be started).
void DiscardTemporaryCopy(TemporaryCopy* copy);

// When this program runs as such a copy, starts the delayed deletion of the copy and then its
// folder, which runs after this process has ended. Elsewhere it deletes nothing.
void StartSelfDeletion();

}  // namespace varnelo
