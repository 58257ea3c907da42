// ValidateRequestPath: a caller-supplied path must be plain, local, absolute and canonical,
// and its last component must not be a junction or symbolic link.
#pragma once

#include <cstddef>

namespace varnelo {

class Reason;

// On refusal writes "<label> empty", "<label> rejected: UNC",
// "<label> rejected: canonicalize failed err=N", "<label> rejected: not absolute/canonical" or
// "<label> rejected: reparse point" into `reason` (cut to fit, terminated).
bool ValidateRequestPath(const wchar_t* path, size_t length, const char* label, Reason* reason);

}  // namespace varnelo
