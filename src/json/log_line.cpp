#include "json/log_line.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>

#include "json/writer.h"

namespace vorm_zel {
namespace {

// Fixed part of a line: keys, punctuation, 64 signature numbers, two numbers.
constexpr std::size_t kFixedBytes = 640;

template <typename Out>
void member(Out& out, std::string_view key_with_punctuation, const std::string& text) {
    out += key_with_punctuation;
    append_json_string(out, text);
}

// ,"signature":[n,n,...] with the 64 byte values in decimal, written into one
// stack buffer and appended at once.
template <typename Out>
void append_signature_array(Out& out, const decltype(SealedRecord::signature)& signature) {
    constexpr std::string_view kKey = ",\"signature\":[";
    char buf[kKey.size() + kSignatureBytes * 4];  // "255," per byte
    char* p = std::copy(kKey.begin(), kKey.end(), buf);
    for (const std::uint8_t byte : signature) {
        if (byte >= 100) {
            *p++ = static_cast<char>('0' + byte / 100);
        }
        if (byte >= 10) {
            *p++ = static_cast<char>('0' + byte / 10 % 10);
        }
        *p++ = static_cast<char>('0' + byte % 10);
        *p++ = ',';
    }
    p[-1] = ']';  // the last comma closes the array
    out.append(buf, static_cast<std::size_t>(p - buf));
}

// Out is std::string or LineBuffer, emptied first.
template <typename Out>
void build_line(Out& out, const SealedRecord& r) {
    out.clear();
    // Room for every string as the writer sizes it: escaping rarely grows a
    // text by more than an eighth, so one reservation covers the usual line.
    std::size_t room = kFixedBytes;
    for (const std::string* text :
         {&r.id, &r.timestamp, &r.hash, &r.merkle_root, &r.ppp_json, &r.ctx_json, &r.prompt,
          &r.reasoning_trace_json, &r.output, &r.human_delta_chain_json}) {
        room += json_string_room(text->size());
    }
    room += json_string_room(r.core_insight_json ? r.core_insight_json->size() : 0);
    out.reserve(room);
    member(out, "{\"id\":", r.id);
    member(out, ",\"timestamp\":", r.timestamp);
    out += ",\"monotonic_nanos\":";
    append_json_uint(out, r.monotonic_nanos);
    member(out, ",\"hash\":", r.hash);
    append_signature_array(out, r.signature);
    member(out, ",\"merkle_root\":", r.merkle_root);
    out += ",\"coherence_score\":";
    append_json_float(out, r.coherence_score);
    out += ",\"reputation_scalar\":";
    append_json_float(out, r.reputation_scalar);
    member(out, ",\"ppp_json\":", r.ppp_json);
    member(out, ",\"ctx_json\":", r.ctx_json);
    member(out, ",\"prompt\":", r.prompt);
    member(out, ",\"reasoning_trace_json\":", r.reasoning_trace_json);
    member(out, ",\"output\":", r.output);
    member(out, ",\"human_delta_chain_json\":", r.human_delta_chain_json);
    out += ",\"core_insight_json\":";
    if (r.core_insight_json) {
        append_json_string(out, *r.core_insight_json);
    } else {
        out += "null";
    }
    out += "}\n";
}

}  // namespace

void write_log_line(LineBuffer& out, const SealedRecord& record) {
    build_line(out, record);
}

std::string log_line(const SealedRecord& record) {
    std::string out;
    build_line(out, record);
    return out;
}

}  // namespace vorm_zel
