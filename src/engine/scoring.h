// Insight scoring: the 64-lane insight vector of a decision, the engine's
// rolling history of recent vectors, the coherence of a decision with the
// recency-weighted history mean, the moving reputation and the core insight.
//
// Every single-precision multiply and add is rounded on its own; the build
// uses -ffp-contract=off so the compiler never fuses them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vorm_zel {

inline constexpr std::size_t kInsightLanes = 64;
inline constexpr std::size_t kHistoryLimit = 500;
inline constexpr double kCoherenceThreshold = 0.92;
inline constexpr double kInitialReputation = 0.5;

using InsightVector = std::array<float, kInsightLanes>;

struct InsightDelta {
    std::array<std::int8_t, kInsightLanes> vector;
    double confidence;
    double delta_norm;
};

struct CoreInsight {
    std::string lesson;
    double confidence;
    std::optional<InsightDelta> delta;
};

struct Assessment {
    double coherence_score;
    double reputation_scalar;
    std::optional<CoreInsight> core_insight;
};

// Pure: the insight vector of a decision whose prompt and output together are
// `length` UTF-8 bytes long.
[[nodiscard]] InsightVector insight_vector(std::uint64_t length) noexcept;

// Quantises (current - mean) * 127 into the delta vector, truncating toward
// zero after clamping to [-128, 127].
[[nodiscard]] std::array<std::int8_t, kInsightLanes> quantised_delta(
    const InsightVector& current, const InsightVector& mean) noexcept;

// Cosine similarity of `current` and `mean` in double precision, summed over
// the lanes in index order and clamped to [0, 1] (a NaN stays NaN). Either
// vector having a zero sum of squares gives 0.5.
[[nodiscard]] double coherence(const InsightVector& current, const InsightVector& mean) noexcept;

// Whether a capture with this coherence gets a core insight: only when the
// caller allows it and the coherence reaches the threshold (inclusive). A NaN
// coherence never opens the gate.
[[nodiscard]] bool insight_gate_open(double coherence_score, bool auto_insight,
                                     double threshold = kCoherenceThreshold) noexcept;

// The multiply-add kernel of the history mean. All kernels give identical
// bits (same per-lane operations in the same order, only wider registers);
// the fastest one the CPU supports is picked on first use. Tests select each
// in turn to prove that.
enum class MeanKernel { baseline, avx2 };
[[nodiscard]] bool mean_kernel_supported(MeanKernel kernel) noexcept;
void select_mean_kernel(MeanKernel kernel) noexcept;

// The engine's scoring state: history (newest first, at most 500 entries,
// held in one block reserved at construction), reputation, threshold, limit.
class ScoringState {
public:
    ScoringState();  // throws std::bad_alloc if the history block cannot be had

    // Pushes the vector of `length`, scores it against the history and moves
    // the reputation. Never fails.
    Assessment assess(std::uint64_t length, bool auto_insight);

    [[nodiscard]] double reputation() const noexcept { return reputation_; }
    [[nodiscard]] std::size_t history_size() const noexcept { return size_; }
    // k = 0 is the newest entry; k must be below history_size().
    [[nodiscard]] const InsightVector& history_entry(std::size_t k) const noexcept;

private:
    // Adds `v` as the newest entry, overwriting the oldest once the ring is full.
    void push(const InsightVector& v) noexcept;
    // Recency-weighted mean of the current history, newest entry first.
    [[nodiscard]] InsightVector weighted_mean() const noexcept;

    // One block of kHistoryLimit slots; entry k lives in slot
    // (front_ + k) % kHistoryLimit.
    std::unique_ptr<InsightVector[]> ring_;
    std::size_t front_ = 0;  // slot of the newest entry
    std::size_t size_ = 0;
    double reputation_ = kInitialReputation;
    double coherence_threshold_ = kCoherenceThreshold;
    std::size_t history_limit_ = kHistoryLimit;
};

}  // namespace vorm_zel
