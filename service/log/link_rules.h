// Decisions about links in the file system, taken on the attributes the Windows side reads, so
// they are tested where junctions and hard links can be made at will. No Windows header.
#pragma once

#include <cstdint>

namespace varnelo {

// The file attribute bits these decisions read, as GetFileAttributesW reports them.
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeReparsePoint = 0x400;
constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFF;

// A request path whose last component is a junction or symbolic link. A path that does not
// exist yet (invalid attributes) is no link.
bool IsLinkedPathComponent(std::uint32_t attributes);

// Whether an opened log folder (`expect_directory`) or log file is what it claims: no reparse
// point, the expected kind, and for the file no second name (a hard link planted to redirect
// the appends).
bool IsPlainLogEntry(std::uint32_t attributes, std::uint32_t link_count, bool expect_directory);

}  // namespace varnelo
