// The floor of a capture, primitive by primitive, measured the way the module
// calls them, next to the module's own pieces (scoring, sealing, log line,
// append) so that each can be read as a ratio to what it is made of.
//
// benchmarks/bench_capture.py runs this binary with the seal-text and
// log-line sizes of its inputs and sums the medians into the floor:
//
//   vorm_zel_bench_primitives --seal-bytes=150,2100,65600 --line-bytes=1200,3200,67000
//       [Google Benchmark flags, e.g. --benchmark_format=json]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/key_file.h"
#include "engine/log_writer.h"
#include "engine/scoring.h"
#include "engine/seal.h"
#include "json/log_line.h"

namespace {

using namespace vorm_zel;

std::vector<long> g_seal_bytes = {150, 2100, 65600};
std::vector<long> g_line_bytes = {1200, 3200, 67000};
std::string g_log_dir = "/tmp";

// "--name=1,2,3" -> {1, 2, 3}; false when the argument is not this flag.
bool parse_sizes(std::string_view arg, std::string_view name, std::vector<long>& out) {
    if (arg.substr(0, name.size()) != name) {
        return false;
    }
    out.clear();
    const std::string rest(arg.substr(name.size()));
    const char* p = rest.c_str();
    while (*p != '\0') {
        char* end = nullptr;
        const long value = std::strtol(p, &end, 10);
        if (end == p || value <= 0) {
            std::fprintf(stderr, "bad size list: %s\n", rest.c_str());
            std::exit(2);
        }
        out.push_back(value);
        p = (*end == ',') ? end + 1 : end;
    }
    return true;
}

// --- The floor --------------------------------------------------------------

// 64 single-precision sines of the phases the insight vector takes: fmodf to
// the phase period, then sinf, as the module calls them.
void BM_Floor_Sinf64(benchmark::State& state) {
    float length = 100.0f;
    for (auto _ : state) {
        float acc = 0.0f;
        for (int i = 0; i < 64; ++i) {
            const float x = static_cast<float>(i) * 0.37f + length;
            acc = acc + std::sin(std::fmod(x, 6.28f));
        }
        benchmark::DoNotOptimize(acc);
        length = length + 1.0f;
    }
}

// The 501 decay powers a history of 500 needs. The module takes them once per
// process, so they are reported but not part of the per-capture floor.
void BM_OncePerProcess_Powf501(benchmark::State& state) {
    for (auto _ : state) {
        float acc = 0.0f;
        for (int k = 0; k <= 500; ++k) {
            acc = acc + std::pow(0.98f, static_cast<float>(k));
        }
        benchmark::DoNotOptimize(acc);
    }
}

// 500 x 64 single-precision multiply-adds, each rounded on its own, as a
// plain loop the compiler may vectorise across lanes.
void BM_Floor_MultiplyAdd500x64(benchmark::State& state) {
    std::vector<float> history(500 * 64);
    std::vector<float> weights(500);
    for (std::size_t k = 0; k < history.size(); ++k) {
        history[k] = static_cast<float>(k % 97) * 0.01f;
    }
    for (std::size_t k = 0; k < weights.size(); ++k) {
        weights[k] = 0.002f + static_cast<float>(k) * 1e-6f;
    }
    for (auto _ : state) {
        alignas(32) float mean[64] = {};
        for (std::size_t k = 0; k < 500; ++k) {
            const float w = weights[k];
            const float* h = &history[k * 64];
            for (std::size_t lane = 0; lane < 64; ++lane) {
                mean[lane] = mean[lane] + h[lane] * w;
            }
        }
        benchmark::DoNotOptimize(mean);
        benchmark::ClobberMemory();
    }
}

void BM_Floor_Blake3(benchmark::State& state) {
    const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(blake3_digest(bytes));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

SigningKey make_key() {
    Result<SecretSeed> seed = random_seed();
    if (!seed) {
        std::fputs("no random seed\n", stderr);
        std::exit(1);
    }
    return SigningKey(seed.value());
}

void BM_Floor_Ed25519Sign32(benchmark::State& state) {
    const SigningKey key = make_key();
    Digest message = genesis_root();
    Signature signature;
    for (auto _ : state) {
        if (!key.sign(message, signature)) {
            state.SkipWithError("sign failed");
            break;
        }
        message[0] = signature[0];
        benchmark::DoNotOptimize(signature);
    }
}

// Appends lines of state.range(0) bytes to a scratch file with `append`
// (false on failure), truncating it now and then outside the timing so that
// it does not grow without bound.
template <class Append>
void time_appends(benchmark::State& state, const char* file_name, Append append) {
    const std::string path = g_log_dir + "/" + file_name;
    std::string line(static_cast<std::size_t>(state.range(0)) - 1, 'x');
    line += '\n';
    ::unlink(path.c_str());
    long written = 0;
    for (auto _ : state) {
        if (!append(path, line)) {
            state.SkipWithError("append failed");
            break;
        }
        if (++written == 100000) {
            state.PauseTiming();
            (void)::truncate(path.c_str(), 0);
            written = 0;
            state.ResumeTiming();
        }
    }
    ::unlink(path.c_str());
}

// open(O_WRONLY|O_APPEND|O_CREAT) + one write of the line + close, the system
// calls one append makes.
void BM_Floor_OpenAppendClose(benchmark::State& state) {
    time_appends(state, "vorm-zel-bench-floor.log", [](const std::string& path, const std::string& line) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        const bool whole =
            fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        if (fd >= 0) {
            ::close(fd);
        }
        return whole;
    });
}

// --- The module's own pieces ------------------------------------------------

void BM_Module_Assess(benchmark::State& state) {
    ScoringState scoring;
    for (int i = 0; i < 600; ++i) {  // steady state: a full history
        (void)scoring.assess(static_cast<std::uint64_t>(100 + i % 7), true);
    }
    std::uint64_t length = 100;
    for (auto _ : state) {
        benchmark::DoNotOptimize(scoring.assess(length, true));
        length = 100 + (length + 1) % 7;
    }
}

void BM_Module_SealPayload(benchmark::State& state) {
    const SigningKey key = make_key();
    const std::string prompt(static_cast<std::size_t>(state.range(0)), 'x');
    const SealInputs inputs{"triage-agent/v3",         "eu-west-1/worker-2",
                            "resolve customer ticket", prompt,
                            0.9999999999999999,        0.9975};
    for (auto _ : state) {
        Result<Seal> seal = seal_payload(inputs, key);
        benchmark::DoNotOptimize(seal.value().digest);
    }
}

void BM_Module_ChainStep(benchmark::State& state) {
    Digest root = genesis_root();
    const Digest payload = genesis_root();
    for (auto _ : state) {
        benchmark::DoNotOptimize(advance_chain_root(root, payload));
    }
}

SealedRecord record_with_texts(std::size_t text_bytes) {
    SealedRecord record;
    record.id = "zel_7cdc3d24-90af-4a70-a95b-0132686b29ac";
    record.timestamp = "2026-12-09T22:13:21.003073700+00:00";
    record.hash = std::string(64, 'a');
    record.merkle_root = std::string(64, 'b');
    record.coherence_score = 0.9370797634643777;
    record.reputation_scalar = 0.51;
    record.ppp_json = R"({"provenance":"triage-agent/v3","place":"eu-west-1","purpose":"triage"})";
    record.ctx_json = R"({"ticket": 4711, "customer": "Ada", "channel": "email"})";
    // The same text as bench_capture.py: a quote or a tab every 40 bytes or so.
    const std::string sentence =
        "Ticket 4711 from Ada about billing: \"charged twice\" for order #1234, please "
        "refund.\tThe customer wrote again on Monday. ";
    std::string body;
    while (body.size() < text_bytes) {
        body += sentence;
    }
    body.resize(text_bytes);
    record.prompt = body.substr(0, text_bytes * 6 / 10);
    record.reasoning_trace_json = R"([{"step": "classify", "topic": "billing"}])";
    record.output = body.substr(record.prompt.size());
    record.human_delta_chain_json =
        R"({"chain_id":"c","agent_decision_ref":"d","resolved":true,"terminal_node":"t"})";
    return record;
}

void BM_Module_LogLine(benchmark::State& state) {
    const SealedRecord record = record_with_texts(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(log_line(record));
    }
}

void BM_Module_AppendLogLine(benchmark::State& state) {
    time_appends(state, "vorm-zel-bench-module.log",
                 [](const std::string& path, const std::string& line) {
                     return append_log_line(path, line) == 0;
                 });
}

void register_all() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("floor/sinf_fmodf_x64", BM_Floor_Sinf64);
    RegisterBenchmark("floor/multiply_add_500x64", BM_Floor_MultiplyAdd500x64);
    RegisterBenchmark("floor/ed25519_sign_32", BM_Floor_Ed25519Sign32);
    RegisterBenchmark("floor/blake3_chain_text", BM_Floor_Blake3)->Arg(144);
    for (const long n : g_seal_bytes) {
        RegisterBenchmark("floor/blake3_seal_text", BM_Floor_Blake3)->Arg(n);
    }
    for (const long n : g_line_bytes) {
        RegisterBenchmark("floor/open_append_close", BM_Floor_OpenAppendClose)->Arg(n);
    }
    RegisterBenchmark("once/powf_x501", BM_OncePerProcess_Powf501);
    RegisterBenchmark("module/assess", BM_Module_Assess);
    RegisterBenchmark("module/chain_step", BM_Module_ChainStep);
    for (const long n : g_seal_bytes) {
        RegisterBenchmark("module/seal_payload", BM_Module_SealPayload)->Arg(n);
    }
    for (const long n : g_line_bytes) {
        RegisterBenchmark("module/log_line", BM_Module_LogLine)->Arg(n);
        RegisterBenchmark("module/append_log_line", BM_Module_AppendLogLine)->Arg(n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) {
        return 1;
    }
    // Our own flags first; the rest belongs to Google Benchmark.
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i > 0 && (parse_sizes(arg, "--seal-bytes=", g_seal_bytes) ||
                      parse_sizes(arg, "--line-bytes=", g_line_bytes))) {
            continue;
        }
        if (i > 0 && arg.substr(0, 10) == "--log-dir=") {
            g_log_dir = std::string(arg.substr(10));
            continue;
        }
        rest.push_back(argv[i]);
    }
    int rest_count = static_cast<int>(rest.size());
    register_all();
    benchmark::Initialize(&rest_count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
