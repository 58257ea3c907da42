// The service's diagnostic log, %ProgramData%\Varnelo\service.log, with two rotated generations.
#pragma once

#include <cstdarg>

namespace varnelo {

// printf-style; callable from any thread, also while the watchdog lock is held (the log lock is
// the innermost lock). Callers never learn whether the line was written; the thread's last
// error is the same afterwards.
void ServiceLog(const char* format, ...);
void ServiceLogV(const char* format, va_list args);

}  // namespace varnelo
