#include "common/reason.h"

#include <cstdarg>
#include <cstdio>

namespace varnelo {

void WriteReason(char* reason, std::size_t size, const char* format, ...) {
  if (reason == nullptr || size == 0) return;
  va_list arguments;
  va_start(arguments, format);
  if (std::vsnprintf(reason, size, format, arguments) < 0) reason[0] = '\0';
  va_end(arguments);
}

}  // namespace varnelo
