#include "common/utf8.h"

#include <cstdint>

namespace varnelo {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kFirstSupplementary = 0x10000;
constexpr char32_t kHighSurrogate = 0xD800;
constexpr char32_t kLowSurrogate = 0xDC00;
constexpr char32_t kLastSurrogate = 0xDFFF;
constexpr char32_t kLastCodePoint = 0x10FFFF;

bool IsSurrogate(char32_t c) { return c >= kHighSurrogate && c <= kLastSurrogate; }

// Continuation bytes after `lead`, and the range the first of them must fall in (which rules
// out overlong forms, surrogates and values past U+10FFFF). False for a byte that cannot lead.
bool LeadByteRule(unsigned char lead, int* continuations, unsigned char* low, unsigned char* high) {
  *low = 0x80;
  *high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    *continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    *continuations = 2;
    if (lead == 0xE0) *low = 0xA0;
    if (lead == 0xED) *high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    *continuations = 3;
    if (lead == 0xF0) *low = 0x90;
    if (lead == 0xF4) *high = 0x8F;
  } else {
    return false;
  }
  return true;
}

// Decodes one character at `*at` and moves past it, or past its maximal invalid subpart.
char32_t DecodeOne(const std::string& text, size_t* at) {
  const unsigned char lead = static_cast<unsigned char>(text[*at]);
  ++*at;
  if (lead < 0x80) return lead;
  int continuations = 0;
  unsigned char low = 0, high = 0;
  if (!LeadByteRule(lead, &continuations, &low, &high)) return kReplacement;
  char32_t code = lead & (0x3F >> continuations);
  for (int i = 0; i < continuations; ++i) {
    if (*at >= text.size()) return kReplacement;
    const unsigned char next = static_cast<unsigned char>(text[*at]);
    if (next < low || next > high) return kReplacement;  // that byte starts the next character
    code = (code << 6) | (next & 0x3F);
    ++*at;
    low = 0x80;
    high = 0xBF;
  }
  return code;
}

template <typename Char>
void AppendUtf16Or32(char32_t code, std::basic_string<Char>* out) {
  if (sizeof(Char) == 2 && code >= kFirstSupplementary) {
    code -= kFirstSupplementary;
    out->push_back(static_cast<Char>(kHighSurrogate + (code >> 10)));
    out->push_back(static_cast<Char>(kLowSurrogate + (code & 0x3FF)));
  } else {
    out->push_back(static_cast<Char>(code));
  }
}

template <typename Char>
std::basic_string<Char> FromUtf8(const std::string& text) {
  std::basic_string<Char> out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) AppendUtf16Or32(DecodeOne(text, &at), &out);
  return out;
}

// Reads one character at `*at` (a surrogate pair where Char has 16 bits) and moves past it.
template <typename Char>
char32_t ReadOne(const std::basic_string<Char>& text, size_t* at) {
  const char32_t unit = static_cast<std::uint32_t>(text[*at]);
  ++*at;
  if (sizeof(Char) == 2 && unit >= kHighSurrogate && unit < kLowSurrogate && *at < text.size()) {
    const char32_t next = static_cast<std::uint32_t>(text[*at]);
    if (next >= kLowSurrogate && next <= kLastSurrogate) {
      ++*at;
      return kFirstSupplementary + ((unit - kHighSurrogate) << 10) + (next - kLowSurrogate);
    }
  }
  return IsSurrogate(unit) || unit > kLastCodePoint ? kReplacement : unit;
}

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
    return;
  }
  const int continuations = code < 0x800 ? 1 : code < kFirstSupplementary ? 2 : 3;
  const unsigned char lead_marks[] = {0, 0xC0, 0xE0, 0xF0};
  out->push_back(static_cast<char>(lead_marks[continuations] | (code >> (6 * continuations))));
  for (int shift = 6 * (continuations - 1); shift >= 0; shift -= 6) {
    out->push_back(static_cast<char>(0x80 | ((code >> shift) & 0x3F)));
  }
}

template <typename Char>
std::string ToUtf8(const std::basic_string<Char>& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) AppendUtf8(ReadOne(text, &at), &out);
  return out;
}

}  // namespace

std::string CodePointToUtf8(char32_t code_point) {
  std::string out;
  AppendUtf8(code_point, &out);
  return out;
}

std::size_t Utf8CharacterAt(const char* text, std::size_t length, char32_t* code_point) {
  if (length == 0) return 0;
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  int continuations = 0;
  unsigned char low = 0, high = 0;
  if (!LeadByteRule(lead, &continuations, &low, &high) ||
      length < static_cast<std::size_t>(continuations) + 1) {
    return 0;
  }
  char32_t code = lead & (0x3F >> continuations);
  for (int i = 1; i <= continuations; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[i]);
    if (next < low || next > high) return 0;
    code = (code << 6) | (next & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  *code_point = code;
  return static_cast<std::size_t>(continuations) + 1;
}

std::u16string Utf8ToUtf16(const std::string& text) { return FromUtf8<char16_t>(text); }
std::string Utf16ToUtf8(const std::u16string& text) { return ToUtf8(text); }
std::wstring Utf8ToWide(const std::string& text) { return FromUtf8<wchar_t>(text); }
std::string WideToUtf8(const std::wstring& text) { return ToUtf8(text); }

}  // namespace varnelo
