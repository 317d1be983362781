#include "engine/scoring.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/cpu_features.h"

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

// Eight single-precision lanes. Arithmetic on it is lane by lane with the
// ordinary IEEE rounding of each multiply and add (never fused: the build
// uses -ffp-contract=off), i.e. exactly what the scalar expressions do.
typedef float Lanes8 __attribute__((vector_size(32)));
// The helpers below pass Lanes8 by value but are always inlined, so no call
// ever uses the vector ABI that GCC warns about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
constexpr std::size_t kLanesPerVector = 8;

// Always inlined, so that each caller compiles it for its own target.
[[gnu::always_inline]] inline Lanes8 load8(const float* p) noexcept {
    Lanes8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store8(float* p, Lanes8 v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// mean[i] = mean[i] + h_k[i] * w[k] for k = 0, 1, ... in order, each product
// and each sum rounded on its own. Every lane's sum is a chain of dependent
// adds, so the speed comes from running many lanes' chains side by side:
// Vectors accumulators of eight lanes each, kept in registers for a whole
// pass over the history. Lanes are independent, so doing them a block at a
// time keeps the order of every lane's sum and hence its bits.
template <std::size_t Vectors>
[[gnu::always_inline]] inline void accumulate_lanes(float* mean, const InsightVector* entries,
                                                    std::size_t count,
                                                    const float* weights) noexcept {
    constexpr std::size_t kLanesPerPass = Vectors * kLanesPerVector;
    static_assert(kInsightLanes % kLanesPerPass == 0);
    for (std::size_t lane0 = 0; lane0 < kInsightLanes; lane0 += kLanesPerPass) {
        Lanes8 acc[Vectors];
        for (std::size_t j = 0; j < Vectors; ++j) {
            acc[j] = load8(mean + lane0 + j * kLanesPerVector);
        }
        for (std::size_t k = 0; k < count; ++k) {
            const float w = weights[k];
            const Lanes8 wv = {w, w, w, w, w, w, w, w};
            const float* h = entries[k].data() + lane0;
            for (std::size_t j = 0; j < Vectors; ++j) {
                acc[j] = acc[j] + load8(h + j * kLanesPerVector) * wv;
            }
        }
        for (std::size_t j = 0; j < Vectors; ++j) {
            store8(mean + lane0 + j * kLanesPerVector, acc[j]);
        }
    }
}

using AccumulateFn = void (*)(float*, const InsightVector*, std::size_t, const float*) noexcept;

#if defined(__x86_64__) || defined(__i386__)
#define VORM_ZEL_HAS_AVX2_KERNEL 1
// AVX2: all 64 lanes in eight ymm registers, one pass.
__attribute__((target("avx2"))) void accumulate_avx2(float* mean, const InsightVector* entries,
                                                     std::size_t count,
                                                     const float* weights) noexcept {
    accumulate_lanes<8>(mean, entries, count, weights);
}
#endif

// Baseline x86-64 (SSE2) and other targets: 32 lanes per pass, which fills
// eight 16-byte registers without spilling.
void accumulate_baseline(float* mean, const InsightVector* entries, std::size_t count,
                         const float* weights) noexcept {
    accumulate_lanes<4>(mean, entries, count, weights);
}

#pragma GCC diagnostic pop

AccumulateFn g_accumulate = nullptr;  // chosen on first use, under the GIL

void accumulate_run(float* mean, const InsightVector* entries, std::size_t count,
                    const float* weights) noexcept {
    if (g_accumulate == nullptr) {
        select_mean_kernel(cpu_has_avx2() ? MeanKernel::avx2 : MeanKernel::baseline);
    }
    g_accumulate(mean, entries, count, weights);
}

}  // namespace

bool mean_kernel_supported(MeanKernel kernel) noexcept {
    return kernel == MeanKernel::baseline || cpu_has_avx2();
}

void select_mean_kernel(MeanKernel kernel) noexcept {
    g_accumulate = accumulate_baseline;
#ifdef VORM_ZEL_HAS_AVX2_KERNEL
    if (kernel == MeanKernel::avx2 && cpu_has_avx2()) {
        g_accumulate = accumulate_avx2;
    }
#endif
}

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

    // Weights of this history size: cached for the full history, else
    // powf(0.98, k) / S(n) rounded to single, exactly as computed inline.
    std::array<float, kHistoryLimit> scratch;
    const float* weights = tables.full_weights.data();
    if (n != kHistoryLimit) {
        const float s = tables.series[n];
        for (std::size_t k = 0; k < n; ++k) {
            scratch[k] = tables.power[k] / s;
        }
        weights = scratch.data();
    }
    accumulate_run(m.data(), first, first_run, weights);
    accumulate_run(m.data(), second, n - first_run, weights + first_run);
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
