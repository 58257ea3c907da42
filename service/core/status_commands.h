// ping and status.
#pragma once

#include "service/protocol/request.h"
#include "service/protocol/response.h"

namespace varnelo {

class Caller;

void HandlePing(Reply& reply, const Caller& caller, const RequestMap& request);
void HandleStatus(Reply& reply, const Caller& caller, const RequestMap& request);

}  // namespace varnelo
