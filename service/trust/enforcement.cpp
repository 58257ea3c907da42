#include "service/trust/enforcement.h"

#include <string>

#include "common/platform.h"
#include "common/reason.h"
#include "service/log/service_log.h"
#include "service/trust/trust.h"

namespace varnelo {

namespace {

constexpr char kProtocolVersion[] = "2";
constexpr int kBaseCapabilities = 63;
constexpr int kCoreSignatureCapability = 64;

bool DecideEnforcement() {
  const std::wstring self = GetOwnModulePath();
  Reason reason;
  if (!self.empty() && VerifyFileSignature(self.c_str(), &reason)) return true;
  ServiceLog("core signature enforcement disabled: service binary is not Varnelo-signed (%s)",
             !reason.empty() ? reason.c_str() : "cannot resolve service image");
  return false;
}

}  // namespace

bool IsCoreSignatureEnforced() {
  // Replacing the service's file takes effect at its next start.
  static const bool enforced = DecideEnforcement();
  return enforced;
}

void AddCapabilityKeys(ResponseMap& response) {
  response["protocol"] = kProtocolVersion;
  const int capabilities =
      kBaseCapabilities + (IsCoreSignatureEnforced() ? kCoreSignatureCapability : 0);
  response["capabilities"] = std::to_string(capabilities);
}

}  // namespace varnelo
