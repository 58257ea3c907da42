// The elevated program's temporary copy: a folder of its own with an unguessable name directly in
// the system's temporary folder, writable by SYSTEM and Administrators only, and the copy in it.
// The user's own %TEMP% is never used: any program the user runs could replace a file there
// before the elevated relaunch starts it. The copy runs in place only when the program that made
// it says so with handles it inherited; a folder of the right name proves nothing, since users
// may make folders in the system's temporary folder too.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

namespace varnelo {

// The copy with the handles that keep it as written until the relaunch has started it: the
// folder without delete sharing (it cannot be renamed), the file read-only without write or
// delete sharing (it cannot be changed, renamed or replaced). Both are inheritable, so the
// relaunched copy can hold them. The copy that runs keeps them for its life.
struct TemporaryCopy {
  std::wstring folder_path;
  std::wstring path;  // <folder>\uninstall.exe
  UniqueHandle folder;
  UniqueHandle file;
};

// The rights the copy and its folder are held with. The relaunched copy reads both handles'
// identities to prove what it was handed, which Windows answers only through a handle with
// attribute-read rights (Wine grants them to every open); attribute access takes no part in
// sharing.
constexpr DWORD kHeldFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kHeldCopyAccess = GENERIC_READ;

// "<Windows>\Temp" of the system (not the TEMP variable), empty when it cannot be read.
std::wstring SystemTempFolder();

// The new folder's descriptor: protected DACL, full access for SYSTEM and Administrators only,
// and Administrators as owner when `with_owner` (not every creator may name that owner).
SecurityDescriptor CopyFolderSecurity(bool with_owner);

// Creates the folder `path` with CopyFolderSecurity and holds it; ERROR_SUCCESS or the failure.
DWORD CreateCopyFolder(const std::wstring& path, UniqueHandle* held);

// Makes a fresh folder in the system's temporary folder and writes `source` into it as
// uninstall.exe; ERROR_SUCCESS or the failure, after which nothing of it is left. A copy that
// does not read back as written gives ERROR_FILE_INVALID.
DWORD MakeTemporaryCopy(const std::wstring& source, TemporaryCopy* copy);

// Starts the copy, shown, in the system directory. It inherits exactly the folder, the file and a
// handle to this process (which it waits for), named on its command line; ERROR_SUCCESS or the
// failure, after which nothing of the copy is left.
DWORD StartRelaunchedCopy(TemporaryCopy* copy);

enum class Relaunch {
  kNone,      // the command line names no relaunch
  kProven,    // a copy started by StartRelaunchedCopy
  kUnproven,  // it names a relaunch that the handles do not prove
};

// Whether this process is a copy started by StartRelaunchedCopy, judged on its command line's
// `arguments`: the handles named there must be this process's own running file and its folder,
// directly in the system's temporary folder, and the process that created this one. Proven, `self`
// takes the file and the folder for the process's life, and the maker has been waited for (10 s at
// most). Otherwise nothing named there is touched; when a relaunch was named but not proven,
// `error` says so for the copy error, so that no chain of copies can start each other.
Relaunch ProveRelaunchedCopy(const wchar_t* arguments, TemporaryCopy* self, DWORD* error);

// Starts the delayed deletion of the copy `self` and then its folder, which runs after this
// process has ended. Nothing is started for a copy that was not proven, or whose path the
// command interpreter would read as anything but a name.
void StartSelfDeletion(const TemporaryCopy& self);

}  // namespace varnelo
