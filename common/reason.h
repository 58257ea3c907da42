// Refusal reasons handed back through a caller's fixed char buffer.
#pragma once

#include <cstddef>

namespace varnelo {

// Formats into `reason` as printf does, cut to `size` bytes and always terminated. A null
// buffer or a size of 0 is left alone. Wide arguments come out as UTF-8 (see FormatUtf8), and the
// cut never splits a character.
void WriteReason(char* reason, std::size_t size, const char* format, ...);

}  // namespace varnelo
