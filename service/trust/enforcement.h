// Whether the service insists on a publisher-signed core, and the capability keys that report it.
#pragma once

#include "service/protocol/request.h"

namespace varnelo {

// Whether the service's own executable is publisher-signed; decided once per process, on first
// use (and logged then when it is not).
bool IsCoreSignatureEnforced();

// protocol=2 and capabilities=63, or 127 while core signatures are enforced: on every successful
// command response.
void AddCapabilityKeys(ResponseMap& response);

}  // namespace varnelo
