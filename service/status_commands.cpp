#include "service/status_commands.h"

#include <string>

#include "service/core_state.h"
#include "service/pipe_server.h"
#include "service/trust.h"

namespace varnelo {

namespace {
constexpr char kProtocolVersion[] = "2";
constexpr int kBaseCapabilities = 63;
constexpr int kCoreSignatureCapability = 64;
}  // namespace

void AddCapabilityKeys(ResponseMap& response) {
  response["protocol"] = kProtocolVersion;
  const int capabilities =
      kBaseCapabilities + (IsCoreSignatureEnforced() ? kCoreSignatureCapability : 0);
  response["capabilities"] = std::to_string(capabilities);
}

void HandlePing(HANDLE pipe, const Caller& /*caller*/, const RequestMap& /*request*/) {
  ResponseMap response{{"ok", "1"}, {"pong", "1"}};
  AddCapabilityKeys(response);
  WriteResponse(pipe, response);
}

void HandleStatus(HANDLE pipe, const Caller& /*caller*/, const RequestMap& /*request*/) {
  ResponseMap response{{"ok", "1"}};
  AddCapabilityKeys(response);
  DWORD pid = 0;
  if (QueryTrackedCore(&pid) == CoreRunState::kRunning) {
    response["running"] = "1";
    response["pid"] = std::to_string(pid);
  } else {
    response["running"] = "0";
  }
  WriteResponse(pipe, response);
}

}  // namespace varnelo
