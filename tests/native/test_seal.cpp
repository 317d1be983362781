#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/hex.h"
#include "engine/seal.h"
#include "engine/signing_key.h"
#include "vectors.h"

namespace vorm_zel {
namespace {

constexpr std::string_view kGenesisHex =
    "df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a";

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string hex_of(std::span<const std::uint8_t> bytes) {
    return to_hex(bytes);
}

Digest digest_from_hex(const std::string& hex) {
    const std::string raw = testing::hex_bytes(hex);
    EXPECT_EQ(raw.size(), kDigestBytes) << hex;
    Digest digest{};
    std::copy_n(raw.begin(), std::min(raw.size(), digest.size()), digest.begin());
    return digest;
}

void fill_seed(SecretSeed& seed, const std::string& hex) {
    const std::string raw = testing::hex_bytes(hex);
    ASSERT_EQ(raw.size(), kSeedBytes);
    std::copy(raw.begin(), raw.end(), seed.bytes().begin());
}

// The last 40 bytes of a text, read back the way a lenient UTF-8 decoder
// does: a cut that lands inside a multi-byte character leaves continuation
// bytes at the front, and each of them becomes U+FFFD.
std::string lossy_tail(const std::string& text, std::size_t count) {
    const std::size_t start = text.size() > count ? text.size() - count : 0;
    std::string out;
    std::size_t i = start;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
        out += "\xEF\xBF\xBD";
        ++i;
    }
    out.append(text, i, std::string::npos);
    return out;
}

bool verifies(const Signature& signature, std::span<const std::uint8_t> message,
              const PublicKey& public_key) {
    return crypto_sign_ed25519_verify_detached(signature.data(), message.data(), message.size(),
                                               public_key.data()) == 0;
}

class SodiumReady : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_GE(sodium_init(), 0); }
};

// ------------------------------------------------------------ vector file

struct SealCase {
    std::string provenance;
    std::string place;
    std::string purpose;
    std::string prompt;
    double coherence = 0;
    double reputation = 0;
    std::string tail;
    std::size_t length = 0;
    std::string hash;
    std::string signature;
    std::string previous_root;
    std::string merkle_root;

    [[nodiscard]] SealInputs inputs() const {
        return {provenance, place, purpose, prompt, coherence, reputation};
    }
};

class SealVectors : public SodiumReady {
protected:
    static void SetUpTestSuite() {
        SodiumReady::SetUpTestSuite();
        const auto file = testing::load_vectors("seal.json");
        seed_hex_ = file.at("seed").get<std::string>();
        public_key_hex_ = file.at("public_key").get<std::string>();
        genesis_hex_ = file.at("genesis_root").get<std::string>();
        cases_.clear();
        for (const auto& entry : file.at("cases")) {
            SealCase c;
            c.provenance = entry.at("provenance").get<std::string>();
            c.place = entry.at("place").get<std::string>();
            c.purpose = entry.at("purpose").get<std::string>();
            c.prompt = entry.at("prompt").get<std::string>();
            c.coherence = testing::parse_hex_double(entry.at("coherence").get<std::string>());
            c.reputation = testing::parse_hex_double(entry.at("reputation").get<std::string>());
            c.tail = entry.at("seal_text_tail").get<std::string>();
            c.length = entry.at("seal_text_len").get<std::size_t>();
            c.hash = entry.at("hash").get<std::string>();
            c.signature = entry.at("signature").get<std::string>();
            c.previous_root = entry.at("previous_root").get<std::string>();
            c.merkle_root = entry.at("merkle_root").get<std::string>();
            cases_.push_back(std::move(c));
        }
    }

    void SetUp() override {
        ASSERT_GE(cases_.size(), 20u);
        fill_seed(seed_, seed_hex_);
    }

    SecretSeed seed_;
    static inline std::string seed_hex_;
    static inline std::string public_key_hex_;
    static inline std::string genesis_hex_;
    static inline std::vector<SealCase> cases_;
};

TEST_F(SealVectors, PublicKeyDerivesFromSeed) {
    const SigningKey key(seed_);
    EXPECT_EQ(hex_of(key.public_key()), public_key_hex_);
}

