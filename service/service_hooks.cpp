// The shipped service's hooks: each does the real thing, nothing is injected.
#include "service/service_hooks.h"

#include "common/account.h"
#include "service/trust/caller.h"

namespace varnelo {

UniqueHandle ReopenCaller(const Caller& caller, DWORD access, const char* /*purpose*/) {
  return caller.Reopen(access);
}

void BeforeHandOver() {}

DWORD InjectedFailure(const char* /*call*/) { return 0; }

FileIdentity MappedImageIdentity(const Caller& caller) { return caller.MappedImageIdentity(); }

FILETIME CallerCreationTime(const FILETIME& created, const FILETIME& /*openedAt*/) {
  return created;
}

std::wstring LogFolderOwner(PSECURITY_DESCRIPTOR sd) { return OwnerSidText(sd); }

}  // namespace varnelo
