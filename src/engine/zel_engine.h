// The native state of one engine: everything successive captures share.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/result.h"
#include "engine/scoring.h"
#include "engine/seal.h"
#include "engine/signing_key.h"
#include "json/line_buffer.h"

namespace vorm_zel {

// The log path of an engine that writes no file and keeps an ephemeral key.
inline constexpr std::string_view kInMemoryPath = ":memory:";

// The largest log-line buffer an engine keeps between captures.
inline constexpr std::size_t kKeptLineBufferBytes = std::size_t{1} << 20;

struct ZELEngine {
    static constexpr char kClassName[] = "ZELEngine";

    // history (one block of 500 vectors), reputation, coherence_threshold and
    // history_limit live together in the scoring state.
    ScoringState scoring;
    std::string wal_path;
    SigningKey signing_key;  // wipes its seed when the engine goes
    Digest chain_root;
    // The buffer the last log line was built in, kept for the next one: a
    // fresh allocation for every large line would, with the inputs' own
    // copies, keep taking new heap pages from the system and handing them
    // back, and filling each before use. A buffer grown past
    // kKeptLineBufferBytes is released after use.
    LineBuffer line_buffer;

    [[nodiscard]] bool keeps_log() const noexcept { return wal_path != kInMemoryPath; }
};

struct OpenedEngine {
    ZELEngine engine;
    // Why the existing key file it read is unsafe, or empty (see read_seed).
    std::string key_file_concern;
};

// A new engine on wal_path: the log touched (created when missing), the seed
// loaded from or created in the key file (fresh and unsaved for ":memory:"),
// the genesis root and an empty history.
[[nodiscard]] Result<OpenedEngine> open_engine(std::string wal_path);

}  // namespace vorm_zel
