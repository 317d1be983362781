// One node of human review attached to an automated decision.
#pragma once

#include <string>

namespace vorm_zel {

struct HumanDeltaChain {
    static constexpr char kClassName[] = "HumanDeltaChain";

    std::string chain_id;
    std::string agent_decision_ref;
    bool resolved = false;
    std::string terminal_node;

    // {"chain_id":C,"agent_decision_ref":A,"resolved":R,"terminal_node":T}
    void append_json(std::string& out) const;
    [[nodiscard]] std::string to_json() const;
};

}  // namespace vorm_zel
