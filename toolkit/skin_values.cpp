#include "skin_values.h"

#include <cstdlib>

namespace Skin {

bool ParseColor(const std::string& text, std::uint32_t* argb) {
  std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  if (digits.size() != 8) return false;
  std::uint32_t value = 0;
  for (char c : digits) {
    int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (v < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(v);
  }
  *argb = value;
  return true;
}

std::vector<int> ParseInts(const std::string& text) {
  std::vector<int> values;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t comma = text.find(',', pos);
    const std::string part = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    values.push_back(static_cast<int>(std::strtol(part.c_str(), nullptr, 10)));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return values;
}

Sides ParseSides(const std::string& text) {
  const std::vector<int> v = ParseInts(text);
  Sides sides;
  if (v.size() > 0) sides.left = v[0];
  if (v.size() > 1) sides.top = v[1];
  if (v.size() > 2) sides.right = v[2];
  if (v.size() > 3) sides.bottom = v[3];
  return sides;
}

bool ParseBool(const std::string& text) { return text == "true" || text == "1"; }

std::wstring Utf8ToUtf16(const std::string& text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::uint32_t cp = 0xFFFD;
    size_t length = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
    }
    if (length > 1) {
      if (i + length > text.size()) {
        length = 1;
      } else {
        cp = c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
          const unsigned char next = static_cast<unsigned char>(text[i + k]);
          if ((next & 0xC0) != 0x80) {
            cp = 0xFFFD;
            length = k;
            break;
          }
          cp = (cp << 6) | (next & 0x3F);
        }
        const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp != 0xFFFD && (cp < minimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) cp = 0xFFFD;
      }
    }
    if (cp >= 0x10000 && sizeof(wchar_t) == 2) {
      cp -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(cp));
    }
    i += length;
  }
  return out;
}

}  // namespace Skin
