// The service's diagnostic log, %ProgramData%\Varnelo\service.log, with two rotated generations.
#pragma once

#include <windows.h>

#include <cstdarg>

namespace varnelo {

// printf-style; callable from any thread, also while the watchdog lock is held (the log lock is
// the innermost lock). Callers never learn whether the line was written; the thread's last
// error is the same afterwards.
void ServiceLog(const char* format, ...);
void ServiceLogV(const char* format, va_list args);

// Security of the log directory: only SYSTEM and Administrators may write, users may read.
// The DACL is protected so nothing inherited from ProgramData lets users plant files.
extern const wchar_t kLogDirectorySddl[];

// True when `sd` is owned by SYSTEM or Administrators, has a protected DACL, and grants write
// or ownership rights to nobody else.
bool IsLogDirectorySecure(PSECURITY_DESCRIPTOR sd);

}  // namespace varnelo
