#include "common/reason.h"

#include <cstdarg>

#include "common/text_format.h"

namespace varnelo {

void Reason::Set(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  CopyUtf8Cut(FormatUtf8V(format, arguments), text_, kCapacity);
  va_end(arguments);
}

}  // namespace varnelo
