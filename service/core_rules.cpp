#include "service/core_rules.h"

#include <climits>

namespace varnelo {

namespace {
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
}  // namespace

std::int32_t ParseTimeoutMs(const std::string& text) {
  std::size_t pos = 0;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  // Accumulate in 64 bits and stop growing once past the 32-bit range, so any digit count is safe.
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
  std::int64_t magnitude = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    if (magnitude <= limit) magnitude = magnitude * 10 + (text[pos] - '0');
  }
  if (magnitude > limit) magnitude = limit;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

bool BuildCoreCommandLine(const std::wstring& dataDirectory, const std::wstring& configPath,
                          std::wstring* commandLine) {
  if (dataDirectory.find(L'"') != std::wstring::npos ||
      configPath.find(L'"') != std::wstring::npos) {
    return false;
  }
  *commandLine = L"VarneloCore.exe -d \"" + dataDirectory + L"\" -f \"" + configPath + L"\"";
  return true;
}

}  // namespace varnelo
