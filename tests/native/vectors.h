// Known-answer vectors shared by the native tests (tests/data/*.json).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vorm_zel::testing {

// Parses tests/data/<name>.
nlohmann::json load_vectors(std::string_view name);

// A double written by Python's float.hex() ("0x1.8p+1", "-0x0.0p+0"), or
// "nan" / "inf" / "-inf".
double parse_hex_double(const std::string& text);

// Bytes of a lower-case hex string.
std::string hex_bytes(const std::string& hex);

}  // namespace vorm_zel::testing
