// Start-up of uninstall.exe: DLL search restriction, the embedded skin archive, the relaunch
// from a copy in the system's temporary folder, and the single-instance check.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_resource.h"
#include "uninstaller/temp_copy.h"

namespace varnelo {

// Before anything else loads: DLLs come from the system directory only, never from the program's
// own folder or the current folder.
void RestrictDllSearch();

// Finds the skin archive among the program's resources, copies it to the heap for the process's
// life and registers it with the toolkit. False when it is missing, empty or unreadable.
bool LoadSkinArchive(HINSTANCE instance);

enum class Relocation {
  kRunsHere,     // this process is the copy; it goes on to show the window
  kStartedCopy,  // the copy is started; this process ends
  kFailed,       // the copy error is to be shown; this process ends
};

// kRunsHere when the program runs as a temporary copy that the program made and started itself,
// as its command line's `arguments` prove (temp_copy.h); `self` then holds the copy. A command
// line that names a relaunch it cannot prove fails with the copy error. Otherwise copies itself
// into a fresh folder in the system's temporary folder and starts that copy; when the folder or
// the copy cannot be made or started, fails with the message in `error` (never a folder the user
// can write instead).
Relocation RelocateToTemp(const wchar_t* arguments, TemporaryCopy* self, std::wstring* error);

// True when another copy already shows its window: that window is brought to the front and this
// one should end. `semaphore` keeps this instance's claim for the process's life.
bool BringExistingInstanceForward(UniqueHandle* semaphore);

}  // namespace varnelo
