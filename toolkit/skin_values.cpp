#include "toolkit/skin_values.h"

#include <cstdlib>

namespace Skin {

bool ParseColor(const std::string& text, std::uint32_t* argb) {
  std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  if (digits.size() != 8) return false;
  std::uint32_t value = 0;
  for (char c : digits) {
    int v = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
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
    const std::string part =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
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

}  // namespace Skin
