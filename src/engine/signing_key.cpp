#include "engine/signing_key.h"

#include <sodium.h>

namespace vorm_zel {

SecretSeed::SecretSeed(SecretSeed&& other) noexcept : bytes_(other.bytes_) {
    sodium_memzero(other.bytes_.data(), other.bytes_.size());
}

SecretSeed::~SecretSeed() {
    sodium_memzero(bytes_.data(), bytes_.size());
}

SigningKey::SigningKey(const SecretSeed& seed) noexcept {
    crypto_sign_ed25519_seed_keypair(public_key_.data(), secret_key_.data(), seed.bytes().data());
}

SigningKey::SigningKey(SigningKey&& other) noexcept
    : secret_key_(other.secret_key_), public_key_(other.public_key_) {
    sodium_memzero(other.secret_key_.data(), other.secret_key_.size());
}

SigningKey::~SigningKey() {
    sodium_memzero(secret_key_.data(), secret_key_.size());
}

bool SigningKey::sign(std::span<const std::uint8_t> message, Signature& out) const noexcept {
    return crypto_sign_ed25519_detached(out.data(), nullptr, message.data(), message.size(),
                                        secret_key_.data()) == 0;
}

}  // namespace vorm_zel
