#include "service/protocol/request.h"

#include <cstring>

namespace varnelo {
namespace {

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

}  // namespace

FrameState CheckFrame(const char* data, std::size_t size) {
  if (size >= 2 && data[size - 2] == '\n' && data[size - 1] == '\n') return FrameState::kComplete;
  if (size >= 4 && std::memcmp(data + size - 4, "\r\n\r\n", 4) == 0) return FrameState::kComplete;
  if (size >= kRequestBufferSize) return FrameState::kTooLarge;
  return FrameState::kNeedMore;
}

RequestMap ParseRequest(const char* data, std::size_t size) {
  RequestMap request;
  std::size_t pos = 0;
  while (pos < size) {
    std::size_t end = pos;
    while (end < size && !IsLineBreak(data[end])) ++end;
    const std::string line(data + pos, end - pos);
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) request[line.substr(0, eq)] = line.substr(eq + 1);
    pos = end;
    while (pos < size && IsLineBreak(data[pos])) ++pos;
  }
  return request;
}

std::string GetRequestValue(const RequestMap& request, const std::string& key,
                            const std::string& fallback) {
  const auto it = request.find(key);
  return it == request.end() ? fallback : it->second;
}

std::string FormatResponse(const ResponseMap& response) {
  std::string text;
  for (const auto& entry : response) {
    text += entry.first;
    text += '=';
    text += entry.second;
    text += '\n';
  }
  text += '\n';
  return text;
}

ResponseMap MakeErrorResponse(const std::string& message, int32_t code) {
  return ResponseMap{{"ok", "0"}, {"error", message}, {"error_code", std::to_string(code)}};
}

}  // namespace varnelo
