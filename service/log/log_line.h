// Service log line layout and rotation rule, free of Windows headers for native tests.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "common/printf_format.h"

namespace varnelo {

constexpr std::size_t kLogLineBufferSize = 2048;
constexpr std::uint64_t kLogRotateSize = 0x500000;    // 5 MiB
constexpr std::uint64_t kLogRotateBackoffMs = 60000;  // one attempt a minute at most
constexpr int kLogGenerations = 2;                    // service.log.1 and service.log.2

struct LogStamp {
  int year, month, day, hour, minute, second, milliseconds;
};

// Writes "[YYYY-MM-DD hh:mm:ss.mmm] ", the formatted message and CR LF into `line`
// (kLogLineBufferSize bytes) and returns the byte count to write. The message is formatted as
// UTF-8 (FormatUtf8: "%ls" text whole, whatever its characters), passes through EscapeLogText and
// is cut so that the whole line stays below the buffer size.
std::size_t FormatLogLine(char* line, const LogStamp& stamp, const char* format, va_list args)
    VARNELO_PRINTF_FORMAT(3, 0);

// Copies `text` into `out` (at most `room` bytes, no terminator) and returns the count written.
// Control characters (C0, DEL, C1), U+2028, U+2029 and bytes that are not UTF-8 come out as
// \xHH per byte, so a value taken from a request cannot start a line of its own in any viewer;
// printable text is copied as it is. Stops before a character or escape that would not fit whole.
std::size_t EscapeLogText(const char* text, std::size_t length, char* out, std::size_t room);

// True when a file of `file_size` bytes should be rotated at tick `now`, given the tick of the
// last rotation attempt (0 = never).
bool ShouldRotateLog(std::uint64_t file_size, std::uint64_t now, std::uint64_t last_rotation);

}  // namespace varnelo
