// printf-style formatting into UTF-8, free of Windows headers. The C runtime narrows a "%ls"
// argument through the current locale, which under the "C" locale stops at the first non-ASCII
// character: a Chinese folder name would vanish from a log line. Here "%ls" (and "%S") arguments
// are converted from wchar_t text (UTF-16 on Windows) to UTF-8 instead; every other conversion
// is the C runtime's.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "common/printf_format.h"
namespace varnelo {

// The formatted text. A conversion the formatter does not know is copied as written.
std::string FormatUtf8V(const char* format, va_list args) VARNELO_PRINTF_FORMAT(1, 0);
std::string FormatUtf8(const char* format, ...) VARNELO_PRINTF_FORMAT(1, 2);

// Writes at most `size` - 1 bytes of the text and a terminator into `out` (nothing when `out`
// is null or `size` is 0), never cutting a UTF-8 character in two. Returns the bytes written.
std::size_t CopyUtf8Cut(const std::string& text, char* out, std::size_t size);

}  // namespace varnelo
