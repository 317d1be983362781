#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "json/records.h"

namespace vorm_zel {
namespace {

// ------------------------------------------------------------ fixed forms

struct TripletCase {
    const char* name;
    PPPTriplet triplet;
    std::string json;
};

void PrintTo(const TripletCase& c, std::ostream* os) {
    *os << c.name;
}

class RecordsJsonTriplet : public ::testing::TestWithParam<TripletCase> {};

TEST_P(RecordsJsonTriplet, ToJson) {
    EXPECT_EQ(to_json(GetParam().triplet), GetParam().json);
}

TEST_P(RecordsJsonTriplet, AppendKeepsWhatIsThere) {
    std::string out = "[1,";
    append_json(out, GetParam().triplet);
    EXPECT_EQ(out, "[1," + GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    RecordsJson, RecordsJsonTriplet,
    ::testing::Values(
        TripletCase{"empty", {"", "", ""}, R"({"provenance":"","place":"","purpose":""})"},
        TripletCase{"plain", {"a", "b", "c"}, R"({"provenance":"a","place":"b","purpose":"c"})"},
        TripletCase{"distinct_fields",
                    {"sys://origin", "eu-west-1", "review"},
                    R"({"provenance":"sys://origin","place":"eu-west-1","purpose":"review"})"},
        TripletCase{
            "long_value",
            {std::string(300, 'x'), "", "z"},
            R"({"provenance":")" + std::string(300, 'x') + R"(","place":"","purpose":"z"})"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

struct ChainCase {
    const char* name;
    HumanDeltaChain chain;
    std::string json;
};

void PrintTo(const ChainCase& c, std::ostream* os) {
    *os << c.name;
}

class RecordsJsonChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(RecordsJsonChain, ToJson) {
    EXPECT_EQ(to_json(GetParam().chain), GetParam().json);
}

TEST_P(RecordsJsonChain, AppendKeepsWhatIsThere) {
    std::string out = "{\"x\":";
    append_json(out, GetParam().chain);
    EXPECT_EQ(out, "{\"x\":" + GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    RecordsJson, RecordsJsonChain,
    ::testing::Values(
        ChainCase{
            "unresolved",
            {"c", "d", false, "t"},
            R"({"chain_id":"c","agent_decision_ref":"d","resolved":false,"terminal_node":"t"})"},
        ChainCase{
            "resolved",
            {"c", "d", true, "t"},
            R"({"chain_id":"c","agent_decision_ref":"d","resolved":true,"terminal_node":"t"})"},
        ChainCase{"empty_texts",
                  {"", "", false, ""},
                  R"({"chain_id":"","agent_decision_ref":"","resolved":false,"terminal_node":""})"},
        ChainCase{"uuid_id",
                  {"3f2a6c1e-9b7d-4e21-a0c4-5d6e7f809112", "decision-17", true, "node-9"},
                  R"({"chain_id":"3f2a6c1e-9b7d-4e21-a0c4-5d6e7f809112","agent_decision_ref":)"
                  R"("decision-17","resolved":true,"terminal_node":"node-9"})"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

// ------------------------------------------------------------ string escapes

struct EscapeCase {
    const char* name;
    std::string text;
    std::string written;  // the JSON string, quotes included
};

void PrintTo(const EscapeCase& c, std::ostream* os) {
    *os << c.name;
}

class RecordsJsonEscape : public ::testing::TestWithParam<EscapeCase> {};

// The value lands in every text position of both forms, written the same way.
TEST_P(RecordsJsonEscape, TripletPositions) {
    const auto& [name, text, w] = GetParam();
    EXPECT_EQ(to_json(PPPTriplet{text, "", ""}),
              R"({"provenance":)" + w + R"(,"place":"","purpose":""})");
    EXPECT_EQ(to_json(PPPTriplet{"", text, ""}),
              R"({"provenance":"","place":)" + w + R"(,"purpose":""})");
    EXPECT_EQ(to_json(PPPTriplet{"", "", text}),
              R"({"provenance":"","place":"","purpose":)" + w + "}");
}

TEST_P(RecordsJsonEscape, ChainPositions) {
    const auto& [name, text, w] = GetParam();
    EXPECT_EQ(to_json(HumanDeltaChain{text, "d", true, "t"}),
              R"({"chain_id":)" + w +
                  R"(,"agent_decision_ref":"d","resolved":true,)"
                  R"("terminal_node":"t"})");
    EXPECT_EQ(to_json(HumanDeltaChain{"c", text, false, "t"}),
              R"({"chain_id":"c","agent_decision_ref":)" + w +
                  R"(,"resolved":false,"terminal_node":"t"})");
    EXPECT_EQ(
        to_json(HumanDeltaChain{"c", "d", false, text}),
        R"({"chain_id":"c","agent_decision_ref":"d","resolved":false,"terminal_node":)" + w + "}");
}

INSTANTIATE_TEST_SUITE_P(
    RecordsJson, RecordsJsonEscape,
    ::testing::Values(
        EscapeCase{"quote", "say \"hi\"", R"("say \"hi\"")"},
        EscapeCase{"backslash", "a\\b", R"("a\\b")"},
        EscapeCase{"quote_and_backslash", "\\\"", R"("\\\"")"},
        EscapeCase{"line_feed", "a\nb", R"("a\nb")"}, EscapeCase{"tab", "\t", R"("\t")"},
        EscapeCase{"carriage_return", "x\r", R"("x\r")"}, EscapeCase{"backspace", "\b", R"("\b")"},
        EscapeCase{"form_feed", "\f", R"("\f")"}, EscapeCase{"u0001", "\x01", R"("\u0001")"},
        EscapeCase{"vertical_tab", "\x0b", R"("\u000b")"},
        EscapeCase{"u001f", "z\x1f", R"("z\u001f")"},
        EscapeCase{"nul", std::string("a\0b", 3), R"("a\u0000b")"},
        EscapeCase{"delete_unescaped", "\x7f", "\"\x7f\""},
        EscapeCase{"slash_unescaped", "a/b", R"("a/b")"},
        EscapeCase{"e_acute_unescaped", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
        EscapeCase{"line_separator_unescaped", "\xe2\x80\xa8", "\"\xe2\x80\xa8\""},
        EscapeCase{"cjk_unescaped", "\xe6\x97\xa5\xe6\x9c\xac", "\"\xe6\x97\xa5\xe6\x9c\xac\""},
        EscapeCase{"space_unescaped", " ", R"(" ")"},
        EscapeCase{"mixed", "\"q\"\n\\/\t\x01\xc3\xa9",
                   R"("\"q\"\n\\/\t\u0001)"
                   "\xc3\xa9\""}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace vorm_zel