TEST_F(SealVectors, GenesisRootMatchesFile) {
    EXPECT_EQ(hex_of(genesis_root()), genesis_hex_);
    EXPECT_EQ(hex_of(genesis_root()), kGenesisHex);
}

TEST_F(SealVectors, SealTextTailAndLength) {
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const std::string text = seal_text(cases_[i].inputs());
        EXPECT_EQ(text.size(), cases_[i].length);
        EXPECT_EQ(lossy_tail(text, 40), cases_[i].tail);
        // The text starts with the four pieces as they are.
        const std::string head =
            cases_[i].provenance + cases_[i].place + cases_[i].purpose + cases_[i].prompt;
        EXPECT_EQ(text.substr(0, head.size()), head);
    }
}

TEST_F(SealVectors, PayloadDigestIsHash) {
    const SigningKey key(seed_);
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        auto seal = seal_payload(cases_[i].inputs(), key);
        ASSERT_TRUE(seal.has_value());
        EXPECT_EQ(hex_of(seal.value().digest), cases_[i].hash);
        // The digest is the plain hash of the seal text.
        EXPECT_EQ(hex_of(blake3_digest(as_bytes(seal_text(cases_[i].inputs())))), cases_[i].hash);
    }
}

TEST_F(SealVectors, SignatureMatchesAndVerifies) {
    const SigningKey key(seed_);
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        auto seal = seal_payload(cases_[i].inputs(), key);
        ASSERT_TRUE(seal.has_value());
        EXPECT_EQ(hex_of(seal.value().signature), cases_[i].signature);
        EXPECT_TRUE(verifies(seal.value().signature, seal.value().digest, key.public_key()));
    }
}

TEST_F(SealVectors, ChainStepFromPreviousRoot) {
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        Digest root = digest_from_hex(cases_[i].previous_root);
        const Digest& returned = advance_chain_root(root, digest_from_hex(cases_[i].hash));
        EXPECT_EQ(&returned, &root);
        EXPECT_EQ(hex_of(root), cases_[i].merkle_root);
    }
}

TEST_F(SealVectors, ConsecutiveCasesChain) {
    const SigningKey key(seed_);
    Digest root = genesis_root();
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const std::string expected_previous =
            i == 0 ? std::string(kGenesisHex) : cases_[i - 1].merkle_root;
        EXPECT_EQ(cases_[i].previous_root, expected_previous);
        EXPECT_EQ(hex_of(root), cases_[i].previous_root);
        auto seal = seal_payload(cases_[i].inputs(), key);
        ASSERT_TRUE(seal.has_value());
        advance_chain_root(root, seal.value().digest);
        EXPECT_EQ(hex_of(root), cases_[i].merkle_root);
    }
}

// ------------------------------------------------------------ payload

class SealPayload : public SodiumReady {
protected:
    void SetUp() override {
        std::uint8_t value = 1;
        for (auto& byte : seed_.bytes()) {
            byte = value;
            value = static_cast<std::uint8_t>(value * 7 + 3);
        }
    }

    SecretSeed seed_;
};

TEST_F(SealPayload, FixedExample) {
    const SealInputs inputs{"p", "q", "r", "hello", 1.0, 0.51};
    EXPECT_EQ(seal_text(inputs), "pqrhello1.00.51");
    const SigningKey key(seed_);
    auto seal = seal_payload(inputs, key);
    ASSERT_TRUE(seal.has_value());
    EXPECT_EQ(hex_of(seal.value().digest),
              "4fcf7574035fb18d060d97b0e1c08943c16d4ac8562cb65bfe1e99440f4156d7");
}

TEST_F(SealPayload, SignsDigestBytesNotTheirHex) {
    const SigningKey key(seed_);
    auto seal = seal_payload({"p", "q", "r", "hello", 1.0, 0.51}, key);
    ASSERT_TRUE(seal.has_value());
    const Digest& digest = seal.value().digest;
    const std::string hex = hex_of(digest);
    ASSERT_EQ(hex.size(), 64u);
    EXPECT_TRUE(verifies(seal.value().signature, digest, key.public_key()));
    EXPECT_FALSE(verifies(seal.value().signature, as_bytes(hex), key.public_key()));
    // Ed25519 is deterministic: the same key over the same digest signs alike.
    Signature direct{};
    ASSERT_TRUE(key.sign(digest, direct));
    EXPECT_EQ(direct, seal.value().signature);
}

