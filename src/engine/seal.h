// The seal of one decision and the chain that links it to its predecessors.
//
// seal text  = provenance | place | purpose | prompt | coherence | reputation
//              (UTF-8, nothing between the pieces, numbers in the seal form)
// hash       = BLAKE3(seal text)
// signature  = Ed25519 over the 32 digest bytes (not their hex text)
// chain text = Hash("<hex of previous root>")Hash("<hex of digest>"), 144 bytes
// new root   = BLAKE3(chain text)
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/result.h"
#include "engine/signing_key.h"

namespace vorm_zel {

inline constexpr std::size_t kDigestBytes = 32;
inline constexpr std::size_t kChainTextBytes = 144;
using Digest = std::array<std::uint8_t, kDigestBytes>;

struct SealInputs {
    std::string_view provenance;
    std::string_view place;
    std::string_view purpose;
    std::string_view prompt;
    double coherence;
    double reputation;
};

struct Seal {
    Digest digest;
    Signature signature;
};

[[nodiscard]] Digest blake3_digest(std::span<const std::uint8_t> bytes) noexcept;

// BLAKE3 of "genesis": the root before an engine's first capture.
[[nodiscard]] const Digest& genesis_root() noexcept;

// The seal text as one string (for verification and tests; sealing itself
// hashes the pieces in place without joining them).
[[nodiscard]] std::string seal_text(const SealInputs& inputs);

// "signature operation failed: ..." if the primitive reports an error.
[[nodiscard]] Result<Seal> seal_payload(const SealInputs& inputs, const SigningKey& key);

// The 144 bytes that the chain step hashes.
[[nodiscard]] std::array<char, kChainTextBytes> chain_text(const Digest& previous_root,
                                                           const Digest& payload_digest) noexcept;

// Replaces chain_root by BLAKE3 of its chain text with the payload digest.
const Digest& advance_chain_root(Digest& chain_root, const Digest& payload_digest) noexcept;

}  // namespace vorm_zel
