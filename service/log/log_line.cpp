#include "service/log/log_line.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/text_format.h"
#include "common/utf8.h"

namespace varnelo {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kEscapeLength = 4;  // \xHH

// Characters that some viewer or terminal takes as a line break or a command.
bool MustEscape(char32_t code_point) {
  return code_point < 0x20 || code_point == 0x7F || (code_point >= 0x80 && code_point <= 0x9F) ||
         code_point == 0x2028 || code_point == 0x2029;
}

}  // namespace

std::size_t EscapeLogText(const char* text, std::size_t length, char* out, std::size_t room) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t in = 0, written = 0;
  while (in < length) {
    char32_t code_point = 0;
    const std::size_t sequence = Utf8CharacterAt(text + in, length - in, &code_point);
    if (sequence != 0 && !MustEscape(code_point)) {
      if (room - written < sequence) break;
      std::memcpy(out + written, bytes + in, sequence);
      written += sequence;
      in += sequence;
      continue;
    }
    const std::size_t escaped = sequence != 0 ? sequence : 1;  // a stray byte alone
    if (room - written < escaped * kEscapeLength) break;
    for (std::size_t i = 0; i < escaped; ++i, ++in) {
      out[written++] = '\\';
      out[written++] = 'x';
      out[written++] = kHexDigits[bytes[in] >> 4];
      out[written++] = kHexDigits[bytes[in] & 0x0F];
    }
  }
  return written;
}

std::size_t FormatLogLine(char* line, const LogStamp& stamp, const char* format, va_list args) {
  int stamp_length = std::snprintf(
      line, kLogLineBufferSize, "[%04d-%02d-%02d %02d:%02d:%02d.%03d] ", stamp.year, stamp.month,
      stamp.day, stamp.hour, stamp.minute, stamp.second, stamp.milliseconds);
  if (stamp_length < 0) stamp_length = 0;
  // Room for the message; three bytes stay free, as a terminator would need, plus CR LF.
  std::size_t used = static_cast<std::size_t>(stamp_length);
  if (used > kLogLineBufferSize - 3) used = kLogLineBufferSize - 3;
  const std::size_t room = kLogLineBufferSize - used - 3;
  const std::string message = FormatUtf8V(format, args);
  std::size_t length = used + EscapeLogText(message.data(), message.size(), line + used, room);
  line[length++] = '\r';
  line[length++] = '\n';
  return length;
}

bool ShouldRotateLog(std::uint64_t file_size, std::uint64_t now, std::uint64_t last_rotation) {
  if (file_size < kLogRotateSize) return false;
  if (last_rotation != 0 && now - last_rotation < kLogRotateBackoffMs) return false;
  return true;
}

}  // namespace varnelo
