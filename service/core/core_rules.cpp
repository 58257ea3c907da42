#include "service/core/core_rules.h"

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

std::wstring QuoteArgument(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // A run of backslashes is literal unless a quote follows it.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

bool BuildCoreCommandLine(const std::wstring& data_directory, const std::wstring& config_path,
                          std::wstring* command_line) {
  if (data_directory.find(L'"') != std::wstring::npos ||
      config_path.find(L'"') != std::wstring::npos) {
    return false;
  }
  *command_line =
      L"VarneloCore.exe -d " + QuoteArgument(data_directory) + L" -f " + QuoteArgument(config_path);
  return true;
}

}  // namespace varnelo
