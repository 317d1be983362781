// The capture pipeline end to end, from plain native inputs: the shared known
// answers for the seal and chain (seal.json) and for scoring (scoring.json),
// the engine state each capture advances and the exact line it appends.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/hex.h"
#include "engine/capture.h"
#include "engine/seal.h"
#include "engine/zel_engine.h"
#include "json/log_line.h"
#include "json/records.h"
#include "scratch_directory.h"
#include "vectors.h"

namespace vorm_zel {
namespace {

using testing::hex_bytes;
using testing::load_vectors;
using testing::parse_hex_double;
using testing::read_file;
using testing::ScratchDirectory;

SecretSeed seed_from_hex(const std::string& hex) {
    const std::string raw = hex_bytes(hex);
    SecretSeed seed;
    EXPECT_EQ(raw.size(), kSeedBytes);
    std::copy_n(raw.begin(), std::min(raw.size(), kSeedBytes), seed.bytes().begin());
    return seed;
}

ZELEngine engine_with_seed(const std::string& wal_path, const std::string& seed_hex) {
    return ZELEngine{ScoringState{}, wal_path, SigningKey(seed_from_hex(seed_hex)),
                     genesis_root(), {}};
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line + "\n");
    }
    return lines;
}

Digest digest_of(const SealedRecord& record) {
    const std::string raw = hex_bytes(record.hash);
    Digest digest{};
    EXPECT_EQ(raw.size(), digest.size());
    std::copy_n(raw.begin(), std::min(raw.size(), digest.size()), digest.begin());
    return digest;
}

std::uint64_t bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

const HumanDeltaChain kReview{"chain-7", "decision-7", true, "supervisor"};

class Pipeline : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_GE(sodium_init(), 0); }
};

// Every seal.json case sealed through the pipeline by one engine with the
// file's seed: the digest, signature and root of each record, the root the
// engine holds afterwards, and the log line, member by member.
TEST_F(Pipeline, SealsTheKnownAnswersAndLogsThem) {
    const nlohmann::json vectors = load_vectors("seal.json");
    const ScratchDirectory dir;
    const std::string wal_path = dir.file("audit.wal");
    ZELEngine engine = engine_with_seed(wal_path, vectors.at("seed").get<std::string>());
    ASSERT_EQ(to_hex(engine.signing_key.public_key()), vectors.at("public_key"));
    ASSERT_EQ(to_hex(engine.chain_root), vectors.at("genesis_root"));

    std::vector<SealedRecord> records;
    for (const nlohmann::json& c : vectors.at("cases")) {
        SCOPED_TRACE("case " + std::to_string(records.size()));
        const PPPTriplet ppp{c.at("provenance"), c.at("place"), c.at("purpose")};
        const Assessment assessment{parse_hex_double(c.at("coherence")),
                                    parse_hex_double(c.at("reputation")), std::nullopt};
        ASSERT_EQ(to_hex(engine.chain_root), c.at("previous_root"));
        Result<Captured> captured = seal_decision(
            engine,
            Decision{"{\"case\": " + std::to_string(records.size()) + "}", c.at("prompt"), "null",
                     "out\n", ppp, kReview, true},
            assessment);
        ASSERT_TRUE(captured.has_value());
        EXPECT_EQ(captured->log_error, 0);
        const SealedRecord& record = captured->record;
        EXPECT_EQ(record.hash, c.at("hash"));
        EXPECT_EQ(to_hex(record.signature), c.at("signature"));
        EXPECT_EQ(record.merkle_root, c.at("merkle_root"));
        EXPECT_EQ(to_hex(engine.chain_root), c.at("merkle_root"));
        EXPECT_EQ(bits(record.coherence_score), bits(assessment.coherence_score));
        EXPECT_EQ(bits(record.reputation_scalar), bits(assessment.reputation_scalar));
        EXPECT_EQ(record.prompt, c.at("prompt"));
        EXPECT_FALSE(record.core_insight_json.has_value());
        // Sealing alone leaves the scores where they were.
        EXPECT_EQ(engine.scoring.history_size(), 0u);
        records.push_back(std::move(captured->record));
    }

    const std::vector<std::string> lines = lines_of(read_file(wal_path));
    ASSERT_EQ(lines.size(), records.size());
    const nlohmann::json& cases = vectors.at("cases");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i));
        EXPECT_EQ(lines[i], log_line(records[i]));
        const auto line = nlohmann::ordered_json::parse(lines[i]);
        std::vector<std::string> members;
        for (const auto& member : line.items()) {
            members.push_back(member.key());
        }
        EXPECT_EQ(members, (std::vector<std::string>{
                               "id", "timestamp", "monotonic_nanos", "hash", "signature",
                               "merkle_root", "coherence_score", "reputation_scalar", "ppp_json",
                               "ctx_json", "prompt", "reasoning_trace_json", "output",
                               "human_delta_chain_json", "core_insight_json"}));
        EXPECT_EQ(line.at("id"), records[i].id);
        EXPECT_EQ(line.at("hash"), cases[i].at("hash"));
        EXPECT_EQ(line.at("merkle_root"), cases[i].at("merkle_root"));
        std::string signature;
        for (const auto& byte : line.at("signature")) {
            signature.push_back(static_cast<char>(byte.get<int>()));
        }
        EXPECT_EQ(signature, hex_bytes(cases[i].at("signature")));
        EXPECT_EQ(bits(line.at("coherence_score").get<double>()),
                  bits(parse_hex_double(cases[i].at("coherence"))));
        EXPECT_EQ(line.at("prompt"), cases[i].at("prompt"));
        EXPECT_EQ(line.at("ctx_json"), "{\"case\": " + std::to_string(i) + "}");
        EXPECT_EQ(line.at("reasoning_trace_json"), "null");
        EXPECT_EQ(line.at("output"), "out\n");
        const auto ppp = nlohmann::ordered_json::parse(line.at("ppp_json").get<std::string>());
        EXPECT_EQ(ppp, (nlohmann::ordered_json{{"provenance", cases[i].at("provenance")},
                                               {"place", cases[i].at("place")},
                                               {"purpose", cases[i].at("purpose")}}));
        const auto review =
            nlohmann::json::parse(line.at("human_delta_chain_json").get<std::string>());
        EXPECT_EQ(review, (nlohmann::json{{"chain_id", "chain-7"},
                                          {"agent_decision_ref", "decision-7"},
                                          {"resolved", true},
                                          {"terminal_node", "supervisor"}}));
        EXPECT_TRUE(line.at("core_insight_json").is_null());
    }
}

