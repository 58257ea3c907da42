// The judgement of a signer's certificate chain, taken on the error bits the chain engine
// reports, so it is tested without a certificate store. No Windows header.
#pragma once

#include <cstdint>

namespace varnelo {

// The CERT_TRUST_STATUS error bits that refuse a chain.
constexpr std::uint32_t kChainRevoked = 0x00000004;
constexpr std::uint32_t kChainSignatureInvalid = 0x00000008;
constexpr std::uint32_t kChainUntrustedRoot = 0x00000020;
constexpr std::uint32_t kChainCyclic = 0x00000080;
constexpr std::uint32_t kChainPartial = 0x00010000;
constexpr std::uint32_t kChainExplicitDistrust = 0x04000000;

// A whole chain to a trusted root, with valid signatures, nothing in it revoked or distrusted.
// Time validity is not judged (a timestamped signature outlives its certificate), nor an
// unknown revocation state (revocation is not looked up).
bool IsChainTrusted(std::uint32_t error_status);

}  // namespace varnelo
