// Pipe request and response text: framing, parsing and writing.
// Deliberately free of Windows headers so it can be unit-tested, sanitized and fuzzed natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace varnelo {

// std::string compares through char_traits<char>, which orders bytes as unsigned values,
// so iteration order is the protocol's byte-wise key order.
using RequestMap = std::map<std::string, std::string>;
using ResponseMap = std::map<std::string, std::string>;

// Whole request, end marker included, must fit in one receive buffer.
constexpr std::size_t kRequestBufferSize = 4096;

constexpr char kErrRequestTooLarge[] = "request too large";
constexpr int32_t kCodeRequestTooLarge = 10;
constexpr char kErrMissingCmd[] = "missing cmd";
constexpr int32_t kCodeMissingCmd = 11;
constexpr char kErrUnknownCmdPrefix[] = "unknown cmd: ";
constexpr int32_t kCodeUnknownCmd = 12;
constexpr char kErrUnauthorizedCaller[] = "unauthorized caller";
constexpr int32_t kCodeUnauthorizedCaller = 13;

enum class FrameState { kNeedMore, kComplete, kTooLarge };

// Judges the bytes received so far on one connection. Only the tail is examined:
// LF LF or CR LF CR LF ends a request; an empty line in the middle does not.
FrameState CheckFrame(const char* data, std::size_t size);

// Splits the request into key=value lines. Runs of CR/LF are one break, lines without '='
// are skipped, the last occurrence of a key wins, and no byte is trimmed or unescaped.
RequestMap ParseRequest(const char* data, std::size_t size);

std::string GetRequestValue(const RequestMap& request, const std::string& key,
                            const std::string& fallback);

// "key=value\n" per entry in key order, then one more "\n".
std::string FormatResponse(const ResponseMap& response);

// The three-entry map of an error response: ok=0, error, error_code.
ResponseMap MakeErrorResponse(const std::string& message, int32_t code);

}  // namespace varnelo