struct ScoreCase {
    double coherence;
    double reputation;
    std::string scores;  // the end of the seal text
};

void PrintTo(const ScoreCase& c, std::ostream* os) {
    *os << c.scores;
}

class SealScoreForm : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(SealScoreForm, WrittenAfterThePieces) {
    const ScoreCase& c = GetParam();
    const SealInputs inputs{"a", "b", "c", "d", c.coherence, c.reputation};
    const std::string text = seal_text(inputs);
    EXPECT_EQ(text, "abcd" + c.scores);
    // The digest is taken over exactly that text.
    SecretSeed seed;
    const SigningKey key(seed);
    auto seal = seal_payload(inputs, key);
    ASSERT_TRUE(seal.has_value());
    EXPECT_EQ(seal.value().digest, blake3_digest(as_bytes(text)));
}

INSTANTIATE_TEST_SUITE_P(
    Scores, SealScoreForm,
    ::testing::Values(ScoreCase{0.00005, 0.5, "5e-50.5"},
                      ScoreCase{0.000012345, 1.0, "1.2345e-51.0"},
                      ScoreCase{0.0001, 0.51, "0.00010.51"}, ScoreCase{0.00012, 0.0, "0.000120.0"},
                      ScoreCase{1e16, 0.92, "1e160.92"}, ScoreCase{0.0, 1.0, "0.01.0"},
                      ScoreCase{0.9999999999999999, 0.5, "0.99999999999999990.5"}));

struct PieceCase {
    const char* name;
    SealInputs inputs;
};

void PrintTo(const PieceCase& c, std::ostream* os) {
    *os << c.name;
}

// Moving text from one piece to its neighbour leaves the seal text, and so
// the digest, unchanged: the pieces are joined with nothing between them.
class SealPieceBoundaries : public ::testing::TestWithParam<PieceCase> {};

TEST_P(SealPieceBoundaries, SameDigestAsJoinedText) {
    const SealInputs reference{"prov", "place", "purp", "prompt", 0.5, 0.75};
    SecretSeed seed;
    const SigningKey key(seed);
    auto expected = seal_payload(reference, key);
    auto actual = seal_payload(GetParam().inputs, key);
    ASSERT_TRUE(expected.has_value());
    ASSERT_TRUE(actual.has_value());
    EXPECT_EQ(seal_text(GetParam().inputs), "provplacepurpprompt0.50.75");
    EXPECT_EQ(actual.value().digest, expected.value().digest);
    EXPECT_EQ(actual.value().signature, expected.value().signature);
}

INSTANTIATE_TEST_SUITE_P(
    Shifts, SealPieceBoundaries,
    ::testing::Values(PieceCase{"all_in_provenance",
                                {"provplacepurpprompt", "", "", "", 0.5, 0.75}},
                      PieceCase{"all_in_prompt", {"", "", "", "provplacepurpprompt", 0.5, 0.75}},
                      PieceCase{"shifted_left", {"provp", "lacep", "urpp", "rompt", 0.5, 0.75}},
                      PieceCase{"shifted_right", {"pro", "vplac", "epurppr", "ompt", 0.5, 0.75}}));

