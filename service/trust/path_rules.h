// String rules for request paths, free of Windows headers for native tests.
#pragma once

#include <cstddef>
#include <string>

#include "common/ascii.h"

namespace varnelo {

// Two leading separators (any mix of '\' and '/'): UNC shares and the \\?\ and \\.\ prefixes.
bool IsUncOrDevicePath(const wchar_t* path, std::size_t length);

// The path with one trailing '\' or '/' removed, if it has one; a drive root ("C:\") keeps its
// separator, as "C:" alone means the current folder on that drive.
std::wstring WithoutOneTrailingSeparator(const std::wstring& path);

// Splits off the last component: "C:\\a\\b\\" gives "C:\\a\\" and "b". False for a drive root or
// a path without a separator.
bool SplitLastComponent(const std::wstring& path, std::wstring* parent, std::wstring* leaf);

// Whether the path an opened handle really names (as GetFinalPathNameByHandleW gives it, with
// or without its "\\?\" prefix), followed by `remainder` (the components below it that do not
// exist yet; may be empty), is the requested path. ASCII letter case and one trailing separator
// on either side are ignored; anything else that differs (a junction or link in any component,
// an 8.3 short name, another volume, a network share) does not match. A request that names a
// stream (a colon after the drive's) never matches.
bool FinalPathMatchesRequest(const std::wstring& requested, const std::wstring& final_path,
                             const std::wstring& remainder);

}  // namespace varnelo
