// stop_core, the stop sequence's end of the tracked core, and the start-up orphan clean-up.
#pragma once

#include <windows.h>

#include "service/protocol/request.h"
#include "service/protocol/response.h"

namespace varnelo {

class TrackedCore;

void HandleStopCore(Reply& reply, const RequestMap& request, TrackedCore& core);

// Ends every running process named VarneloCore.exe (any letter case).
void KillOrphanCores();

// Service stop: takes the tracked process and job handles (the pid stays) and ends the core.
void EndTrackedCore(TrackedCore& core);

}  // namespace varnelo
