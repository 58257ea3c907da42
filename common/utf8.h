// UTF-8 <-> UTF-16 conversion, free of Windows headers: request values, layout texts and the
// test tools all convert through this one pair.
#pragma once

#include <cstddef>
#include <string>

namespace varnelo {

// Each maximal invalid subpart of the input (a stray or missing continuation byte, an overlong
// form, an encoded surrogate, a value past U+10FFFF) becomes one U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
// A lone surrogate becomes U+FFFD; a pair becomes one four-byte character.
std::string Utf16ToUtf8(const std::u16string& text);

// One code point (at most U+10FFFF, no surrogate) as UTF-8.
std::string CodePointToUtf8(char32_t code_point);

// The length of the well-formed UTF-8 character at `text` (shortest form, no surrogate, at most
// U+10FFFF), with its code point; 0 when the bytes there are not one.
std::size_t Utf8CharacterAt(const char* text, std::size_t length, char32_t* code_point);

// The same for wchar_t text: UTF-16 where wchar_t has 16 bits (Windows), UTF-32 elsewhere.
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace varnelo
