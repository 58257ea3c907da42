#include "service/log/link_rules.h"

namespace varnelo {

bool IsLinkedPathComponent(std::uint32_t attributes) {
  return attributes != kInvalidAttributes && (attributes & kAttributeReparsePoint) != 0;
}

bool IsPlainLogEntry(std::uint32_t attributes, std::uint32_t link_count, bool expect_directory) {
  if (attributes & kAttributeReparsePoint) return false;
  const bool is_directory = (attributes & kAttributeDirectory) != 0;
  if (is_directory != expect_directory) return false;
  return expect_directory || link_count <= 1;
}

}  // namespace varnelo
