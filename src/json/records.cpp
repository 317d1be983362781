#include "json/records.h"

#include "json/writer.h"

namespace vorm_zel {

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
    std::string out;
    out.reserve(128 + triplet.provenance.size() + triplet.place.size() + triplet.purpose.size());
    append_json(out, triplet);
    return out;
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
    std::string out;
    out.reserve(128 + chain.chain_id.size() + chain.agent_decision_ref.size() + chain.terminal_node.size());
    append_json(out, chain);
    return out;
}

}  // namespace vorm_zel
