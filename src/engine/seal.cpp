#include "engine/seal.h"

#include <blake3.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "common/hex.h"
#include "engine/seal_number.h"

namespace vorm_zel {
namespace {

void update(blake3_hasher& hasher, std::string_view piece) noexcept {
    blake3_hasher_update(&hasher, piece.data(), piece.size());
}

// Both scores in their seal form; at most 2 x 24 characters.
std::string score_text(double coherence, double reputation) {
    std::string text;
    text.reserve(64);
    append_seal_number(text, coherence);
    append_seal_number(text, reputation);
    return text;
}

// Hash("<64 hex digits>")
char* render_digest(char* out, const Digest& digest) noexcept {
    static constexpr std::string_view kOpen = "Hash(\"";
    out = std::copy(kOpen.begin(), kOpen.end(), out);
    out = write_hex(out, digest);
    *out++ = '"';
    *out++ = ')';
    return out;
}

}  // namespace

Digest blake3_digest(std::span<const std::uint8_t> bytes) noexcept {
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, bytes.data(), bytes.size());
    Digest digest;
    blake3_hasher_finalize(&hasher, digest.data(), digest.size());
    return digest;
}

const Digest& genesis_root() noexcept {
    static const Digest root = [] {
        static constexpr char kGenesis[] = "genesis";
        return blake3_digest(
            std::span(reinterpret_cast<const std::uint8_t*>(kGenesis), sizeof kGenesis - 1));
    }();
    return root;
}

std::string seal_text(const SealInputs& inputs) {
    std::string text;
    text.append(inputs.provenance)
        .append(inputs.place)
        .append(inputs.purpose)
        .append(inputs.prompt)
        .append(score_text(inputs.coherence, inputs.reputation));
    return text;
}

Result<Seal> seal_payload(const SealInputs& inputs, const SigningKey& key) {
    // Hash the pieces where they lie instead of joining them into one text.
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    update(hasher, inputs.provenance);
    update(hasher, inputs.place);
    update(hasher, inputs.purpose);
    update(hasher, inputs.prompt);
    update(hasher, score_text(inputs.coherence, inputs.reputation));
    Seal seal{};
    blake3_hasher_finalize(&hasher, seal.digest.data(), seal.digest.size());
    if (!key.sign(seal.digest, seal.signature)) {
        return Unexpected{
            InternalFailure{"signature operation failed: the Ed25519 primitive reported an error"}};
    }
    return seal;
}

std::array<char, kChainTextBytes> chain_text(const Digest& previous_root,
                                             const Digest& payload_digest) noexcept {
    std::array<char, kChainTextBytes> text;
    render_digest(render_digest(text.data(), previous_root), payload_digest);
    return text;
}

const Digest& advance_chain_root(Digest& chain_root, const Digest& payload_digest) noexcept {
    const std::array<char, kChainTextBytes> text = chain_text(chain_root, payload_digest);
    chain_root =
        blake3_digest(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    return chain_root;
}

}  // namespace vorm_zel
