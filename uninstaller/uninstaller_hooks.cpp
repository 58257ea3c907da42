// The shipped uninstaller's hooks: nothing is injected.
#include "uninstaller/uninstaller_hooks.h"

namespace varnelo {

void AfterCopyWritten(const std::wstring& /*path*/) {}

}  // namespace varnelo
