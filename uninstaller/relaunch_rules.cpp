#include "uninstaller/relaunch_rules.h"

namespace varnelo {

namespace {

constexpr wchar_t kRelaunchSwitch[] = L"--relaunched-copy=";
constexpr wchar_t kInterpreted[] = L"%!^&|<>\"()";
constexpr wchar_t kHexDigits[] = L"0123456789abcdef";
constexpr size_t kMaxHexDigits = 16;

std::wstring Hex(std::uint64_t value) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), kHexDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return digits;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Reads lower-case hexadecimal digits up to `end` (a separator) into `value`; at least one digit,
// no leading zero, no more than 64 bits, and never zero.
bool ReadHex(const std::wstring& text, size_t* at, wchar_t end, std::uint64_t* value) {
  const size_t start = *at;
  *value = 0;
  while (*at < text.size() && text[*at] != end) {
    const wchar_t c = text[*at];
    const wchar_t* digit = nullptr;
    for (const wchar_t* d = kHexDigits; *d != L'\0'; ++d) {
      if (*d == c) digit = d;
    }
    if (digit == nullptr || *at - start >= kMaxHexDigits) return false;
    *value = (*value << 4) | static_cast<std::uint64_t>(digit - kHexDigits);
    ++*at;
  }
  return *at > start && text[start] != L'0';
}

}  // namespace

std::wstring RelaunchArguments(const RelaunchHandles& handles) {
  return kRelaunchSwitch + Hex(handles.parent) + L"," + Hex(handles.folder) + L"," +
         Hex(handles.file);
}

bool ParseRelaunchArguments(const std::wstring& arguments, RelaunchHandles* handles) {
  size_t begin = 0, end = arguments.size();
  while (begin < end && IsBlank(arguments[begin])) ++begin;
  while (end > begin && IsBlank(arguments[end - 1])) --end;
  const std::wstring text = arguments.substr(begin, end - begin);
  const std::wstring prefix = kRelaunchSwitch;
  if (text.compare(0, prefix.size(), prefix) != 0) return false;
  size_t at = prefix.size();
  RelaunchHandles read;
  if (!ReadHex(text, &at, L',', &read.parent) || at >= text.size()) return false;
  ++at;
  if (!ReadHex(text, &at, L',', &read.folder) || at >= text.size()) return false;
  ++at;
  if (!ReadHex(text, &at, L',', &read.file) || at != text.size()) return false;
  *handles = read;
  return true;
}

bool IsInertForCommandInterpreter(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c < 0x20 || c == 0x7F) return false;
    for (const wchar_t* interpreted = kInterpreted; *interpreted != L'\0'; ++interpreted) {
      if (c == *interpreted) return false;
    }
  }
  return true;
}

std::wstring SelfDeletionArguments(const std::wstring& system_directory, const std::wstring& folder,
                                   const std::wstring& file_name) {
  for (const std::wstring* part : {&system_directory, &folder, &file_name}) {
    if (part->empty() || !IsInertForCommandInterpreter(*part)) return std::wstring();
  }
  return L"/D /S /C \"\"" + system_directory + L"\\timeout.exe\" /t 3 && del \"" + folder + L"\\" +
         file_name + L"\" && rmdir \"" + folder + L"\"\"";
}

std::wstring SelfDeletionEnvironment(const std::wstring& windows_directory,
                                     const std::wstring& system_directory) {
  // Sorted by name, as Windows keeps an environment block.
  const std::wstring entries[] = {L"ComSpec=" + system_directory + L"\\cmd.exe",
                                  L"PATH=" + system_directory, L"PATHEXT=.COM;.EXE",
                                  L"SystemRoot=" + windows_directory};
  std::wstring block;
  for (const std::wstring& entry : entries) {
    block += entry;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

}  // namespace varnelo
