#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <deque>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "engine/scoring.h"
#include "json/core_insight.h"
#include "vectors.h"

namespace vorm_zel {
namespace {

using testing::load_vectors;
using testing::parse_hex_double;

std::uint64_t bits(double x) {
    return std::bit_cast<std::uint64_t>(x);
}
std::uint32_t bits(float x) {
    return std::bit_cast<std::uint32_t>(x);
}

bool same_bits(const InsightVector& a, const InsightVector& b) {
    return std::memcmp(a.data(), b.data(), sizeof(InsightVector)) == 0;
}

InsightVector filled(float value) {
    InsightVector v;
    v.fill(value);
    return v;
}

const std::string kLessonText = "Decision aligns well with historical pattern.";

// ---------------------------------------------------------------------------
// Known answers: one engine, 620 captures in order (past the point where the
// history is full and the ring wraps), every score compared bit for bit, with
// each multiply-add kernel of the history mean that this CPU can run.

class ScoringKnownAnswers : public ::testing::TestWithParam<MeanKernel> {
protected:
    void SetUp() override {
        if (!mean_kernel_supported(GetParam())) {
            GTEST_SKIP() << "this CPU cannot run the kernel";
        }
        select_mean_kernel(GetParam());
    }
    void TearDown() override {
        select_mean_kernel(mean_kernel_supported(MeanKernel::avx2) ? MeanKernel::avx2
                                                                   : MeanKernel::baseline);
    }
};

INSTANTIATE_TEST_SUITE_P(Kernels, ScoringKnownAnswers,
                         ::testing::Values(MeanKernel::baseline, MeanKernel::avx2),
                         [](const ::testing::TestParamInfo<MeanKernel>& case_info) {
                             return case_info.param == MeanKernel::avx2 ? std::string("avx2")
                                                                   : std::string("baseline");
                         });

TEST_P(ScoringKnownAnswers, AllCapturesOfOneEngineInOrder) {
    const nlohmann::json data = load_vectors("scoring.json");
    const nlohmann::json& captures = data.at("captures");
    ASSERT_EQ(captures.size(), 620u);

    ScoringState state;
    std::size_t insights = 0;
    for (std::size_t i = 0; i < captures.size(); ++i) {
        SCOPED_TRACE("capture " + std::to_string(i));
        const nlohmann::json& cap = captures[i];
        const Assessment a =
            state.assess(cap.at("length").get<std::uint64_t>(), cap.at("auto_insight").get<bool>());

        const double want_c = parse_hex_double(cap.at("coherence").get<std::string>());
        const double want_r = parse_hex_double(cap.at("reputation").get<std::string>());
        EXPECT_EQ(bits(a.coherence_score), bits(want_c));
        EXPECT_EQ(bits(a.reputation_scalar), bits(want_r));
        EXPECT_EQ(bits(state.reputation()), bits(want_r));
        EXPECT_EQ(state.history_size(), std::min<std::size_t>(i + 1, kHistoryLimit));

        const nlohmann::json& want_json = cap.at("core_insight_json");
        if (want_json.is_null()) {
            EXPECT_FALSE(a.core_insight.has_value());
        } else {
            ++insights;
            ASSERT_TRUE(a.core_insight.has_value());
            EXPECT_EQ(to_json(*a.core_insight), want_json.get<std::string>());
        }
    }
    // The table must exercise both outcomes of the gate.
    EXPECT_GT(insights, 0u);
    EXPECT_LT(insights, captures.size());
}

// The scoring as written down, step by step, with no precomputed table and no
// ring: a deque of vectors, powf per age and per history size on every
// capture. Every optimisation of ScoringState must keep its bits identical to
// this over long runs with lengths near and far apart (both outcomes of the
// gate, a history that fills and then rolls).
struct LiteralScoring {
    std::deque<InsightVector> history;
    double reputation = 0.5;