// scoring.json through the whole pipeline (scoring included) as far as its
// lengths can be built as text: the scores and insight of every record, the
// engine's reputation and history, and a seal and chain step over exactly
// the record's own fields.
TEST_F(Pipeline, ScoresTheKnownAnswersAndSealsWhatItScored) {
    constexpr std::uint64_t kLongestText = 1 << 20;
    const nlohmann::json vectors = load_vectors("scoring.json");
    ZELEngine engine = engine_with_seed(std::string(kInMemoryPath), std::string(64, 'a'));
    const PPPTriplet ppp{"triage-agent/v3", "eu-west-1", "resolve ticket"};

    std::size_t replayed = 0;
    std::size_t insights = 0;
    for (const nlohmann::json& c : vectors.at("captures")) {
        const auto length = c.at("length").get<std::uint64_t>();
        if (length > kLongestText) {
            break;  // every later answer depends on this capture's history
        }
        SCOPED_TRACE("capture " + std::to_string(replayed));
        // The length is split between prompt and output: only the sum counts.
        const std::string prompt(length / 3, 'p');
        const std::string output(length - length / 3, 'o');
        const Digest previous_root = engine.chain_root;
        Result<Captured> captured =
            capture(engine, Decision{"{}", prompt, "[]", output, ppp, kReview,
                                     c.at("auto_insight").get<bool>()});
        ASSERT_TRUE(captured.has_value());
        const SealedRecord& record = captured->record;
        ++replayed;

        EXPECT_EQ(bits(record.coherence_score), bits(parse_hex_double(c.at("coherence"))));
        EXPECT_EQ(bits(record.reputation_scalar), bits(parse_hex_double(c.at("reputation"))));
        EXPECT_EQ(bits(engine.scoring.reputation()), bits(record.reputation_scalar));
        EXPECT_EQ(engine.scoring.history_size(), std::min<std::size_t>(replayed, kHistoryLimit));
        if (c.at("core_insight_json").is_null()) {
            EXPECT_FALSE(record.core_insight_json.has_value());
        } else {
            ++insights;
            EXPECT_EQ(record.core_insight_json, c.at("core_insight_json").get<std::string>());
        }

        const std::string text = seal_text({ppp.provenance, ppp.place, ppp.purpose, prompt,
                                            record.coherence_score, record.reputation_scalar});
        const Digest digest = blake3_digest(
            {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        EXPECT_EQ(record.hash, to_hex(digest));
        EXPECT_EQ(crypto_sign_ed25519_verify_detached(record.signature.data(), digest.data(),
                                                      digest.size(),
                                                      engine.signing_key.public_key().data()),
                  0);
        Digest root = previous_root;
        advance_chain_root(root, digest);
        EXPECT_EQ(record.merkle_root, to_hex(root));
        EXPECT_EQ(engine.chain_root, root);
        EXPECT_EQ(record.prompt, prompt);
        EXPECT_EQ(record.output, output);
        EXPECT_EQ(captured->log_error, 0);
    }
    EXPECT_GE(replayed, 3u);
    EXPECT_GT(insights, 0u);
}

TEST_F(Pipeline, RecordCarriesItsInputsAndFreshReadings) {
    ZELEngine engine = engine_with_seed(std::string(kInMemoryPath), std::string(64, 'b'));
    const PPPTriplet ppp{"p\"", "q", "r"};
    Result<Captured> first = capture(engine, Decision{"{\"k\": 1}", "hello", "[1, 2]", "world",
                                                      ppp, kReview, true});
    Result<Captured> second =
        capture(engine, Decision{"{}", "hello", "null", "world", ppp, kReview, false});
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    const SealedRecord& record = first->record;
    const std::regex id("zel_[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    const std::regex timestamp(
        R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.(\d{3}|\d{6}|\d{9}))?\+00:00)");
    EXPECT_TRUE(std::regex_match(record.id, id)) << record.id;
    EXPECT_TRUE(std::regex_match(record.timestamp, timestamp)) << record.timestamp;
    EXPECT_NE(record.id, second->record.id);
    EXPECT_EQ(record.ctx_json, "{\"k\": 1}");
    EXPECT_EQ(record.reasoning_trace_json, "[1, 2]");
    EXPECT_EQ(record.ppp_json, to_json(ppp));
    EXPECT_EQ(record.human_delta_chain_json, to_json(kReview));
    // The first capture of an engine always clears the insight gate; the
    // second was told not to make one.
    EXPECT_TRUE(record.core_insight_json.has_value());
    EXPECT_FALSE(second->record.core_insight_json.has_value());
}

// A log that cannot be written costs the line, not the record: the error is
// reported, the engine has advanced, and the next line that can be written
// chains on from the lost one.
TEST_F(Pipeline, LostLineIsReportedAndTheChainGoesOn) {
    const ScratchDirectory dir;
    const std::string wal_path = dir.file("logs/audit.wal");
    ZELEngine engine = engine_with_seed(wal_path, std::string(64, 'c'));
    const PPPTriplet ppp{"p", "q", "r"};

    Result<Captured> lost =
        capture(engine, Decision{"{}", "lost", "null", "", ppp, kReview, true});
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lost->log_error, ENOENT);
    EXPECT_EQ(engine.scoring.history_size(), 1u);
    EXPECT_EQ(to_hex(engine.chain_root), lost->record.merkle_root);

    ASSERT_EQ(::mkdir(dir.file("logs").c_str(), 0700), 0);
    Result<Captured> kept =
        capture(engine, Decision{"{}", "kept", "null", "", ppp, kReview, true});
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->log_error, 0);
    Digest root = genesis_root();
    EXPECT_EQ(to_hex(advance_chain_root(root, digest_of(lost->record))), lost->record.merkle_root);
    EXPECT_EQ(to_hex(advance_chain_root(root, digest_of(kept->record))), kept->record.merkle_root);
    EXPECT_EQ(read_file(wal_path), log_line(kept->record));
}

