#include "service/trust/trust_rules.h"

namespace varnelo {

bool IsChainTrusted(std::uint32_t error_status) {
  constexpr std::uint32_t kRefused = kChainRevoked | kChainSignatureInvalid | kChainUntrustedRoot |
                                     kChainCyclic | kChainPartial | kChainExplicitDistrust;
  return (error_status & kRefused) == 0;
}

}  // namespace varnelo
