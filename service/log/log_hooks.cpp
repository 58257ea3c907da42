// The shipped service's hooks of the log: each does the real thing, nothing is injected.
#include "service/log/log_hooks.h"

#include "common/account.h"

namespace varnelo {

std::wstring LogFolderOwner(PSECURITY_DESCRIPTOR sd) { return OwnerSidText(sd); }

}  // namespace varnelo
