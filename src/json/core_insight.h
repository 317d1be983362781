// The JSON form of a core insight, as a sealed record stores it.
#pragma once

#include <string>

#include "engine/scoring.h"

namespace vorm_zel {

// Compact: {"lesson":...,"confidence":c,"delta":{"vector":[...],
// "confidence":c,"delta_norm":0.18}} or "delta":null.
[[nodiscard]] std::string to_json(const CoreInsight& insight);

}  // namespace vorm_zel
