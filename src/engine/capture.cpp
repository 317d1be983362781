#include "engine/capture.h"

#include "common/hex.h"
#include "common/uuid_text.h"
#include "engine/clock.h"
#include "engine/log_writer.h"
#include "engine/seal.h"
#include "json/core_insight.h"
#include "json/log_line.h"
#include "json/records.h"

namespace vorm_zel {

Result<Captured> capture(ZELEngine& engine, Decision decision) {
    // Only the byte lengths of prompt and output count.
    Assessment assessment = engine.scoring.assess(
        decision.prompt.size() + decision.output.size(), decision.auto_insight);
    return seal_decision(engine, std::move(decision), std::move(assessment));
}

Result<Captured> seal_decision(ZELEngine& engine, Decision decision, Assessment assessment) {
    const PPPTriplet& ppp = decision.ppp_triplet;
    VZ_TRY_ASSIGN(const Seal seal,
                  seal_payload({ppp.provenance, ppp.place, ppp.purpose, decision.prompt,
                                assessment.coherence_score, assessment.reputation_scalar},
                               engine.signing_key));
    advance_chain_root(engine.chain_root, seal.digest);

    Captured captured;
    SealedRecord& record = captured.record;
    record.monotonic_nanos = monotonic_gap_nanos();
    VZ_TRY_ASSIGN(record.id, random_uuid_text("zel_"));
    VZ_TRY_ASSIGN(record.timestamp, rfc3339_now());
    record.hash = to_hex(seal.digest);
    record.signature = seal.signature;
    record.merkle_root = to_hex(engine.chain_root);
    record.coherence_score = assessment.coherence_score;
    record.reputation_scalar = assessment.reputation_scalar;
    record.ppp_json = to_json(ppp);
    record.ctx_json = std::move(decision.ctx_json);
    record.prompt = std::move(decision.prompt);
    record.reasoning_trace_json = std::move(decision.reasoning_trace_json);
    record.output = std::move(decision.output);
    record.human_delta_chain_json = to_json(decision.human_delta_chain);
    if (assessment.core_insight) {
        record.core_insight_json = to_json(*assessment.core_insight);
    }

    if (engine.keeps_log()) {
        write_log_line(engine.line_buffer, record);
        captured.log_error = append_log_line(engine.wal_path, engine.line_buffer.view());
        if (engine.line_buffer.capacity() > kKeptLineBufferBytes) {
            engine.line_buffer.release();
        }
    }
    return captured;
}

}  // namespace vorm_zel
