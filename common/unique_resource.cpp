#include "common/unique_resource.h"

#include <sddl.h>

namespace varnelo {

SecurityDescriptor SecurityDescriptor::FromSddl(const wchar_t* sddl) {
  SecurityDescriptor result;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) {
    result.memory_.reset(sd);
  } else {
    result.error_ = ::GetLastError();
  }
  return result;
}

}  // namespace varnelo
