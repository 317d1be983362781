#include "engine/seal.h"

#include <blake3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "common/hex.h"
#include "engine/seal_number.h"

namespace vorm_zel {
namespace {

void update(blake3_hasher& hasher, std::string_view piece) noexcept {
    blake3_hasher_update(&hasher, piece.data(), piece.size());
}

// BLAKE3 hashes whole subtrees of chunks in SIMD batches, but a subtree must
// start at a multiple of its own size. Fed in pieces, the prompt's chunks come
// behind the triplet's partial first chunk, so the hasher works through
// subtrees of 1, 2, 4, ... chunks before its batches reach their full width.
// Copying the first kHeadBytes of the seal text into one buffer hashes them as
// one aligned subtree, and every later batch is as wide as a whole-buffer call
// would make it. The batch is BLAKE3's widest (16 chunks of 1 KiB); below
// twice that the copy would cost more than it saves.
constexpr std::size_t kHeadBytes = 16 * 1024;

void hash_seal_text(blake3_hasher& hasher, std::span<const std::string_view> pieces) noexcept {
    std::size_t total = 0;
    for (std::string_view piece : pieces) {
        total += piece.size();
    }
    std::size_t index = 0;
    std::size_t offset = 0;
    if (total >= 2 * kHeadBytes) {
        std::array<char, kHeadBytes> head;
        std::size_t filled = 0;
        while (filled < head.size()) {
            const std::string_view piece = pieces[index];
            const std::size_t take = std::min(piece.size() - offset, head.size() - filled);
            std::memcpy(head.data() + filled, piece.data() + offset, take);
            filled += take;
            offset += take;
            if (offset == piece.size()) {
                ++index;
                offset = 0;
            }
        }
        update(hasher, std::string_view(head.data(), head.size()));
    }
    for (; index < pieces.size(); ++index, offset = 0) {
        update(hasher, pieces[index].substr(offset));
    }
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
    const std::string scores = score_text(inputs.coherence, inputs.reputation);
    const std::string_view pieces[] = {inputs.provenance, inputs.place, inputs.purpose, inputs.prompt, scores};
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    hash_seal_text(hasher, pieces);
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
