// The shipped service's hooks of the caller's identification: nothing is injected.
#include "service/trust/caller_hooks.h"

namespace varnelo {

FILETIME CallerCreationTime(const FILETIME& created, const FILETIME& /*openedAt*/) {
  return created;
}

}  // namespace varnelo
