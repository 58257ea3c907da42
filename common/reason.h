// Why a check refused: a short text, cut once where it is written.
#pragma once

#include <cstddef>

#include "common/printf_format.h"
namespace varnelo {

class Reason {
 public:
  // Bytes of text the reason keeps, its terminator included.
  static constexpr std::size_t kCapacity = 256;

  // Formats as printf does, wide arguments as UTF-8 (see FormatUtf8), and keeps what fits in the
  // capacity; the cut never splits a character.
  void Set(const char* format, ...) VARNELO_PRINTF_FORMAT(2, 3);
  const char* c_str() const { return text_; }
  bool empty() const { return text_[0] == '\0'; }

 private:
  char text_[kCapacity] = {};
};

}  // namespace varnelo
