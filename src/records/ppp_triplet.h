// Where a decision came from, where it was processed and what it was for.
#pragma once

#include <string>

namespace vorm_zel {

struct PPPTriplet {
    static constexpr char kClassName[] = "PPPTriplet";

    std::string provenance;
    std::string place;
    std::string purpose;
};

}  // namespace vorm_zel
