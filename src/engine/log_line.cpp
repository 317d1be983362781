#include "engine/log_line.h"

#include "common/json_writer.h"

namespace vorm_zel {
namespace {

// Fixed part of a line: keys, punctuation, 64 signature numbers, two numbers.
constexpr std::size_t kFixedBytes = 640;

void member(std::string& out, const char* key_with_punctuation, const std::string& text) {
    out += key_with_punctuation;
    append_json_string(out, text);
}

}  // namespace

std::string log_line(const SealedRecord& r) {
    std::string out;
    // Escaping rarely grows a text much; one reservation covers the usual line.
    const std::size_t texts = r.id.size() + r.timestamp.size() + r.hash.size() +
                              r.merkle_root.size() + r.ppp_json.size() + r.ctx_json.size() +
                              r.prompt.size() + r.reasoning_trace_json.size() + r.output.size() +
                              r.human_delta_chain_json.size() +
                              (r.core_insight_json ? r.core_insight_json->size() : 0);
    out.reserve(kFixedBytes + texts + texts / 8);

    member(out, "{\"id\":", r.id);
    member(out, ",\"timestamp\":", r.timestamp);
    out += ",\"monotonic_nanos\":";
    append_json_uint(out, r.monotonic_nanos);
    member(out, ",\"hash\":", r.hash);
    out += ",\"signature\":[";
    for (std::size_t i = 0; i < r.signature.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        append_json_uint(out, r.signature[i]);
    }
    out += ']';
    member(out, ",\"merkle_root\":", r.merkle_root);
    out += ",\"coherence_score\":";
    append_json_float(out, r.coherence_score);
    out += ",\"reputation_scalar\":";
    append_json_float(out, r.reputation_scalar);
    member(out, ",\"ppp_json\":", r.ppp_json);
    member(out, ",\"ctx_json\":", r.ctx_json);
    member(out, ",\"prompt\":", r.prompt);
    member(out, ",\"reasoning_trace_json\":", r.reasoning_trace_json);
    member(out, ",\"output\":", r.output);
    member(out, ",\"human_delta_chain_json\":", r.human_delta_chain_json);
    out += ",\"core_insight_json\":";
    if (r.core_insight_json) {
        append_json_string(out, *r.core_insight_json);
    } else {
        out += "null";
    }
    out += "}\n";
    return out;
}

}  // namespace vorm_zel
