// The sealed result of one capture, built once as a native value and moved
// into its host object; never changed afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vorm_zel {

inline constexpr std::size_t kSignatureBytes = 64;

struct SealedRecord {
    static constexpr char kClassName[] = "SealedRecord";

    std::string id;
    std::string timestamp;
    std::uint64_t monotonic_nanos = 0;
    std::string hash;
    std::array<std::uint8_t, kSignatureBytes> signature{};
    std::string merkle_root;
    double coherence_score = 0.0;
    double reputation_scalar = 0.0;
    std::string ppp_json;
    std::string ctx_json;
    std::string prompt;
    std::string reasoning_trace_json;
    std::string output;
    std::string human_delta_chain_json;
    std::optional<std::string> core_insight_json;
};

}  // namespace vorm_zel
