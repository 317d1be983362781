// The JSON forms of the two input records, as a sealed record stores them.
#pragma once

#include <string>

#include "records/human_delta_chain.h"
#include "records/ppp_triplet.h"

namespace vorm_zel {

// {"provenance":P,"place":L,"purpose":U}
void append_json(std::string& out, const PPPTriplet& triplet);
[[nodiscard]] std::string to_json(const PPPTriplet& triplet);

// {"chain_id":C,"agent_decision_ref":A,"resolved":R,"terminal_node":T}
void append_json(std::string& out, const HumanDeltaChain& chain);
[[nodiscard]] std::string to_json(const HumanDeltaChain& chain);

}  // namespace vorm_zel
