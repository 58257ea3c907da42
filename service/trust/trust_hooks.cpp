// The shipped service's hooks of the trust checks: each does the real thing, nothing is injected.
#include "service/trust/trust_hooks.h"

#include "service/trust/caller.h"

namespace varnelo {

UniqueHandle ReopenCaller(const Caller& caller, DWORD access, const char* /*purpose*/) {
  return caller.Reopen(access);
}

FileIdentity MappedImageIdentity(const Caller& caller) { return caller.MappedImageIdentity(); }

}  // namespace varnelo