    Assessment assess(std::uint64_t length, bool auto_insight) {
        const InsightVector v = insight_vector(length);
        history.push_front(v);
        if (history.size() > 500) {
            history.pop_back();
        }
        const float s = (1.0f - std::pow(0.98f, static_cast<float>(history.size()))) /
                        0.019999980926513672f;
        InsightVector m{};
        for (std::size_t k = 0; k < history.size(); ++k) {
            const float w = std::pow(0.98f, static_cast<float>(k)) / s;
            for (std::size_t i = 0; i < kInsightLanes; ++i) {
                m[i] = m[i] + history[k][i] * w;
            }
        }
        Assessment a{coherence(v, m), 0.0, std::nullopt};
        if (insight_gate_open(a.coherence_score, auto_insight)) {
            a.core_insight = CoreInsight{"Decision aligns well with historical pattern.",
                                         a.coherence_score,
                                         InsightDelta{quantised_delta(v, m), a.coherence_score, 0.18}};
        }
        reputation = a.coherence_score * 0.02 + reputation * 0.98;
        a.reputation_scalar = reputation;
        return a;
    }
};

TEST_P(ScoringKnownAnswers, LongRandomRunMatchesTheLiteralSteps) {
    std::mt19937_64 random(0x5eed2026);
    // Mostly repeated lengths (coherent, insights), small steps, and jumps
    // anywhere in the 64-bit range that break the pattern for a while.
    std::discrete_distribution<int> step({75, 20, 5});
    std::uniform_int_distribution<std::uint64_t> wobble(1, 3);
    std::uniform_int_distribution<std::uint64_t> anywhere;
    std::bernoulli_distribution allow(0.8);
    ScoringState state;
    LiteralScoring literal;
    std::uint64_t length = 100;
    std::size_t insights = 0;
    for (int i = 0; i < 3000; ++i) {
        switch (step(random)) {
            case 0: break;
            case 1: length += wobble(random); break;
            default: length = anywhere(random) >> (anywhere(random) % 64); break;
        }
        const bool auto_insight = allow(random);
        const Assessment got = state.assess(length, auto_insight);
        const Assessment want = literal.assess(length, auto_insight);
        ASSERT_EQ(bits(got.coherence_score), bits(want.coherence_score)) << "capture " << i;
        ASSERT_EQ(bits(got.reputation_scalar), bits(want.reputation_scalar)) << "capture " << i;
        ASSERT_EQ(got.core_insight.has_value(), want.core_insight.has_value()) << "capture " << i;
        if (want.core_insight) {
            ++insights;
            ASSERT_EQ(to_json(*got.core_insight), to_json(*want.core_insight)) << "capture " << i;
        }
    }
    EXPECT_GT(insights, 100u);
    EXPECT_LT(insights, 2900u);
}

// ---------------------------------------------------------------------------
// The insight vector.

TEST(ScoringInsightVector, EmptyDecisionStartsAtTheOffset) {
    const InsightVector v = insight_vector(0);
    // sin(0) is 0, so lane 0 is the offset 0.4f itself.
    EXPECT_EQ(bits(v[0]), 0x3ECCCCCDu);
    EXPECT_EQ(v[0], 0.4000000059604645f);
}

TEST(ScoringInsightVector, LanesStayWithinTheSineRange) {
    for (const std::uint64_t length :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{17}, std::uint64_t{123456789},
          std::numeric_limits<std::uint64_t>::max()}) {
        SCOPED_TRACE(length);
        const InsightVector v = insight_vector(length);
        for (const float x : v) {
            EXPECT_GE(x, -0.2f - 1e-6f);
            EXPECT_LE(x, 1.0f + 1e-6f);
        }
    }
}

TEST(ScoringInsightVector, DependsOnTheLengthOnly) {
    EXPECT_TRUE(same_bits(insight_vector(42), insight_vector(42)));
    EXPECT_FALSE(same_bits(insight_vector(42), insight_vector(43)));
    EXPECT_FALSE(same_bits(insight_vector(0), insight_vector(1)));
}

// The length is rounded to single precision to nearest, ties to even, over
// the whole unsigned range; lengths that round alike give the same vector.
struct RoundingCase {
    std::uint64_t length;
    std::uint64_t rounds_like;
};

void PrintTo(const RoundingCase& c, std::ostream* os) {
    *os << c.length << " rounds like " << c.rounds_like;
}

class ScoringLengthRounding : public ::testing::TestWithParam<RoundingCase> {};

TEST_P(ScoringLengthRounding, LengthsThatRoundAlikeGiveTheSameVector) {
    const RoundingCase& c = GetParam();
    EXPECT_TRUE(same_bits(insight_vector(c.length), insight_vector(c.rounds_like)));
}

constexpr std::uint64_t kTwo63 = std::uint64_t{1} << 63;
constexpr std::uint64_t kTwo39 = std::uint64_t{1} << 39;  // half a float step above 2^63

INSTANTIATE_TEST_SUITE_P(
    Lengths, ScoringLengthRounding,
    ::testing::Values(RoundingCase{16777217u, 16777216u},  // 2^24 + 1: tie, rounds down to even
                      RoundingCase{16777219u, 16777220u},  // 2^24 + 3: tie, rounds up to even
                      RoundingCase{kTwo63 + 1, kTwo63},
                      RoundingCase{kTwo63 + kTwo39, kTwo63},                   // tie, down to even
                      RoundingCase{kTwo63 + 3 * kTwo39, kTwo63 + 4 * kTwo39},  // tie, up to even
                      // Just above a tie: rounds up, although a detour through double
                      // would first round it onto the tie and then down to even.
                      RoundingCase{kTwo63 + kTwo39 + 1, kTwo63 + 2 * kTwo39},
                      // 2^64 - 2^39 is a tie; both round up to 2^64, beyond every length.
                      RoundingCase{std::numeric_limits<std::uint64_t>::max(),
                                   std::numeric_limits<std::uint64_t>::max() - kTwo39 + 1}));

TEST(ScoringInsightVector, RepresentableLengthsStayApart) {
    // Exactly representable lengths must not be rounded together.
    EXPECT_FALSE(same_bits(insight_vector(16777215u), insight_vector(16777216u)));
    EXPECT_FALSE(same_bits(insight_vector(16777216u), insight_vector(16777218u)));
    EXPECT_FALSE(same_bits(insight_vector(kTwo63), insight_vector(kTwo63 + 2 * kTwo39)));
}

// ---------------------------------------------------------------------------
// Coherence.

TEST(ScoringCoherence, ZeroSumOfSquaresFallsBackToOneHalf) {
    const InsightVector zero = filled(0.0f);
    const InsightVector some = insight_vector(9);
    EXPECT_EQ(coherence(zero, some), 0.5);
    EXPECT_EQ(coherence(some, zero), 0.5);
    EXPECT_EQ(coherence(zero, zero), 0.5);
}

TEST(ScoringCoherence, OppositeVectorsClampToZero) {
    const InsightVector v = insight_vector(5);
    InsightVector neg;
    for (std::size_t i = 0; i < kInsightLanes; ++i) {
        neg[i] = -v[i];
    }
    EXPECT_EQ(bits(coherence(v, neg)), bits(0.0));
}

TEST(ScoringCoherence, RoundingAboveOneClampsToOne) {
    // Three unit lanes: dot = 3 but sqrt(3) * sqrt(3) rounds below 3.
    ASSERT_GT(3.0 / (std::sqrt(3.0) * std::sqrt(3.0)), 1.0);
    InsightVector v = filled(0.0f);
    v[0] = v[1] = v[2] = 1.0f;
    EXPECT_EQ(bits(coherence(v, v)), bits(1.0));
}

TEST(ScoringCoherence, OrthogonalAndPartialOverlap) {
    InsightVector a = filled(0.0f);
    InsightVector b = filled(0.0f);
    a[0] = 1.0f;
    b[63] = 1.0f;
    EXPECT_EQ(bits(coherence(a, b)), bits(0.0));

    // current = e0, mean = e0 + e1: 1 / (sqrt(2) * 1).
    b[63] = 0.0f;
    b[0] = 1.0f;
    b[1] = 1.0f;
    EXPECT_EQ(bits(coherence(a, b)), bits(1.0 / (std::sqrt(2.0) * 1.0)));
}

TEST(ScoringCoherence, NonFiniteLanes) {
    // A NaN lane makes its sum of squares NaN, which is not above zero, so
    // the fallback applies.
    InsightVector v = insight_vector(3);
    v[7] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(coherence(v, insight_vector(3)), 0.5);
    EXPECT_EQ(coherence(insight_vector(3), v), 0.5);

    // Infinite lanes make dot / (inf * inf) a NaN, which is not clamped.
    InsightVector inf = filled(0.0f);
    inf[0] = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(std::isnan(coherence(inf, inf)));
}

// ---------------------------------------------------------------------------
// Gate.

struct GateCase {
    double coherence;
    bool auto_insight;
    bool open;
};

void PrintTo(const GateCase& c, std::ostream* os) {
    *os << std::hexfloat << c.coherence << (c.auto_insight ? " allowed" : " refused");
}

class ScoringGate : public ::testing::TestWithParam<GateCase> {};

TEST_P(ScoringGate, OpensOnlyWhenAllowedAndAtLeastTheThreshold) {
    const GateCase& c = GetParam();
    EXPECT_EQ(insight_gate_open(c.coherence, c.auto_insight), c.open);
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, ScoringGate,
    ::testing::Values(GateCase{0.92, true, true}, GateCase{std::nextafter(0.92, 0.0), true, false},
                      GateCase{std::nextafter(0.92, 1.0), true, true}, GateCase{1.0, true, true},
                      GateCase{0.5, true, false}, GateCase{0.0, true, false},
                      GateCase{0.92, false, false}, GateCase{1.0, false, false},
                      GateCase{std::numeric_limits<double>::quiet_NaN(), true, false}));

// ---------------------------------------------------------------------------
// Quantisation: (current - mean) * 127, clamped to [-128, 127], truncated.
// Each lane difference below is the float whose product with 127 rounds to
// the scaled value in the comment.

struct QuantCase {
    float difference;
    float scaled;
    std::int8_t lane;
};

void PrintTo(const QuantCase& c, std::ostream* os) {
    *os << std::hexfloat << c.difference << " -> " << c.scaled << " -> " << int{c.lane};
}

class ScoringQuantisation : public ::testing::TestWithParam<QuantCase> {};

TEST_P(ScoringQuantisation, ClampsThenTruncatesTowardZero) {
    const QuantCase& c = GetParam();
    // Guards the table itself: the difference must scale to the intended value.
    ASSERT_EQ(bits(c.difference * 127.0f), bits(c.scaled));

    const std::array<std::int8_t, kInsightLanes> q =
        quantised_delta(filled(c.difference), filled(0.0f));
    for (std::size_t i = 0; i < kInsightLanes; ++i) {
        EXPECT_EQ(q[i], c.lane) << "lane " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Bounds, ScoringQuantisation,
                         ::testing::Values(QuantCase{0x1.ff98ccp-1f, 126.9000015f, 126},
                                           QuantCase{-0x1.d06da8p-8f, -0.8999999762f, 0},
                                           QuantCase{-0x1.6938d8p-8f, -0.6999999881f, 0},
                                           QuantCase{0x1.1a3468p+0f, 140.0f, 127},
                                           QuantCase{-0x1.2e5cbap+0f, -150.0f, -128},
                                           QuantCase{-0x1.010204p+0f, -127.5f, -127},
                                           QuantCase{0x1.0p+0f, 127.0f, 127},
                                           QuantCase{-0x1.020408p+0f, -128.0f, -128},
                                           // Just beyond the bounds, clamped back onto them.
                                           QuantCase{0x1.000002p+0f, 127.0000153f, 127},
                                           QuantCase{-0x1.02040ap+0f, -128.0000153f, -128},
                                           // Just inside -128: truncates to -127.
                                           QuantCase{-0x1.020406p+0f, -127.9999847f, -127},
                                           QuantCase{0.0f, 0.0f, 0}));

TEST(ScoringQuantisedDelta, IsCurrentMinusMeanPerLane) {
    // Exact differences (i - 32) / 64, scaled by 127 without rounding.
    InsightVector current;
    for (std::size_t i = 0; i < kInsightLanes; ++i) {
        current[i] = (static_cast<float>(i) - 32.0f) / 64.0f;
    }
    const InsightVector mean = filled(0.0f);
    const auto up = quantised_delta(current, mean);
    const auto down = quantised_delta(mean, current);
    for (std::size_t i = 0; i < kInsightLanes; ++i) {
        const int expected = (static_cast<int>(i) - 32) * 127 / 64;  // truncates toward zero
        EXPECT_EQ(up[i], expected) << "lane " << i;
        EXPECT_EQ(down[i], -expected) << "lane " << i;
    }

    // The sign is current minus mean.
    const auto signs = quantised_delta(filled(0.75f), filled(0.25f));
    EXPECT_EQ(signs[0], 63);  // 63.5
    const auto negative = quantised_delta(filled(0.25f), filled(0.75f));
    EXPECT_EQ(negative[0], -63);  // -63.5
}

// ---------------------------------------------------------------------------
// ScoringState behaviour.

TEST(ScoringState, NewStateIsEmptyAtOneHalf) {
    const ScoringState state;
    EXPECT_EQ(state.history_size(), 0u);
    EXPECT_EQ(bits(state.reputation()), bits(0.5));
}

TEST(ScoringState, FirstCaptureMeanIsTheVector) {
    ScoringState state;
    const Assessment a = state.assess(0, true);
    const InsightVector v = insight_vector(0);

    ASSERT_EQ(state.history_size(), 1u);
    EXPECT_TRUE(same_bits(state.history_entry(0), v));

    // With one entry the mean is the vector itself, bit for bit.
    EXPECT_EQ(bits(a.coherence_score), bits(coherence(v, v)));
    EXPECT_LE(a.coherence_score, 1.0);
    EXPECT_GE(a.coherence_score, 1.0 - 4 * std::numeric_limits<double>::epsilon());

    const double expected_rep = a.coherence_score * 0.02 + 0.5 * 0.98;
    EXPECT_EQ(bits(a.reputation_scalar), bits(expected_rep));
    EXPECT_NEAR(a.reputation_scalar, 0.51, 1e-15);

    ASSERT_TRUE(a.core_insight.has_value());
    const CoreInsight& insight = *a.core_insight;
    EXPECT_EQ(insight.lesson, kLessonText);
    EXPECT_EQ(bits(insight.confidence), bits(a.coherence_score));
    ASSERT_TRUE(insight.delta.has_value());
    EXPECT_EQ(bits(insight.delta->confidence), bits(a.coherence_score));
    EXPECT_EQ(bits(insight.delta->delta_norm), bits(0.18));
    for (std::size_t i = 0; i < kInsightLanes; ++i) {
        EXPECT_EQ(insight.delta->vector[i], 0) << "lane " << i;
    }
}

TEST(ScoringState, RepeatedLengthScoresAsOne) {
    ScoringState state;
    (void)state.assess(17, true);
    const Assessment a = state.assess(17, true);
    ASSERT_EQ(state.history_size(), 2u);
    EXPECT_TRUE(same_bits(state.history_entry(0), state.history_entry(1)));
    EXPECT_NEAR(a.coherence_score, 1.0, 1e-12);
    ASSERT_TRUE(a.core_insight.has_value());
    ASSERT_TRUE(a.core_insight->delta.has_value());
    for (std::size_t i = 0; i < kInsightLanes; ++i) {
        EXPECT_EQ(a.core_insight->delta->vector[i], 0) << "lane " << i;
    }
}

TEST(ScoringState, DisallowedInsightStillMovesHistoryAndReputation) {
    const std::vector<std::uint64_t> lengths = {0, 0, 17, 17, 300, 4096, 4096, 5};
    ScoringState allowed;
    ScoringState refused;
    std::size_t gate_would_open = 0;
    for (const std::uint64_t length : lengths) {
        SCOPED_TRACE(length);
        const double before = refused.reputation();
        const Assessment a = allowed.assess(length, true);
        const Assessment b = refused.assess(length, false);

        EXPECT_FALSE(b.core_insight.has_value());
        if (a.core_insight.has_value()) {
            ++gate_would_open;
        }
        EXPECT_EQ(bits(a.coherence_score), bits(b.coherence_score));
        EXPECT_EQ(bits(a.reputation_scalar), bits(b.reputation_scalar));
        EXPECT_EQ(bits(b.reputation_scalar), bits(b.coherence_score * 0.02 + before * 0.98));
        EXPECT_EQ(refused.history_size(), allowed.history_size());
        EXPECT_TRUE(same_bits(refused.history_entry(0), insight_vector(length)));
    }
    EXPECT_GT(gate_would_open, 0u);
}

TEST(ScoringState, HistoryIsNewestFirstAndDropsTheOldest) {
    ScoringState state;
    for (std::uint64_t length = 1; length <= 500; ++length) {
        (void)state.assess(length, true);
    }
    ASSERT_EQ(state.history_size(), 500u);
    EXPECT_TRUE(same_bits(state.history_entry(0), insight_vector(500)));
    EXPECT_TRUE(same_bits(state.history_entry(499), insight_vector(1)));

    (void)state.assess(501, true);
    ASSERT_EQ(state.history_size(), 500u);
    for (std::size_t k = 0; k < 500; ++k) {
        ASSERT_TRUE(same_bits(state.history_entry(k), insight_vector(501 - k))) << "entry " << k;
    }

    // Several more laps around the ring keep the order and the size.
    for (std::uint64_t length = 502; length <= 1733; ++length) {
        (void)state.assess(length, length % 3 == 0);
    }
    ASSERT_EQ(state.history_size(), 500u);
    for (std::size_t k = 0; k < 500; ++k) {
        ASSERT_TRUE(same_bits(state.history_entry(k), insight_vector(1733 - k))) << "entry " << k;
    }
}

TEST(ScoringState, ReputationFollowsEveryCoherence) {
    // Alternating lengths give low coherence; the reputation must move toward
    // it whether or not an insight is made.
    ScoringState state;
    double expected = 0.5;
    bool saw_low = false;
    for (std::uint64_t i = 0; i < 40; ++i) {
        const std::uint64_t length = (i % 2 == 0) ? 3 : 1000003;
        const Assessment a = state.assess(length, true);
        expected = a.coherence_score * 0.02 + expected * 0.98;
        EXPECT_EQ(bits(a.reputation_scalar), bits(expected));
        EXPECT_EQ(a.core_insight.has_value(), a.coherence_score >= 0.92);
        saw_low = saw_low || a.coherence_score < 0.92;
        EXPECT_GE(a.coherence_score, 0.0);
        EXPECT_LE(a.coherence_score, 1.0);
    }
    EXPECT_TRUE(saw_low);
}

// ---------------------------------------------------------------------------
// Core insight JSON.

struct JsonCase {
    const char* name;
    CoreInsight insight;
    std::string text;
};

std::vector<JsonCase> json_cases() {
    std::vector<JsonCase> cases;

    InsightDelta zero{};
    zero.vector.fill(0);
    zero.confidence = 1.0;
    zero.delta_norm = 0.18;
    cases.push_back(
        {"ZeroDelta", CoreInsight{kLessonText, 1.0, zero},
         "{\"lesson\":\"Decision aligns well with historical pattern.\",\"confidence\":1.0,"
         "\"delta\":{\"vector\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"
         "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],"
         "\"confidence\":1.0,\"delta_norm\":0.18}}"});

    cases.push_back({"AbsentDelta", CoreInsight{kLessonText, 1.0, std::nullopt},
                     "{\"lesson\":\"Decision aligns well with historical pattern.\","
                     "\"confidence\":1.0,\"delta\":null}"});

    // Mixed lanes, and an inner confidence distinct from the outer one so
    // that each member is seen to come from its own field.
    InsightDelta mixed{};
    mixed.vector.fill(0);
    mixed.vector[0] = -128;
    mixed.vector[1] = 127;
    mixed.vector[2] = -1;
    mixed.vector[31] = -7;
    mixed.vector[63] = 5;
    mixed.confidence = 0.92;
    mixed.delta_norm = 0.18;
    cases.push_back(
        {"MixedDelta", CoreInsight{kLessonText, 0.9257702901464863, mixed},
         "{\"lesson\":\"Decision aligns well with historical pattern.\","
         "\"confidence\":0.9257702901464863,\"delta\":{\"vector\":[-128,127,-1,0,0,0,0,0,0,0,0,"
         "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,-7,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"
         "0,0,0,0,0,0,0,0,0,0,5],\"confidence\":0.92,\"delta_norm\":0.18}}"});
    return cases;
}

void PrintTo(const JsonCase& c, std::ostream* os) {
    *os << c.name;
}

class ScoringInsightJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(ScoringInsightJson, WritesCompactTextInMemberOrder) {
    const JsonCase& c = GetParam();
    EXPECT_EQ(to_json(c.insight), c.text);
}

INSTANTIATE_TEST_SUITE_P(Texts, ScoringInsightJson, ::testing::ValuesIn(json_cases()),
                         [](const ::testing::TestParamInfo<JsonCase>& param_info) {
                             return std::string(param_info.param.name);
                         });

TEST(ScoringInsightJson, AssessedInsightCarriesTheFixedNorm) {
    ScoringState state;
    const Assessment a = state.assess(12345, true);
    ASSERT_TRUE(a.core_insight.has_value());
    const std::string text = to_json(*a.core_insight);
    EXPECT_NE(text.find(",\"delta_norm\":0.18}}"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("{\"lesson\":\"" + kLessonText + "\",\"confidence\":", 0), 0u) << text;
}

}  // namespace
}  // namespace vorm_zel
