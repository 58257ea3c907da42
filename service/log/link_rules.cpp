#include "service/log/link_rules.h"

namespace varnelo {

bool IsLinkedPathComponent(std::uint32_t attributes) {
  return attributes != kInvalidAttributes && (attributes & kAttributeReparsePoint) != 0;
}

bool IsPlainLogEntry(std::uint32_t attributes, std::uint32_t linkCount, bool expectDirectory) {
  if (attributes & kAttributeReparsePoint) return false;
  const bool isDirectory = (attributes & kAttributeDirectory) != 0;
  if (isDirectory != expectDirectory) return false;
  return expectDirectory || linkCount <= 1;
}

}  // namespace varnelo
