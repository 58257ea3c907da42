#include "service/core/status_commands.h"

#include <string>

#include "service/core/core_state.h"
#include "service/protocol/response.h"
#include "service/trust/enforcement.h"

namespace varnelo {

void HandlePing(Reply& reply) {
  ResponseMap response{{"ok", "1"}, {"pong", "1"}};
  AddCapabilityKeys(response);
  WriteResponse(reply, response);
}

void HandleStatus(Reply& reply, const TrackedCore& core) {
  ResponseMap response{{"ok", "1"}};
  AddCapabilityKeys(response);
  DWORD pid = 0;
  if (core.Query(&pid) == CoreRunState::kRunning) {
    response["running"] = "1";
    response["pid"] = std::to_string(pid);
  } else {
    response["running"] = "0";
  }
  WriteResponse(reply, response);
}

}  // namespace varnelo
