// Fuzzes the request path as the pipe server runs it: framing over arbitrary chunking, parsing,
// and re-serialising what was parsed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "service/core_rules.h"
#include "service/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte picks a chunk size so the frame check sees many split points.
  const size_t chunk = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const size_t total = size - 1 < varnelo::kRequestBufferSize ? size - 1 : varnelo::kRequestBufferSize;
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
  varnelo::ParseTimeoutMs(varnelo::GetRequestValue(request, "timeout_ms", ""));
  return 0;
}
