#include "service/protocol/response.h"

#include "service/trust/trust.h"

namespace varnelo {

namespace {
constexpr char kProtocolVersion[] = "2";
constexpr int kBaseCapabilities = 63;
constexpr int kCoreSignatureCapability = 64;
}  // namespace

void WriteResponse(Reply& reply, const ResponseMap& response) {
  if (reply.given_) return;
  reply.text_ = FormatResponse(response);
  reply.given_ = true;
}

void WriteErrorResponse(Reply& reply, const std::string& message, int32_t code) {
  WriteResponse(reply, MakeErrorResponse(message, code));
}

void AddCapabilityKeys(ResponseMap& response) {
  response["protocol"] = kProtocolVersion;
  const int capabilities =
      kBaseCapabilities + (IsCoreSignatureEnforced() ? kCoreSignatureCapability : 0);
  response["capabilities"] = std::to_string(capabilities);
}

}  // namespace varnelo
