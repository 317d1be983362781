#include "engine/scoring.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "common/json_writer.h"

namespace vorm_zel {

namespace {

// Single-precision constants, spelled by their bits so that no decimal
// literal can be rounded differently by a compiler.
constexpr float kPhaseStep = std::bit_cast<float>(std::uint32_t{0x3EBD70A4});    // 0.37
constexpr float kPhasePeriod = std::bit_cast<float>(std::uint32_t{0x40C8F5C3});  // 6.28
constexpr float kAmplitude = std::bit_cast<float>(std::uint32_t{0x3F19999A});    // 0.6
constexpr float kOffset = std::bit_cast<float>(std::uint32_t{0x3ECCCCCD});       // 0.4
constexpr float kDecay = std::bit_cast<float>(std::uint32_t{0x3F7AE148});        // 0.98
// Exactly 1.0f - kDecay, which is not the float nearest to 0.02.
constexpr float kSeriesDivisor = std::bit_cast<float>(std::uint32_t{0x3CA3D700});
constexpr float kQuantScale = std::bit_cast<float>(std::uint32_t{0x42FE0000});  // 127
constexpr float kQuantLow = std::bit_cast<float>(std::uint32_t{0xC3000000});    // -128
constexpr float kQuantHigh = std::bit_cast<float>(std::uint32_t{0x42FE0000});   // 127

constexpr double kCoherenceFallback = 0.5;
constexpr double kReputationNewWeight = 0.02;
constexpr double kReputationKeepWeight = 0.98;
constexpr double kDeltaNorm = 0.18;

constexpr std::string_view kLesson = "Decision aligns well with historical pattern.";

static_assert(kSeriesDivisor == 1.0f - kDecay);

// The decay powers and series sums depend only on the age k and the history
// size n, so they are computed once per process instead of per capture. Each
// entry is produced by the very same powf call, with the same arguments, that
// a per-capture evaluation would make, and the quotients are rounded to
// single precision exactly as they would be inline, so the bits are the same.
struct DecayTables {
    // powf(0.98f, k) for k = 0..500.
    std::array<float, kHistoryLimit + 1> power{};
    // (1 - 0.98^n) / (1 - 0.98), the weight divisor for a history of n
    // entries, n = 1..500; slot 0 is unused.
    std::array<float, kHistoryLimit + 1> series{};
    // power[k] / series[500]: the weights of a full history, which is the
    // state of every engine after its 500th capture.
    std::array<float, kHistoryLimit> full_weights{};
};

DecayTables build_decay_tables() noexcept {
    DecayTables t;
    for (std::size_t k = 0; k <= kHistoryLimit; ++k) {
        t.power[k] = std::pow(kDecay, static_cast<float>(k));
    }
    for (std::size_t n = 1; n <= kHistoryLimit; ++n) {
        t.series[n] = (1.0f - t.power[n]) / kSeriesDivisor;
    }
    for (std::size_t k = 0; k < kHistoryLimit; ++k) {
        t.full_weights[k] = t.power[k] / t.series[kHistoryLimit];
    }
    return t;
}

const DecayTables& decay_tables() noexcept {
    static const DecayTables tables = build_decay_tables();
    return tables;
}

// m[i] = m[i] + h[i] * w, each product and sum rounded on its own. Kept as a
// plain lane loop so that the compiler turns it into packed multiplies and
// adds, which round per lane exactly like the scalar code.
inline void add_weighted(InsightVector& m, const InsightVector& h, float w) noexcept {
    for (std::size_t i = 0; i < kInsightLanes; ++i) {
        m[i] = m[i] + h[i] * w;
    }
}

}  // namespace

InsightVector insight_vector(std::uint64_t length) noexcept {
    // Correctly rounded over the whole unsigned range.
    const float g = static_cast<float>(length);
    InsightVector v;
    for (std::size_t i = 0; i < kInsightLanes; ++i) {
        const float x = static_cast<float>(i) * kPhaseStep + g;
        // x is never negative, so the remainder lies in [0, 6.28).
        const float r = std::fmod(x, kPhasePeriod);
        v[i] = std::sin(r) * kAmplitude + kOffset;
    }
    return v;
}

std::array<std::int8_t, kInsightLanes> quantised_delta(const InsightVector& current,
                                                       const InsightVector& mean) noexcept {
    std::array<std::int8_t, kInsightLanes> out{};
    for (std::size_t i = 0; i < kInsightLanes; ++i) {
        float q = (current[i] - mean[i]) * kQuantScale;
        if (q < kQuantLow) {
            q = kQuantLow;
        } else if (q > kQuantHigh) {
            q = kQuantHigh;
        } else if (std::isnan(q)) {
            // Only possible with non-finite input lanes, which insight_vector
            // never makes; converting a NaN to an integer is undefined.
            q = 0.0f;
        }
        // The float-to-integer conversion truncates toward zero.
        out[i] = static_cast<std::int8_t>(q);
    }
    return out;
}

double coherence(const InsightVector& current, const InsightVector& mean) noexcept {
    double dot = 0.0;
    double ncur = 0.0;
    double nmean = 0.0;
    for (std::size_t j = 0; j < kInsightLanes; ++j) {
        const double m = mean[j];
        const double v = current[j];
        dot += m * v;
        ncur += v * v;
        nmean += m * m;
    }
    if (!(ncur > 0.0 && nmean > 0.0)) {
        return kCoherenceFallback;
    }
    double c = dot / (std::sqrt(nmean) * std::sqrt(ncur));
    // Comparisons with NaN are false, so a NaN passes through unchanged.
    if (c < 0.0) {
        c = 0.0;
    }
    if (c > 1.0) {
        c = 1.0;
    }
    return c;
}

bool insight_gate_open(double coherence_score, bool auto_insight, double threshold) noexcept {
    return auto_insight && coherence_score >= threshold;
}

std::string CoreInsight::to_json() const {
    std::string out;
    // The longest text (64 three-digit negative lanes, 17-digit scores) stays
    // below 512 bytes.
    out.reserve(512);
    out += "{\"lesson\":";
    append_json_string(out, lesson);
    out += ",\"confidence\":";
    append_json_float(out, confidence);
    out += ",\"delta\":";
    if (!delta) {
        out += "null";
    } else {
        out += "{\"vector\":[";
        for (std::size_t i = 0; i < kInsightLanes; ++i) {
            if (i != 0) {
                out += ',';
            }
            append_json_int(out, delta->vector[i]);
        }
        out += "],\"confidence\":";
        append_json_float(out, delta->confidence);
        out += ",\"delta_norm\":";
        append_json_float(out, delta->delta_norm);
        out += '}';
    }
    out += '}';
    return out;
}

ScoringState::ScoringState() : ring_(new InsightVector[kHistoryLimit]) {
    // Build the shared tables now rather than inside the first capture.
    (void)decay_tables();
}

const InsightVector& ScoringState::history_entry(std::size_t k) const noexcept {
    return ring_[(front_ + k) % kHistoryLimit];
}

void ScoringState::push(const InsightVector& v) noexcept {
    // Step the front back by one slot; once the ring holds history_limit_
    // entries this slot is the oldest one, which is thereby dropped.
    front_ = (front_ == 0 ? kHistoryLimit : front_) - 1;
    ring_[front_] = v;
    if (size_ < history_limit_) {
        ++size_;
    }
}

InsightVector ScoringState::weighted_mean() const noexcept {
    const DecayTables& tables = decay_tables();
    const std::size_t n = size_;
    InsightVector m{};

    // Walks the ring from the newest entry to the oldest (the order of the
    // sums matters), in at most two contiguous runs of slots.
    const std::size_t first_run = std::min(n, kHistoryLimit - front_);
    const InsightVector* const first = ring_.get() + front_;
    const InsightVector* const second = ring_.get();

    if (n == kHistoryLimit) {
        const float* const w = tables.full_weights.data();
        for (std::size_t k = 0; k < first_run; ++k) {
            add_weighted(m, first[k], w[k]);
        }
        for (std::size_t k = first_run; k < n; ++k) {
            add_weighted(m, second[k - first_run], w[k]);
        }
    } else {
        const float s = tables.series[n];
        for (std::size_t k = 0; k < first_run; ++k) {
            add_weighted(m, first[k], tables.power[k] / s);
        }
        for (std::size_t k = first_run; k < n; ++k) {
            add_weighted(m, second[k - first_run], tables.power[k] / s);
        }
    }
    return m;
}

Assessment ScoringState::assess(std::uint64_t length, bool auto_insight) {
    const InsightVector v = insight_vector(length);
    push(v);
    // The current vector is the newest entry, so the history is never empty.
    const InsightVector m = weighted_mean();
    const double c = coherence(v, m);

    Assessment result{c, 0.0, std::nullopt};
    if (insight_gate_open(c, auto_insight, coherence_threshold_)) {
        InsightDelta delta{quantised_delta(v, m), c, kDeltaNorm};
        result.core_insight = CoreInsight{std::string(kLesson), c, delta};
    }

    // Two products, each rounded, then one rounded sum.
    reputation_ = c * kReputationNewWeight + reputation_ * kReputationKeepWeight;
    result.reputation_scalar = reputation_;
    return result;
}

}  // namespace vorm_zel
