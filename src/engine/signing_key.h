// The engine's Ed25519 identity. The secret seed lives in exactly one place
// at a time and is overwritten with zeros whenever that place goes away.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vorm_zel {

inline constexpr std::size_t kSeedBytes = 32;
inline constexpr std::size_t kPublicKeyBytes = 32;
using Signature = std::array<std::uint8_t, 64>;
using PublicKey = std::array<std::uint8_t, kPublicKeyBytes>;

// 32 secret bytes that wipe themselves.
class SecretSeed {
public:
    SecretSeed() noexcept = default;
    SecretSeed(const SecretSeed&) = delete;
    SecretSeed& operator=(const SecretSeed&) = delete;
    SecretSeed(SecretSeed&& other) noexcept;
    SecretSeed& operator=(SecretSeed&&) = delete;
    ~SecretSeed();

    [[nodiscard]] std::span<std::uint8_t, kSeedBytes> bytes() noexcept { return bytes_; }
    [[nodiscard]] std::span<const std::uint8_t, kSeedBytes> bytes() const noexcept {
        return bytes_;
    }

private:
    std::array<std::uint8_t, kSeedBytes> bytes_{};
};

class SigningKey {
public:
    // Derives the key pair as RFC 8032 does (SHA-512 of the seed, clamped
    // scalar, base-point multiple).
    explicit SigningKey(const SecretSeed& seed) noexcept;
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;
    SigningKey(SigningKey&& other) noexcept;
    SigningKey& operator=(SigningKey&&) = delete;
    ~SigningKey();

    // Pure Ed25519 detached signature. False only if the primitive reports
    // an error, which it does not for a valid key.
    [[nodiscard]] bool sign(std::span<const std::uint8_t> message, Signature& out) const noexcept;
    [[nodiscard]] const PublicKey& public_key() const noexcept { return public_key_; }

private:
    // libsodium's secret key: the seed followed by the public key.
    std::array<std::uint8_t, 64> secret_key_{};
    PublicKey public_key_{};
};

}  // namespace vorm_zel
