#include "service/log_line.h"

#include <cstdio>

namespace varnelo {

std::size_t FormatLogLine(char* line, const LogStamp& stamp, const char* format, va_list args) {
  int stampLength = std::snprintf(line, kLogLineBufferSize, "[%04d-%02d-%02d %02d:%02d:%02d.%03d] ",
                                  stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute,
                                  stamp.second, stamp.milliseconds);
  if (stampLength < 0) stampLength = 0;
  // Room for the message and its terminator; two bytes stay free for CR LF.
  std::size_t used = static_cast<std::size_t>(stampLength);
  if (used > kLogLineBufferSize - 3) used = kLogLineBufferSize - 3;
  const std::size_t room = kLogLineBufferSize - used - 2;
  std::size_t messageLength = 0;
  const int written = std::vsnprintf(line + used, room, format, args);
  if (written > 0) {
    messageLength =
        static_cast<std::size_t>(written) < room ? static_cast<std::size_t>(written) : room - 1;
  }
  std::size_t length = used + messageLength;
  line[length++] = '\r';
  line[length++] = '\n';
  return length;
}

bool ShouldRotateLog(std::uint64_t fileSize, std::uint64_t now, std::uint64_t lastRotation) {
  if (fileSize < kLogRotateSize) return false;
  if (lastRotation != 0 && now - lastRotation < kLogRotateBackoffMs) return false;
  return true;
}

}  // namespace varnelo
