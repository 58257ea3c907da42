#include "common/reason.h"

#include <cstdarg>

#include "common/text_format.h"

namespace varnelo {

void WriteReason(char* reason, std::size_t size, const char* format, ...) {
  if (reason == nullptr || size == 0) return;
  va_list arguments;
  va_start(arguments, format);
  CopyUtf8Cut(FormatUtf8V(format, arguments), reason, size);
  va_end(arguments);
}

}  // namespace varnelo
