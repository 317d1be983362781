// Whatever bytes go into the JSON string writer: valid UTF-8 comes back from
// an independent parser as the very same string; anything else may not crash
// the writer and keeps every byte of 0x80 and above exactly where it was; and
// every block kernel the CPU can run writes the very same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "json/writer.h"

namespace {

// RFC 3629: shortest forms only, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            const unsigned char lo = k == 1 ? low : 0x80;
            const unsigned char hi = k == 1 ? high : 0xBF;
            if (byte < lo || byte > hi) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::string high_bytes(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string out = "prefix";  // the writer appends; what was there stays
    vorm_zel::append_json_string(out, input);
    check(out.compare(0, 6, "prefix") == 0);
    const std::string_view written = std::string_view(out).substr(6);

    check(written.size() >= input.size() + 2);
    check(written.front() == '"' && written.back() == '"');
    for (const char c : written) {
        check(static_cast<unsigned char>(c) >= 0x20);  // no raw control byte survives
    }
    check(high_bytes(written) == high_bytes(input));

    if (vorm_zel::escape_kernel_supported(vorm_zel::EscapeKernel::avx2)) {
        std::string baseline = "prefix";
        vorm_zel::select_escape_kernel(vorm_zel::EscapeKernel::baseline);
        vorm_zel::append_json_string(baseline, input);
        vorm_zel::select_escape_kernel(vorm_zel::EscapeKernel::avx2);
        check(baseline == out);
    }

    if (is_valid_utf8(input)) {
        const nlohmann::json parsed = nlohmann::json::parse(written, nullptr, false);
        check(!parsed.is_discarded());
        check(parsed.is_string());
        check(parsed.get_ref<const std::string&>() == input);
    }
    return 0;
}
