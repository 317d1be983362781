#include "records/human_delta_chain.h"

#include "common/json_writer.h"

namespace vorm_zel {

void HumanDeltaChain::append_json(std::string& out) const {
    out += "{\"chain_id\":";
    append_json_string(out, chain_id);
    out += ",\"agent_decision_ref\":";
    append_json_string(out, agent_decision_ref);
    out += resolved ? ",\"resolved\":true" : ",\"resolved\":false";
    out += ",\"terminal_node\":";
    append_json_string(out, terminal_node);
    out += '}';
}

std::string HumanDeltaChain::to_json() const {
    std::string out;
    out.reserve(128 + chain_id.size() + agent_decision_ref.size() + terminal_node.size());
    append_json(out);
    return out;
}

}  // namespace vorm_zel