// The engine builds each line in the buffer the previous one left: a long
// line followed by shorter ones must leave nothing of itself behind in them,
// and a buffer grown past the kept size is released once its line is written.
TEST_F(Pipeline, LineBufferKeptBetweenCapturesLeavesNothingBehind) {
    const ScratchDirectory dir;
    const std::string wal_path = dir.file("audit.wal");
    ZELEngine engine = engine_with_seed(wal_path, std::string(64, 'd'));
    const PPPTriplet ppp{"p", "q", "r"};
    std::string expected;
    const std::size_t sizes[] = {70000, 10, 3000, kKeptLineBufferBytes + 1, 5};
    for (const std::size_t size : sizes) {
        const std::string prompt(size, size % 2 == 0 ? '"' : 'x');
        Result<Captured> captured =
            capture(engine, Decision{"{}", prompt, "null", "out", ppp, kReview, true});
        ASSERT_TRUE(captured.has_value());
        ASSERT_EQ(captured->log_error, 0);
        expected += log_line(captured->record);
        if (size > kKeptLineBufferBytes) {
            EXPECT_EQ(engine.line_buffer.capacity(), 0u) << size;
        } else {
            EXPECT_GE(engine.line_buffer.capacity(), 2 * size) << size;
        }
    }
    EXPECT_EQ(read_file(wal_path), expected);
}

TEST_F(Pipeline, InMemoryEngineWritesNothing) {
    const ScratchDirectory dir;
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    Result<OpenedEngine> opened = open_engine(std::string(kInMemoryPath));
    ASSERT_TRUE(opened.has_value());
    EXPECT_FALSE(opened->engine.keeps_log());
    const PPPTriplet ppp{"p", "q", "r"};
    Result<Captured> captured =
        capture(opened->engine, Decision{"{}", "x", "null", "", ppp, kReview, true});
    ASSERT_TRUE(captured.has_value());
    EXPECT_EQ(captured->log_error, 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
    ASSERT_EQ(::chdir("/"), 0);
}

}  // namespace
}  // namespace vorm_zel
