#include "service/trust/trust_rules.h"

namespace varnelo {

bool IsChainTrusted(std::uint32_t errorStatus) {
  constexpr std::uint32_t kRefused = kChainRevoked | kChainSignatureInvalid | kChainUntrustedRoot |
                                     kChainCyclic | kChainPartial | kChainExplicitDistrust;
  return (errorStatus & kRefused) == 0;
}

}  // namespace varnelo
