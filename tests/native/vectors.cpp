#include "vectors.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace vorm_zel::testing {

nlohmann::json load_vectors(std::string_view name) {
    const std::string path = std::string(VORM_ZEL_TEST_DATA_DIR) + "/" + std::string(name);
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open vector file " + path);
    }
    return nlohmann::json::parse(in);
}

double parse_hex_double(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') {
        throw std::invalid_argument("not a float.hex() text: " + text);
    }
    return value;
}

std::string hex_bytes(const std::string& hex) {
    if (hex.size() % 2 != 0) {
        throw std::invalid_argument("odd hex length");
    }
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

}  // namespace vorm_zel::testing
