// ping and status, and the capability keys carried by every successful response.
#pragma once

#include <windows.h>

#include "service/request.h"

namespace varnelo {

void AddCapabilityKeys(ResponseMap& response);
void HandlePing(HANDLE pipe, const RequestMap& request);
void HandleStatus(HANDLE pipe, const RequestMap& request);

}  // namespace varnelo
