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
};

}  // namespace vorm_zel
