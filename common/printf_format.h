// Marks a printf-style function, so the compiler checks its arguments against its format. No
// Windows header; empty for a compiler without the attribute.
#pragma once

#if defined(__clang__)
#define VARNELO_PRINTF_FORMAT(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))
#elif defined(__GNUC__)
// gnu_printf: the formatter takes C99 conversions whatever MinGW's C runtime would.
#define VARNELO_PRINTF_FORMAT(format_index, first_argument) \
  __attribute__((format(gnu_printf, format_index, first_argument)))
#else
#define VARNELO_PRINTF_FORMAT(format_index, first_argument)
#endif
