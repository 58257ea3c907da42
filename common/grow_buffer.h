// The one home of the "call, and call again with a bigger buffer" pattern of Win32 queries. Free
// of Windows headers, so it is tested natively with queries that change their minds.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varnelo {

// Reads a string from `query(buffer, capacity)`, which follows the common Win32 contract: the
// string's length (without terminator) when it fit in `capacity` characters, the capacity it
// needs (with terminator) when it did not, 0 on failure. Asks again, with room for what was
// asked, while the string grows between calls; empty on failure or past `limit` characters.
template <typename Query>
std::wstring QueryGrowingString(Query query, std::size_t limit = 32768) {
  std::wstring text(260, L'\0');
  while (text.size() <= limit) {
    const std::size_t result = static_cast<std::size_t>(query(&text[0], text.size()));
    if (result == 0) return std::wstring();
    if (result < text.size()) {
      text.resize(result);
      return text;
    }
    // Too small: `result` is the room it needs, or (for a query that cuts instead) as much again.
    text.assign(result > text.size() ? result : 2 * text.size(), L'\0');
  }
  return std::wstring();
}

// Reads bytes from `query(buffer, &size)`, which follows the two-call contract: given too small a
// buffer (or none) it sets `size` to the room it needs; it returns whether it wrote the bytes.
// Asks again while they grow between calls; false on failure or past `limit` bytes.
template <typename Query>
bool QueryGrowingBytes(Query query, std::vector<unsigned char>* bytes, std::size_t limit) {
  unsigned long size = 0;
  query(nullptr, &size);
  for (int attempt = 0; attempt < 4 && size != 0 && size <= limit; ++attempt) {
    bytes->assign(size, 0);
    const unsigned long room = size;
    if (query(bytes->data(), &size)) {
      if (size > room) return false;
      bytes->resize(size);
      return true;
    }
    if (size <= room) return false;  // failed for another reason than room
  }
  return false;
}

}  // namespace varnelo
