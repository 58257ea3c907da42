// Start-up of uninstall.exe: DLL search restriction, the embedded skin archive, the relaunch
// from a copy in the system's temporary folder, and the single-instance check.
#pragma once

#include <windows.h>

#include <cstddef>

#include "common/unique_resource.h"

namespace varnelo {

// Before anything else loads: DLLs come from the system directory only, never from the program's
// own folder or the current folder.
void RestrictDllSearch();

// Finds the skin archive among the program's resources, copies it to the heap for the process's
// life and registers it with the toolkit. False when it is missing, empty or unreadable.
bool LoadSkinArchive(HINSTANCE instance);

// True when the program already runs as its temporary copy (temp_copy.h). Otherwise copies itself
// into a fresh folder in the system's temporary folder, starts that copy through a delayed command
// and ends the process; when the folder or the copy cannot be made, returns false with the message
// in `error` (never a folder the user can write instead).
// `capacity` counts the terminator.
bool RelocateToTemp(wchar_t* error, size_t capacity);
// Room for the start-up error text, its terminator included.
constexpr size_t kStartupErrorChars = 1024;

// True when another copy already shows its window: that window is brought to the front and this
// one should end. `semaphore` keeps this instance's claim for the process's life.
bool BringExistingInstanceForward(UniqueHandle* semaphore);

}  // namespace varnelo
