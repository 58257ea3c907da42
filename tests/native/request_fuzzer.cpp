// Fuzzes the request path as the pipe server runs it: framing over arbitrary chunking, parsing,
// re-serialising what was parsed, and escaping the bytes for the log.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "service/core/core_rules.h"
#include "service/log/log_line.h"
#include "service/protocol/request.h"

namespace {

// What the log may never hold from a request: a byte or sequence some viewer breaks a line on.
void CheckLoggable(const unsigned char* text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (text[i] < 0x20 || text[i] == 0x7F) std::abort();
    if (text[i] == 0xC2 && i + 1 < size && text[i + 1] >= 0x80 && text[i + 1] <= 0x9F) std::abort();
    if (text[i] == 0xE2 && i + 2 < size && text[i + 1] == 0x80 &&
        (text[i + 2] == 0xA8 || text[i + 2] == 0xA9)) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte picks a chunk size so the frame check sees many split points.
  const size_t chunk = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const size_t total =
      size - 1 < varnelo::kRequestBufferSize ? size - 1 : varnelo::kRequestBufferSize;
  size_t received = 0;
  varnelo::FrameState state = varnelo::FrameState::kNeedMore;
  while (received < total && state == varnelo::FrameState::kNeedMore) {
    received += chunk < total - received ? chunk : total - received;
    state = varnelo::CheckFrame(bytes, received);
  }
  const varnelo::RequestMap request = varnelo::ParseRequest(bytes, received);
  for (const auto& entry : request) {
    // No key or value may hold a line break, and keys never hold '='.
    if (entry.first.find_first_of("\r\n=") != std::string::npos) std::abort();
    if (entry.second.find_first_of("\r\n") != std::string::npos) std::abort();
  }
  const std::string text = varnelo::FormatResponse(request);
  // Re-parsing the writer's output gives the same map (values without CR/LF round-trip).
  if (varnelo::ParseRequest(text.data(), text.size()) != request) {
    // Only an empty key can be lost: "=v" parses back, so a mismatch is a real fault.
    std::abort();
  }
  char escaped[varnelo::kLogLineBufferSize];
  const size_t escaped_size = varnelo::EscapeLogText(bytes, received, escaped, sizeof(escaped));
  if (escaped_size > sizeof(escaped)) std::abort();
  CheckLoggable(reinterpret_cast<const unsigned char*>(escaped), escaped_size);
  varnelo::ParseTimeoutMs(varnelo::GetRequestValue(request, "timeout_ms", ""));
  return 0;
}
