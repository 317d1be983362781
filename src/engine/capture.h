// The capture pipeline: one decision in, one sealed record out, with the
// engine's history, reputation and chain root advanced and the record's
// line appended to the log. Plain native values only; the host adapter
// (zel_engine_type.cpp) converts the host's arguments into a Decision.
#pragma once

#include <string>

#include "common/result.h"
#include "engine/scoring.h"
#include "engine/zel_engine.h"
#include "records/human_delta_chain.h"
#include "records/ppp_triplet.h"
#include "records/sealed_record.h"

namespace vorm_zel {

struct Decision {
    std::string ctx_json;              // the host's serialisation of ctx
    std::string prompt;
    std::string reasoning_trace_json;  // the host's serialisation of the trace
    std::string output;
    const PPPTriplet& ppp_triplet;
    const HumanDeltaChain& human_delta_chain;
    bool auto_insight = true;
};

struct Captured {
    SealedRecord record;
    // 0 when the line was appended or the engine keeps no log; else the errno
    // of the failed open or write. The record is valid either way.
    int log_error = 0;
};

// Scores the decision, then seals it (seal_decision). Once scoring has run,
// the engine's state stays advanced whatever fails afterwards.
[[nodiscard]] Result<Captured> capture(ZELEngine& engine, Decision decision);

// The capture after scoring: the seal over the decision and the assessment's
// scores, the chain step, the clock readings and the id, the record, and its
// log line appended.
[[nodiscard]] Result<Captured> seal_decision(ZELEngine& engine, Decision decision,
                                             Assessment assessment);

}  // namespace vorm_zel
