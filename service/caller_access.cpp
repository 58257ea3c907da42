// The shipped service's hooks: a trusted caller's process reopened as asked, no pause before a
// hand-over.
#include "service/caller.h"
#include "service/core_launch.h"

namespace varnelo {

UniqueHandle ReopenCaller(const Caller& caller, DWORD access, const char* /*purpose*/) {
  return caller.Reopen(access);
}

void BeforeHandOver() {}

}  // namespace varnelo
