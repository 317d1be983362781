#include "json/core_insight.h"

#include "json/writer.h"

namespace vorm_zel {

std::string to_json(const CoreInsight& insight) {
    std::string out;
    // The longest text (64 three-digit negative lanes, 17-digit scores) stays
    // below 512 bytes.
    out.reserve(512);
    out += "{\"lesson\":";
    append_json_string(out, insight.lesson);
    out += ",\"confidence\":";
    append_json_float(out, insight.confidence);
    out += ",\"delta\":";
    if (!insight.delta) {
        out += "null";
    } else {
        const InsightDelta& delta = *insight.delta;
        out += "{\"vector\":[";
        for (std::size_t i = 0; i < kInsightLanes; ++i) {
            if (i != 0) {
                out += ',';
            }
            append_json_int(out, delta.vector[i]);
        }
        out += "],\"confidence\":";
        append_json_float(out, delta.confidence);
        out += ",\"delta_norm\":";
        append_json_float(out, delta.delta_norm);
        out += '}';
    }
    out += '}';
    return out;
}

}  // namespace vorm_zel
