#include "service/setup/console_output.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>
#include <string>

#include "common/utf8.h"

namespace varnelo {

namespace {

std::wstring FormatWide(const wchar_t* format, va_list args) {
  std::wstring text(256, L'\0');
  for (;;) {
    va_list attempt;
    va_copy(attempt, args);
    const int n = std::vswprintf(&text[0], text.size(), format, attempt);
    va_end(attempt);
    if (n >= 0 && static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      return text;
    }
    if (text.size() >= 65536) return std::wstring();  // a format the runtime cannot produce
    text.resize(text.size() * 2);
  }
}

}  // namespace

void PrintConsole(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::wstring text = FormatWide(format, args);
  va_end(args);
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (::GetConsoleMode(out, &mode)) {
    ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const std::string bytes = WideToUtf8(text);
  ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace varnelo
