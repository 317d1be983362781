// The native state of one engine: everything successive captures share.
#pragma once

#include <string>

#include "engine/scoring.h"
#include "engine/seal.h"
#include "engine/signing_key.h"

namespace vorm_zel {

struct ZELEngine {
    static constexpr char kClassName[] = "ZELEngine";

    // history (one block of 500 vectors), reputation, coherence_threshold and
    // history_limit live together in the scoring state.
    ScoringState scoring;
    std::string wal_path;
    SigningKey signing_key;  // wipes its seed when the engine goes
    Digest chain_root;
};

}  // namespace vorm_zel
