// Service log line layout and rotation rule, free of Windows headers for native tests.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace varnelo {

constexpr std::size_t kLogLineBufferSize = 2048;
constexpr std::uint64_t kLogRotateSize = 0x500000;         // 5 MiB
constexpr std::uint64_t kLogRotateBackoffMs = 60000;       // one attempt a minute at most
constexpr int kLogGenerations = 2;                         // service.log.1 and service.log.2

struct LogStamp {
  int year, month, day, hour, minute, second, milliseconds;
};

// Writes "[YYYY-MM-DD hh:mm:ss.mmm] ", the formatted message and CR LF into `line`
// (kLogLineBufferSize bytes) and returns the byte count to write. The message is cut so that
// the whole line stays below the buffer size; a formatter error leaves only the stamp.
std::size_t FormatLogLine(char* line, const LogStamp& stamp, const char* format, va_list args);

// True when a file of `fileSize` bytes should be rotated at tick `now`, given the tick of the
// last rotation attempt (0 = never).
bool ShouldRotateLog(std::uint64_t fileSize, std::uint64_t now, std::uint64_t lastRotation);

}  // namespace varnelo
