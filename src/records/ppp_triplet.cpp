#include "records/ppp_triplet.h"

#include "common/json_writer.h"

namespace vorm_zel {

void PPPTriplet::append_json(std::string& out) const {
    out += "{\"provenance\":";
    append_json_string(out, provenance);
    out += ",\"place\":";
    append_json_string(out, place);
    out += ",\"purpose\":";
    append_json_string(out, purpose);
    out += '}';
}

std::string PPPTriplet::to_json() const {
    std::string out;
    out.reserve(128 + provenance.size() + place.size() + purpose.size());
    append_json(out);
    return out;
}

}  // namespace vorm_zel
