// ping and status.
#pragma once

#include "service/protocol/request.h"
#include "service/protocol/response.h"

namespace varnelo {

class TrackedCore;

void HandlePing(Reply& reply);
void HandleStatus(Reply& reply, const TrackedCore& core);

}  // namespace varnelo
