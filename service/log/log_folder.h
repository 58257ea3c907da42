// The log folder, %ProgramData%\Varnelo: made with a protected DACL, judged and repaired once
// each time it is opened, and held open for as long as the process logs, so that nobody can
// rename, delete or replace it in between.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"

namespace varnelo {

// Security of the log folder: only SYSTEM and Administrators may write, users may read. The
// DACL is protected so nothing inherited from ProgramData lets users plant files.
extern const wchar_t kLogDirectorySddl[];

struct LogFolder {
  // Held with list and traverse rights, sharing read and write but never delete, so that a
  // rename or delete of the folder fails while it is held. Null when the folder is unusable.
  UniqueHandle handle;
  // When a folder owned by someone else stood in the way: its owner and the name it now has.
  std::wstring foreign_owner;
  std::wstring moved_aside_as;
};

// Opens "Varnelo" inside `program_data`, creating it when absent. A folder that exists is used
// when SYSTEM, Administrators or this program's own account owns it and it is a plain folder;
// a DACL that lets others write is replaced first. A folder (or file, or link) of any other
// owner is moved aside and a fresh folder made; when it cannot be moved, no folder is returned.
LogFolder OpenLogFolder(const std::wstring& program_data);

// The owner decision on a security descriptor, against this process's own account.
bool IsLogFolderOwnerTrusted(PSECURITY_DESCRIPTOR sd);

// True when the DACL is protected and grants write or ownership rights to nobody but SYSTEM
// and Administrators.
bool IsLogFolderDaclSecure(PSECURITY_DESCRIPTOR sd);

}  // namespace varnelo
