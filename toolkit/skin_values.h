// Parsing of layout attribute values, free of Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Skin {

// "fff0543f" (AARRGGBB, optionally with a leading '#'): false when not 8 hex digits.
bool ParseColor(const std::string& text, std::uint32_t* argb);

// "4,4,4,4" or "10": the integers in order; missing trailing values are not invented.
std::vector<int> ParseInts(const std::string& text);

// Four sides from a list of up to four integers: left, top, right, bottom (absent ones are 0).
struct Sides {
  int left = 0, top = 0, right = 0, bottom = 0;
};
Sides ParseSides(const std::string& text);

bool ParseBool(const std::string& text);

}  // namespace Skin