// Every piece and both scores reach the digest.
TEST_F(SealPayload, EachInputChangesTheDigest) {
    const SealInputs base{"prov", "place", "purp", "prompt", 0.5, 0.75};
    const SigningKey key(seed_);
    auto reference = seal_payload(base, key);
    ASSERT_TRUE(reference.has_value());
    const std::array<std::pair<const char*, SealInputs>, 6> variants{{
        {"provenance", {"Prov", "place", "purp", "prompt", 0.5, 0.75}},
        {"place", {"prov", "plac", "purp", "prompt", 0.5, 0.75}},
        {"purpose", {"prov", "place", "purp!", "prompt", 0.5, 0.75}},
        {"prompt", {"prov", "place", "purp", "prompt\n", 0.5, 0.75}},
        {"coherence", {"prov", "place", "purp", "prompt", 0.5000000000000001, 0.75}},
        {"reputation", {"prov", "place", "purp", "prompt", 0.5, 0.7500000000000001}},
    }};
    for (const auto& [name, inputs] : variants) {
        SCOPED_TRACE(name);
        auto seal = seal_payload(inputs, key);
        ASSERT_TRUE(seal.has_value());
        EXPECT_NE(seal.value().digest, reference.value().digest);
        EXPECT_NE(seal.value().signature, reference.value().signature);
        EXPECT_TRUE(verifies(seal.value().signature, seal.value().digest, key.public_key()));
    }
}

// ------------------------------------------------------------ chain

TEST(SealChain, Blake3KnownAnswers) {
    EXPECT_EQ(hex_of(blake3_digest({})),
              "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
    EXPECT_EQ(hex_of(blake3_digest(as_bytes("genesis"))), kGenesisHex);
    EXPECT_EQ(&genesis_root(), &genesis_root());
}

TEST(SealChain, ChainTextLayout) {
    const Digest previous = genesis_root();
    const Digest digest =
        digest_from_hex("4fcf7574035fb18d060d97b0e1c08943c16d4ac8562cb65bfe1e99440f4156d7");
    const auto text = chain_text(previous, digest);
    static_assert(std::tuple_size_v<std::decay_t<decltype(text)>> == 144);
    EXPECT_EQ(std::string(text.data(), text.size()),
              "Hash(\"df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a\")"
              "Hash(\"4fcf7574035fb18d060d97b0e1c08943c16d4ac8562cb65bfe1e99440f4156d7\")");
}

TEST(SealChain, ChainTextRendersEveryNibble) {
    Digest previous{};
    Digest digest{};
    for (std::size_t i = 0; i < kDigestBytes; ++i) {
        previous[i] = static_cast<std::uint8_t>(i * 8);
        digest[i] = static_cast<std::uint8_t>(0xff - i * 8);
    }
    const auto text = chain_text(previous, digest);
    EXPECT_EQ(std::string(text.data(), text.size()),
              "Hash(\"0008101820283038404850586068707880889098a0a8b0b8c0c8d0d8e0e8f0f8\")"
              "Hash(\"fff7efe7dfd7cfc7bfb7afa79f978f877f776f675f574f473f372f271f170f07\")");
}

TEST(SealChain, FixedExampleFromGenesis) {
    Digest root = genesis_root();
    const Digest digest =
        digest_from_hex("4fcf7574035fb18d060d97b0e1c08943c16d4ac8562cb65bfe1e99440f4156d7");
    const Digest& returned = advance_chain_root(root, digest);
    EXPECT_EQ(&returned, &root);
    EXPECT_EQ(hex_of(root), "26db14db97886b7012ff0de49c4d72741806645c3d02cfa6e199e09eeb21ee50");
    // The shared genesis value is not touched by advancing a copy of it.
    EXPECT_EQ(hex_of(genesis_root()), kGenesisHex);
}

TEST(SealChain, NewRootIsHashOfChainText) {
    const Digest digest =
        digest_from_hex("616c0fd53154bcd00e5a9d2b814d48fba559661a66b28f7142b6197b980f7b91");
    Digest root = genesis_root();
    const auto text = chain_text(root, digest);
    const Digest expected = blake3_digest(as_bytes(std::string_view(text.data(), text.size())));
    advance_chain_root(root, digest);
    EXPECT_EQ(root, expected);
}

TEST(SealChain, OrderOfRootAndDigestMatters) {
    const Digest a = genesis_root();
    const Digest b =
        digest_from_hex("4fcf7574035fb18d060d97b0e1c08943c16d4ac8562cb65bfe1e99440f4156d7");
    Digest forward = a;
    advance_chain_root(forward, b);
    Digest backward = b;
    advance_chain_root(backward, a);
    EXPECT_NE(forward, backward);
}

// ------------------------------------------------------------ secrets

TEST(SealSecrets, MovingSeedWipesSource) {
    SecretSeed source;
    for (std::size_t i = 0; i < kSeedBytes; ++i) {
        source.bytes()[i] = static_cast<std::uint8_t>(0xa0 + i);
    }
    SecretSeed target(std::move(source));
    for (std::size_t i = 0; i < kSeedBytes; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(target.bytes()[i], static_cast<std::uint8_t>(0xa0 + i));
        EXPECT_EQ(source.bytes()[i], 0);  // NOLINT(bugprone-use-after-move)
    }
}

TEST(SealSecrets, DefaultSeedIsZero) {
    const SecretSeed seed;
    EXPECT_TRUE(std::all_of(seed.bytes().begin(), seed.bytes().end(),
                            [](std::uint8_t byte) { return byte == 0; }));
}

TEST(SealSecrets, MovingKeyKeepsIdentityAndWipesSource) {
    ASSERT_GE(sodium_init(), 0);
    SecretSeed seed;
    for (std::size_t i = 0; i < kSeedBytes; ++i) {
        seed.bytes()[i] = static_cast<std::uint8_t>(3 * i + 1);
    }
    SigningKey source(seed);
    const PublicKey public_key = source.public_key();
    const Digest message = genesis_root();
    Signature before{};
    ASSERT_TRUE(source.sign(message, before));

    SigningKey target(std::move(source));
    EXPECT_EQ(target.public_key(), public_key);
    Signature after{};
    ASSERT_TRUE(target.sign(message, after));
    EXPECT_EQ(after, before);
    EXPECT_TRUE(verifies(after, message, public_key));

    // The source no longer holds the secret, so it cannot sign as this key.
    Signature leftover{};
    static_cast<void>(source.sign(message, leftover));  // NOLINT(bugprone-use-after-move)
    EXPECT_NE(leftover, before);
    EXPECT_FALSE(verifies(leftover, message, public_key));
}

TEST(SealSecrets, DifferentSeedsGiveDifferentKeys) {
    SecretSeed zero;
    SecretSeed one;
    one.bytes()[31] = 1;
    const SigningKey a(zero);
    const SigningKey b(one);
    EXPECT_NE(a.public_key(), b.public_key());
    // The all-zero seed's well-known public key.
    EXPECT_EQ(hex_of(a.public_key()),
              "3b6a27bcceb6a42d62a3a8d02a6f0d73653215771de243a63ac048a18b59da29");
}

}  // namespace
}  // namespace vorm_zel

