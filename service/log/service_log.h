// The service's diagnostic log, %ProgramData%\Varnelo\service.log, with two rotated generations.
#pragma once

#include <cstdarg>

#include "common/printf_format.h"
namespace varnelo {

// printf-style; callable from any thread, also while the watchdog lock is held (the log lock is
// the innermost lock). Callers never learn whether the line was written; the thread's last
// error is the same afterwards.
void ServiceLog(const char* format, ...) VARNELO_PRINTF_FORMAT(1, 2);
void ServiceLogV(const char* format, va_list args) VARNELO_PRINTF_FORMAT(1, 0);

}  // namespace varnelo
