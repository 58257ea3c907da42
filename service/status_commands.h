// ping and status, and the capability keys carried by every successful response.
#pragma once

#include <windows.h>

#include "service/request.h"

namespace varnelo {

class Caller;

void AddCapabilityKeys(ResponseMap& response);
void HandlePing(HANDLE pipe, const Caller& caller, const RequestMap& request);
void HandleStatus(HANDLE pipe, const Caller& caller, const RequestMap& request);

}  // namespace varnelo
