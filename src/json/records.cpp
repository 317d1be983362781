#include "json/records.h"

#include "json/writer.h"

namespace vorm_zel {
namespace {

// One allocation for the usual form: the keys plus the texts, with room for
// a few escapes.
template <typename Record>
std::string json_form(const Record& record, std::size_t text_bytes) {
    std::string out;
    out.reserve(128 + text_bytes);
    append_json(out, record);
    return out;
}

}  // namespace

void append_json(std::string& out, const PPPTriplet& triplet) {
    out += "{\"provenance\":";
    append_json_string(out, triplet.provenance);
    out += ",\"place\":";
    append_json_string(out, triplet.place);
    out += ",\"purpose\":";
    append_json_string(out, triplet.purpose);
    out += '}';
}

std::string to_json(const PPPTriplet& triplet) {
    return json_form(triplet,
                     triplet.provenance.size() + triplet.place.size() + triplet.purpose.size());
}

void append_json(std::string& out, const HumanDeltaChain& chain) {
    out += "{\"chain_id\":";
    append_json_string(out, chain.chain_id);
    out += ",\"agent_decision_ref\":";
    append_json_string(out, chain.agent_decision_ref);
    out += chain.resolved ? ",\"resolved\":true" : ",\"resolved\":false";
    out += ",\"terminal_node\":";
    append_json_string(out, chain.terminal_node);
    out += '}';
}

std::string to_json(const HumanDeltaChain& chain) {
    return json_form(chain, chain.chain_id.size() + chain.agent_decision_ref.size() +
                                chain.terminal_node.size());
}

}  // namespace vorm_zel
