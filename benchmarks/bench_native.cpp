// Native cost of the pieces of a capture, side by side with the primitives
// they are built from, measured in one run. Read the ratios: absolute times
// move with the machine's load.
//
//   cmake -S . -B build/bench -DVORM_ZEL_BUILD_MODULE=OFF -DVORM_ZEL_BUILD_BENCHMARKS=ON
//   cmake --build build/bench && build/bench/vorm_zel_bench_native
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/json_writer.h"
#include "engine/key_file.h"
#include "engine/log_line.h"
#include "engine/scoring.h"
#include "engine/seal.h"

namespace {

using Clock = std::chrono::steady_clock;
volatile float g_sink_float;
volatile std::uint8_t g_sink_byte;

// Best of 7 runs of n calls, in nanoseconds per call.
template <class F>
double per_call(int n, F&& f) {
    double best = 1e300;
    for (int run = 0; run < 7; ++run) {
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i) {
            f(i);
        }
        const double ns =
            std::chrono::duration<double, std::nano>(Clock::now() - start).count() / n;
        best = std::min(best, ns);
    }
    return best;
}

void row(const char* name, double ns) {
    std::printf("%-48s %10.1f ns\n", name, ns);
}

}  // namespace

int main() {
    using namespace vorm_zel;
    if (sodium_init() < 0) {
        return 1;
    }

    // Steady state: a full history of 500 vectors.
    ScoringState state;
    for (int i = 0; i < 600; ++i) {
        (void)state.assess(static_cast<std::uint64_t>(100 + i % 7), true);
    }
    const double assess = per_call(20000, [&](int i) {
        const Assessment a = state.assess(static_cast<std::uint64_t>(100 + i % 7), false);
        g_sink_float = static_cast<float>(a.coherence_score);
    });

    const double vector = per_call(20000, [&](int i) {
        g_sink_float = insight_vector(static_cast<std::uint64_t>(100 + i % 7))[5];
    });

    // The primitives scoring is made of: 64 sinf and 64 fmodf, 500 x 64
    // multiply-adds whose per-lane order is fixed.
    const double sines = per_call(20000, [&](int i) {
        float acc = 0.0f;
        for (int k = 0; k < 64; ++k) {
            const float x = static_cast<float>(k) * 0.37f + static_cast<float>(100 + i % 7);
            acc = acc + std::sin(std::fmod(x, 6.28f));
        }
        g_sink_float = acc;
    });
    std::vector<float> history(500 * 64);
    std::vector<float> weights(500);
    for (std::size_t k = 0; k < history.size(); ++k) {
        history[k] = static_cast<float>(k % 97) * 0.01f;
    }
    for (std::size_t k = 0; k < weights.size(); ++k) {
        weights[k] = 0.002f + static_cast<float>(k) * 1e-6f;
    }
    const double multiply_adds = per_call(20000, [&](int) {
        float mean[64] = {};
        for (std::size_t k = 0; k < 500; ++k) {
            const float w = weights[k];
            const float* h = &history[k * 64];
            for (std::size_t lane = 0; lane < 64; ++lane) {
                mean[lane] = mean[lane] + h[lane] * w;
            }
        }
        for (const float lane : mean) {  // every lane is used, so none is optimised away
            g_sink_float = lane;
        }
    });

    // Sealing: BLAKE3 of the seal text and of the chain text, one signature.
    Outcome<SecretSeed> seed = random_seed();
    if (!seed) {
        return 1;
    }
    const SigningKey key(seed.value());
    const std::string prompt(80, 'x');
    const SealInputs inputs{"triage-agent/v3",         "eu-west-1/worker-2",
                            "resolve customer ticket", prompt,
                            0.9999999999999999,        0.9975};
    const double seal = per_call(5000, [&](int) {
        Outcome<Seal> s = seal_payload(inputs, key);
        g_sink_byte = s.value().digest[0];
    });
    Digest root = genesis_root();
    const double chain =
        per_call(20000, [&](int) { g_sink_byte = advance_chain_root(root, root)[0]; });
    const double sign = per_call(5000, [&](int) {
        Signature signature;
        (void)key.sign(root, signature);
        g_sink_byte = signature[0];
    });
    const double hash = per_call(20000, [&](int) {
        g_sink_byte = blake3_digest(
            std::span(reinterpret_cast<const std::uint8_t*>(prompt.data()), prompt.size()))[0];
    });

    // The log line of a typical record.
    SealedRecord record;
    record.id = "zel_7cdc3d24-90af-4a70-a95b-0132686b29ac";
    record.timestamp = "2026-12-09T22:13:21.003073700+00:00";
    record.hash = std::string(64, 'a');
    record.merkle_root = std::string(64, 'b');
    record.coherence_score = 0.9370797634643777;
    record.reputation_scalar = 0.51;
    record.ppp_json = R"({"provenance":"triage-agent/v3","place":"eu-west-1","purpose":"triage"})";
    record.ctx_json = R"({"ticket": 4711, "customer": "Ada", "channel": "email"})";
    record.prompt = prompt;
    record.reasoning_trace_json = R"([{"step": "classify", "topic": "billing"}])";
    record.output = "Decision: refund the duplicate charge and notify finance.";
    record.human_delta_chain_json =
        R"({"chain_id":"c","agent_decision_ref":"d","resolved":true,"terminal_node":"t"})";
    const double line = per_call(
        20000, [&](int) { g_sink_byte = static_cast<std::uint8_t>(log_line(record).size()); });

    row("assess (full history)", assess);
    row("  insight_vector", vector);
    row("  64 sinf + 64 fmodf", sines);
    row("  500 x 64 single multiply-adds", multiply_adds);
    row("seal_payload (BLAKE3 + Ed25519 sign)", seal);
    row("  Ed25519 sign of 32 bytes", sign);
    row("  BLAKE3 of 80 bytes", hash);
    row("advance_chain_root (BLAKE3 of 144 bytes)", chain);
    row("log_line build", line);
    std::printf("\nassess / (sinf + fmodf + multiply-adds)        %6.2f x\n",
                assess / (sines + multiply_adds));
    std::printf("seal_payload / (sign + BLAKE3)         %6.2f x\n", seal / (sign + hash));
    return 0;
}