namespace vorm_zel {
namespace {

// Large seal texts are hashed with their head copied into one batch buffer:
// the digest must be the whole text's, whatever the lengths around the
// buffer's edge and the chunk and batch boundaries.
TEST(SealLargeText, DigestIsTheWholeTextsAtEveryBoundary) {
    SecretSeed seed;
    const SigningKey key(seed);
    const std::size_t head = 16 * 1024;
    const std::size_t triplets[] = {0, 1, 37, 1023, 1024, 1025, head, head + 5, 40000};
    for (const std::size_t triplet : triplets) {
        const std::size_t edge = triplet < 2 * head ? 2 * head - triplet : 1;
        const std::size_t prompts[] = {0, 1, 1024, edge - 1, edge, edge + 1, 64 * 1024, 64 * 1024 + 7, 300000};
        for (const std::size_t prompt : prompts) {
            std::string provenance(triplet / 2, 'p');
            std::string place(triplet - triplet / 2 - triplet / 4, 'q');
            std::string purpose(triplet / 4, 'r');
            std::string text(prompt, '\0');
            for (std::size_t i = 0; i < prompt; ++i) {
                text[i] = static_cast<char>('a' + (i * 7919) % 26);
            }
            const SealInputs inputs{provenance, place, purpose, text, 0.25, 0.5};
            auto seal = seal_payload(inputs, key);
            ASSERT_TRUE(seal.has_value());
            EXPECT_EQ(seal.value().digest, blake3_digest(as_bytes(seal_text(inputs))))
                << "triplet " << triplet << ", prompt " << prompt;
        }
    }
}

}  // namespace
}  // namespace vorm_zel
