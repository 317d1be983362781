// Where a decision came from, where it was processed and what it was for.
#pragma once

#include <string>

namespace vorm_zel {

struct PPPTriplet {
    static constexpr char kClassName[] = "PPPTriplet";

    std::string provenance;
    std::string place;
    std::string purpose;

    // {"provenance":P,"place":L,"purpose":U}
    void append_json(std::string& out) const;
    [[nodiscard]] std::string to_json() const;
};

}  // namespace vorm_zel
